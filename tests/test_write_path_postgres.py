"""Two processes storing one table at once, on a real PostgreSQL server: every save lands or is
superseded, and every process ends up serving the same rows."""

import io
import time

import pandas as pd
import psycopg
import pytest

from pg_server import postgresql_dsn  # noqa: F401  (session fixture)
from test_signalman_postgres import services  # noqa: F401  (the service processes)

ROUNDS = 10


def snapshot_rows(dsn):
    with psycopg.connect(dsn) as admin:
        data = admin.execute("SELECT data FROM brindle_snapshots WHERE service_name = 'coherent' "
                             "AND db_name = 'sales' AND table_name = 'orders'").fetchone()[0]
    return pd.read_parquet(io.BytesIO(data))["v"].tolist()


@pytest.mark.slow
def test_two_processes_storing_one_table_at_once_end_up_serving_the_same_rows(services, postgresql_dsn):  # noqa: F811
    a, b, c = services("a", "b", "c")
    slowest = 0.0
    for r in range(ROUNDS):
        a.send(op="store", rows=[r, 1])
        b.send(op="store", rows=[r, 2])
        assert a.read() is None and b.read() is None
        stored = time.monotonic()
        winner = snapshot_rows(postgresql_dsn)
        assert winner in ([r, 1], [r, 2])
        assert [p.ask(op="wait", rows=winner) for p in (a, b, c)] == [winner] * 3
        slowest = max(slowest, time.monotonic() - stored)
    assert slowest < 10, f"processes took {slowest:.1f}s to agree"
    for p in (a, b, c):
        err = p.close()
        assert "External DB save failed" not in err and "duplicate key" not in err, err
