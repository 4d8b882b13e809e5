"""Two worker processes of one service, refreshed through one of them.

Each worker is what a uvicorn or gunicorn worker would be: its own
BrindleManager with signalling on, sharing the snapshot store in PostgreSQL.
Worker 1 stores a new version of the table; worker 2 serves it as soon as the
notification has reached it. Needs a PostgreSQL database holding the
brindle_snapshots table (see docs/persistence.md):

    .venv/bin/python examples/two_workers.py "host=localhost dbname=cache user=svc"
"""

import os
import sys
import time
from multiprocessing import get_context
from multiprocessing.connection import Connection

import pandas as pd

from brindle.config import BrindleConfig
from brindle.errors import BrindleNotFoundError
from brindle.quaymaster import BrindleManager


def serving(cache: BrindleManager) -> object:
    try:
        return cache.query("sales", "prices")["price"].tolist()
    except BrindleNotFoundError:
        return None


def worker(number: int, dsn: str, commands: Connection) -> None:
    # external_dsn: the manager keeps its snapshots there through brindle's PostgresConnector.
    config = BrindleConfig(service_name="two_workers", signal_enabled=True, signal_dsn=dsn, external_dsn=dsn)
    cache = BrindleManager(config)
    commands.send("ready")
    while (command := commands.recv()) != "stop":
        if command == "refresh":
            cache.store("sales", "prices", pd.DataFrame({"price": [round(time.time() % 100, 2)]}))
        deadline = time.monotonic() + 5
        rows = serving(cache)
        while command == "wait" and rows is None and time.monotonic() < deadline:
            time.sleep(0.01)
            rows = serving(cache)
        commands.send(f"worker {number} serves {rows}")
    cache.shutdown()


def main() -> None:
    dsn = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("BRINDLE_SIGNAL_DSN", "")
    if not dsn:
        raise SystemExit(__doc__)
    context = get_context("spawn")  # each worker a fresh interpreter, as a server's workers are
    pipes, processes = [], []
    for number in (1, 2):
        mine, theirs = context.Pipe()
        process = context.Process(target=worker, args=(number, dsn, theirs))
        process.start()
        pipes.append(mine)
        processes.append(process)
    for pipe in pipes:
        assert pipe.recv() == "ready"
    for _ in range(3):
        pipes[0].send("refresh")
        print(pipes[0].recv())
        time.sleep(0.3)  # a moment for the news to travel
        pipes[1].send("wait")
        print(pipes[1].recv())
    for pipe, process in zip(pipes, processes):
        pipe.send("stop")
        process.join()


if __name__ == "__main__":
    main()
