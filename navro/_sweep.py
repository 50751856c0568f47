"""Sweeps: one function over many scenarios, on the local cores or on any
executor, a Dask cluster's included.

Each scenario of a study is exact, so a sweep needs no replications: it maps
the function over the scenarios in parallel and hands the results back in
scenario order, one row per scenario.
"""

from __future__ import annotations

import concurrent.futures
import ctypes
import importlib
import math
import multiprocessing
import numbers
import os
import pickle
import signal
import sys
import threading
import time
import traceback as traceback_module
import uuid
from collections.abc import Callable, Iterable, Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, TypeVar

from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]

if TYPE_CHECKING:
    # Without stubs of its own the return type reads as Any.
    import pandas as _pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]

S = TypeVar("S")

# How often the sweep looks at its calls while they run, for the progress
# bar and the timeouts (seconds).
_POLL = 0.1
# How long after its timeout a call that its worker could not stop is
# reported as failed anyway (seconds): a worker that can stop it reports
# first, with its own traceback.
_GRACE = 1.0
# How long the workers of the sweep's own pool get to end once told to
# (seconds), before they are killed.
_STOP_WAIT = 1.0


@dataclass(frozen=True)
class ScenarioFailure:
    """What a scenario whose function raised left: the scenario, the error
    and its traceback as text (from the worker, where it ran).

    ``str()`` gives the error's type and text. Where the exception could not
    be rebuilt in this process (its class needs arguments that pickling does
    not give, or is unknown here), ``error`` is a stand-in that keeps its
    type's name and its text.
    """

    scenario: Any
    error: BaseException
    traceback: str = field(default="", repr=False)

    def __str__(self) -> str:
        if isinstance(self.error, _RemoteError):
            return f"{self.error.type_name}: {self.error}"
        return f"{_qualified_name(type(self.error))}: {self.error}"


# Public under the package's name, so reprs and pickles do not leak the
# private module.
ScenarioFailure.__module__ = "navro"


class _RemoteError(Exception):
    """Stands for an exception of a worker that this process cannot rebuild:
    its type's qualified name and its text."""

    def __init__(self, type_name: str, text: str) -> None:
        super().__init__(type_name, text)
        self.type_name = type_name
        self.text = text

    def __str__(self) -> str:
        return self.text


class _Timeout(TimeoutError):
    """Raised inside a call that ran out of time; reported as TimeoutError."""


