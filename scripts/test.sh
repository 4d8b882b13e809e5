#!/usr/bin/env bash
# Runs the test suite against the installed package in .venv. The pytest
# console script keeps the source tree off sys.path, so the tests import the
# built extension modules, not the sources.
set -euo pipefail
cd "$(dirname "$0")/.."
exec .venv/bin/pytest "$@"
