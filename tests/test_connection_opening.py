"""A slow open of one database's connection holds up nobody else; openers of the same key share one open."""

import threading
import time
from unittest import mock

import duckdb
import pytest

import brindle.quaymaster as qm
from manager_support import frame, make_manager  # noqa: F401


class SlowToOpen:
    """Stands in for the duckdb module: connect() waits until released once armed."""

    def __init__(self):
        self.armed, self.opening, self.release = False, threading.Event(), threading.Event()
        self.opened = 0

    def __getattr__(self, name):
        return getattr(duckdb, name)

    def connect(self, *args, **kwargs):
        if self.armed:
            self.opened += 1
            self.opening.set()
            self.release.wait(10)
        return duckdb.connect(*args, **kwargs)


@pytest.mark.parametrize("mode", ["single_db", "per_table_db"])
def test_a_slow_open_of_one_database_does_not_delay_a_query_of_another(make_manager, mode):
    slow = SlowToOpen()
    with mock.patch.object(qm, "duckdb", slow):
        m = make_manager(default_mode=mode)
        m.store("fast", "t", frame())
        slow.armed = True
        openers = [threading.Thread(target=m.store, args=("slow", "t", frame())) for _ in range(2)]
        for t in openers:
            t.start()
        assert slow.opening.wait(10)
        started = time.monotonic()
        rows = m.query("fast", "t")
        stats = m.stats()
        took = time.monotonic() - started
        slow.release.set()
        for t in openers:
            t.join(10)
    assert took < 1.5 and len(rows) == 3 and [s["database"] for s in stats] == ["fast"]
    assert len(m.query("slow", "t")) == 3
    assert slow.opened == 1   # the second store waited for the first one's open
