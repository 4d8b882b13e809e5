"""What a service meets on day one: bad SQL, hostile text, odd names, odd input, and the errors each gets."""

import decimal

import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from brindle.errors import BrindleError, BrindleNotFoundError
from manager_support import make_manager  # noqa: F401

D = decimal.Decimal
ROWS = pd.DataFrame({"id": [1, 2, 3], "amount": [10.0, 20.0, 30.0]})


@pytest.fixture
def manager(make_manager):
    m = make_manager()
    m.store("s", "orders", ROWS)
    return m


@pytest.mark.parametrize("call", [
    lambda m: m.query("s", "orders", sql_where="amout > 1"),
    lambda m: m.query("s", "orders", sql_where="amount >"),
    lambda m: m.query("s", "orders", sql_where="amount > nan"),
    lambda m: m.query("s", "orders", sql_where="amount < inf"),
    lambda m: m.query("s", "orders", sql_where="no_such_function(amount)"),
    lambda m: m.query("s", "orders", columns=["amout"]),
    lambda m: m.query("s", "orders", sql_where="id = ?"),
])
def test_a_bad_statement_is_a_brindle_error_not_a_missing_table(manager, call):
    with pytest.raises(BrindleError) as err:
        call(manager)
    assert type(err.value) is BrindleError
    assert str(err.value) == f"Query failed on table 'orders': {err.value.__cause__}"
    with pytest.raises(BrindleNotFoundError, match="Table 'gone' not found in cache"):
        manager._query.query(manager.get_raw_connection("s"), "gone", sql_where="amout > 1")
    with pytest.raises(BrindleNotFoundError):
        manager._query.get_table_info(manager.get_raw_connection("s"), "gone")
    assert len(manager.query("s", "orders")) == 3


@pytest.mark.parametrize("question", [
    {"sql_where": "1=1; DROP TABLE orders; SELECT 42"},
    {"sql_where": "1=1; UPDATE orders SET amount = 0"},
    {"columns": ["id FROM orders; DROP TABLE orders; SELECT id"]},
])
def test_a_second_statement_in_a_where_text_or_column_is_refused_before_anything_runs(manager, question):
    with pytest.raises(BrindleError, match="holds more than one statement"):
        manager.query("s", "orders", **question)
    assert manager.query("s", "orders")["amount"].tolist() == [10.0, 20.0, 30.0]
    assert [s["rows"] for s in manager.stats()] == [3]
    # A ';' inside a string literal splits nothing.
    assert manager.query("s", "orders", sql_where="CAST(id AS VARCHAR) <> ';'", columns=["id"])["id"].tolist() \
        == [1, 2, 3]


@pytest.mark.parametrize("first, second", [
    ("orders_new", "orders"),   # the temporary name of a swap
    ("t", "df"),                # the name the frame was read under
    ("brindle_frame", "x"),
])
def test_every_accepted_name_can_be_stored_beside_any_other(make_manager, first, second):
    m = make_manager()
    m.store("n", first, ROWS)
    m.store("n", second, ROWS.head(1))
    m.store("n", first, ROWS.head(2))
    assert (len(m.query("n", first)), len(m.query("n", second))) == (2, 1)


@pytest.mark.parametrize("name, why", [
    ("select", "reserved SQL keyword"), ("ORDER", "reserved SQL keyword"), ("group", "reserved SQL keyword"),
    ("table", "reserved SQL keyword"), ("from", "reserved SQL keyword"), ("end", "reserved SQL keyword"),
    ("ventes_été", "ASCII letters"), ("таблица", "ASCII letters"), ("１", "ASCII letters"),
    ("a-b", "ASCII letters"), ("", "ASCII letters"),
])
def test_names_that_could_never_be_stored_are_refused_up_front(make_manager, name, why):
    m = make_manager()
    for call in (lambda: m.store("n", name, ROWS), lambda: m.query("n", name) if m.exists("n", name) else
                 m._query.query(None, name)):
        with pytest.raises(BrindleError, match=why):
            call()
    assert m.stats() == [] and m._connections == {}


@pytest.mark.parametrize("mode", ["single_db", "per_table_db"])
def test_names_differing_only_in_case_never_make_two_entries_for_one_table(make_manager, mode):
    m = make_manager(default_mode=mode)
    m.store("c", "t", ROWS)
    for _ in range(3):
        m.query("c", "t")                      # kept in the result cache
    with pytest.raises(BrindleError, match="differs only in case from cached table 't'"):
        m.store("c", "T", ROWS.head(1))
    assert len(m.query("c", "t")) == 3
    with pytest.raises(BrindleNotFoundError):
        m.query("c", "T")
    m.invalidate("c", "T")                     # the one table, under any spelling
    assert not m.exists("c", "t") and m.stats() == []
    with pytest.raises(BrindleNotFoundError):
        m.query("c", "t")
    m.store("c", "T", ROWS.head(1))
    assert len(m.query("c", "T")) == 1


def test_a_resolver_answering_no_time_to_live_stores_nothing(manager):
    manager._config_resolver.get_ttl = lambda database, table, default: None
    with pytest.raises(TypeError, match="get_ttl\\(\\) returned None for s.fresh"):
        manager.store("s", "fresh", ROWS)
    with pytest.raises(TypeError):
        manager.store("s", "orders", ROWS.head(1))
    assert not manager.exists("s", "fresh")
    assert "fresh" not in manager.execute_sql("s", "SELECT table_name FROM duckdb_tables()")["table_name"].tolist()
    assert len(manager.query("s", "orders")) == 3


