"""Running Python children that import the same brindle as the tests."""

import os
import subprocess
import sys
import textwrap

import brindle

# The folder holding the brindle package this process imported (installed, or
# built in place). Children run outside the source tree, whose brindle/ folder
# holds no extension modules unless they were built in place.
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(brindle.__file__)))


def child_env(**extra):
    path = PACKAGE_PARENT + os.pathsep + os.environ.get("PYTHONPATH", "")
    # An editable install rebuilds on import; its report must not land in the
    # output the tests read.
    return dict(os.environ, PYTHONPATH=path, SKBUILD_EDITABLE_VERBOSE="0", **extra)


def start_child(code, cwd, **env):
    """Starts `python -c code` (dedented) in cwd; stdout and stderr piped."""
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], env=child_env(**env),
                            cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def run_child(code, cwd, timeout=120, **env):
    """Runs a child to its end: (exit status, stdout, stderr)."""
    p = start_child(code, cwd, **env)
    out, err = p.communicate(timeout=timeout)
    return p.returncode, out, err
