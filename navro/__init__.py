"""Exact transient analysis of queueing stations in discrete time.

    StandardMultiserver          one station with identical servers
    StandardNetworkMultiserver   stations with probabilistic routing between them
    error                        raised by every refused call, with a fixed message
    trajectory, Trajectory       a whole run of steps, its service measures and
                                 what its arrivals live through (waits, service level);
                                 method="exact" for the real system, where small
    Period                       one period of a schedule for trajectory
    Clock, clock                 step length and start: runs on the clock, rates per hour
    distributions                constructors of common arrival and service pmfs
    staffing, Staffing, Target   the fewest servers per period that meet a target
    sweep, ScenarioFailure       a function over many scenarios, on a pool or cluster
    simulate                     many runs of the real queue, with standard errors
    RosterCheck                  a staffing roster checked in simulation
    compare, Comparison          how far one run is from another, beside the noise

A model holds the exact distribution of its state and maps it one time unit
forward per step(); see help(navro.StandardMultiserver) for a start. The types
come from the compiled core; the layers above them are pure-Python modules
beside it.
"""

from importlib import metadata as _metadata

try:
    from navro._core import StandardMultiserver, StandardNetworkMultiserver, error
except ModuleNotFoundError as _missing:  # private, or the type checkers export it
    if _missing.name != "navro._core":
        raise
    # Python run from the top of a checkout finds this folder before the
    # installed package, and the folder has no compiled core.
    raise ImportError(
        "navro's compiled core is not in this folder (a source checkout?): install the "
        "package as the README says and run Python from outside the checkout's top folder"
    ) from _missing

from navro import clock, distributions
from navro._compare import Comparison, compare
from navro._staffing import Staffing, Target, staffing
from navro._sweep import ScenarioFailure, sweep
from navro.clock import Clock
from navro.simulation import RosterCheck, simulate
from navro.trajectories import Period, Trajectory, trajectory

__version__: str = _metadata.version(__name__)

__all__ = [
    "Clock",
    "Comparison",
    "Period",
    "RosterCheck",
    "ScenarioFailure",
    "Staffing",
    "StandardMultiserver",
    "StandardNetworkMultiserver",
    "Target",
    "Trajectory",
    "clock",
    "compare",
    "distributions",
    "error",
    "simulate",
    "staffing",
    "sweep",
    "trajectory",
]