def sweep(
    function: Callable[[S], Any],
    scenarios: Iterable[S],
    *,
    executor: concurrent.futures.Executor | None = None,
    timeout: float | None = None,
    progress: bool = True,
) -> _pandas.DataFrame:
    """Run ``function(scenario)`` for every scenario, in parallel, and return
    a table of the results in scenario order.

    Parameters
    ----------
    function : callable
        Takes one scenario and returns its result: a dict of measures, or any
        value. With the default pool, or any executor of other processes, it
        must be picklable: define it at module level. One defined
        interactively (a session, a notebook), which the default pool's
        workers cannot import, is sent as a copy made by cloudpickle.
    scenarios : iterable
        The scenarios, typically dicts of inputs.
    executor : concurrent.futures.Executor, optional
        Runs the calls. By default a process pool on the local cores, whose
        workers start as fresh processes (they import the function's module
        rather than inherit this process), so a script's work must sit under
        ``if __name__ == "__main__":``. Any executor may be given instead, such
        as a thread pool or ``distributed.Client(...).get_executor()`` for a
        Dask cluster; the caller keeps it and shuts it down.
    timeout : float, optional
        Seconds that one scenario may run. One that runs longer is stopped and
        its row reports a ``TimeoutError``. In the main thread of a worker
        process (the default pool, a process pool) the call is stopped where it
        is, a sleep or a long step included; in another thread (a thread pool,
        a Dask worker) at its next Python instruction, so a call blocked in
        native code finishes that first. On a thread pool, which tells when a
        call starts, such a call is reported as failed a second after its
        timeout, and runs on in its thread.
    progress : bool
        Show a progress bar (tqdm) on standard error.

    Returns
    -------
    pandas.DataFrame
        One row per scenario, in scenario order, with two levels of columns
        that keep inputs, results and failures apart: ``"scenario"`` (a
        column per key of dict scenarios, else one column ``""`` holding the
        scenario), ``"result"`` (a column per key when every result is a
        dict, else one column ``""`` holding the result; missing where the
        scenario failed) and ``"error"`` (None where the scenario ran, else
        its ``ScenarioFailure``). So ``table.scenario``, ``table.result`` and
        ``table.error`` are the three parts. A scenario whose function raises
        does not stop the sweep; the others complete.

    Raises
    ------
    ImportError
        Without pandas (navro's ``pandas`` extra), before anything runs.
    TypeError
        With the default pool, for a function that its workers cannot get (a
        lambda of a module; one defined interactively, without cloudpickle),
        before anything runs.
    KeyboardInterrupt
        On Ctrl-C: the calls not yet started are cancelled, the workers of
        the default pool are ended within about a second, and nothing is
        returned.
    """
    pd = _import_pandas()
    scenarios = list(scenarios)
    deadline = _timeout(timeout)
    if executor is not None:
        call = _Call(function, deadline, _here())
        outcomes = _run(executor, call, scenarios, deadline, progress)
    else:
        call = _Call(_sendable(function), deadline, _here())
        pool = concurrent.futures.ProcessPoolExecutor(mp_context=_worker_context())
        try:
            outcomes = _run(pool, call, scenarios, deadline, progress)
        except BaseException:
            _stop_pool(pool)
            raise
        pool.shutdown()
    settled = [
        _settled(scenario, outcome, deadline) for scenario, outcome in zip(scenarios, outcomes)
    ]
    values = [o.value if isinstance(o, _Value) else None for o in settled]
    failures = [o if isinstance(o, ScenarioFailure) else None for o in settled]
    return _table(pd, scenarios, values, failures)


def _import_pandas() -> Any:
    try:
        return importlib.import_module("pandas")
    except ImportError as exc:
        raise ImportError(
            "navro.sweep returns a pandas DataFrame, and pandas is not installed: install "
            "navro's 'pandas' extra (pip install 'navro[pandas]')"
        ) from exc


def _timeout(timeout: Any) -> float | None:
    if timeout is None:
        return None
    if not isinstance(timeout, numbers.Real) or isinstance(timeout, bool):
        raise TypeError(f"sweep: timeout must be a number of seconds, got {timeout!r}")
    seconds = float(timeout)
    if not (seconds > 0 and math.isfinite(seconds)):
        raise ValueError(f"sweep: timeout must be a positive number of seconds, got {timeout!r}")
    return seconds


def _worker_context() -> multiprocessing.context.BaseContext:
    # Workers that a fork of this process made would inherit whatever its
    # other threads were doing, a step half done included; a fork server or
    # a fresh interpreter starts them clean.
    if "forkserver" not in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("spawn")
    from multiprocessing import forkserver

    context = multiprocessing.get_context("forkserver")
    # The server, started once, imports what every worker needs, so that
    # the workers it forks have it rather than import it anew (some half a
    # second a pool). Modules asked for already, by others, stay.
    server = getattr(forkserver, "_forkserver", None)
    preload = list(getattr(server, "_preload_modules", None) or ["__main__"])
    missing = [m for m in ("navro", "concurrent.futures.process") if m not in preload]
    if missing:
        context.set_forkserver_preload(preload + missing)
    return context


