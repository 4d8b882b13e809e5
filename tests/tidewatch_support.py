"""Fixtures shared by the tidewatch tests: a fresh registry and a hand-set clock."""

import datetime as _dt
from unittest import mock

import pytest

import brindle.tidewatch as tw

START = _dt.datetime(2030, 1, 1, 12, 0, 0)


class Clock:
    """Stands in for the datetime class the module reads the time from."""

    def __init__(self, at=START):
        self.at = at

    def now(self):
        return self.at

    def advance(self, **delta):
        self.at += _dt.timedelta(**delta)


@pytest.fixture
def clock():
    c = Clock()
    with mock.patch("brindle.tidewatch.datetime", c):
        yield c


@pytest.fixture
def registry():
    saved = tw.TTLRegistry._instance
    tw.TTLRegistry._instance = None
    reg = tw.TTLRegistry()
    try:
        yield reg
    finally:
        thread = reg._cleanup_thread
        if thread is not None and thread.is_alive():
            reg._cleanup_stop_event.set()
            reg._cleanup_interval_minutes = 0
            thread.join(timeout=5)
        tw.TTLRegistry._instance = saved


def messages(caplog, level=None):
    return [r.getMessage() for r in caplog.records
            if r.name == "brindle.tidewatch" and (level is None or r.levelname == level)]
