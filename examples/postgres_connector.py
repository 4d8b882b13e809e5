"""A connector for brindle's external snapshots over one psycopg 3 connection.

brindle sends each save as two statements, a DELETE of the table's old
snapshot and an INSERT of the new one, and issues no transaction statements of
its own. This connector commits every statement on its own, except that a
save's DELETE waits for the INSERT that follows it: the two commit together,
and a failed INSERT rolls the DELETE back, so the old snapshot stays. A DELETE
that no INSERT follows (``delete_from_external``) is committed by the next call,
or at once by ``commit()``.

It outlives the server: a connection found broken (a server restart, a backend
terminated) is replaced by a new one and the statement sent again, the save's
DELETE with it when an INSERT is under way. Each statement is given ``timeout``
seconds; one that takes longer (a frozen backend) raises ``TimeoutError`` and
the connection it hangs on is abandoned, so the next call starts on a new one.

    connector = PostgresConnector("host=db.internal dbname=cache user=svc", timeout=10)
    cache = BrindleManager(config, external_connector=connector)
"""

import threading
from typing import Any, Callable, Optional, Sequence

import psycopg

DELETE_ONE = "DELETE FROM brindle_snapshots WHERE service_name = %s AND db_name = %s AND table_name = %s"


class PostgresConnector:
    def __init__(self, dsn: str, timeout: float = 30.0) -> None:
        self._dsn = dsn
        self._timeout = timeout
        self._connection: Optional[psycopg.Connection[Any]] = None
        self._cursor: Optional[psycopg.Cursor[Any]] = None
        self._pending: Optional[tuple[Any, ...]] = None  # (service, database, table) of a DELETE awaiting its INSERT
        self._connect()

    def _connect(self) -> None:
        # autocommit off: this class commits
        self._connection = psycopg.connect(self._dsn, connect_timeout=max(1, round(self._timeout)))
        self._cursor = self._connection.cursor()

    def _abandon(self) -> None:
        """Forgets the connection; a hung one is left to its worker thread (closing it could hang too)."""
        self._connection, self._cursor = None, None

    def _bounded(self, step: Callable[[], object]) -> None:
        """Runs step on a worker thread, giving up after the timeout.

        A connection given up on is closed by its worker once the step ends,
        so that its open transaction (and the row locks it holds) goes too.
        """
        connection = self._connection
        outcome: list[BaseException] = []
        state = {"done": False, "abandoned": False}
        guard = threading.Lock()

        def run() -> None:
            try:
                step()
            except BaseException as e:  # handed to the caller's thread
                outcome.append(e)
            with guard:
                state["done"] = True
                abandoned = state["abandoned"]
            if abandoned and connection is not None:
                connection.close()

        worker = threading.Thread(target=run, name="PostgresConnector", daemon=True)
        worker.start()
        worker.join(self._timeout)
        with guard:
            timed_out = not state["done"]
            state["abandoned"] = timed_out
        if timed_out:
            self._abandon()
            self._pending = None
            raise TimeoutError(f"PostgreSQL did not answer within {self._timeout} s")
        if outcome:
            raise outcome[0]

    def _is_broken(self) -> bool:
        return self._connection is None or self._connection.closed or self._connection.broken

    def _send(self, sql: str, params: Sequence[Any]) -> None:
        if self._is_broken():
            self._connect()
        cursor = self._cursor
        assert cursor is not None
        self._bounded(lambda: cursor.execute(sql, params))

    def execute(self, sql: str, params: Sequence[Any]) -> None:
        completes_save = self._pending is not None and sql.startswith("INSERT") and tuple(params[:3]) == self._pending
        if self._pending is not None and not completes_save:
            self.commit()
        try:
            self._send(sql, params)
        except psycopg.OperationalError:
            if not self._is_broken():
                self._fail()
                raise
            # The server went away under us: start again on a new connection,
            # with the save's DELETE, which went down with the old one.
            self._abandon()
            try:
                if completes_save and self._pending is not None:
                    self._send(DELETE_ONE, self._pending)
                self._send(sql, params)
            except Exception:
                self._fail()
                raise
        except Exception:
            self._fail()
            raise
        if sql == DELETE_ONE:
            self._pending = tuple(params)
        else:
            self.commit()

    def _fail(self) -> None:
        self._pending = None
        if self._is_broken():
            self._abandon()
            return
        try:
            assert self._connection is not None
            self._connection.rollback()
        except psycopg.Error:
            self._abandon()

    def fetchone(self) -> Optional[tuple[Any, ...]]:
        assert self._cursor is not None
        return self._cursor.fetchone()

    def fetchall(self) -> list[tuple[Any, ...]]:
        assert self._cursor is not None
        return self._cursor.fetchall()

    def commit(self) -> None:
        self._pending = None
        if self._connection is not None and not self._is_broken():
            connection = self._connection
            self._bounded(connection.commit)

    def close(self) -> None:
        if self._connection is not None and not self._is_broken():
            self.commit()
            self._connection.close()
        self._abandon()
