"""A connector for brindle's external snapshots over one psycopg 3 connection.

brindle sends each save as two statements, a DELETE of the table's old
snapshot and an INSERT of the new one, and issues no transaction statements of
its own. This connector commits every statement on its own, except that a
save's DELETE waits for the INSERT that follows it: the two commit together,
and a failed INSERT rolls the DELETE back, so the old snapshot stays. A DELETE
that no INSERT follows (``delete_from_external``) is committed by the next call,
or at once by ``commit()``.

    connector = PostgresConnector("host=db.internal dbname=cache user=svc")
    cache = BrindleManager(config, external_connector=connector)
"""

from typing import Any, Optional, Sequence

import psycopg

DELETE_ONE = "DELETE FROM brindle_snapshots WHERE service_name = %s AND db_name = %s AND table_name = %s"


class PostgresConnector:
    def __init__(self, dsn: str) -> None:
        self._connection = psycopg.connect(dsn)  # autocommit off: this class commits
        self._cursor = self._connection.cursor()
        self._pending: Optional[tuple[Any, ...]] = None  # (service, database, table) of a DELETE awaiting its INSERT

    def execute(self, sql: str, params: Sequence[Any]) -> None:
        if self._pending is not None and not (sql.startswith("INSERT") and tuple(params[:3]) == self._pending):
            self.commit()
        try:
            self._cursor.execute(sql, params)
        except Exception:
            self._connection.rollback()
            self._pending = None
            raise
        if sql == DELETE_ONE:
            self._pending = tuple(params)
        else:
            self.commit()

    def fetchone(self) -> Optional[tuple[Any, ...]]:
        return self._cursor.fetchone()

    def fetchall(self) -> list[tuple[Any, ...]]:
        return self._cursor.fetchall()

    def commit(self) -> None:
        self._connection.commit()
        self._pending = None

    def close(self) -> None:
        self.commit()
        self._connection.close()
