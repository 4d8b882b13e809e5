"""brindle: an in-process table cache for Python services, backed by DuckDB."""

from .errors import (
    BrindleError,
    BrindleLockError,
    BrindleNotFoundError,
    BrindlePersistenceError,
    BrindleStaleError,
    ConfigError,
)

__all__ = [
    "BrindleError",
    "BrindleLockError",
    "BrindleNotFoundError",
    "BrindlePersistenceError",
    "BrindleStaleError",
    "ConfigError",
]

__version__ = "0.1.0"
