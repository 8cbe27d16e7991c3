"""A private Wine world (prefix, Xvfb display, persistent wineserver) for one pytest-xdist
worker, the same as scripts/wine-env.sh makes for the whole run.

Without xdist the run's own world is used and nothing here starts.
"""
import atexit
import os
import shutil
import subprocess
import tempfile

_xvfb = None


def _fail(message):
    raise RuntimeError(f"wine world of worker {os.environ.get('PYTEST_XDIST_WORKER')}: {message}")


def start_for_worker():
    global _xvfb
    worker = os.environ.get("PYTEST_XDIST_WORKER")
    if not worker or _xvfb is not None:
        return
    prefix = tempfile.mkdtemp(prefix=f"mirovane-{worker}.")
    os.environ["WINEPREFIX"] = os.path.join(prefix, "wine")
    os.mkdir(os.environ["WINEPREFIX"])
    # Xvfb names a free display once it is ready, so workers never share one.
    read_end, write_end = os.pipe()
    _xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                             pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    os.close(write_end)
    atexit.register(_stop, prefix)
    named = b""
    with os.fdopen(read_end, "rb") as pipe:
        while not named.endswith(b"\n"):
            chunk = pipe.read(1)  # ends when Xvfb exits without naming a display
            if not chunk:
                _fail("Xvfb did not start")
            named += chunk
    os.environ["DISPLAY"] = ":" + named.decode().strip()
    run = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL,
           "start_new_session": True, "timeout": 120}
    if subprocess.run(["wineserver", "-p"], **run).returncode != 0:
        _fail("wineserver could not start")
    if subprocess.run(["wine", "cmd", "/c", "exit"], **run).returncode != 0:
        _fail(f"wine could not start in {os.environ['WINEPREFIX']}")


def _stop(prefix):
    for args in (["wineserver", "-k"], ["wineserver", "-w"]):
        subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    _xvfb.kill()
    _xvfb.wait(timeout=10)
    shutil.rmtree(prefix, ignore_errors=True)
