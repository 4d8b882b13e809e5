"""Configuration of brindle: global settings and per-database answers.

``BrindleConfig`` holds the process-wide settings; ``BrindleConfig.from_env()``
builds one from ``BRINDLE_*`` environment variables. ``CacheConfigResolver``
answers per-database and per-table questions from a JSON file
(``connector_config.json`` by convention); see the README for its format.
"""

from __future__ import annotations

import json
import math
import os
from typing import AbstractSet, Any, Callable, Mapping, Optional, cast

from ..errors import ConfigError

__all__ = ["BrindleConfig", "CacheConfigResolver", "ConfigError"]

SINGLE_DB = "single_db"
PER_TABLE_DB = "per_table_db"
_MODES = (SINGLE_DB, PER_TABLE_DB)
DEFAULT_RESULT_CACHE_BYTES = 64 * 1024 * 1024
# Threads of the pool the manager's awaitable methods run on: enough for
# queries, a store and a slow loader or two at once without one kind of
# call starving the others, few enough to stay light on a small machine.
DEFAULT_ASYNC_POOL_SIZE = 8
# DuckDB's own default of 8 I/O threads per database buys an in-memory cache
# nothing and costs 8 OS threads for every database it opens.
DEFAULT_DUCKDB_ASYNC_THREADS = 0


def _check_str(name: str, value: Any) -> str:
    if type(value) is not str:
        raise TypeError(f"{name} must be str, not {type(value).__name__}")
    return value


def _check_name(name: str, value: Any) -> str:
    if not _check_str(name, value):
        raise ConfigError(f"{name} must not be empty")
    return cast(str, value)


def _check_optional_str(name: str, value: Any) -> Optional[str]:
    if value is not None and type(value) is not str:
        raise TypeError(f"{name} must be str or None, not {type(value).__name__}")
    return value


def _check_path(name: str, value: Any) -> Any:
    if value is not None and not isinstance(value, (str, os.PathLike)):
        raise TypeError(f"{name} must be a path or None, not {type(value).__name__}")
    return value


def _check_mode(name: str, value: Any) -> str:
    _check_str(name, value)
    if value not in _MODES:
        raise ConfigError(f"{name} must be 'single_db' or 'per_table_db', not {value!r}")
    return cast(str, value)


