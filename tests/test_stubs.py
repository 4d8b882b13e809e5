"""The .pyi stubs against the modules themselves (mypy's stubtest), and mypy
--strict over the examples and the package."""

import os
import pkgutil
import subprocess
import sys
from pathlib import Path

import mypy.api

import brindle

ROOT = Path(__file__).resolve().parent.parent


def test_stubtest_finds_stubs_and_modules_alike(tmp_path):
    # stubtest checks the package and every module in it against their
    # stubs. The package is the one that was imported (installed, or built in
    # place), and stubtest runs elsewhere so that a source checkout without
    # the built modules cannot shadow it; pyproject.toml gives the mypy
    # settings. Nothing needs allowing: the manager's callables carry real
    # signatures, which stubtest reads as it reads Python functions'.
    package_parent = str(Path(brindle.__file__).resolve().parent.parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [package_parent, os.environ.get("PYTHONPATH")])))
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(ROOT / "pyproject.toml"), "brindle"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    modules = 1 + len(list(pkgutil.iter_modules(brindle.__path__)))
    assert done.returncode == 0 and f"no issues found in {modules} modules" in done.stdout, done.stdout + done.stderr


def test_mypy_strict_passes_on_examples_and_package(monkeypatch):
    # Run from the root so that pyproject.toml's [tool.mypy] applies and the
    # package is the source tree's.
    monkeypatch.chdir(ROOT)
    stdout, stderr, status = mypy.api.run(["--strict", "examples", "brindle"])
    assert status == 0, stdout + stderr
