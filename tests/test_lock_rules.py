"""The written lock rules where they used to break: the replaceable clock, nested reads, failing lookups."""

import datetime as _dt
import threading
from unittest import mock

import pandas as pd
import pytest
from duckdb.sqltypes import BIGINT

import brindle.tidewatch as tw
from brindle.config import BrindleConfig
from manager_support import make_manager  # noqa: F401
from tidewatch_support import registry  # noqa: F401


class TimeThatAsks(_dt.datetime):
    """A clock's value whose arithmetic calls the registry, as a logging handler might."""

    registry = None

    def __sub__(self, other):
        if TimeThatAsks.registry is not None:
            TimeThatAsks.registry.exists("db", "t")
        return _dt.datetime(*self.timetuple()[:6]) - _dt.datetime(*other.timetuple()[:6])


class AskingClock:
    at = TimeThatAsks(2030, 1, 1, 12)

    @classmethod
    def now(cls):
        return cls.at


@pytest.mark.parametrize("ask", [lambda r: r.is_expired("db", "t"), lambda r: r._run_cleanup()])
def test_the_clocks_arithmetic_runs_without_the_registry_lock(registry, ask):  # noqa: F811
    with mock.patch("brindle.tidewatch.datetime", AskingClock):
        registry.register("db", "t", 1)
        registry._cleanup_callback = lambda d, t: None
        AskingClock.at = TimeThatAsks(2030, 1, 1, 12, 5)
        TimeThatAsks.registry = registry
        try:
            worker = threading.Thread(target=ask, args=(registry,), daemon=True)
            worker.start()
            worker.join(5)
        finally:
            TimeThatAsks.registry = None
            AskingClock.at = TimeThatAsks(2030, 1, 1, 12)
    assert not worker.is_alive(), "deadlocked on _registry_lock"


@pytest.mark.parametrize("inner_table", ["t", "u"])
def test_a_read_from_inside_a_pending_read_on_the_same_thread_gets_a_cursor_of_its_own(make_manager, inner_table):
    m = make_manager()
    m.store("db", "t", pd.DataFrame({"id": range(1, 100_001)}))
    m.store("db", "u", pd.DataFrame({"id": [7, 8]}))
    seen = []

    def udf(x):
        if x % 20_000 == 0:   # now and then while the outer result streams in
            seen.append(len(m.query("db", inner_table, sql_where="id < 10")))
        return x

    m.get_raw_connection("db").create_function("touch", udf, [BIGINT], BIGINT)
    rows = m.query("db", "t", sql_where="touch(id) > 0")
    assert rows["id"].tolist() == list(range(1, 100_001))
    assert seen == [9 if inner_table == "t" else 2] * 5


class BrokenSetting(BrindleConfig):
    @property
    def signal_enabled(self):
        raise RuntimeError("settings store unreachable")

    @signal_enabled.setter
    def signal_enabled(self, value):
        pass


def test_a_failing_signal_setting_is_reported_not_read_as_off():
    saved = tw.TTLRegistry._instance
    import brindle.quaymaster as qm
    saved_manager = qm.BrindleManager._instance
    qm.BrindleManager._instance = None
    tw.TTLRegistry._instance = None
    try:
        with pytest.raises(RuntimeError, match="settings store unreachable"):
            qm.BrindleManager(BrokenSetting())
    finally:
        manager = qm.BrindleManager._instance
        if manager is not None:
            manager.shutdown()
        qm.BrindleManager._instance, tw.TTLRegistry._instance = saved_manager, saved
