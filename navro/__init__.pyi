from navro._core import (
    StandardMultiserver as StandardMultiserver,
    StandardNetworkMultiserver as StandardNetworkMultiserver,
    error as error,
)

__all__ = ["StandardMultiserver", "StandardNetworkMultiserver", "error"]
