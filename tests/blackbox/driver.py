"""Runs tests/helpers/core/coredriver.exe, which calls the updater's own functions."""
import os
import subprocess

from conftest import BIN, run_captured


def run_driver(*args, timeout=60, env=None):
    """Returns the driver's key=value lines as a list of (key, value), in order."""
    code, stdout, stderr = run_captured(["wine", str(BIN / "coredriver.exe"), *map(str, args)], timeout,
                                        env={**os.environ, **(env or {})})
    assert code == 0, stderr.decode(errors="replace")
    pairs = []
    for line in stdout.decode("utf-8").splitlines():
        line = line.rstrip("\r")
        if "=" in line:
            pairs.append(tuple(line.split("=", 1)))
    return pairs


def driver(*args, **kw) -> dict:
    """The same as a dict (the last value of a repeated key wins)."""
    return dict(run_driver(*args, **kw))


def start_driver(*args, env=None):
    return subprocess.Popen(["wine", str(BIN / "coredriver.exe"), *map(str, args)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env={**os.environ, **(env or {})})


def click_box(text, button="ok", timeout_ms=20000, env=None):
    """Presses a button of the message box that shows `text`; True when one was found and
    offered that button (False, and nothing pressed, when the box has no such button).
    `env` adds to the environment (another WINEPREFIX looks in that Wine session)."""
    _, stdout, _ = run_captured(["wine", str(BIN / "clickbox.exe"), str(timeout_ms), text, button],
                                timeout_ms / 1000 + 30, env={**os.environ, **(env or {})})
    return b"clicked" in stdout
