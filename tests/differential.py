"""run_child, for tests whose check runs in a child interpreter."""

import os
import subprocess
import sys
from pathlib import Path

TESTS = Path(__file__).resolve().parent


def run_child(code, timeout=120):
    """Runs `code` in a fresh interpreter that finds the tests' helpers; a
    crash or a failed assertion shows as the return code and stderr."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(TESTS), os.environ.get("PYTHONPATH")])))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=timeout)