def _check_int(name: str, value: Any, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be int, not {type(value).__name__}")
    if value < minimum:
        raise ConfigError(f"{name} must be at least {minimum}, not {value}")
    return value


def _check_optional_int(name: str, value: Any, minimum: int) -> Optional[int]:
    return None if value is None else _check_int(name, value, minimum)


def _check_optional_setting_text(name: str, value: Any) -> Optional[str]:
    text = _check_optional_str(name, value)
    if text == "":
        raise ConfigError(f"{name} must not be empty")
    return text


def _check_seconds(name: str, value: Any) -> float | int:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    if not math.isfinite(value) or value < 0:
        raise ConfigError(f"{name} must be a finite number >= 0, not {value!r}")
    return value


_CHANNEL_CHARACTERS = frozenset("abcdefghijklmnopqrstuvwxyz0123456789_")


def _check_channel(name: str, value: Any) -> str:
    # LISTEN takes the channel as an identifier: a plain lower-case one needs
    # no quoting and means the same to every process.
    _check_str(name, value)
    if not value or len(value) > 63 or value[0].isdigit() or not set(value) <= _CHANNEL_CHARACTERS:
        raise ConfigError(f"{name} must be 1 to 63 lower-case letters, digits and underscores, "
                          f"not starting with a digit, not {value!r}")
    return cast(str, value)


def _check_bool(name: str, value: Any) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be bool, not {type(value).__name__}")
    return value


def _check_dsn(name: str, value: Any) -> Any:
    if value is not None and type(value) is not str and not callable(value):
        raise TypeError(f"{name} must be a connection string, a callable returning a connection, "
                        f"or None, not {type(value).__name__}")
    return value


def _check_positive_seconds(name: str, value: Any) -> float | int:
    seconds = _check_seconds(name, value)
    if seconds == 0:
        raise ConfigError(f"{name} must be more than 0")
    return seconds


# Attribute -> the check its value must pass, wherever the value comes from.
_CHECKS: dict[str, Callable[[str, Any], Any]] = {
    "log_name": _check_str,
    "config_file_path": _check_path,
    "cleanup_interval_minutes": lambda name, value: _check_int(name, value, 1),
    "default_mode": _check_mode,
    "default_tidewatch_minutes": lambda name, value: _check_int(name, value, 0),
    "lock_timeout_seconds": _check_seconds,
    "persist_base_path": _check_optional_str,
    "service_name": _check_name,
    "result_cache_bytes": lambda name, value: _check_int(name, value, 0),
    "async_pool_size": lambda name, value: _check_int(name, value, 1),
    "duckdb_threads": lambda name, value: _check_optional_int(name, value, 1),
    "duckdb_async_threads": lambda name, value: _check_optional_int(name, value, 0),
    "duckdb_memory_limit": _check_optional_setting_text,
    "duckdb_temp_directory": _check_optional_setting_text,
    "external_timeout_seconds": _check_seconds,
    "external_dsn": _check_optional_setting_text,
    "signal_enabled": _check_bool,
    "signal_dsn": _check_dsn,
    "signal_channel": _check_channel,
    "signal_timeout_seconds": _check_positive_seconds,
    "signal_reconnect_max_seconds": _check_positive_seconds,
}

# BrindleConfig attribute -> the DuckDB setting it gives every database the
# cache opens (None: DuckDB's own default).
DUCKDB_SETTINGS = {
    "duckdb_threads": "threads",
    "duckdb_async_threads": "async_threads",
    "duckdb_memory_limit": "memory_limit",
    "duckdb_temp_directory": "temp_directory",
}


def _checked(attribute: str, value: Any) -> Any:
    return _CHECKS[attribute](attribute, value)


class BrindleConfig:
    """Process-wide settings of the cache.

    Args:
        log_name: name of the manager's logger; persistence logs under
            ``log_name + ".persistence"``.
        config_file_path: path of the resolver's JSON file, or None for none.
        cleanup_interval_minutes: minutes between background cleanup passes.
        default_mode: "single_db" or "per_table_db" for databases the file
            does not mention.
        default_tidewatch_minutes: time-to-live in minutes for tables the
            file does not mention.
        lock_timeout_seconds: how long a writer waits for a connection's
            write lock.
        persist_base_path: directory for persisted files, or None/"" for none.
        service_name: this service's name in the outside snapshot store.
        result_cache_bytes: memory budget of the manager's cache of query
            answers, in bytes; 0 turns that cache off.
        async_pool_size: threads of the pool the manager's awaitable methods
            (``aquery``, ``astore``, ...) run on.
        duckdb_threads: DuckDB's ``threads`` for every database the cache
            opens; None keeps DuckDB's default (one per core).
        duckdb_async_threads: DuckDB's ``async_threads`` (I/O threads); None
            keeps DuckDB's default of 8 per database.
        duckdb_memory_limit: DuckDB's ``memory_limit`` (e.g. "2GB"); None
            keeps DuckDB's default (80% of the machine's memory).
        duckdb_temp_directory: DuckDB's ``temp_directory`` for spilling;
            None keeps DuckDB's default.
        external_timeout_seconds: how long an operation on the outside
            snapshot store waits for the connector another operation is using.
        external_dsn: libpq connection string of a PostgreSQL database holding
            the outside snapshots; a manager built without a connector then
            uses ``brindle.cellarage.PostgresConnector`` on it. None for none.
        signal_enabled: keep this process coherent with the other processes
            of the service through PostgreSQL notifications (brindle.signalman).
        signal_dsn: libpq connection string of the snapshot database for the
            notifications and load locks, or a callable returning a new
            psycopg connection.
        signal_channel: the notification channel the service's processes share.
        signal_timeout_seconds: connect and statement timeout of those connections.
        signal_reconnect_max_seconds: longest pause between two attempts to
            reconnect the listener.
    """

    # Environment variable -> the attribute it sets, for from_env().
    ENVIRONMENT = {
        "BRINDLE_LOG_NAME": "log_name",
        "BRINDLE_CONFIG_FILE": "config_file_path",
        "BRINDLE_CLEANUP_INTERVAL_MINUTES": "cleanup_interval_minutes",
        "BRINDLE_DEFAULT_MODE": "default_mode",
        "BRINDLE_DEFAULT_TTL_MINUTES": "default_tidewatch_minutes",
        "BRINDLE_LOCK_TIMEOUT_SECONDS": "lock_timeout_seconds",
        "BRINDLE_PERSIST_BASE_PATH": "persist_base_path",
        "BRINDLE_SERVICE_NAME": "service_name",
        "BRINDLE_RESULT_CACHE_BYTES": "result_cache_bytes",
        "BRINDLE_ASYNC_POOL_SIZE": "async_pool_size",
        "BRINDLE_DUCKDB_THREADS": "duckdb_threads",
        "BRINDLE_DUCKDB_ASYNC_THREADS": "duckdb_async_threads",
        "BRINDLE_DUCKDB_MEMORY_LIMIT": "duckdb_memory_limit",
        "BRINDLE_DUCKDB_TEMP_DIRECTORY": "duckdb_temp_directory",
        "BRINDLE_EXTERNAL_TIMEOUT_SECONDS": "external_timeout_seconds",
        "BRINDLE_EXTERNAL_DSN": "external_dsn",
        "BRINDLE_SIGNAL": "signal_enabled",
        "BRINDLE_SIGNAL_DSN": "signal_dsn",
        "BRINDLE_SIGNAL_CHANNEL": "signal_channel",
        "BRINDLE_SIGNAL_TIMEOUT_SECONDS": "signal_timeout_seconds",
        "BRINDLE_SIGNAL_RECONNECT_MAX_SECONDS": "signal_reconnect_max_seconds",
    }

    def __init__(
        self,
        log_name: str = "brindle",
        config_file_path: Optional[str] = None,
        cleanup_interval_minutes: int = 5,
        default_mode: str = SINGLE_DB,
        default_tidewatch_minutes: int = 60,
        lock_timeout_seconds: float = 30.0,
        persist_base_path: Optional[str] = None,
        service_name: str = "brindle",
        result_cache_bytes: int = DEFAULT_RESULT_CACHE_BYTES,
        async_pool_size: int = DEFAULT_ASYNC_POOL_SIZE,
        duckdb_threads: Optional[int] = None,
        duckdb_async_threads: Optional[int] = DEFAULT_DUCKDB_ASYNC_THREADS,
        duckdb_memory_limit: Optional[str] = None,
        duckdb_temp_directory: Optional[str] = None,
        external_timeout_seconds: float = 30.0,
        external_dsn: Optional[str] = None,
        signal_enabled: bool = False,
        signal_dsn: Any = None,
        signal_channel: str = "brindle_snapshots",
        signal_timeout_seconds: float = 10.0,
        signal_reconnect_max_seconds: float = 30.0,
    ) -> None:
        self.log_name: str = _checked("log_name", log_name)
        self.config_file_path: Optional[str] = _checked("config_file_path", config_file_path)
        self.cleanup_interval_minutes: int = _checked("cleanup_interval_minutes", cleanup_interval_minutes)
        self.default_mode: str = _checked("default_mode", default_mode)
        self.default_tidewatch_minutes: int = _checked("default_tidewatch_minutes", default_tidewatch_minutes)
        self.lock_timeout_seconds: float = _checked("lock_timeout_seconds", lock_timeout_seconds)
        self.persist_base_path: Optional[str] = _checked("persist_base_path", persist_base_path)
        self.service_name: str = _checked("service_name", service_name)
        self.result_cache_bytes: int = _checked("result_cache_bytes", result_cache_bytes)
        self.async_pool_size: int = _checked("async_pool_size", async_pool_size)
        self.duckdb_threads: Optional[int] = _checked("duckdb_threads", duckdb_threads)
        self.duckdb_async_threads: Optional[int] = _checked("duckdb_async_threads", duckdb_async_threads)
        self.duckdb_memory_limit: Optional[str] = _checked("duckdb_memory_limit", duckdb_memory_limit)
        self.duckdb_temp_directory: Optional[str] = _checked("duckdb_temp_directory", duckdb_temp_directory)
        self.external_timeout_seconds: float = _checked("external_timeout_seconds", external_timeout_seconds)
        self.external_dsn: Optional[str] = _checked("external_dsn", external_dsn)
        self.signal_enabled: bool = _checked("signal_enabled", signal_enabled)
        self.signal_dsn: Any = _checked("signal_dsn", signal_dsn)
        self.signal_channel: str = _checked("signal_channel", signal_channel)
        self.signal_timeout_seconds: float = _checked("signal_timeout_seconds", signal_timeout_seconds)
        self.signal_reconnect_max_seconds: float = _checked("signal_reconnect_max_seconds",
                                                            signal_reconnect_max_seconds)

    @classmethod
    def from_env(cls, environ: Optional[Mapping[str, str]] = None) -> "BrindleConfig":
        """Build a configuration from the BRINDLE_* environment variables.

        Unset variables keep the constructor's defaults. A value that cannot
        be used raises ConfigError naming the variable.
        """
        env = os.environ if environ is None else environ
        kwargs: dict[str, Any] = {}
        for variable, attribute in cls.ENVIRONMENT.items():
            raw = env.get(variable)
            if raw is None:
                continue
            # Checked here, one variable at a time, so that the error names
            # the variable rather than the attribute it sets.
            try:
                kwargs[attribute] = _checked(attribute, _parse_env_value(attribute, raw))
            except (TypeError, ValueError) as exc:
                raise ConfigError(f"Invalid value for {variable}: {raw!r} ({exc})") from exc
        return cls(**kwargs)

    def duckdb_settings(self) -> dict[str, Any]:
        """The DuckDB settings every database gets, as a connect() config dict.

        Settings left at None are not in it, so DuckDB keeps its own default.
        """
        return {
            setting: getattr(self, attribute)
            for attribute, setting in DUCKDB_SETTINGS.items()
            if getattr(self, attribute) is not None
        }

    def __repr__(self) -> str:
        fields = ", ".join(f"{k}={v!r}" for k, v in vars(self).items())
        return f"BrindleConfig({fields})"


_TRUE_WORDS = frozenset({"1", "true", "yes", "on"})
_FALSE_WORDS = frozenset({"0", "false", "no", "off", ""})


def _parse_env_value(attribute: str, raw: str) -> Any:
    if attribute in ("cleanup_interval_minutes", "default_tidewatch_minutes", "result_cache_bytes",
                     "async_pool_size"):
        return int(raw.strip())
    if attribute in ("duckdb_threads", "duckdb_async_threads"):
        return int(raw.strip()) if raw.strip() else None
    if attribute in ("lock_timeout_seconds", "external_timeout_seconds", "signal_timeout_seconds",
                     "signal_reconnect_max_seconds"):
        return float(raw.strip())
    if attribute == "signal_enabled":
        word = raw.strip().lower()
        if word not in _TRUE_WORDS | _FALSE_WORDS:
            raise ConfigError("expected one of 1, true, yes, on, 0, false, no, off")
        return word in _TRUE_WORDS
    if attribute in ("signal_dsn", "external_dsn"):
        return raw or None
    if attribute in ("config_file_path", "persist_base_path"):
        return raw or None
    if attribute in ("duckdb_memory_limit", "duckdb_temp_directory"):
        return raw.strip() or None
    if attribute == "default_mode":
        return raw.strip()
    return raw


class CacheConfigResolver:
    """Answers per-database and per-table questions from a JSON file.

    The file is read once, when the resolver is built; the answers are then
    computed from that immutable snapshot, so every method is safe to call
    from many threads at once. ``config_file_path`` None (or "") means no
    file: every answer comes from the defaults the caller passes.
    """

    _TOP_KEYS = {"databases"}

    def __init__(self, config_file_path: Optional[str] = None) -> None:
        self.config_file_path = config_file_path
        self._databases: dict[str, dict[str, Any]] = {}
        if config_file_path:
            self._databases = self._load(os.fspath(config_file_path))

    @classmethod
    def _load(cls, path: str) -> dict[str, dict[str, Any]]:
        try:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
        except FileNotFoundError as exc:
            raise ConfigError(f"Configuration file not found: {path}") from exc
        except json.JSONDecodeError as exc:
            raise ConfigError(f"Configuration file {path} is not valid JSON: {exc}") from exc
        except OSError as exc:
            raise ConfigError(f"Cannot read configuration file {path}: {exc}") from exc
        if not isinstance(data, dict):
            raise ConfigError(f"Configuration file {path}: top level must be an object")
        _refuse_unknown_keys(f"Configuration file {path}", data, cls._TOP_KEYS)
        databases = data.get("databases", {})
        if not isinstance(databases, dict):
            raise ConfigError(f"Configuration file {path}: 'databases' must be an object")
        for name, entry in databases.items():
            cls._validate_database(path, name, entry)
        return databases

    @classmethod
    def _validate_database(cls, path: str, name: str, entry: Any) -> None:
        where = f"Configuration file {path}: database {name!r}"
        _check_section(where, entry, _DATABASE_RULES)
        for table, settings in entry.get("tables", {}).items():
            _check_section(f"{where}, table {table!r}", settings, _TABLE_RULES)
        if "duckdb" in entry:
            _check_section(f"{where}, duckdb", entry["duckdb"], _DUCKDB_RULES)

    def _database(self, database: str) -> dict[str, Any]:
        return self._databases.get(database, {})

    def _table(self, database: str, table: str) -> dict[str, Any]:
        return cast("dict[str, Any]", self._database(database).get("tables", {}).get(table, {}))

    def get_mode(self, database: str, default_mode: str) -> str:
        """The database's storage mode, or default_mode when not configured."""
        return cast(str, self._database(database).get("mode", default_mode))

    def get_ttl(self, database: str, table: str, default_ttl: int) -> int:
        """The table's time-to-live in minutes: table, then database, then default."""
        table_ttl = self._table(database, table).get("ttl_minutes")
        if table_ttl is not None:
            return cast(int, table_ttl)
        return cast(int, self._database(database).get("ttl_minutes", default_ttl))

    def is_scheduler_managed(self, database: str, table: str) -> bool:
        """True when an outside scheduler refreshes the table."""
        return bool(self._table(database, table).get("scheduler_managed", False))

    def get_persist_path(self, database: str, persist_base_path: Optional[str]) -> Optional[str]:
        """Path of the database's .duckdb file, or None when it lives in memory.

        A per-database "persist_path" comes first; "in_memory": true keeps the
        database in memory even with a global base path (what table-level
        Parquet persistence needs); otherwise a global base path gives
        ``<base>/<database>.duckdb``.
        """
        entry = self._database(database)
        if entry.get("persist_path"):
            return cast(str, entry["persist_path"])
        if entry.get("in_memory", False):
            return None
        if persist_base_path:
            return os.path.join(persist_base_path, database + ".duckdb")
        return None

    def is_table_persistent(self, database: str, table: str) -> bool:
        """True when the table is marked "persist": true."""
        return bool(self._table(database, table).get("persist", False))

    def is_result_cache_enabled(self, database: str, table: str) -> bool:
        """True unless "result_cache": false is set for the table or its database.

        A table's setting wins over its database's. Where it is false, the
        manager keeps no query answers of the table.
        """
        table_setting = self._table(database, table).get("result_cache")
        if table_setting is not None:
            return bool(table_setting)
        return bool(self._database(database).get("result_cache", True))

    def get_duckdb_settings(self, database: str, defaults: Mapping[str, Any]) -> dict[str, Any]:
        """The DuckDB settings the database is opened with.

        The database's "duckdb" entry (``threads``, ``async_threads``,
        ``memory_limit``, ``temp_directory``) overrides ``defaults`` key by key;
        a null value there means DuckDB's own default.
        """
        settings = dict(defaults)
        for key, value in self._database(database).get("duckdb", {}).items():
            if value is None:
                settings.pop(key, None)
            else:
                settings[key] = value
        return settings


def _check_section(where: str, entry: Any, rules: Mapping[str, tuple[Callable[[Any], bool], str]]) -> None:
    if not isinstance(entry, dict):
        raise ConfigError(f"{where} must be an object")
    _refuse_unknown_keys(where, entry, rules.keys())
    for key, (valid, must) in rules.items():
        if key in entry and not valid(entry[key]):
            raise ConfigError(f"{where}: {key} {must}")


def _refuse_unknown_keys(where: str, entry: dict[str, Any], known: AbstractSet[str]) -> None:
    # A misspelled key would otherwise be ignored without a word.
    unknown = set(entry) - known
    if unknown:
        raise ConfigError(f"{where} has unknown keys: {', '.join(sorted(unknown))}")


def _is_plain_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_bool(value: Any) -> bool:
    return isinstance(value, bool)


# Key of a database or table entry -> (test its value must pass, what the
# error says it must be); a key not listed is unknown.
_DATABASE_RULES = {
    "mode": (lambda value: value in _MODES, "must be 'single_db' or 'per_table_db'"),
    "ttl_minutes": (_is_plain_int, "must be an integer"),
    "persist_path": (lambda value: isinstance(value, str) and bool(value), "must be a non-empty string"),
    "in_memory": (_is_bool, "must be true or false"),
    "tables": (lambda value: isinstance(value, dict), "must be an object"),
    "result_cache": (_is_bool, "must be true or false"),
    "duckdb": (lambda value: isinstance(value, dict), "must be an object"),
}
_TABLE_RULES = {
    "ttl_minutes": (_is_plain_int, "must be an integer"),
    "scheduler_managed": (_is_bool, "must be true or false"),
    "persist": (_is_bool, "must be true or false"),
    "result_cache": (_is_bool, "must be true or false"),
}


def _is_none_or(valid: Callable[[Any], bool]) -> Callable[[Any], bool]:
    return lambda value: value is None or valid(value)


def _is_text(value: Any) -> bool:
    return isinstance(value, str) and bool(value)


_DUCKDB_RULES = {
    "threads": (_is_none_or(lambda v: _is_plain_int(v) and v >= 1), "must be an integer of at least 1, or null"),
    "async_threads": (_is_none_or(lambda v: _is_plain_int(v) and v >= 0), "must be an integer of at least 0, or null"),
    "memory_limit": (_is_none_or(_is_text), "must be a non-empty string, or null"),
    "temp_directory": (_is_none_or(_is_text), "must be a non-empty string, or null"),
}
