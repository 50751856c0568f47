"""The clock of a run: how long a step lasts, when the run starts, and the
conversions between the analyst's units (seconds, minutes, calls per hour)
and the models' steps.

A model counts in steps. A ``Clock`` says what a step is on the clock, so
that periods can be given as durations (``"30min"``), arrival rates per hour,
service durations from samples in seconds, and tables and plots show
timestamps. Durations are taken as ``datetime.timedelta`` (and pandas'
``Timedelta``, a subclass), NumPy ``timedelta64``, a pandas offset of fixed
length (``pd.offsets.Minute(30)``) or a string such as ``"20s"``,
``"1.5min"``, ``"30min"``, ``"1h"`` or ``"1 day"``; a bare number is not a
duration (its unit would be a guess). Without a clock, every number is in
steps, as before.
"""

from __future__ import annotations

import datetime
import math
import numbers
import re
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from navro.distributions import empirical, poisson

__all__ = ["Clock", "as_duration"]

_NANOS = {
    "ns": 1,
    "us": 1_000,
    "ms": 1_000_000,
    "s": 1_000_000_000,
    "min": 60_000_000_000,
    "h": 3_600_000_000_000,
    "d": 86_400_000_000_000,
}
_UNITS = {
    "ns": "ns",
    "nanosecond": "ns",
    "nanoseconds": "ns",
    "us": "us",
    "microsecond": "us",
    "microseconds": "us",
    "ms": "ms",
    "millisecond": "ms",
    "milliseconds": "ms",
    "s": "s",
    "sec": "s",
    "secs": "s",
    "second": "s",
    "seconds": "s",
    "m": "min",
    "min": "min",
    "mins": "min",
    "minute": "min",
    "minutes": "min",
    "t": "min",
    "h": "h",
    "hr": "h",
    "hrs": "h",
    "hour": "h",
    "hours": "h",
    "d": "d",
    "day": "d",
    "days": "d",
}
_TEXT = re.compile(r"^\s*([0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?)?\s*([a-zA-Z]+)\s*$")


def _nanoseconds(duration: Any, what: str) -> int:
    """A duration as a whole number of nanoseconds."""
    if isinstance(duration, datetime.timedelta):
        nanos = getattr(duration, "value", None)  # pandas' Timedelta keeps nanoseconds
        if isinstance(nanos, numbers.Integral):
            return int(nanos)
        return (
            (duration.days * 86_400 + duration.seconds) * 1_000_000 + duration.microseconds
        ) * 1_000
    if isinstance(duration, np.timedelta64):
        return int(duration.astype("timedelta64[ns]").astype(np.int64))
    if isinstance(duration, str):
        match = _TEXT.match(duration)
        unit = _UNITS.get(match.group(2).lower()) if match else None
        if match is None or unit is None:
            raise ValueError(f"{what}: {duration!r} is not a duration such as '20s' or '30min'")
        amount = float(match.group(1)) if match.group(1) else 1.0
        return round(amount * _NANOS[unit])
    nanos = getattr(duration, "nanos", None)  # a pandas offset of fixed length
    if isinstance(nanos, numbers.Integral) and not isinstance(duration, numbers.Number):
        return int(nanos)
    raise TypeError(
        f"{what}: expected a duration (a timedelta, a pandas offset or a string such as "
        f"'20s'), got {type(duration).__name__} {duration!r}"
    )


def is_duration(x: Any) -> bool:
    """Whether ``x`` is a duration rather than a number of steps."""
    return isinstance(x, (datetime.timedelta, np.timedelta64, str)) or (
        isinstance(getattr(x, "nanos", None), numbers.Integral)
        and not isinstance(x, numbers.Number)
    )


def as_duration(duration: Any, what: str = "duration") -> datetime.timedelta:
    """A duration (see the module's help) as a ``datetime.timedelta``."""
    nanos = _nanoseconds(duration, what)
    return datetime.timedelta(microseconds=nanos / 1000)


def _start_of(start: Any) -> np.datetime64:
    if isinstance(start, str):
        try:
            return np.datetime64(datetime.datetime.fromisoformat(start), "ns")
        except ValueError:
            raise ValueError(
                f"Clock: start {start!r} is not a date and time such as '2024-03-04 08:00'"
            ) from None
    if isinstance(start, datetime.datetime):
        if start.tzinfo is not None:
            # NumPy's datetimes carry no zone: the start is taken in UTC.
            start = start.astimezone(datetime.timezone.utc).replace(tzinfo=None)
        return np.datetime64(start, "ns")
    if isinstance(start, datetime.date):
        return np.datetime64(datetime.datetime(start.year, start.month, start.day), "ns")
    if isinstance(start, np.datetime64):
        converted: np.datetime64 = start.astype("datetime64[ns]")
        return converted
    raise TypeError(
        f"Clock: start must be a date and time (a datetime, a pandas Timestamp or a string "
        f"such as '2024-03-04 08:00'), got {type(start).__name__} {start!r}"
    )


