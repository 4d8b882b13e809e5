"""The manager's cache of query() answers."""

import threading
from unittest import mock

import pandas as pd
import pytest

from brindle.errors import BrindleNotFoundError
from conftest import run_threads
from manager_support import frame, make_manager  # noqa: F401

ASKS = 4  # a question is judged when it comes back, and kept from then on


def result_stats(m, table="t"):
    s = next(s for s in m.stats() if s["table"] == table)
    return s["result_cache_hits"], s["result_cache_misses"], s["result_cache_bytes"]


def ask(m, times=ASKS, table="t", **question):
    return [m.query("db", table, **question) for _ in range(times)]


def timed_frame(n, version):
    return pd.DataFrame({"id": range(n), "version": [version] * n,
                         "ts": [pd.Timestamp.now()] * n, "region": ["north", "south"] * (n // 2)})


@pytest.mark.parametrize("mode", ["single_db", "per_table_db"])
def test_a_repeated_question_is_answered_from_the_cache_with_a_frame_of_its_own(make_manager, mode):
    m = make_manager(default_mode=mode)
    m.store("db", "t", timed_frame(10, 1))
    answers = ask(m, sql_where="region = 'north'", columns=["id", "version"], limit=3)
    assert result_stats(m)[:2] == (2, 2) and result_stats(m)[2] > 0
    assert len({id(a) for a in answers}) == ASKS
    expected = answers[0].copy()
    answers[-1].iloc[0, 0] = 99                  # callers change what they were given...
    answers[-1]["extra"] = 1
    del answers[-2]["id"]
    again = m.query("db", "t", sql_where="region = 'north'", columns=["id", "version"], limit=3)
    pd.testing.assert_frame_equal(again, expected)  # ...and the next answer is as DuckDB gave it
    # Only the exact question is the same question.
    assert len(m.query("db", "t", sql_where="region = 'north'", columns=["id", "version"], limit=4)) == 4
    assert result_stats(m)[:2] == (3, 3)


def update_through_execute_sql(m):
    m.execute_sql("db", "UPDATE t SET version = 2")


def update_then_fail(m):
    # The failing text ran its UPDATE first: what it wrote still counts.
    with pytest.raises(Exception):
        m.execute_sql("db", "UPDATE t SET version = 2; SELECT * FROM no_such_table")


def add_column_through_execute_sql(m):
    m.execute_sql("db", "ALTER TABLE t ADD COLUMN note VARCHAR; UPDATE t SET version = 2")


def update_through_raw_connection(m):
    m.get_raw_connection("db", "t").execute("UPDATE t SET version = 2")


def restore(m):
    m.store("db", "t", timed_frame(10, 2))


def invalidate_and_restore(m):
    m.invalidate("db", "t")
    with pytest.raises(BrindleNotFoundError):
        m.query("db", "t", sql_where="version > 0")
    restore(m)


def invalidate_database_and_restore(m):
    m.invalidate("db")
    restore(m)


def clean_up_and_restore(m):
    m._ttl_registry._registry["db"]["t"].ttl_minutes = 0
    m._cleanup_expired_table("db", "t")
    assert not m._ttl_registry.exists("db", "t")
    restore(m)


@pytest.mark.parametrize("change", [restore, invalidate_and_restore, invalidate_database_and_restore,
                                    clean_up_and_restore, update_through_execute_sql, update_then_fail,
                                    add_column_through_execute_sql,
                                    update_through_raw_connection])
def test_the_next_query_after_a_change_sees_the_new_rows(make_manager, change):
    m = make_manager()
    m.store("db", "t", timed_frame(10, 1))
    m.execute_sql("db", "SELECT count(*) FROM t")  # a plain SELECT forgets nothing
    assert set(ask(m, sql_where="version > 0")[-1]["version"]) == {1}
    assert result_stats(m)[0] == 2
    change(m)
    assert set(m.query("db", "t", sql_where="version > 0")["version"]) == {2}
    if change is update_through_raw_connection:
        # Writes through a handed-out connection cannot be seen: nothing of
        # its tables is kept while it lives.
        hits = result_stats(m)[0]
        ask(m, sql_where="version > 0")
        m.get_raw_connection("db").execute("UPDATE t SET version = 3")
        assert set(m.query("db", "t", sql_where="version > 0")["version"]) == {3}
        assert result_stats(m)[0] == hits


NEVER = [
    "ts > now() - INTERVAL 1 HOUR",
    "random() < 2",
    "current_date >= CAST(ts AS DATE)",
    "uuid() IS NOT NULL",
    "id IN (SELECT id FROM other)",
    "id >= 0 USING SAMPLE 100%",
    "no_such_function(id)",
    # The overloads DuckDB binds on a TIMESTAMPTZ are CONSISTENT_WITHIN_QUERY only.
    "year(tz) = 2030",
    "strftime(tz, '%Y') = '2030'",
]
KEPT = [
    # A cast reads the TimeZone setting as every TIMESTAMPTZ answer does, and
    # a change of it through execute_sql drops every answer.
    "CAST(ts AS TIMESTAMPTZ) > TIMESTAMPTZ '2020-01-01 00:00:00+00'",
    "CAST(tz AS DATE) > DATE '2020-01-01'",
    "CAST(id AS VARCHAR) <> 'x' AND region LIKE 'n%'",
    # Plain numbers and timestamps bind the CONSISTENT overloads of the same functions.
    "id + 1 > 5",
    "year(ts) = 2030",
    "strftime(ts, '%Y') = '2030'",
    # A subquery of the table itself goes with the table's stores.
    "version = (SELECT max(version) FROM t)",
]


@pytest.mark.parametrize("question, kept", [({"sql_where": where}, False) for where in NEVER] + [
    ({"columns": ["random()"]}, False),
    ({"columns": ["id", "tz + INTERVAL 1 DAY"]}, False),
] + [({"sql_where": where}, True) for where in KEPT] + [
    ({"columns": ["id", "ts + INTERVAL 1 DAY", "1 - id AS back"]}, True),
    ({"columns": ["id", "upper(region)"], "limit": 5}, True),
])
def test_only_questions_duckdb_judges_deterministic_are_kept(make_manager, question, kept):
    m = make_manager()
    df = timed_frame(10, 1)
    df["tz"] = df["ts"].dt.tz_localize("UTC")
    m.store("db", "t", df)
    m.store("db", "other", frame(2))
    for _ in range(ASKS):
        try:
            m.query("db", "t", **question)
        except Exception:
            pass  # a question DuckDB refuses is not kept either
    hits, misses, size = result_stats(m)
    assert (hits, misses, size > 0) == ((2, 2, True) if kept else (0, ASKS, False))


def test_the_budget_holds_and_what_cannot_be_kept_is_not(make_manager):
    budget = 64 * 1024
    m = make_manager(result_cache_bytes=budget, databases={
        "db": {"tables": {"off": {"result_cache": False}}}, "cold": {"result_cache": False}})
    m.store("db", "t", timed_frame(200, 1))
    for i in range(150):                     # many distinct questions, each asked twice
        ask(m, 2, sql_where=f"id >= {i % 150}")
        assert result_stats(m)[2] <= budget
    hits, misses, kept = result_stats(m)
    assert hits == 0 and 0 < kept <= budget
    for i in range(140, 150):                # the most recently used survive
        m.query("db", "t", sql_where=f"id >= {i}")
    assert result_stats(m)[0] == 10

    m.store("db", "big", timed_frame(2000, 1))  # more than a quarter of the budget
    m.store("db", "lists", pd.DataFrame({"id": [1, 2], "tags": [["a"], ["b"]]}))
    m.store("db", "off", frame(3))
    m.store("cold", "t", frame(3))
    for table in ("big", "lists", "off"):
        ask(m, table=table)
    [m.query("cold", "t") for _ in range(ASKS)]
    stats = {(s["database"], s["table"]): s for s in m.stats()}
    assert all(stats[key]["result_cache_hits"] == 0 for key in [("db", "big"), ("db", "lists"), ("db", "off"),
                                                                  ("cold", "t")])
    assert stats[("db", "off")]["result_cache_misses"] == 0  # switched off: not counted either
    # A nested value changed by a caller cannot leak into later answers.
    m.query("db", "lists")["tags"][0][0] = "changed"
    assert list(m.query("db", "lists")["tags"][0]) == ["a"]


def test_budget_zero_turns_the_cache_off_and_a_patched_query_layer_is_always_called(make_manager):
    m = make_manager(result_cache_bytes=0)
    m.store("db", "t", frame(3))
    ask(m)
    m.execute_sql("db", "SELECT 42")  # read while off: nothing of the database is forgotten for it
    assert result_stats(m) == (0, 0, 0)
    m.config.result_cache_bytes = 1 << 20
    ask(m, sql_where="id >= 0")
    assert result_stats(m)[0] == 2
    with mock.patch.object(m._query, "query", return_value=frame(1, version=7)) as patched:
        assert [len(df) for df in ask(m)] == [1] * ASKS
    assert patched.call_count == ASKS


@pytest.mark.slow  # stress
def test_readers_never_get_rows_older_than_the_last_store_before_they_began(make_manager):
    m = make_manager()
    stored = [0]  # the version of the last store that returned
    read = threading.Condition()
    stop = threading.Event()
    problems = []
    m.store("db", "t", timed_frame(50, 0))

    def writer():
        try:
            for version in range(1, 41):
                if version % 7 == 0:
                    m.execute_sql("db", f"UPDATE t SET version = {version - 1}")
                m.store("db", "t", timed_frame(50, version))
                hits = result_stats(m)[0]
                with read:
                    stored[0] = version
                    # The next change waits until a reader was answered from the cache.
                    if not read.wait_for(lambda: result_stats(m)[0] > hits, timeout=30):
                        problems.append(("nothing kept", version))
                        return
        finally:
            stop.set()

    def reader():
        while not stop.is_set():
            floor = stored[0]
            versions = set(m.query("db", "t", sql_where="region = 'north'")["version"])
            if len(versions) != 1 or versions.pop() < floor:
                problems.append((floor, versions))
            with read:
                read.notify_all()

    assert run_threads(4, lambda i: writer() if i == 0 else reader()) == [None] * 4
    assert not problems


JOIN_REPORT = ("SELECT c.country, sum(o.amount) AS total FROM orders o JOIN customers c ON o.cid = c.id "
               "GROUP BY c.country ORDER BY total DESC")


def store_report_tables(m, country="a"):
    m.store("db", "orders", pd.DataFrame({"cid": [1, 2, 2], "amount": [10.0, 5.0, 7.0]}))
    m.store("db", "customers", pd.DataFrame({"id": [1, 2], "country": [country, "b"]}))


@pytest.mark.parametrize("sql, params, kept", [
    (JOIN_REPORT, None, True),
    ("SELECT count(*) AS n FROM orders WHERE amount > ?", [6], True),
    ("SELECT random() AS r, count(*) AS n FROM orders", None, False),       # not CONSISTENT
    ("SELECT now() AS at, count(*) AS n FROM orders", None, False),
    ("SELECT count(*) AS n FROM (SELECT * FROM orders) AS s", None, True),   # a subquery of a cached table
    ("SELECT count(*) AS n FROM scratch", None, False),                      # no table the cache stored
    ("SELECT 42 AS answer", None, False),                                    # no table at all
])
def test_a_repeated_report_is_kept_per_the_versions_of_every_table_it_reads(make_manager, sql, params, kept):
    m = make_manager()
    m.store("db", "seed", frame())
    m.execute_sql("db", "CREATE TABLE scratch AS SELECT 1 AS x")  # DDL: what the cache knew goes
    store_report_tables(m)
    answers = [m.execute_sql("db", sql, params) for _ in range(ASKS)]
    hits = result_stats(m, "orders")[0]
    assert (hits > 0) is kept
    for a in answers[1:]:
        if "r" not in a and "at" not in a:
            pd.testing.assert_frame_equal(a, answers[0])
    if kept:
        answers[-1].iloc[0, -1] = -1                       # a caller's change stays the caller's
        pd.testing.assert_frame_equal(m.execute_sql("db", sql, params), answers[0])
    # A store of any table it reads makes it go, and so does SQL writing rows.
    m.store("db", "customers", pd.DataFrame({"id": [1, 2], "country": ["x", "y"]}))
    if sql == JOIN_REPORT:
        assert m.execute_sql("db", sql)["country"].tolist() == ["y", "x"]
        m.execute_sql("db", "UPDATE orders SET amount = 100 WHERE cid = 1")
        assert m.execute_sql("db", sql).to_dict("list") == {"country": ["x", "y"], "total": [100.0, 12.0]}
    if params is not None:  # the same text with other values is another report
        assert [m.execute_sql("db", sql, [1])["n"][0] for _ in range(ASKS)] == [3] * ASKS


@pytest.mark.parametrize("where", ["instance", "class"])
def test_an_answer_from_the_cache_asks_exists_through_the_attribute(make_manager, where):
    m = make_manager()
    m.store("db", "t", frame(3))
    ask(m, sql_where="id >= 0")  # answered from the cache from now on
    with mock.patch.object(m if where == "instance" else type(m), "exists", return_value=False) as exists:
        with pytest.raises(BrindleNotFoundError):
            m.query("db", "t", sql_where="id >= 0")
    exists.assert_called_once_with("db", "t")
    assert len(m.query("db", "t", sql_where="id >= 0")) == 3