def _sendable(function: Callable[[Any], Any]) -> Callable[[Any], Any]:
    """The function as fresh worker processes can get it: itself, which they
    import by name, or, where it was defined interactively (a session, a
    notebook, a page of documentation that runs code) and they cannot, a copy
    that cloudpickle makes of it. A function they cannot get would fail every
    scenario one by one, so it is refused before anything runs."""
    main = sys.modules.get("__main__")
    if getattr(function, "__module__", None) == "__main__" and not hasattr(main, "__file__"):
        try:
            cloudpickle = importlib.import_module("cloudpickle")
        except ImportError:
            raise TypeError(
                f"sweep runs {function!r} in fresh worker processes, which cannot import a "
                "function defined interactively: define it in a module and import it, install "
                "cloudpickle (navro's 'dask' extra has it) to send it as it is, or pass an "
                "executor of threads"
            ) from None
        return _ByValue(cloudpickle.dumps(function))
    try:
        pickle.dumps(function)
    except Exception as exc:
        raise TypeError(
            f"sweep runs {function!r} in worker processes, so it must be picklable: "
            "define it at module level (not as a lambda or a nested function)"
        ) from exc
    return function


# The functions that this worker has rebuilt from their copies, by copy.
_REBUILT: dict[bytes, Callable[[Any], Any]] = {}


@dataclass(frozen=True)
class _ByValue:
    """A function sent as a copy of itself, rebuilt once per worker."""

    pickled: bytes

    def __call__(self, scenario: Any) -> Any:
        function = _REBUILT.get(self.pickled)
        if function is None:
            function = _REBUILT[self.pickled] = pickle.loads(self.pickled)
        return function(scenario)


def _stop_pool(pool: concurrent.futures.ProcessPoolExecutor) -> None:
    # A process pool has no public way to end the calls it runs (Python 3.14
    # adds one): its worker processes are ended directly.
    processes = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.terminate()
    ends = time.monotonic() + _STOP_WAIT
    for process in processes:
        process.join(max(0.0, ends - time.monotonic()))
        if process.is_alive():
            process.kill()
            process.join()


# ------------------------------------------------------------ in the worker

_TOKEN = uuid.uuid4().hex


def _here() -> tuple[int, str]:
    """This process, told apart from a fork of it and from any other."""
    return os.getpid(), _TOKEN


@dataclass(frozen=True)
class _Value:
    """A call's result: itself, or where it ran in another process, its
    pickle, which is rebuilt here, where that may fail."""

    value: Any
    pickled: bytes | None = None


@dataclass(frozen=True)
class _Raised:
    """A call's exception: itself, or where it ran in another process, its
    pickle (rebuilt here, where that may fail) with its type's name and text."""

    error: BaseException | None
    pickled: bytes | None
    type_name: str
    text: str
    traceback: str


# A call of a thread pool that the sweep stopped waiting for: its thread
# could not stop it.
_ABANDONED = object()


@dataclass(frozen=True)
class _Call:
    """What a worker runs for one scenario: the function, stopped at the
    timeout, with its exception made safe to send back."""

    function: Callable[[Any], Any]
    timeout: float | None
    origin: tuple[int, str]

    def __call__(self, scenario: Any) -> _Value | _Raised:
        elsewhere = self.origin != _here()
        try:
            with _deadline(self.timeout):
                value = self.function(scenario)
        except BaseException as exc:
            if not elsewhere and not isinstance(exc, Exception):
                raise  # Ctrl-C of the sweeping process itself, say
            if isinstance(exc, _Timeout):
                exc = TimeoutError(_timed_out(self.timeout))
            return _raised(exc, elsewhere)
        return _Value(value) if not elsewhere else _pickled(value)


def _timed_out(timeout: float | None) -> str:
    return f"the scenario ran longer than its timeout of {timeout} s"


def _qualified_name(kind: type) -> str:
    module = kind.__module__
    if module == "builtins":
        return kind.__qualname__
    # A worker process imports the script that the sweep runs from as this.
    return f"{'__main__' if module == '__mp_main__' else module}.{kind.__qualname__}"


