"""The snapshot store against a real PostgreSQL server.

A service passes a cursor of a psycopg 3 connection opened in autocommit mode
as the connector: the cursor offers execute(sql, params), fetchone() and
fetchall(), and autocommit makes each statement durable on its own.
"""


import pandas as pd
import pytest

from brindle.cellarage import PersistenceCoordinator
from brindle.config import BrindleConfig, CacheConfigResolver
from cellarage_frames import (changed_dtype_frame, expected_after_round_trip, expected_changed_dtypes,
                              expected_empty_after_round_trip, mixed_frame)
from pg_server import SNAPSHOTS_DDL, postgresql_dsn  # noqa: F401  (session fixture)
from conftest import run_threads

psycopg = pytest.importorskip("psycopg")


@pytest.fixture
def connect(postgresql_dsn):
    """Opens autocommit connections on a freshly emptied snapshot table."""
    opened = []

    def open_connection():
        conn = psycopg.connect(postgresql_dsn, autocommit=True)
        opened.append(conn)
        return conn

    admin = open_connection()
    admin.execute(SNAPSHOTS_DDL)
    admin.execute("TRUNCATE brindle_snapshots")
    yield open_connection
    for conn in opened:
        conn.close()


def replica(connect, service="orders"):
    """One service process: its own connection, its own coordinator."""
    config = BrindleConfig(log_name="svc", service_name=service)
    return PersistenceCoordinator(config, CacheConfigResolver(None), connect().cursor())


def stored_rows(connect):
    with connect().cursor() as cur:
        cur.execute("SELECT service_name, db_name, table_name, row_count, stored_at, length(data) "
                    "FROM brindle_snapshots ORDER BY 1, 2, 3")
        return cur.fetchall()


@pytest.mark.parametrize("make, expect", [
    (mixed_frame, expected_after_round_trip),
    (changed_dtype_frame, expected_changed_dtypes),
    (lambda: mixed_frame().iloc[0:0], expected_empty_after_round_trip),
], ids=["mixed", "changed-dtypes", "empty"])
def test_round_trip_through_postgresql(connect, make, expect):
    p = replica(connect)
    df = make()
    p.save_to_external("db", "t", df)
    pd.testing.assert_frame_equal(p.load_from_external("db", "t"), expect(df))


def test_saving_again_keeps_one_row_with_the_later_snapshot(connect):
    p = replica(connect)
    p.save_to_external("db", "t", pd.DataFrame({"a": [1, 2, 3]}))
    [(_, _, _, _, first_stamp, _)] = stored_rows(connect)
    p.save_to_external("db", "t", pd.DataFrame({"a": [4]}))
    [(service, db, table, rows, stamp, size)] = stored_rows(connect)
    assert (service, db, table, rows) == ("orders", "db", "t", 1)
    assert stamp >= first_stamp and size > 0
    pd.testing.assert_frame_equal(p.load_from_external("db", "t"), pd.DataFrame({"a": [4]}))


def test_two_replicas_share_one_store(connect):
    a, b = replica(connect), replica(connect)
    other_service = replica(connect, service="billing")
    first, second = pd.DataFrame({"x": [1, 2]}), pd.DataFrame({"y": ["p", "q", "r"]})
    a.save_to_external("sales", "first", first)
    a.save_to_external("sales", "second", second)
    a.save_to_external("stock", "items", first)

    pd.testing.assert_frame_equal(b.load_from_external("sales", "second"), second)
    warmed = b.warm_all_from_external()
    assert {db: sorted(tables) for db, tables in warmed.items()} == {
        "sales": ["first", "second"], "stock": ["items"]}
    assert {(db, t) for db, t, _ in b.get_warm_snapshots()} == {
        ("sales", "first"), ("sales", "second"), ("stock", "items")}
    assert other_service.warm_all_from_external() == {}

    a.delete_from_external("sales", "first")
    assert b.load_from_external("sales", "first") is None
    a.delete_from_external("sales")
    assert b.load_from_external("sales", "second") is None
    assert list(b.warm_all_from_external()) == ["stock"]


def test_threads_sharing_one_connection(connect):
    p = replica(connect)
    tables = [f"t{i}" for i in range(4)]
    failures = []

    def worker(table):
        try:
            for n in range(10):
                p.save_to_external("db", table, pd.DataFrame({"table": [table] * (n + 1)}))
                back = p.load_from_external("db", table)
                if list(back["table"].unique()) != [table] or len(back) != n + 1:
                    failures.append((table, n, back))
        except Exception as exc:  # pragma: no cover - reported below
            failures.append(exc)

    run_threads(len(tables), lambda i: worker(tables[i]))
    assert failures == []
    assert [(db, t, rows) for _, db, t, rows, _, _ in stored_rows(connect)] == [
        ("db", t, 10) for t in tables]
