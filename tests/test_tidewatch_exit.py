"""The cleanup thread must never bring the interpreter down at exit."""

import pytest

from child_process import start_child

pytestmark = pytest.mark.slow  # a process per run

# Passes back to back, each calling the callback, while the main script ends.
BUSY = """
    import brindle.tidewatch as tw
    registry = tw.TTLRegistry()
    registry.register("db", "t", 0)
    calls = []
    registry.start_cleanup_thread(lambda d, t: calls.append(t), interval_minutes=0)
    while len(calls) < 3:
        pass
"""

# The thread is asleep when the exit begins and wakes while the interpreter
# is finalising (a slow __del__ keeps finalisation going).
WAKES_DURING_FINALISATION = """
    import builtins, time
    import brindle.tidewatch as tw

    class SlowTeardown:
        def __del__(self, pause=time.sleep):
            pause(0.1)

    builtins._slow_teardown = SlowTeardown()
    registry = tw.TTLRegistry()
    registry.register("db", "t", 0)
    registry.start_cleanup_thread(lambda d, t: None, interval_minutes=0)
    registry._cleanup_interval_minutes = 0.01 / 60  # read before every wait
    time.sleep(0.05)
"""


def run_many(script, runs, cwd):
    results = []
    for start in range(0, runs, 4):
        batch = [start_child(script, cwd) for _ in range(min(4, runs - start))]
        results += [(p.wait(timeout=60), p.stdout.read() + p.stderr.read()) for p in batch]
        for p in batch:
            p.stdout.close()
            p.stderr.close()
    return results


@pytest.mark.parametrize("script,runs", [(BUSY, 30), (WAKES_DURING_FINALISATION, 12)],
                         ids=["busy-passes", "wakes-during-finalisation"])
def test_process_exits_cleanly(script, runs, tmp_path):
    for status, output in run_many(script, runs, tmp_path):
        assert status == 0, output
        assert "Fatal" not in output and "FATAL" not in output, output
