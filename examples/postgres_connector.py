"""The PostgreSQL connector for brindle's external snapshots ships in the package.

It is ``brindle.cellarage.PostgresConnector`` (psycopg 3, the ``postgres``
extra): give a manager ``BrindleConfig(external_dsn=...)`` (or set
``BRINDLE_EXTERNAL_DSN``) and it builds one, or build it yourself:

    connector = PostgresConnector("host=db.internal dbname=cache user=svc", timeout=10)
    cache = BrindleManager(config, external_connector=connector)

This module keeps the name importable for scripts written against it.
"""

from brindle.cellarage import PostgresConnector

__all__ = ["PostgresConnector"]
