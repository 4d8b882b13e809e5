"""examples/web_service.py under `uvicorn --workers 3`, configured from the environment alone.

The workers share one listening socket, so which one answers a request is the
kernel's choice: each answer names its worker's pid, and requests (on fresh
connections, several at once) go on until every worker has been heard from.
"""

import datetime
import signal
import subprocess
import sys
import time
import uuid
from concurrent.futures import ThreadPoolExecutor

import httpx
import psycopg
import pytest
from prometheus_client.parser import text_string_to_metric_families

from child_process import child_env
from pg_server import postgresql_dsn  # noqa: F401  (session fixture)
from test_web_service import EXAMPLE, free_port

WORKERS = 3
# Generous: three interpreters starting on a busy machine.
START_SECONDS = 120
# How long a refresh may take to reach every worker.
PROPAGATION_SECONDS = 1.0

pytestmark = pytest.mark.slow


class Workers:
    def __init__(self, dsn, service):
        self.base = f"http://127.0.0.1:{free_port()}"
        env = child_env(BRINDLE_SIGNAL="1", BRINDLE_SIGNAL_DSN=dsn, BRINDLE_EXTERNAL_DSN=dsn,
                        BRINDLE_SERVICE_NAME=service, CATALOG_ROWS="200")
        self.process = subprocess.Popen(
            [sys.executable, "-m", "uvicorn", "--factory", "web_service:create_app", "--workers", str(WORKERS),
             "--app-dir", str(EXAMPLE.parent), "--host", "127.0.0.1", "--port", self.base.rsplit(":", 1)[1],
             "--log-level", "warning"],
            # `python -m` puts the working directory first on sys.path: run from the
            # examples, so that a source checkout's brindle/ never hides the installed one.
            cwd=str(EXAMPLE.parent), env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def get(self, path):
        # A connection of its own, so that the kernel picks a worker afresh.
        response = httpx.get(self.base + path, headers={"Connection": "close"}, timeout=30)
        assert response.status_code == 200, response.text
        return response.json()

    def post(self, path):
        response = httpx.post(self.base + path, headers={"Connection": "close"}, timeout=30)
        assert response.status_code == 200, response.text
        return response.json()

    def until_every_worker(self, done, deadline_seconds):
        """{pid: first answer of /worker for which done(answer)}, once every worker has given one."""
        seen = {}
        deadline = time.monotonic() + deadline_seconds
        with ThreadPoolExecutor(2 * WORKERS) as pool:
            while time.monotonic() < deadline:
                assert self.process.poll() is None, self.process.stdout.read()
                try:
                    answers = list(pool.map(lambda _: self.get("/worker"), range(2 * WORKERS)))
                except httpx.TransportError:
                    time.sleep(0.2)  # not listening yet
                    continue
                for answer in answers:
                    if done(answer):
                        seen.setdefault(answer["pid"], answer)
                if len(seen) == WORKERS:
                    return seen
        self.process.terminate()
        output = self.process.communicate(timeout=30)[0]
        raise AssertionError(f"heard from {sorted(seen)} only; the workers wrote:\n{output[-3000:]}")

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise


@pytest.fixture
def workers(postgresql_dsn):
    # A database of its own, so that the example's creating its tables is what is tested.
    database = f"catalog_{uuid.uuid4().hex[:8]}"
    with psycopg.connect(postgresql_dsn, autocommit=True) as admin:
        admin.execute(f"CREATE DATABASE {database}")
    dsn = postgresql_dsn.replace("dbname=postgres", f"dbname={database}")
    assert dsn != postgresql_dsn
    running = Workers(dsn, database)
    yield running
    running.stop()


def test_a_refresh_through_one_worker_is_served_by_every_worker(workers):
    started = workers.until_every_worker(lambda answer: True, START_SECONDS)
    # One worker loaded the first version for all of them.
    assert {answer["version"] for answer in started.values()} == {0}, started

    refreshed = workers.post("/refresh")
    returned = datetime.datetime.now()
    serving = workers.until_every_worker(lambda answer: answer["version"] == refreshed["version"], 60)
    assert set(serving) == set(started)
    for pid, answer in serving.items():
        since = datetime.datetime.fromisoformat(answer["since"])
        assert (since - returned).total_seconds() < PROPAGATION_SECONDS, (pid, answer, returned)

    # Refreshes through whichever workers the kernel picks: one sequence.
    versions = [workers.post("/refresh")["version"] for _ in range(6)]
    assert versions == list(range(refreshed["version"] + 1, refreshed["version"] + 7))
    final = workers.until_every_worker(lambda answer: answer["version"] == versions[-1], 60)
    report = workers.get("/report")
    assert {row["products_version_min"] for row in report} == {versions[-1]}
    assert len(final) == WORKERS

    # Whichever worker answers the scrape reports the version it holds and where it got it.
    scrape = httpx.get(workers.base + "/metrics", headers={"Connection": "close"}, timeout=30).text
    version = [s for family in text_string_to_metric_families(scrape)
               if family.name == "brindle_table_version_timestamp_seconds" for s in family.samples
               if s.labels["table"] == "products"]
    assert len(version) == 1 and version[0].value > 0
    assert version[0].labels["source"] in {"stored here", "notified"}, version
