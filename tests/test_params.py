"""Values bound by DuckDB: query(), execute_sql() and get_or_load() with params, and the result cache."""

import inspect

import pandas as pd
import pytest

from brindle.lookout import CacheQuery
from brindle.quaymaster import BrindleManager
from brindle.stowage import CacheStore
from manager_support import make_manager  # noqa: F401

ROWS = pd.DataFrame({"id": [1, 2, 3, 4], "region": ["n", "s", "n", "e"], "amount": [10.0, 20.0, 30.0, 40.0]})


@pytest.fixture
def manager(make_manager):
    m = make_manager()
    m.store("db", "t", ROWS)
    return m


def ids(frame):
    return list(frame["id"])


@pytest.mark.parametrize(
    "where, params, expected",
    [
        ("region = ?", ["n"], [1, 3]),
        ("region = ? AND amount > ?", ("n", 15), [3]),
        ("region = $1 OR region = $2", ["e", "s"], [2, 4]),
        ("region = $r", {"r": "s"}, [2]),
        # A value is never read as SQL, however it looks.
        ("region = ?", ["n' OR '1'='1"], []),
        ("region = ?", ["x; DROP TABLE t"], []),
    ],
)
def test_values_are_bound_through_every_entry(manager, con, where, params, expected):
    assert ids(manager.query("db", "t", where, params=params)) == expected
    sql = f"SELECT id FROM t WHERE {where} ORDER BY id"
    assert ids(manager.execute_sql("db", sql, params)) == expected
    assert ids(manager.get_or_load("db", "t", lambda: ROWS, sql_where=where, params=params)) == expected
    CacheStore().store(con, "t", ROWS, None)
    assert ids(CacheQuery().query(con, "t", where, params=params)) == expected
    assert ids(CacheQuery().execute_sql(con, sql, params=params)) == expected
    assert len(manager.query("db", "t")) == 4


def test_same_text_with_other_values_gets_its_own_answer_from_the_result_cache(manager):
    asked = [(v, ids(manager.query("db", "t", "amount >= ?", ["id"], params=[v])))
             for _ in range(4) for v in (10, 25, 40, 25.0, "30")]
    assert all(got == [i for i, a in zip(ROWS["id"], ROWS["amount"]) if a >= float(v)] for v, got in asked)
    stats = next(s for s in manager.stats() if s["table"] == "t")
    assert stats["result_cache_hits"] > 0
    # One verdict for the text: a bound value never makes it uncacheable.
    hits = stats["result_cache_hits"]
    for _ in range(3):
        manager.query("db", "t", "region = $r", params={"r": "n"})
    assert next(s for s in manager.stats() if s["table"] == "t")["result_cache_hits"] == hits + 1
    manager.store("db", "t", ROWS.assign(amount=ROWS["amount"] * 10))
    assert ids(manager.query("db", "t", "amount >= ?", params=[250])) == [3, 4]


def test_get_or_load_answers_the_question_after_loading(make_manager):
    m = make_manager()
    loads = []

    def load():
        loads.append(1)
        return ROWS

    first = m.get_or_load("db", "t", load, sql_where="region = ?", columns=["id"], limit=1, params=["n"])
    assert list(first.columns) == ["id"] and ids(first) == [1]
    assert ids(m.get_or_load("db", "t", load, serve_stale=True, sql_where="id > ?", params=[2])) == [3, 4]
    assert loads == [1]


@pytest.mark.parametrize("params", ["n", 5, {"n"}, object()])
def test_params_of_another_type_are_refused_before_anything_runs(manager, params):
    for call in (lambda: manager.query("db", "t", "region = ?", params=params),
                 lambda: manager.execute_sql("db", "SELECT ?", params),
                 lambda: manager.get_or_load("db", "t", lambda: ROWS, params=params)):
        with pytest.raises(TypeError, match="'params' must be list, tuple, dict or None"):
            call()


@pytest.mark.parametrize("owner, name", [(BrindleManager, "query"), (BrindleManager, "get_or_load"),
                                         (CacheQuery, "query")])
def test_params_of_a_query_are_keyword_only(owner, name):
    params = inspect.signature(getattr(owner, name)).parameters
    assert params["params"].kind is inspect.Parameter.KEYWORD_ONLY and params["params"].default is None
    assert [p for p in params.values() if p.kind is inspect.Parameter.KEYWORD_ONLY] == [params["params"]]


def test_params_cannot_be_given_by_position(manager):
    with pytest.raises(TypeError, match="positional argument"):
        manager.query("db", "t", "region = ?", None, None, ["n"])
    assert ids(manager.execute_sql("db", "SELECT ? AS id", ["7"])) == ["7"]
