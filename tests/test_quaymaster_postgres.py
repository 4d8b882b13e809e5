"""Two service processes sharing their snapshots through a real PostgreSQL server."""

import json

import pytest

from child_process import run_child
from pg_server import SNAPSHOTS_DDL, postgresql_dsn  # noqa: F401  (session fixture)

psycopg = pytest.importorskip("psycopg")

SERVICE = """
    import json, os, sys
    import pandas as pd
    import psycopg
    from brindle.config import BrindleConfig
    from brindle.quaymaster import BrindleManager

    conn = psycopg.connect(os.environ["DSN"], autocommit=True)
    cache = BrindleManager(BrindleConfig(service_name="orders"), external_connector=conn.cursor())
    if os.environ["ROLE"] == "writer":
        cache.store("sales", "orders", pd.DataFrame({"id": [1, 2, 3], "region": ["n", "s", "e"],
                                                     "amount": [10.5, 2500.0, 99.9]}))
        cache.store("sales", "orders", pd.DataFrame({"id": [1, 2], "region": ["n", "w"], "amount": [1.0, 2.0]}))
        cache.store("ref", "countries", pd.DataFrame({"code": ["de", "fr"]}))
    else:
        frames = {t: cache.query("sales" if t == "orders" else "ref", t).to_dict("list")
                  for t in ("orders", "countries")}
        print(json.dumps(frames))
    conn.close()
"""


def test_a_second_process_serves_what_the_first_stored(postgresql_dsn, tmp_path):
    with psycopg.connect(postgresql_dsn, autocommit=True) as admin:
        admin.execute(SNAPSHOTS_DDL)
        admin.execute("TRUNCATE brindle_snapshots")
    status, out, err = run_child(SERVICE, tmp_path, DSN=postgresql_dsn, ROLE="writer")
    assert status == 0, err
    status, out, err = run_child(SERVICE, tmp_path, DSN=postgresql_dsn, ROLE="reader")
    assert status == 0, err
    assert json.loads(out) == {"orders": {"id": [1, 2], "region": ["n", "w"], "amount": [1.0, 2.0]},
                               "countries": {"code": ["de", "fr"]}}
