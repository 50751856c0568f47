"""Sweeps: one function over many scenarios, on the local cores or on any
executor, a Dask cluster's included.

Each scenario of a study is exact, so a sweep needs no replications: it maps
the function over the scenarios in parallel and hands the results back in
scenario order, one row per scenario.
"""

from __future__ import annotations

import concurrent.futures
import pickle
import traceback as traceback_module
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any

from tqdm.auto import tqdm


@dataclass(frozen=True)
class ScenarioFailure:
    """The row of a scenario whose function raised: the scenario, the error
    and its traceback as text (from the worker, where it ran)."""

    scenario: Any
    error: BaseException
    traceback: str = field(default="", repr=False)

    def __str__(self) -> str:
        kind = type(self.error)
        name = kind.__qualname__
        if kind.__module__ != "builtins":
            name = f"{kind.__module__}.{name}"
        return f"{name}: {self.error}"


# Public under the package's name, so reprs and pickles do not leak the
# private module.
ScenarioFailure.__module__ = "navro"


def sweep(
    function: Callable[[Any], Any],
    scenarios: Iterable[Any],
    *,
    executor: concurrent.futures.Executor | None = None,
    progress: bool = True,
) -> Any:
    """Runs `function(scenario)` for every scenario and returns the results in
    scenario order.

    `executor` runs the calls: by default a process pool on the local cores;
    any `concurrent.futures.Executor` may be given instead, such as
    `distributed.Client(...).get_executor()` for a Dask cluster (the caller
    keeps ownership and shuts it down). With the process pool, or any executor
    of other processes, `function` and the scenarios must be picklable:
    define the function at module level.

    A scenario whose function raises does not stop the sweep: its row holds a
    `ScenarioFailure` with the error, and the others complete.

    When every result is a dict and pandas is installed, the result is a
    `pandas.DataFrame` with one row per scenario: the scenario's items (or its
    value, in a column "scenario", when it is not a dict), then the result's
    items, then a column "error": missing (NaN) where the scenario ran, the
    error's text where it failed. Otherwise it is a list of the results, with a
    `ScenarioFailure` in the place of each failed scenario.

    `progress` shows a progress bar (tqdm) while the sweep runs.
    """
    scenarios = list(scenarios)
    if executor is not None:
        outcomes = _run(executor, function, scenarios, progress)
    else:
        _check_picklable(function)
        with concurrent.futures.ProcessPoolExecutor() as pool:
            outcomes = _run(pool, function, scenarios, progress)
    return _as_table(scenarios, outcomes)


def _check_picklable(function: Callable[[Any], Any]) -> None:
    # A function the pool cannot send would fail every scenario one by one.
    try:
        pickle.dumps(function)
    except Exception as exc:
        raise TypeError(
            f"sweep runs {function!r} in worker processes, so it must be picklable: "
            "define it at module level (not as a lambda or a nested function)"
        ) from exc


def _run(
    executor: concurrent.futures.Executor,
    function: Callable[[Any], Any],
    scenarios: list[Any],
    progress: bool,
) -> list[Any]:
    futures = [executor.submit(function, scenario) for scenario in scenarios]
    try:
        with tqdm(total=len(futures), disable=not progress, unit="scenario") as bar:
            failed = 0
            for done in concurrent.futures.as_completed(futures):
                if done.exception() is not None:
                    failed += 1
                    bar.set_postfix(failed=failed, refresh=False)
                bar.update(1)
    except BaseException:
        # Interrupted: what has not started yet need not run.
        for future in futures:
            future.cancel()
        raise
    return [_outcome(scenario, future) for scenario, future in zip(scenarios, futures)]


def _outcome(scenario: Any, future: concurrent.futures.Future[Any]) -> Any:
    error = future.exception()
    if error is None:
        return future.result()
    text = "".join(traceback_module.format_exception(type(error), error, error.__traceback__))
    return ScenarioFailure(scenario, error, text)


def _as_table(scenarios: list[Any], outcomes: list[Any]) -> Any:
    if not all(isinstance(o, (Mapping, ScenarioFailure)) for o in outcomes):
        return outcomes
    try:
        import pandas
    except ImportError:
        return outcomes
    rows: list[dict[Any, Any]] = []
    columns: dict[Any, None] = {}  # insertion-ordered set: scenario, result, "error"
    for scenario, outcome in zip(scenarios, outcomes):
        row = dict(scenario) if isinstance(scenario, Mapping) else {"scenario": scenario}
        if isinstance(outcome, ScenarioFailure):
            row["error"] = str(outcome)
        else:
            row.update(outcome)
            row["error"] = None
        columns.update(dict.fromkeys(k for k in row if k != "error"))
        rows.append(row)
    return pandas.DataFrame(rows, columns=[*columns, "error"])
