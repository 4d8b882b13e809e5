"""Configuration of brindle: global settings and per-database answers.

``BrindleConfig`` holds the process-wide settings; ``BrindleConfig.from_env()``
builds one from ``BRINDLE_*`` environment variables. ``CacheConfigResolver``
answers per-database and per-table questions from a JSON file
(``connector_config.json`` by convention); docs/configuration.md describes its format.
"""

from __future__ import annotations

import dataclasses
import json
import math
import os
import textwrap
from typing import AbstractSet, Any, Callable, ClassVar, Mapping, Optional, cast

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


def _int_check(minimum: int, optional: bool = False) -> Callable[[str, Any], Any]:
    def check(name: str, value: Any) -> Optional[int]:
        if value is None and optional:
            return None
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an integer of at least {minimum}"
                            f"{' or None' if optional else ''}, not {type(value).__name__}")
        if value < minimum:
            raise ConfigError(f"{name} must be an integer of at least {minimum}, not {value}")
        return value

    return check


def _check_optional_setting_text(name: str, value: Any) -> Optional[str]:
    if value is not None and (type(value) is not str or not value):
        raise (TypeError if type(value) is not str else ConfigError)(
            f"{name} must be a non-empty string or None, not {value!r}")
    return value


def _check_seconds(name: str, value: Any) -> float | int:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    if not math.isfinite(value) or value < 0:
        raise ConfigError(f"{name} must be a finite number >= 0, not {value!r}")
    return value


def _check_positive_seconds(name: str, value: Any) -> float | int:
    seconds = _check_seconds(name, value)
    if seconds == 0:
        raise ConfigError(f"{name} must be more than 0")
    return seconds


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


# How an environment variable's text becomes a value (checked afterwards).

def _env_text(raw: str) -> str:
    return raw


def _env_stripped(raw: str) -> str:
    return raw.strip()


def _env_text_or_none(raw: str) -> Optional[str]:
    return raw or None


def _env_stripped_or_none(raw: str) -> Optional[str]:
    return raw.strip() or None


def _env_int(raw: str) -> int:
    return int(raw.strip())


def _env_int_or_none(raw: str) -> Optional[int]:
    return int(raw.strip()) if raw.strip() else None


def _env_seconds(raw: str) -> float:
    return float(raw.strip())


_TRUE_WORDS = frozenset({"1", "true", "yes", "on"})
_FALSE_WORDS = frozenset({"0", "false", "no", "off", ""})


def _env_flag(raw: str) -> bool:
    word = raw.strip().lower()
    if word not in _TRUE_WORDS | _FALSE_WORDS:
        raise ConfigError("expected one of 1, true, yes, on, 0, false, no, off")
    return word in _TRUE_WORDS


def _setting(default: Any, check: Callable[[str, Any], Any], env: str, parse: Callable[[str], Any], doc: str,
             duckdb: Optional[str] = None) -> Any:
    """One row of the settings table: a dataclass field whose metadata says
    where the value may also come from and what it must be.

    env: the environment variable from_env() reads it from, and parse how its
    text becomes a value; duckdb: the DuckDB setting it gives every database
    the cache opens, which is also its key in a database's "duckdb" entry of
    the resolver's file; doc: its line in the class docstring.
    """
    return dataclasses.field(default=default, metadata={
        "check": check, "env": env, "parse": parse, "duckdb": duckdb, "doc": doc})


def _settings_docstring(cls: type) -> type:
    # Indented as the written part of the docstring is, so that help() and
    # inspect.getdoc() show one block.
    lines = [cls.__doc__ or "", "", "    Args:"]
    for f in dataclasses.fields(cls):
        lines.append(textwrap.fill(f"{f.name}: {f.metadata['doc']}", width=80, initial_indent="        ",
                                   subsequent_indent="            "))
    cls.__doc__ = "\n".join(lines) + "\n    "
    return cls


