"""Shared fixtures for brindle's tests."""

import logging

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
