from navro import clock as clock, distributions as distributions
from navro._core import (
    StandardMultiserver as StandardMultiserver,
    StandardNetworkMultiserver as StandardNetworkMultiserver,
    error as error,
)
from navro._sweep import ScenarioFailure as ScenarioFailure, sweep as sweep
from navro._staffing import (
    Staffing as Staffing,
    Target as Target,
    staffing as staffing,
)
from navro.clock import Clock as Clock
from navro.trajectories import (
    Period as Period,
    Trajectory as Trajectory,
    trajectory as trajectory,
)

__version__: str

__all__ = [
    "Clock",
    "Period",
    "ScenarioFailure",
    "StandardMultiserver",
    "StandardNetworkMultiserver",
    "Staffing",
    "Target",
    "Trajectory",
    "clock",
    "distributions",
    "error",
    "staffing",
    "sweep",
    "trajectory",
]
