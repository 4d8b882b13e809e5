#!/usr/bin/env bash
# The main job: a demo that stores, refreshes and queries tables.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
exec .venv/bin/python examples/demo.py
