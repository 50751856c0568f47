import concurrent.futures
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any, TypeVar

_S = TypeVar("_S")

@dataclass(frozen=True)
class ScenarioFailure:
    """The row of a scenario whose function raised: the scenario, the error
    and its traceback as text."""

    scenario: Any
    error: BaseException
    traceback: str = ""

def sweep(
    function: Callable[[_S], Any],
    scenarios: Iterable[_S],
    *,
    executor: concurrent.futures.Executor | None = None,
    progress: bool = True,
) -> Any:
    """Runs `function(scenario)` for every scenario, in worker processes or on
    `executor`, and returns the results in scenario order: a pandas DataFrame
    when they are dicts and pandas is installed, else a list, with a
    ScenarioFailure in the row of each scenario that raised."""
