"""Shared fixtures for brindle's tests."""

import contextlib
import logging
import threading

import duckdb
import pytest


@pytest.fixture
def con():
    connection = duckdb.connect()
    yield connection
    connection.close()


@pytest.fixture
def debug_logs(caplog):
    """Capture every record of the package's loggers from DEBUG up."""
    caplog.set_level(logging.DEBUG)
    return caplog


def records_of(caplog, logger_name):
    """(level name, message) pairs written by one logger."""
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == logger_name]


def run_threads(n, target, timeout=60):
    """Runs target(i) for i in range(n), each in its own thread, all released
    at once by a barrier; returns their results in order, or the exception a
    call raised in its place. Fails the test if a call has not returned
    within timeout seconds (the threads are daemons, so one that hangs
    cannot keep the test run from ending)."""
    results = [None] * n
    start = threading.Barrier(n, timeout=timeout)

    def run(i):
        try:
            start.wait()
            results[i] = target(i)
        except BaseException as e:  # noqa: BLE001 - handed back to the test
            results[i] = e

    threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
        assert not t.is_alive(), "a thread never returned"
    return results


@contextlib.contextmanager
def threads_running(n, target, timeout=60):
    """Runs target(i) for i in range(n) in threads while the with-block runs;
    on the way out (after the block has told them to stop) waits for them,
    and fails the test if one is still running after timeout seconds or
    raised. Yields the list their results go into."""
    results = [None] * n
    failures = []

    def run(i):
        try:
            results[i] = target(i)
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(e)

    threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(n)]
    for t in threads:
        t.start()
    try:
        yield results
    finally:
        for t in threads:
            t.join(timeout)
    assert not any(t.is_alive() for t in threads), "a thread never returned"
    assert failures == []
