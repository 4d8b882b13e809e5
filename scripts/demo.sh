#!/usr/bin/env bash
# The main job: a service-shaped example (examples/service.py) that runs the
# cache through BrindleManager: two databases, a join, a refresh under reader
# threads, Parquet persistence, a second process warming from it, and the
# cleanup thread dropping an expired table (about a minute in all).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
exec .venv/bin/python examples/service.py
