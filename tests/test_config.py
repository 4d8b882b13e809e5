import json
import os

import pytest

from brindle import errors
from brindle.config import BrindleConfig, CacheConfigResolver, ConfigError
from conftest import run_threads


def test_defaults_cover_every_attribute():
    cfg = BrindleConfig()
    assert vars(cfg) == {
        "log_name": "brindle",
        "config_file_path": None,
        "cleanup_interval_minutes": 5,
        "default_mode": "single_db",
        "default_tidewatch_minutes": 60,
        "lock_timeout_seconds": 30.0,
        "persist_base_path": None,
        "service_name": "brindle",
        "result_cache_bytes": 64 * 1024 * 1024,
        "async_pool_size": 8,
        "duckdb_threads": None,
        "duckdb_async_threads": 0,
        "duckdb_memory_limit": None,
        "duckdb_temp_directory": None,
        "external_timeout_seconds": 30.0,
        "external_dsn": None,
        "signal_enabled": False,
        "signal_dsn": None,
        "signal_channel": "brindle_snapshots",
        "signal_timeout_seconds": 10.0,
        "signal_reconnect_max_seconds": 30.0,
    }
    assert cfg.duckdb_settings() == {"async_threads": 0}


def test_from_env_reads_every_variable():
    env = {
        "BRINDLE_LOG_NAME": "svc.cache",
        "BRINDLE_CONFIG_FILE": "/etc/brindle/connector_config.json",
        "BRINDLE_CLEANUP_INTERVAL_MINUTES": "2",
        "BRINDLE_DEFAULT_MODE": "per_table_db",
        "BRINDLE_DEFAULT_TTL_MINUTES": "15",
        "BRINDLE_LOCK_TIMEOUT_SECONDS": "2.5",
        "BRINDLE_PERSIST_BASE_PATH": "/var/lib/brindle",
        "BRINDLE_SERVICE_NAME": "orders",
        "BRINDLE_RESULT_CACHE_BYTES": "0",
        "BRINDLE_ASYNC_POOL_SIZE": "3",
        "BRINDLE_DUCKDB_THREADS": "3",
        "BRINDLE_DUCKDB_ASYNC_THREADS": "",
        "BRINDLE_DUCKDB_MEMORY_LIMIT": "1GB",
        "BRINDLE_DUCKDB_TEMP_DIRECTORY": "/tmp/spill",
        "BRINDLE_EXTERNAL_TIMEOUT_SECONDS": "4",
        "BRINDLE_EXTERNAL_DSN": "host=db dbname=snapshots",
        "BRINDLE_SIGNAL": "on",
        "BRINDLE_SIGNAL_DSN": "host=db dbname=cache",
        "BRINDLE_SIGNAL_CHANNEL": "orders_news",
        "BRINDLE_SIGNAL_TIMEOUT_SECONDS": "3",
        "BRINDLE_SIGNAL_RECONNECT_MAX_SECONDS": "7.5",
    }
    cfg = BrindleConfig.from_env(env)
    assert cfg.duckdb_settings() == {"threads": 3, "memory_limit": "1GB", "temp_directory": "/tmp/spill"}
    assert (cfg.external_timeout_seconds, cfg.external_dsn, cfg.signal_enabled, cfg.signal_dsn, cfg.signal_channel,
            cfg.signal_timeout_seconds, cfg.signal_reconnect_max_seconds) == (
        4.0, "host=db dbname=snapshots", True, "host=db dbname=cache", "orders_news", 3.0, 7.5)
    assert set(env) == set(BrindleConfig.ENVIRONMENT) and BrindleConfig.from_env({}).external_dsn is None
    assert (cfg.log_name, cfg.config_file_path, cfg.cleanup_interval_minutes, cfg.default_mode,
            cfg.default_tidewatch_minutes, cfg.lock_timeout_seconds, cfg.persist_base_path, cfg.service_name,
            cfg.result_cache_bytes, cfg.async_pool_size) == (
        "svc.cache", "/etc/brindle/connector_config.json", 2, "per_table_db", 15, 2.5, "/var/lib/brindle", "orders",
        0, 3)


def test_from_env_uses_the_process_environment(monkeypatch):
    monkeypatch.setenv("BRINDLE_SERVICE_NAME", "from-env")
    assert BrindleConfig.from_env().service_name == "from-env"


