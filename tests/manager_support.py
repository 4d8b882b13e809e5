"""Fixtures shared by the manager tests: fresh singletons and small stand-ins."""

import json

import pandas as pd
import pytest

import brindle.quaymaster as qm
import brindle.tidewatch as tw
from brindle.config import BrindleConfig


@pytest.fixture
def make_manager(tmp_path):
    """make_manager(connector=None, databases=None, **settings) -> a fresh BrindleManager.

    `databases` is written as the configuration file; `settings` go to
    BrindleConfig. Every manager made is shut down when the test ends.
    """
    saved = qm.BrindleManager._instance, tw.TTLRegistry._instance
    made = []

    def make(connector=None, databases=None, **settings):
        qm.BrindleManager._instance = None
        tw.TTLRegistry._instance = None
        if databases is not None:
            path = tmp_path / "connector_config.json"
            path.write_text(json.dumps({"databases": databases}))
            settings["config_file_path"] = str(path)
        manager = qm.BrindleManager(BrindleConfig(**settings), connector)
        made.append(manager)
        return manager

    yield make
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
