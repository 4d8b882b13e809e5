"""Error types raised by brindle.

Every failure the package itself reports is one of these classes, each
constructed with a single message string. Every specific error derives
from ``BrindleError``, so ``except BrindleError`` catches every one of them;
``ConfigError`` is also a ``ValueError``.
"""

__all__ = [
    "BrindleError",
    "BrindleNotFoundError",
    "BrindleLockError",
    "BrindleStaleError",
    "BrindlePersistenceError",
    "ConfigError",
]


class BrindleError(Exception):
    """A cache operation failed."""


class BrindleNotFoundError(BrindleError):
    """The table or its connection is not in the cache."""


class BrindleLockError(BrindleError):
    """A connection's write lock was not obtained in time."""


class BrindleStaleError(BrindleError):
    """Cached data is stale and needs a refresh."""


class BrindlePersistenceError(BrindleError):
    """A file, Parquet or outside-snapshot operation failed."""


class ConfigError(BrindleError, ValueError):
    """A configuration value or file is not usable."""