@pytest.mark.parametrize(
    "variable, value",
    [
        ("BRINDLE_CLEANUP_INTERVAL_MINUTES", "soon"),
        ("BRINDLE_CLEANUP_INTERVAL_MINUTES", "0"),
        ("BRINDLE_ASYNC_POOL_SIZE", "0"),
        ("BRINDLE_DEFAULT_MODE", "sharded"),
        ("BRINDLE_DEFAULT_TTL_MINUTES", "1.5"),
        ("BRINDLE_LOCK_TIMEOUT_SECONDS", "-1"),
        ("BRINDLE_LOCK_TIMEOUT_SECONDS", "nan"),
        ("BRINDLE_SIGNAL", "maybe"),
        ("BRINDLE_SIGNAL_CHANNEL", "Orders-News"),
        ("BRINDLE_SIGNAL_TIMEOUT_SECONDS", "0"),
        ("BRINDLE_EXTERNAL_TIMEOUT_SECONDS", "-2"),
        ("BRINDLE_DEFAULT_TTL_MINUTES", "-1"),
        ("BRINDLE_SERVICE_NAME", ""),
        ("BRINDLE_RESULT_CACHE_BYTES", "-1"),
        ("BRINDLE_RESULT_CACHE_BYTES", "64MB"),
        ("BRINDLE_DUCKDB_THREADS", "0"),
        ("BRINDLE_DUCKDB_THREADS", "two"),
        ("BRINDLE_DUCKDB_ASYNC_THREADS", "-1"),
    ],
)
def test_from_env_names_the_bad_variable(variable, value):
    with pytest.raises(ConfigError) as err:
        BrindleConfig.from_env({variable: value})
    assert str(err.value).startswith(f"Invalid value for {variable}: {value!r} (")


@pytest.mark.parametrize(
    "kwargs, error",
    [({"log_name": None}, TypeError), ({"cleanup_interval_minutes": "5"}, TypeError),
     ({"default_mode": "other"}, ConfigError), ({"lock_timeout_seconds": True}, TypeError),
     ({"service_name": ""}, ConfigError), ({"duckdb_threads": 0}, ConfigError),
     ({"duckdb_async_threads": 1.0}, TypeError), ({"duckdb_memory_limit": ""}, ConfigError),
     ({"duckdb_temp_directory": 5}, TypeError)],
)
def test_constructor_checks_values(kwargs, error):
    with pytest.raises(error):
        BrindleConfig(**kwargs)


@pytest.mark.parametrize(
    "attribute, value, error, message",
    [("result_cache_bytes", "not a number", TypeError, "result_cache_bytes must be an integer of at least 0, not str"),
     ("result_cache_bytes", -1, ConfigError, "result_cache_bytes must be an integer of at least 0, not -1"),
     ("lock_timeout_seconds", None, TypeError, "lock_timeout_seconds must be a number of seconds, not NoneType"),
     ("default_mode", "sharded", ConfigError, "default_mode must be 'single_db' or 'per_table_db', not 'sharded'"),
     ("external_dsn", 5, TypeError, "external_dsn must be str or None, not int"),
     ("signal_enabled", "yes", TypeError, "signal_enabled must be bool, not str"),
     ("result_cache_byte", 0, AttributeError, "BrindleConfig has no setting 'result_cache_byte'")],
)
def test_assignment_checks_values(attribute, value, error, message):
    cfg = BrindleConfig()
    before = vars(cfg).copy()
    with pytest.raises(error, match=f"^{message}$"):
        setattr(cfg, attribute, value)
    assert vars(cfg) == before
    cfg.result_cache_bytes = 1 << 20
    cfg.external_dsn = "host=db"
    assert (cfg.result_cache_bytes, cfg.external_dsn) == (1 << 20, "host=db")


def write(tmp_path, data, name="connector_config.json"):
    path = tmp_path / name
    path.write_text(json.dumps(data) if not isinstance(data, str) else data)
    return str(path)


@pytest.fixture
def resolver(tmp_path):
    return CacheConfigResolver(write(tmp_path, {
        "databases": {
            "sales": {
                "mode": "per_table_db",
                "ttl_minutes": 30,
                "tables": {"daily": {"ttl_minutes": 10, "scheduler_managed": True, "persist": True,
                                     "result_cache": True}},
                "result_cache": False,
            },
            "archive": {"persist_path": "/data/archive.duckdb"},
            "scratch": {"in_memory": True, "tables": {"kept": {"persist": True, "result_cache": False}}},
        }
    }))