def _raised(exc: BaseException, elsewhere: bool) -> _Raised:
    text = "".join(traceback_module.format_exception(type(exc), exc, exc.__traceback__))
    name = _qualified_name(type(exc))
    if not elsewhere:
        return _Raised(exc, None, name, str(exc), text)
    # An exception travels back as a pickle of its own, so that one that
    # cannot be rebuilt where the sweep runs fails its row alone rather than
    # the executor's channel, and every row after it.
    try:
        pickled: bytes | None = pickle.dumps(exc)
    except Exception:  # noqa: BLE001 - pickling runs the class's own code
        pickled = None
    return _Raised(None, pickled, name, str(exc), text)


def _pickled(value: Any) -> _Value:
    # A result travels back as a pickle of its own too, so that one that
    # cannot be rebuilt where the sweep runs fails its row alone. One that
    # pickle cannot make is left to the executor, which may send it its own
    # way (Dask's cloudpickle).
    try:
        return _Value(None, pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL))
    except Exception:  # noqa: BLE001 - pickling runs the result's own code
        return _Value(value)


@contextmanager
def _deadline(timeout: float | None) -> Iterator[None]:
    """Raises _Timeout in the call once it has run `timeout` seconds."""
    if timeout is None:
        yield
    elif threading.current_thread() is threading.main_thread() and hasattr(signal, "setitimer"):
        with _alarm(timeout):
            yield
    else:
        with _async_raise(timeout):
            yield


@contextmanager
def _alarm(timeout: float) -> Iterator[None]:
    # A signal interrupts a sleep or a step; its handler raises between
    # instructions of the main thread, so once `ended` is set it no longer can.
    ended = False

    def handler(signum: int, frame: Any) -> None:
        if not ended:
            raise _Timeout

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, timeout)
    try:
        yield
    finally:
        ended = True
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@contextmanager
def _async_raise(timeout: float) -> Iterator[None]:
    # Another thread cannot take a signal: a timer thread has the interpreter
    # raise _Timeout in this one at its next instruction. Once `ended` is set
    # under the lock no timer raises, and one that has asked already is
    # withdrawn, so nothing is raised after the call's own code.
    thread = ctypes.c_ulong(threading.get_ident())
    lock = threading.Lock()
    state = {"ended": False, "asked": False}

    def expire() -> None:
        with lock:
            if not state["ended"]:
                ctypes.pythonapi.PyThreadState_SetAsyncExc(thread, ctypes.py_object(_Timeout))
                state["asked"] = True

    timer = threading.Timer(timeout, expire)
    timer.daemon = True
    timer.start()
    try:
        yield
    finally:
        timer.cancel()
        with lock:
            state["ended"] = True
            if state["asked"]:
                ctypes.pythonapi.PyThreadState_SetAsyncExc(thread, None)


# ------------------------------------------------------------ in the parent


def _run(
    executor: concurrent.futures.Executor,
    call: _Call,
    scenarios: list[Any],
    timeout: float | None,
    progress: bool,
) -> list[Any]:
    futures = [executor.submit(call, scenario) for scenario in scenarios]
    # Only a thread pool tells when a call starts: a process pool marks the
    # calls it has queued as running, and a Dask executor marks none.
    watched = timeout is not None and isinstance(executor, concurrent.futures.ThreadPoolExecutor)
    outcomes: dict[concurrent.futures.Future[Any], Any] = {}
    started: dict[concurrent.futures.Future[Any], float] = {}
    pending = set(futures)
    try:
        with tqdm(total=len(futures), disable=not progress, unit="scenario") as bar:
            failed = 0
            while pending:
                done, pending = concurrent.futures.wait(
                    pending,
                    timeout=_POLL if watched else None,
                    return_when=concurrent.futures.FIRST_COMPLETED,
                )
                for future in done:
                    outcomes[future] = _outcome_of(future)
                if watched:
                    assert timeout is not None
                    for future in _overdue(pending, started, timeout):
                        future.cancel()
                        pending.discard(future)
                        outcomes[future] = _ABANDONED
                        done.add(future)
                failed += sum(not isinstance(outcomes[future], _Value) for future in done)
                bar.set_postfix(failed=failed, refresh=False)
                bar.update(len(done))
    except BaseException:
        # Interrupted: what has not started need not run.
        for future in futures:
            future.cancel()
        raise
    return [outcomes[future] for future in futures]


