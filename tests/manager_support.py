"""Fixtures shared by the manager tests: fresh singletons and small stand-ins."""

import json
import threading
import time as real_time

import pandas as pd
import pytest

import brindle.quaymaster as qm
import brindle.tidewatch as tw
from brindle.config import BrindleConfig


class CleanupTime:
    """Stands in for the `time` module the cleanup thread sleeps through.

    By default a cleanup thread sleeps until the test ends or its registry is
    asked to stop; with `fast` set it runs passes back to back.
    """

    def __init__(self):
        self.wake = threading.Event()
        self.fast = False
        self.registries = []

    def sleep(self, seconds):
        if self.fast:
            real_time.sleep(0.001)
            return
        me = threading.current_thread()
        stop = next(r._cleanup_stop_event for r in self.registries if r._cleanup_thread is me)
        while not (self.wake.is_set() or stop.is_set()):
            real_time.sleep(0.005)


@pytest.fixture
def make_manager(monkeypatch, tmp_path):
    """make_manager(connector=None, databases=None, **settings) -> a fresh BrindleManager.

    `databases` is written as the configuration file; `settings` go to
    BrindleConfig. Every manager made is shut down when the test ends.
    """
    cleanup_time = CleanupTime()
    monkeypatch.setattr(tw, "time", cleanup_time)
    saved = qm.BrindleManager._instance, tw.TTLRegistry._instance
    made = []

    def make(connector=None, databases=None, **settings):
        qm.BrindleManager._instance = None
        tw.TTLRegistry._instance = None
        if databases is not None:
            path = tmp_path / "connector_config.json"
            path.write_text(json.dumps({"databases": databases}))
            settings["config_file_path"] = str(path)
        cleanup_time.registries.append(tw.TTLRegistry())
        manager = qm.BrindleManager(BrindleConfig(**settings), connector)
        made.append(manager)
        return manager

    make.cleanup_time = cleanup_time
    yield make
    cleanup_time.wake.set()
    for manager in made:
        manager.shutdown()
    qm.BrindleManager._instance, tw.TTLRegistry._instance = saved


def frame(n=3, version=0):
    return pd.DataFrame({"id": range(n), "version": [version] * n})


class RecordingConnector:
    """An outside store in memory, driven through execute/fetchone/fetchall."""

    def __init__(self):
        self.rows = {}
        self.result = []

    def execute(self, sql, params):
        if sql.startswith("DELETE"):
            for key in [k for k in self.rows if k[:len(params)] == params]:
                del self.rows[key]
        elif sql.startswith("INSERT"):
            self.rows[params[:3]] = params[3]
        elif sql.startswith("SELECT data"):
            self.result = [(self.rows[params],)] if params in self.rows else []
        else:
            self.result = [(k[1], k[2], v) for k, v in self.rows.items() if k[0] == params[0]]

    def fetchone(self):
        return self.result[0] if self.result else None

    def fetchall(self):
        return list(self.result)
