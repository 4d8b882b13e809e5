"""A store's swap, run in one round trip when its DEBUG lines are not wanted,
fails as a whole and leaves the old table as it was."""

import logging

import pytest

from brindle.errors import BrindleError
from manager_support import frame, make_manager  # noqa: F401

STEPS = ["Creating temporary table 't~new' (4 rows)", "Dropping existing table 't' if present",
         "Renaming 't~new' to 't'"]


@pytest.mark.parametrize("debug", [False, True])
def test_a_failed_swap_leaves_the_old_table_and_the_next_store_works(make_manager, caplog, debug):
    m = make_manager()
    m.store("db", "t", frame(3))
    m.execute_sql("db", 'CREATE TABLE "t~new" (x INTEGER)')  # the swap's first step now fails
    with caplog.at_level(logging.DEBUG if debug else logging.INFO, logger="brindle.stowage"):
        with pytest.raises(BrindleError, match="Failed to store data in table 't'"):
            m.store("db", "t", frame(4, version=1))
    assert list(m.query("db", "t")["version"]) == [0, 0, 0]
    tables = m.execute_sql("db", "SELECT table_name FROM duckdb_tables() ORDER BY 1")["table_name"].tolist()
    assert tables == ["t", "t~new"]  # not its own: left as it was
    m.execute_sql("db", 'DROP TABLE "t~new"')
    caplog.clear()
    with caplog.at_level(logging.DEBUG if debug else logging.INFO, logger="brindle.stowage"):
        m.store("db", "t", frame(4, version=1))
    assert list(m.query("db", "t")["version"]) == [1] * 4
    debug_lines = [r.getMessage() for r in caplog.records if r.levelno == logging.DEBUG]
    assert debug_lines == (STEPS if debug else [])