@_settings_docstring
@dataclasses.dataclass(eq=False)
class BrindleConfig:
    """Process-wide settings of the cache.

    Each setting is one row below: its type, default, environment variable
    (read by ``from_env()``), check and, for the DuckDB ones, its key in a
    database's "duckdb" entry of the resolver's file. A value is checked
    whenever it is set, at construction and by assignment afterwards."""

    log_name: str = _setting(
        "brindle", _check_str, "BRINDLE_LOG_NAME", _env_text,
        'name of the manager\'s logger; persistence logs under ``log_name + ".persistence"``.')
    config_file_path: Optional[str] = _setting(
        None, _check_path, "BRINDLE_CONFIG_FILE", _env_text_or_none,
        "path of the resolver's JSON file, or None for none.")
    cleanup_interval_minutes: int = _setting(
        5, _int_check(1), "BRINDLE_CLEANUP_INTERVAL_MINUTES", _env_int,
        "minutes between background cleanup passes.")
    default_mode: str = _setting(
        SINGLE_DB, _check_mode, "BRINDLE_DEFAULT_MODE", _env_stripped,
        '"single_db" or "per_table_db" for databases the file does not mention.')
    default_tidewatch_minutes: int = _setting(
        60, _int_check(0), "BRINDLE_DEFAULT_TTL_MINUTES", _env_int,
        "time-to-live in minutes for tables the file does not mention.")
    lock_timeout_seconds: float = _setting(
        30.0, _check_seconds, "BRINDLE_LOCK_TIMEOUT_SECONDS", _env_seconds,
        "how long a writer waits for a connection's write lock.")
    persist_base_path: Optional[str] = _setting(
        None, _check_optional_str, "BRINDLE_PERSIST_BASE_PATH", _env_text_or_none,
        'directory for persisted files, or None/"" for none.')
    service_name: str = _setting(
        "brindle", _check_name, "BRINDLE_SERVICE_NAME", _env_text,
        "this service's name in the outside snapshot store.")
    result_cache_bytes: int = _setting(
        DEFAULT_RESULT_CACHE_BYTES, _int_check(0), "BRINDLE_RESULT_CACHE_BYTES", _env_int,
        "memory budget of the manager's cache of query answers, in bytes; 0 turns that cache off.")
    async_pool_size: int = _setting(
        DEFAULT_ASYNC_POOL_SIZE, _int_check(1), "BRINDLE_ASYNC_POOL_SIZE", _env_int,
        "threads of the pool the manager's awaitable methods (``aquery``, ``astore``, ...) run on.")
    duckdb_threads: Optional[int] = _setting(
        None, _int_check(1, optional=True), "BRINDLE_DUCKDB_THREADS", _env_int_or_none,
        "DuckDB's ``threads`` for every database the cache opens; None keeps DuckDB's default "
        "(one per core).", duckdb="threads")
    duckdb_async_threads: Optional[int] = _setting(
        DEFAULT_DUCKDB_ASYNC_THREADS, _int_check(0, optional=True), "BRINDLE_DUCKDB_ASYNC_THREADS",
        _env_int_or_none, "DuckDB's ``async_threads`` (I/O threads); None keeps DuckDB's default of 8 "
        "per database.", duckdb="async_threads")
    duckdb_memory_limit: Optional[str] = _setting(
        None, _check_optional_setting_text, "BRINDLE_DUCKDB_MEMORY_LIMIT", _env_stripped_or_none,
        "DuckDB's ``memory_limit`` (e.g. \"2GB\"); None keeps DuckDB's default (80% of the machine's "
        "memory).", duckdb="memory_limit")
    duckdb_temp_directory: Optional[str] = _setting(
        None, _check_optional_setting_text, "BRINDLE_DUCKDB_TEMP_DIRECTORY", _env_stripped_or_none,
        "DuckDB's ``temp_directory`` for spilling; None keeps DuckDB's default.", duckdb="temp_directory")
    external_timeout_seconds: float = _setting(
        30.0, _check_seconds, "BRINDLE_EXTERNAL_TIMEOUT_SECONDS", _env_seconds,
        "how long an operation on the outside snapshot store waits for the connector another "
        "operation is using.")
    external_dsn: Optional[str] = _setting(
        None, _check_optional_str, "BRINDLE_EXTERNAL_DSN", _env_text_or_none,
        "libpq connection string of the PostgreSQL database that holds the outside snapshots; "
        "with it set and no connector given, the manager uses the PostgreSQL connector the "
        "package ships.")
    signal_enabled: bool = _setting(
        False, _check_bool, "BRINDLE_SIGNAL", _env_flag,
        "keep this process coherent with the other processes of the service through PostgreSQL "
        "notifications (brindle.signalman).")
    signal_dsn: Any = _setting(
        None, _check_dsn, "BRINDLE_SIGNAL_DSN", _env_text_or_none,
        "libpq connection string of the snapshot database for the notifications and load locks, "
        "or a callable returning a new psycopg connection.")
    signal_channel: str = _setting(
        "brindle_snapshots", _check_channel, "BRINDLE_SIGNAL_CHANNEL", _env_text,
        "the notification channel the service's processes share.")
    signal_timeout_seconds: float = _setting(
        10.0, _check_positive_seconds, "BRINDLE_SIGNAL_TIMEOUT_SECONDS", _env_seconds,
        "connect and statement timeout of those connections.")
    signal_reconnect_max_seconds: float = _setting(
        30.0, _check_positive_seconds, "BRINDLE_SIGNAL_RECONNECT_MAX_SECONDS", _env_seconds,
        "longest pause between two attempts to reconnect the listener.")

    # Environment variable -> the attribute it sets, for from_env().
    ENVIRONMENT: ClassVar[dict[str, str]]

    def __setattr__(self, name: str, value: Any) -> None:
        # Every assignment, the constructor's included, passes the setting's
        # check: a wrong value fails where it is set, not later where it is
        # used (or, worse, quietly turns a feature off).
        setting = _FIELDS.get(name)
        if setting is None and not name.startswith("_"):
            raise AttributeError(f"BrindleConfig has no setting {name!r}")
        if setting is not None:
            value = setting.metadata["check"](name, value)
        object.__setattr__(self, name, value)

    @classmethod
    def from_env(cls, environ: Optional[Mapping[str, str]] = None) -> "BrindleConfig":
        """Build a configuration from the BRINDLE_* environment variables.

        Unset variables keep the constructor's defaults. A value that cannot
        be used raises ConfigError naming the variable.
        """
        env = os.environ if environ is None else environ
        kwargs: dict[str, Any] = {}
        for setting in dataclasses.fields(cls):
            variable = setting.metadata["env"]
            raw = env.get(variable)
            if raw is None:
                continue
            # Checked here, one variable at a time, so that the error names
            # the variable rather than the attribute it sets.
            try:
                kwargs[setting.name] = setting.metadata["check"](setting.name, setting.metadata["parse"](raw))
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


