"""The outside store under faults: a connector stuck on one save, and
temporary Parquet files left by writers that died."""

import os
import subprocess
import sys
import threading
import time

import pandas as pd
import pytest

from brindle.cellarage import PersistenceCoordinator
from brindle.config import BrindleConfig, CacheConfigResolver
from brindle.errors import BrindlePersistenceError
from manager_support import make_manager  # noqa: F401


class StuckConnector:
    """Hangs every statement about table "slow" until released."""

    def __init__(self):
        self.release = threading.Event()
        self.entered = threading.Event()
        self.statements = []

    def execute(self, sql, params):
        if params[2:3] == ("slow",):
            self.entered.set()
            self.release.wait(30)
        self.statements.append((sql, params))

    def fetchone(self):
        return None

    def fetchall(self):
        return []


def test_a_stuck_save_holds_up_other_tables_no_longer_than_the_timeout():
    connector = StuckConnector()
    config = BrindleConfig(service_name="orders", external_timeout_seconds=0.2)
    p = PersistenceCoordinator(config, CacheConfigResolver(None), connector)
    df = pd.DataFrame({"x": [1]})
    slow = threading.Thread(target=p.save_to_external, args=("db", "slow", df))
    slow.start()
    assert connector.entered.wait(10)
    try:
        with pytest.raises(BrindlePersistenceError) as info:
            p.save_to_external("db", "fast", df)
        assert isinstance(info.value.__cause__, TimeoutError)
        assert "external_timeout_seconds" in str(info.value)
    finally:
        connector.release.set()
        slow.join(10)
    p.save_to_external("db", "fast", df)  # the connector is free again
    assert [params[2] for _, params in connector.statements].count("fast") == 2


def dead_pid():
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


def test_stale_temporary_files_go_and_live_writers_keep_theirs(tmp_path):
    base = tmp_path / "base"
    (base / "db").mkdir(parents=True)
    dead, mine = dead_pid(), os.getpid()
    names = {
        f".t.parquet.{dead}-ab12-0.tmp": False,      # writer gone
        f".t.parquet.{mine}-ab12-1.tmp": True,       # a write of ours under way
        f".old.parquet.{mine}-ab12-2.tmp": False,    # ours, but a day old
        "t.parquet": True,                           # a table
        f".notes.{dead}-x.tmp": True,                # not one of our temporary names
    }
    for name in names:
        (base / "db" / name).write_bytes(b"x")
    day_ago = time.time() - 25 * 3600
    os.utime(base / "db" / f".old.parquet.{mine}-ab12-2.tmp", (day_ago, day_ago))
    p = PersistenceCoordinator(BrindleConfig(persist_base_path=str(base)), CacheConfigResolver(None))
    assert p._remove_stale_temp_files() == 2
    assert sorted(os.listdir(base / "db")) == sorted(n for n, kept in names.items() if kept)
    assert PersistenceCoordinator(BrindleConfig(), CacheConfigResolver(None))._remove_stale_temp_files() == 0


def test_the_manager_removes_stale_files_at_start_up_and_on_parquet_warm_up(make_manager, tmp_path):
    base = tmp_path / "base"
    (base / "db").mkdir(parents=True)
    stale = base / "db" / f".t.parquet.{dead_pid()}-ab-0.tmp"
    stale.write_bytes(b"x")
    manager = make_manager(persist_base_path=str(base))
    assert not stale.exists()
    stale.write_bytes(b"x")
    manager.warm_from_parquet()
    assert not stale.exists()

