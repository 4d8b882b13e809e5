#!/usr/bin/env bash
# Sets up everything brindle needs on a fresh Debian machine, from a clean clone:
# system packages (a C++ compiler, PostgreSQL for the snapshot-store tests),
# a virtual environment in .venv with the pinned packages, and brindle built
# and installed into it.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_install() {
    local missing=()
    for pkg in "$@"; do
        dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        local sudo=""
        [ "$(id -u)" -ne 0 ] && sudo="sudo"
        $sudo apt-get update -qq
        # The tests start PostgreSQL servers of their own; keep the package's
        # install scripts from starting the system cluster (no init system here).
        local no_start=""
        if [ ! -e /usr/sbin/policy-rc.d ]; then
            printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
            $sudo chmod +x /usr/sbin/policy-rc.d
            no_start=1
        fi
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
        [ -n "$no_start" ] && $sudo rm -f /usr/sbin/policy-rc.d
        true
    fi
}

if command -v apt-get >/dev/null 2>&1; then
    apt_install g++ postgresql
fi

PYTHON="${PYTHON:-$(command -v python3.11 || command -v python3)}"
if [ ! -x .venv/bin/python ]; then
    "$PYTHON" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip >/dev/null
.venv/bin/python -m pip install -q -r requirements-ci.txt
# Build against the pinned nanobind and scikit-build-core installed above.
.venv/bin/python -m pip install -q --no-build-isolation .