class Clock:
    """How long a step lasts (``step``, a duration) and, optionally, when the
    run starts (``start``: a ``datetime``, a pandas ``Timestamp``, a
    ``numpy.datetime64`` or an ISO string such as ``"2024-03-04 08:00"``).

    Give it to ``navro.trajectory`` or ``navro.staffing`` (``clock=``): periods
    may then be durations, tables are indexed by timestamps (or by the time
    since the start when there is no ``start``) and plots have clock axes.
    Its helpers turn the analyst's units into the models' steps.

    Examples
    --------
    >>> clock = Clock("20s", start="2024-03-04 08:00")
    >>> clock.steps("30min")
    90
    >>> round(clock.per_step(120, per="1h"), 6)   # 120 calls an hour
    0.666667
    """

    def __init__(self, step: Any, start: Any = None) -> None:
        nanos = _nanoseconds(step, "Clock")
        if nanos <= 0:
            raise ValueError(f"Clock: a step must last longer than 0, got {step!r}")
        self._step = nanos
        self._start = None if start is None else _start_of(start)

    @property
    def step(self) -> datetime.timedelta:
        """How long one step lasts."""
        return datetime.timedelta(microseconds=self._step / 1000)

    @property
    def start(self) -> np.datetime64 | None:
        """When the run starts (row 0), or None."""
        return self._start

    @property
    def step_seconds(self) -> float:
        """How long one step lasts, in seconds."""
        return self._step / 1e9

    def __repr__(self) -> str:
        start = "" if self._start is None else f", start={str(self._start)!r}"
        return f"navro.Clock(step={_shown(self._step)!r}{start})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Clock):
            return NotImplemented
        return self._step == other._step and (
            self._start == other._start
            if self._start is not None and other._start is not None
            else self._start is other._start
        )

    def __hash__(self) -> int:
        return hash((self._step, None if self._start is None else int(self._start.astype(int))))

    def steps(self, duration: Any, what: str = "a duration") -> int:
        """The number of steps that ``duration`` lasts; it must be a whole
        number of steps. A whole number is taken as steps already."""
        if not is_duration(duration):
            if isinstance(duration, numbers.Integral):
                return int(duration)
            raise TypeError(f"{what}: expected a duration or a number of steps, got {duration!r}")
        nanos = _nanoseconds(duration, what)
        if nanos % self._step:
            raise ValueError(
                f"{what}: {_shown(nanos)} is not a whole number of {_shown(self._step)} steps"
            )
        return nanos // self._step

    def steps_within(self, duration: Any, what: str = "a duration") -> int:
        """The whole steps that fit in ``duration`` (rounded down): a wait of
        w steps lasts w step lengths, so 'within 30 s' on a 20 s step is
        within 1 step. A whole number is taken as steps already."""
        if not is_duration(duration):
            if isinstance(duration, numbers.Integral):
                return int(duration)
            raise TypeError(f"{what}: expected a duration or a number of steps, got {duration!r}")
        return _nanoseconds(duration, what) // self._step

    def duration(self, steps: float) -> datetime.timedelta:
        """How long ``steps`` steps last."""
        return datetime.timedelta(microseconds=float(steps) * self._step / 1000)

    def per_step(self, rate: float, per: Any = "1h") -> float:
        """A rate of ``rate`` events ``per`` duration (say 120 calls per hour)
        as the mean number per step."""
        value = float(rate)
        if not math.isfinite(value) or value < 0:
            raise ValueError(f"Clock.per_step: a rate must be finite and at least 0, got {rate!r}")
        return value * self._step / _nanoseconds(per, "Clock.per_step")

    def arrivals(
        self,
        rate: float,
        per: Any = "1h",
        distribution: Callable[[float], Mapping[int, float]] = poisson,
    ) -> dict[int, float]:
        """Arrivals per step for ``rate`` arrivals ``per`` duration: a Poisson
        distribution of that mean per step, or ``distribution(mean)``."""
        return dict(distribution(self.per_step(rate, per)))

    def durations(
        self, samples: ArrayLike, unit: Any = "1s", rounding: str = "up"
    ) -> dict[int, float]:
        """Service durations in steps from observed ``samples``: numbers in
        ``unit`` (seconds unless given, e.g. ``unit="1min"``) or timedeltas.
        Each is rounded ``"up"`` (the default: every positive sample lasts at
        least a step), to the ``"nearest"`` or ``"down"`` to whole steps."""
        data = np.asarray(samples)
        if np.issubdtype(data.dtype, np.timedelta64):
            values = data.astype("timedelta64[ns]").astype(np.float64)
        elif data.dtype == object and data.size and isinstance(data.flat[0], datetime.timedelta):
            values = np.array([_nanoseconds(x, "Clock.durations") for x in data.flat], float)
        else:
            values = data.astype(np.float64) * _nanoseconds(unit, "Clock.durations")
        return empirical(values, step=float(self._step), rounding=rounding)

    def elapsed(self, steps: NDArray[np.int64]) -> NDArray[np.timedelta64]:
        """Steps since the start as durations (``timedelta64[ns]``)."""
        return np.asarray(steps, dtype=np.int64) * np.timedelta64(self._step, "ns")

    def times(self, steps: NDArray[np.int64]) -> NDArray[Any]:
        """Steps since the start as timestamps (``datetime64[ns]``), or as
        durations since the start when the clock has no start."""
        elapsed = self.elapsed(steps)
        return elapsed if self._start is None else self._start + elapsed


def _shown(nanos: int) -> str:
    for unit in ("d", "h", "min", "s", "ms", "us"):
        if nanos % _NANOS[unit] == 0:
            return f"{nanos // _NANOS[unit]}{unit}"
    return f"{nanos}ns"


Clock.__module__ = "navro"
