"""A throwaway PostgreSQL server for the test session.

``postgresql_dsn`` (session scope) runs initdb in a fresh temporary
directory, starts the server listening only on a Unix socket inside that
directory, and yields a libpq connection string; the server is stopped and
the directory removed when the session ends. Binaries come from
``pg_config --bindir`` or /usr/lib/postgresql/<version>/bin (Debian's
``postgresql`` package). Where none are installed the tests that use it skip.

initdb and postgres refuse to run as root, so under root both run as the
``postgres`` system user through ``runuser``.
"""

from __future__ import annotations

import glob
import os
import pwd
import shutil
import subprocess
import tempfile

import pytest

SNAPSHOTS_DDL = """
CREATE TABLE IF NOT EXISTS brindle_snapshots (
    service_name VARCHAR   NOT NULL,
    db_name      VARCHAR   NOT NULL,
    table_name   VARCHAR   NOT NULL,
    data         BYTEA     NOT NULL,
    stored_at    TIMESTAMP NOT NULL,
    row_count    INTEGER   NOT NULL,
    PRIMARY KEY (service_name, db_name, table_name)
)
"""

_PORT = 5432  # only names the socket file; nothing listens on TCP

# The running server's pg_ctl command line, for restart_postgresql().
_running: dict[str, list[str]] = {}
_START_TIMEOUT_SECONDS = 60


def _bindir() -> str | None:
    candidates = []
    pg_config = shutil.which("pg_config")
    if pg_config:
        try:
            out = subprocess.run([pg_config, "--bindir"], capture_output=True, text=True, check=True)
            candidates.append(out.stdout.strip())
        except (OSError, subprocess.CalledProcessError):
            pass

    def version(path: str) -> float:
        try:
            return float(path.split("/")[-2])
        except ValueError:
            return 0.0

    candidates += sorted(glob.glob("/usr/lib/postgresql/*/bin"), key=version, reverse=True)
    for bindir in candidates:
        if all(os.access(os.path.join(bindir, b), os.X_OK) for b in ("initdb", "pg_ctl", "postgres")):
            return bindir
    return None


def _runner() -> tuple[list[str], int | None, int | None]:
    """Command prefix, uid and gid for running the server's binaries."""
    if os.geteuid() != 0:
        return [], None, None
    try:
        user = pwd.getpwnam("postgres")
    except KeyError:
        pytest.skip("running as root and there is no 'postgres' system user to run PostgreSQL as")
    runuser = shutil.which("runuser") or "/usr/sbin/runuser"
    return [runuser, "-u", "postgres", "--"], user.pw_uid, user.pw_gid


def _run(prefix: list[str], argv: list[str], log: str) -> None:
    result = subprocess.run(prefix + argv, capture_output=True, text=True)
    if result.returncode != 0:
        tail = ""
        if os.path.exists(log):
            with open(log, encoding="utf-8", errors="replace") as f:
                tail = f.read()[-4000:]
        raise RuntimeError(
            f"{' '.join(argv[:2])} failed ({result.returncode}):\n{result.stdout}\n{result.stderr}\n{tail}"
        )


@pytest.fixture(scope="session")
def postgresql_dsn():
    """libpq connection string of a PostgreSQL server private to this session."""
    pytest.importorskip("psycopg", reason="psycopg 3 is needed to talk to PostgreSQL")
    bindir = _bindir()
    if bindir is None:
        pytest.skip(
            "PostgreSQL server binaries (initdb, pg_ctl, postgres) not found: "
            "install Debian's 'postgresql' package"
        )
    prefix, uid, gid = _runner()
    # Directly under /tmp: the socket path must stay short, and the postgres
    # user must be able to reach it (pytest's own tmp root is private to us).
    root = tempfile.mkdtemp(prefix="brindle-pg-")
    data = os.path.join(root, "data")
    log = os.path.join(root, "server.log")
    if uid is not None:
        os.chown(root, uid, gid)
    pg_ctl = os.path.join(bindir, "pg_ctl")
    started = False
    try:
        _run(prefix, [os.path.join(bindir, "initdb"), "-D", data, "-U", "postgres", "-A", "trust",
                      "-E", "UTF8", "--no-sync"], log)
        options = f"-k {root} -p {_PORT} -c listen_addresses='' -c fsync=off -c full_page_writes=off"
        _run(prefix, [pg_ctl, "-D", data, "-l", log, "-o", options, "-w",
                      "-t", str(_START_TIMEOUT_SECONDS), "start"], log)
        started = True
        _running["pg_ctl"] = prefix + [pg_ctl, "-D", data, "-l", log, "-o", options, "-w",
                                       "-t", str(_START_TIMEOUT_SECONDS)]
        yield f"host={root} port={_PORT} user=postgres dbname=postgres"
    finally:
        _running.clear()
        if started:
            subprocess.run(prefix + [pg_ctl, "-D", data, "-m", "fast", "-w", "stop"],
                           capture_output=True)
        shutil.rmtree(root, ignore_errors=True)


def restart_postgresql() -> None:
    """Stops the session's server (ending every session on it) and starts it again."""
    subprocess.run(_running["pg_ctl"] + ["-m", "fast", "restart"], capture_output=True, check=True)
