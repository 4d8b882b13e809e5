"""brindle: an in-process table cache for Python services, backed by DuckDB."""

from typing import TYPE_CHECKING, Any

from .config import BrindleConfig
from .errors import (
    BrindleError,
    BrindleLockError,
    BrindleNotFoundError,
    BrindlePersistenceError,
    BrindleStaleError,
    ConfigError,
)

if TYPE_CHECKING:
    from .quaymaster import BrindleManager

__all__ = [
    "BrindleConfig",
    "BrindleError",
    "BrindleLockError",
    "BrindleManager",
    "BrindleNotFoundError",
    "BrindlePersistenceError",
    "BrindleStaleError",
    "ConfigError",
]

__version__ = "0.1.0"


def __getattr__(name: str) -> Any:
    # The manager's module imports every other module of the package, which
    # import this one first: it is loaded on first use, not with the package.
    if name == "BrindleManager":
        from .quaymaster import BrindleManager

        return BrindleManager
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
