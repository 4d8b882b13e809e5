"""Two service processes sharing their snapshots through a real PostgreSQL server.

The processes use the example connector (examples/postgres_connector.py),
which commits each save's DELETE and INSERT together.
"""

import json
import os

import pytest

from child_process import run_child
from pg_server import SNAPSHOTS_DDL, postgresql_dsn  # noqa: F401  (session fixture)

psycopg = pytest.importorskip("psycopg")

SERVICE = """
    import json, os, sys
    sys.path.insert(0, os.environ["EXAMPLES"])
    import pandas as pd
    from brindle.config import BrindleConfig
    from brindle.quaymaster import BrindleManager
    from postgres_connector import PostgresConnector

    conn = PostgresConnector(os.environ["DSN"])
    cache = BrindleManager(BrindleConfig(service_name="orders"), external_connector=conn)
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


EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")


@pytest.mark.slow  # two processes
def test_a_second_process_serves_what_the_first_stored(postgresql_dsn, tmp_path):
    """A writes (a refresh included) and exits; B starts, warms at start-up and serves A's last rows."""
    with psycopg.connect(postgresql_dsn, autocommit=True) as admin:
        admin.execute(SNAPSHOTS_DDL)
        admin.execute("TRUNCATE brindle_snapshots")
    status, out, err = run_child(SERVICE, tmp_path, DSN=postgresql_dsn, ROLE="writer", EXAMPLES=EXAMPLES)
    assert status == 0, err
    status, out, err = run_child(SERVICE, tmp_path, DSN=postgresql_dsn, ROLE="reader", EXAMPLES=EXAMPLES)
    assert status == 0, err
    assert json.loads(out) == {"orders": {"id": [1, 2], "region": ["n", "w"], "amount": [1.0, 2.0]},
                               "countries": {"code": ["de", "fr"]}}