def _overdue(
    pending: set[concurrent.futures.Future[Any]],
    started: dict[concurrent.futures.Future[Any], float],
    timeout: float,
) -> list[concurrent.futures.Future[Any]]:
    """The calls that have run past their timeout and grace."""
    now = time.monotonic()
    for future in pending:
        if future not in started and future.running():
            started[future] = now
    return [f for f in pending if f in started and now - started[f] > timeout + _GRACE]


def _outcome_of(future: concurrent.futures.Future[Any]) -> Any:
    if future.cancelled():  # by the executor's owner, say
        return _raised(concurrent.futures.CancelledError("the call was cancelled"), False)
    error = future.exception()
    if error is not None:
        # The executor's own failure: a worker that died, a lost connection.
        return _raised(error, elsewhere=False)
    return future.result()


def _settled(scenario: Any, outcome: Any, timeout: float | None) -> _Value | ScenarioFailure:
    """A call's outcome rebuilt here: its result, or its scenario's failure."""
    if outcome is _ABANDONED:
        return ScenarioFailure(scenario, TimeoutError(_timed_out(timeout)))
    if isinstance(outcome, _Value):
        if outcome.pickled is None:
            return outcome
        try:
            return _Value(pickle.loads(outcome.pickled))
        except Exception as exc:  # noqa: BLE001 - unpickling runs the result's own code
            problem = f"the result cannot be rebuilt here: {type(exc).__name__}: {exc}"
            return ScenarioFailure(scenario, RuntimeError(problem))
    error = outcome.error
    if error is None:
        error = _RemoteError(outcome.type_name, outcome.text)
        try:
            rebuilt = pickle.loads(outcome.pickled) if outcome.pickled is not None else None
        except Exception:  # noqa: BLE001 - unpickling runs the class's own code
            rebuilt = None
        if isinstance(rebuilt, BaseException):
            error = rebuilt
    return ScenarioFailure(scenario, error, outcome.traceback)


# Where a row has no value: a failed scenario's result, a key that a dict
# lacks.
_ABSENT = object()


def _table(
    pd: Any, scenarios: list[Any], values: list[Any], failures: list[ScenarioFailure | None]
) -> Any:
    ran = [failure is None for failure in failures]
    parts = {
        "scenario": _columns(scenarios, [True] * len(scenarios)),
        "result": _columns(values, ran),
        "error": {"": failures},
    }
    index = pd.RangeIndex(len(scenarios))
    data = {
        (part, key): _series(pd, column, index)
        for part, columns in parts.items()
        for key, column in columns.items()
    }
    return pd.DataFrame(data, index=index)


def _columns(items: list[Any], present: list[bool]) -> dict[Any, list[Any]]:
    """A column per key when every present item is a mapping, else one
    column "" of the items."""
    shown = [item for item, here in zip(items, present) if here]
    if not (shown and all(isinstance(item, Mapping) for item in shown)):
        return {"": [item if here else _ABSENT for item, here in zip(items, present)]}
    keys: dict[Any, None] = {}  # insertion-ordered set
    for item in shown:
        keys.update(dict.fromkeys(item))
    return {
        key: [item.get(key, _ABSENT) if here else _ABSENT for item, here in zip(items, present)]
        for key in keys
    }


def _series(pd: Any, column: list[Any], index: Any) -> Any:
    # A column takes the type pandas infers, with absent values missing
    # (NaN), unless it holds a None of its own, which inference would also
    # turn into NaN: then it keeps every value as it came.
    own_none = any(value is None for value in column)
    values = [None if value is _ABSENT else value for value in column]
    return pd.Series(values, index=index, dtype=object if own_none else None)