@pytest.mark.parametrize("df", [None, [1, 2], "a,b", {"a": [1]}, pd.Series([1, 2])])
def test_something_that_is_no_frame_is_a_type_error(manager, df):
    with pytest.raises(TypeError, match="argument 'df' must be a pandas DataFrame"):
        manager.store("s", "other", df)
    with pytest.raises(TypeError, match="argument 'df' must be a pandas DataFrame"):
        manager.get_or_load("s", "other", lambda: df)
    assert not manager.exists("s", "other")


@pytest.mark.parametrize("sql", ["", "   ", "-- nothing", ";"])
def test_sql_without_a_statement_is_a_brindle_error(manager, sql):
    with pytest.raises(BrindleError, match="Raw SQL execution failed: the SQL text holds no statement"):
        manager.execute_sql("s", sql)


@pytest.mark.parametrize("values, expected_type", [
    ([D("1.5")] * 3000 + [D("100840.04")], "DECIMAL(8,2)"),
    ([D("1.5"), D("1.12345678"), D("-2")], "DECIMAL(9,8)"),
    ([D("0.1")] * 2100 + [D("123456789012345678.123456789")], "DECIMAL(27,9)"),
    ([D("1" * 40), D("2")], "DOUBLE"),
    ([D("1.25"), None], "DECIMAL(3,2)"),
    ([None, float("nan"), pd.NA, D("1.5"), D("100840.04")], "DECIMAL(8,2)"),
    ([None] * 1500 + [D("1.5"), D("22.25")], "DECIMAL(4,2)"),
])
def test_decimal_objects_are_stored_exactly_whatever_the_sample(make_manager, values, expected_type):
    m = make_manager()
    m.store("d", "t", pd.DataFrame({"v": values, "s": ["x"] * len(values)}))
    assert m.get_table_info("d", "t")["column_types"] == {"v": expected_type, "s": "VARCHAR"}
    # Read back as text, as pandas would make floats of DECIMAL columns.
    got = m.execute_sql("d", "SELECT CAST(v AS VARCHAR) AS v FROM t")["v"].tolist()
    if expected_type == "DOUBLE":
        assert [float(v) for v in got] == [float(v) for v in values]
    else:
        assert [None if pd.isna(v) else D(v) for v in got] == [None if pd.isna(v) else v for v in values]


# --- the public API under random input --------------------------------------------

NAMES = st.one_of(st.sampled_from(["t", "T", "orders_new", "df", "select", "group", "a b", "1x", "été", ""]),
                  st.text(max_size=6))
VALUES = st.one_of(st.none(), st.integers(), st.floats(), st.text(max_size=5), st.booleans(),
                   st.decimals(allow_nan=False, places=3), st.lists(st.integers(), max_size=2))
FRAMES = st.one_of(
    st.builds(lambda col, vals: pd.DataFrame({col: vals}), st.text(max_size=4),
              st.lists(VALUES, max_size=4)),
    VALUES,
)
WHERE = st.one_of(st.none(), st.sampled_from(["v > 1", "v = ?", "amout", "1=1; DROP TABLE t", "';'", "nan"]),
                  st.text(max_size=8))
ALLOWED = (TypeError, ValueError, BrindleError)

CALLS = {
    "store": lambda m, db, t, df, w, p: m.store(db, t, df),
    "query": lambda m, db, t, df, w, p: m.query(db, t, sql_where=w, params=p),
    "get_or_load": lambda m, db, t, df, w, p: m.get_or_load(db, t, lambda: df, sql_where=w, params=p),
    "execute_sql": lambda m, db, t, df, w, p: m.execute_sql(db, f"SELECT * FROM {t} WHERE {w}", p),
    "get_table_info": lambda m, db, t, df, w, p: m.get_table_info(db, t),
    "invalidate": lambda m, db, t, df, w, p: m.invalidate(db, t),
    "exists": lambda m, db, t, df, w, p: m.exists(db, t),
}


@pytest.fixture(scope="module")
def fuzz_manager():
    import brindle.quaymaster as qm
    import brindle.tidewatch as tw
    from brindle.config import BrindleConfig
    saved = qm.BrindleManager._instance, tw.TTLRegistry._instance
    qm.BrindleManager._instance = tw.TTLRegistry._instance = None
    m = qm.BrindleManager(BrindleConfig(cleanup_interval_minutes=60))
    yield m
    m.shutdown()
    qm.BrindleManager._instance, tw.TTLRegistry._instance = saved


@pytest.mark.slow  # stress: the fuzzer
@settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
@given(call=st.sampled_from(sorted(CALLS)), db=st.sampled_from(["fz", "fz2"]), table=NAMES, df=FRAMES,
       where=WHERE, params=st.one_of(st.none(), st.lists(VALUES, max_size=2), VALUES))
def test_random_input_gets_only_documented_errors_and_breaks_nothing(fuzz_manager, call, db, table, df, where,
                                                                     params):
    m = fuzz_manager
    try:
        CALLS[call](m, db, table, df, where, params)
    except ALLOWED:
        pass
    # Whatever happened, a valid store and query of the same name still work
    # (of "ok" when the name is one the cache refuses).
    good = table
    try:
        m.store(db, good, ROWS)
    except (BrindleError, ValueError) as e:
        if "differs only in case" in str(e):
            m.invalidate(db, good)
        else:
            assert "Invalid table name" in str(e) or isinstance(e, UnicodeError)
            good = "ok"
        m.store(db, good, ROWS)
    assert m.query(db, good, sql_where="id >= ?", params=[2])["id"].tolist() == [2, 3]
