"""Fixtures of the fault matrix: those of the Python suite (tests/python/conftest.py: the
simulated torso, the module, `eventually`, `run_python`), plus a watchdog and helpers.

scripts/test-faults.sh runs it with the environment that suite expects, and with
KESTRO_FAULTS_REPORT naming a file for the descriptor and memory figures."""

import datetime
import faulthandler
import importlib.util
import os
import pathlib
import sys

import pytest

# Loaded under its own name: both directories have a conftest.py, and the test modules here
# import this one as `conftest`.
_path = pathlib.Path(__file__).resolve().parent.parent / "python" / "conftest.py"
_spec = importlib.util.spec_from_file_location("kestro_suite_fixtures", _path)
suite = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = suite
_spec.loader.exec_module(suite)

Torso = suite.Torso
eventually = suite.eventually
run_python = suite.run_python
torso = suite.torso
kmc = suite.kmc

MS20 = datetime.timedelta(milliseconds=20)
COMMUNICATION = "Motor communication error! Check connections and power supply."
# A call that waits on the loop thread keeps the interpreter lock, so an in-process time-out
# cannot interrupt it: a test that hangs ends the whole run with every thread's traceback.
WATCHDOG_S = 90
REPORT = os.environ.get("KESTRO_FAULTS_REPORT")


@pytest.fixture(autouse=True)
def watchdog():
    faulthandler.dump_traceback_later(WATCHDOG_S, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def raised(call, *args):
    """The text of the RuntimeError that `call` raises, or None when it returns."""
    try:
        call(*args)
    except RuntimeError as error:
        return str(error)
    return None


def report(line):
    """Prints a figure (shown with -s) and appends it to the report file."""
    print(line)
    if REPORT:
        with open(REPORT, "a", encoding="utf-8") as out:
            out.write(line + "\n")


def sanitized():
    """True when the interpreter runs with a sanitizer runtime preloaded."""
    return "libasan" in os.environ.get("LD_PRELOAD", "")