def test_resolver_answers(resolver):
    assert resolver.get_mode("sales", "single_db") == "per_table_db"
    assert resolver.get_mode("other", "single_db") == "single_db"
    assert resolver.get_ttl("sales", "daily", 60) == 10
    assert resolver.get_ttl("sales", "weekly", 60) == 30
    assert resolver.get_ttl("other", "x", 60) == 60
    assert resolver.is_scheduler_managed("sales", "daily") is True
    assert resolver.is_scheduler_managed("sales", "weekly") is False
    assert resolver.is_table_persistent("sales", "daily") is True
    assert resolver.is_table_persistent("scratch", "other") is False
    assert [resolver.is_result_cache_enabled(*key) for key in
            [("sales", "daily"), ("sales", "weekly"), ("scratch", "kept"), ("scratch", "other"), ("x", "t")]] == [
        True, False, False, True, True]


@pytest.mark.parametrize(
    "database, base, expected",
    [
        ("archive", None, "/data/archive.duckdb"),
        ("archive", "/base", "/data/archive.duckdb"),
        ("scratch", "/base", None),
        ("sales", "/base", os.path.join("/base", "sales.duckdb")),
        ("sales", None, None),
        ("sales", "", None),
    ],
)
def test_persist_path_rules(resolver, database, base, expected):
    assert resolver.get_persist_path(database, base) == expected


def test_no_file_means_defaults():
    r = CacheConfigResolver(None)
    assert r.get_mode("x", "per_table_db") == "per_table_db"
    assert r.get_ttl("x", "t", 7) == 7
    assert r.get_persist_path("x", "/base") == os.path.join("/base", "x.duckdb")


@pytest.mark.parametrize(
    "content, fragment",
    [
        (None, "not found"),
        ("{not json", "not valid JSON"),
        ("[]", "top level must be an object"),
        ({"databases": {"a": {"mode": "sharded"}}}, "mode must be"),
        ({"databases": {"a": {"tables": {"t": {"ttl_minutes": "10"}}}}}, "ttl_minutes must be an integer"),
        ({"databases": {"a": {"tabels": {}}}}, "unknown keys: tabels"),
        ({"databse": {"a": {}}}, "unknown keys: databse"),
        ({"databases": {"a": {"ttl_minute": 5}}}, "unknown keys: ttl_minute"),
        ({"databases": {"a": {"tables": {"t": {"ttl_minute": 5}}}}}, "unknown keys: ttl_minute"),
        ({"databases": {"a": {"tables": {"t": {"result_cache": "no"}}}}}, "result_cache must be true or false"),
        ({"databases": {"a": {"duckdb": {"thread": 1}}}}, "unknown keys: thread"),
        ({"databases": {"a": {"duckdb": {"threads": 0}}}}, "threads must be an integer of at least 1"),
        ({"databases": {"a": {"duckdb": {"memory_limit": 5}}}}, "memory_limit must be a non-empty string"),
        ({"databases": {"a": {"duckdb": []}}}, "duckdb must be an object"),
    ],
)
def test_bad_files_name_the_file(tmp_path, content, fragment):
    path = str(tmp_path / "connector_config.json") if content is None else write(tmp_path, content)
    with pytest.raises(ConfigError) as err:
        CacheConfigResolver(path)
    assert path in str(err.value) and fragment in str(err.value)


def test_resolver_is_safe_from_many_threads(resolver):
    answers = []

    def ask():
        for _ in range(500):
            answers.append((resolver.get_ttl("sales", "daily", 1), resolver.get_mode("sales", "single_db")))

    run_threads(4, lambda i: ask())
    assert set(answers) == {(10, "per_table_db")}


@pytest.mark.parametrize("name", ["BrindleNotFoundError", "BrindleLockError", "BrindleStaleError",
                                  "BrindlePersistenceError", "ConfigError"])
def test_error_classes(name):
    cls = getattr(errors, name)
    assert issubclass(cls, errors.BrindleError) and issubclass(errors.BrindleError, Exception)
    err = cls("Table a.b not found in cache")
    assert str(err) == "Table a.b not found in cache" and err.args == ("Table a.b not found in cache",)


def test_config_errors_are_brindle_errors_and_value_errors():
    import brindle
    assert brindle.ConfigError is errors.ConfigError is ConfigError
    for family in (errors.BrindleError, ValueError):
        with pytest.raises(family):
            BrindleConfig.from_env({"BRINDLE_DEFAULT_MODE": "sharded"})


def test_duckdb_settings_per_database(tmp_path):
    r = CacheConfigResolver(write(tmp_path, {"databases": {
        "big": {"duckdb": {"threads": 4, "memory_limit": "2GB", "async_threads": None}}}}))
    defaults = {"async_threads": 0, "threads": 1}
    assert r.get_duckdb_settings("big", defaults) == {"threads": 4, "memory_limit": "2GB"}
    assert r.get_duckdb_settings("other", defaults) == defaults
