"""Shared fixtures for the Python suite: bounded waits and server factories."""

import os
import sys
import threading

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
# The pure-Python producer client is importable from the source tree too.
if os.path.join(REPO, "python") not in sys.path:
    sys.path.append(os.path.join(REPO, "python"))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

# Every wait in the suite is bounded by this, so a hang fails instead of freezing.
WAIT = 30.0


class Background:
    """Runs a callable on a thread and hands back its result or exception."""

    def __init__(self, fn, *args):
        self.result = None
        self.error = None
        self._thread = threading.Thread(target=self._run, args=(fn, args), daemon=True)
        self._thread.start()

    def _run(self, fn, args):
        try:
            self.result = fn(*args)
        except BaseException as e:  # noqa: BLE001 - handed to the test
            self.error = e

    def done(self, timeout=0.0):
        self._thread.join(timeout)
        return not self._thread.is_alive()

    def get(self, timeout=WAIT):
        self._thread.join(timeout)
        assert not self._thread.is_alive(), "background call did not finish in time"
        if self.error is not None:
            raise self.error
        return self.result


@pytest.fixture
def background():
    return Background