# Attribute -> its row of the table.
_FIELDS = {f.name: f for f in dataclasses.fields(BrindleConfig)}
BrindleConfig.ENVIRONMENT = {f.metadata["env"]: f.name for f in _FIELDS.values()}

# BrindleConfig attribute -> the DuckDB setting it gives every database the
# cache opens (None: DuckDB's own default).
DUCKDB_SETTINGS = {f.name: f.metadata["duckdb"] for f in _FIELDS.values() if f.metadata["duckdb"]}


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


def _check_section(where: str, entry: Any, rules: Mapping[str, Callable[[str, Any], Any]]) -> None:
    if not isinstance(entry, dict):
        raise ConfigError(f"{where} must be an object")
    _refuse_unknown_keys(where, entry, rules.keys())
    for key, check in rules.items():
        if key in entry:
            try:
                check(key, entry[key])
            except (TypeError, ValueError) as exc:
                raise ConfigError(f"{where}: {exc}") from exc


def _refuse_unknown_keys(where: str, entry: dict[str, Any], known: AbstractSet[str]) -> None:
    # A misspelled key would otherwise be ignored without a word.
    unknown = set(entry) - known
    if unknown:
        raise ConfigError(f"{where} has unknown keys: {', '.join(sorted(unknown))}")


def _is_plain_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_bool(value: Any) -> bool:
    return isinstance(value, bool)


def _rule(valid: Callable[[Any], bool], must: str) -> Callable[[str, Any], None]:
    def check(key: str, value: Any) -> None:
        if not valid(value):
            raise ConfigError(f"{key} {must}")

    return check


# Key of a database or table entry -> the check its value must pass; a key
# not listed is unknown.
_DATABASE_RULES = {
    "mode": _rule(lambda value: value in _MODES, "must be 'single_db' or 'per_table_db'"),
    "ttl_minutes": _rule(_is_plain_int, "must be an integer"),
    "persist_path": _rule(lambda value: isinstance(value, str) and bool(value), "must be a non-empty string"),
    "in_memory": _rule(_is_bool, "must be true or false"),
    "tables": _rule(lambda value: isinstance(value, dict), "must be an object"),
    "result_cache": _rule(_is_bool, "must be true or false"),
    "duckdb": _rule(lambda value: isinstance(value, dict), "must be an object"),
}
_TABLE_RULES = {
    "ttl_minutes": _rule(_is_plain_int, "must be an integer"),
    "scheduler_managed": _rule(_is_bool, "must be true or false"),
    "persist": _rule(_is_bool, "must be true or false"),
    "result_cache": _rule(_is_bool, "must be true or false"),
}

# Key of a database's "duckdb" entry -> the check of the global setting it
# overrides; a null there (None) is DuckDB's own default, as it is globally.
_DUCKDB_RULES = {setting: _FIELDS[attribute].metadata["check"] for attribute, setting in DUCKDB_SETTINGS.items()}
