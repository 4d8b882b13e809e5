"""A question is planned once and run by the manager as brindle's own query layer
would run it; a replaced or patched query layer is still called as it is."""

import logging
from unittest import mock

import pandas as pd
import pytest

from brindle.lookout import CacheQuery
from manager_support import frame, make_manager  # noqa: F401

CALLS = {
    "query": lambda m: m.query("db", "t", sql_where="id >= 0", limit=2),
    "query_arrow": lambda m: m.query_arrow("db", "t", sql_where="id >= 0", limit=2),
    "execute_sql": lambda m: m.execute_sql("db", "SELECT id FROM t ORDER BY id LIMIT 2"),
}


class Layer:
    """A query layer of the service's own: answers every read with its own frame."""

    def __init__(self):
        self.calls = []

    def _answer(self, name, *args, **kwargs):
        self.calls.append(name)
        return pd.DataFrame({"a": [len(self.calls)]})

    def query(self, *args, **kwargs):
        return self._answer("query")

    def query_arrow(self, *args, **kwargs):
        return self._answer("query_arrow")

    def execute_sql(self, *args, **kwargs):
        return self._answer("execute_sql")


@pytest.mark.parametrize("method", list(CALLS))
@pytest.mark.parametrize("how", ["instance", "class"])
def test_a_replaced_or_patched_query_layer_is_called_every_time(make_manager, method, how):
    m = make_manager()
    m.store("db", "t", frame(5))
    layer = Layer()
    if how == "instance":
        patch = mock.patch.object(m, "_query", layer)
    else:
        patch = mock.patch.object(CacheQuery, method, lambda self, *a, **k: getattr(layer, method)(*a, **k))
    with patch:
        answers = [CALLS[method](m) for _ in range(4)]
    assert layer.calls == [method] * 4
    assert [int(a["a"][0]) for a in answers] == [1, 2, 3, 4]  # nothing of theirs is kept
    assert len(CALLS[method](m)) == 2  # brindle's own layer again


@pytest.mark.parametrize("method, lines", [
    ("query", ["Executing query: SELECT * FROM t WHERE id >= 0 LIMIT 2", "Query returned 2 rows from table 't'"]),
    ("query_arrow", ["Executing query: SELECT * FROM t WHERE id >= 0 LIMIT 2",
                     "Query returned 2 rows from table 't'"]),
    ("execute_sql", ["Executing raw SQL: SELECT id FROM t ORDER BY id LIMIT 2...", "Raw SQL query returned 2 rows"]),
])
def test_the_manager_runs_a_question_with_the_query_layers_logger(make_manager, caplog, method, lines):
    m = make_manager(result_cache_bytes=0)
    m.store("db", "t", frame(5))
    with caplog.at_level(logging.DEBUG, logger="brindle.lookout"):
        CALLS[method](m)
    assert [r.getMessage() for r in caplog.records if r.name == "brindle.lookout"] == lines
    # The layer's logger is reached through its attribute at call time.
    other = logging.getLogger("brindle.test.read_plan")
    with mock.patch.object(m._query, "logger", other), caplog.at_level(logging.DEBUG, logger=other.name):
        caplog.clear()
        CALLS[method](m)
    assert [r.getMessage() for r in caplog.records if r.name == other.name] == lines
