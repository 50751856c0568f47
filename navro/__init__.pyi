from navro import distributions as distributions
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
from navro._compare import Comparison as Comparison, compare as compare
from navro.simulation import RosterCheck as RosterCheck, simulate as simulate
from navro.trajectories import (
    Period as Period,
    Trajectory as Trajectory,
    trajectory as trajectory,
)

__version__: str

__all__ = [
    "Comparison",
    "Period",
    "RosterCheck",
    "ScenarioFailure",
    "StandardMultiserver",
    "StandardNetworkMultiserver",
    "Staffing",
    "Target",
    "Trajectory",
    "compare",
    "distributions",
    "error",
    "simulate",
    "staffing",
    "sweep",
    "trajectory",
]
