"""Fixtures for driving the real Windows programs under Wine.

scripts/test.sh starts the Wine world (WINEPREFIX, DISPLAY, a persistent wineserver)
before pytest runs; these fixtures only start programs inside it. Under pytest-xdist each
worker starts a world of its own (wine_world.py), so that no two tests share a prefix or a
display.
"""
import datetime
import os
import pathlib
import socket
import subprocess
import threading
import time
import uuid

import pytest

import wine_world

pytest_plugins = ["servers"]

wine_world.start_for_worker()

ROOT = pathlib.Path(__file__).resolve().parents[2]
BIN = pathlib.Path(os.environ.get("MIROVANE_BIN", ROOT / "build" / "bin"))
PREFIX = pathlib.Path(os.environ["WINEPREFIX"])
DRIVE_C = PREFIX / "drive_c"
OMRA = DRIVE_C / "Brenwick" / "omra"


# A port bound for the whole run and never listening: a connection to it is refused at once,
# and no other program can start listening on it while the tests run (ports such as 9 or 1
# are only closed by custom).
_CLOSED_SOCKET = socket.socket()
_CLOSED_SOCKET.bind(("127.0.0.1", 0))
CLOSED = "http://127.0.0.1:%d" % _CLOSED_SOCKET.getsockname()[1]

# A skip is a test that did not run, and a run with one would still pass: here it fails the
# run with its reason, unless the reason says the platform cannot show the behaviour at all.
PLATFORM_CANNOT = "this platform cannot show it: "


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.skipped and not hasattr(report, "wasxfail"):
        reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
        if not reason.removeprefix("Skipped: ").startswith(PLATFORM_CANNOT):
            report.outcome = "failed"
            report.longrepr = f"skipped, which fails the run: {reason}"


def read_line(proc, timeout=30.0) -> bytes:
    """One line of a helper's output, waiting at most `timeout` seconds: a helper that never
    answers kills its process and fails the test instead of holding the run."""
    got = []
    reader = threading.Thread(target=lambda: got.append(proc.stdout.readline()), daemon=True)
    reader.start()
    reader.join(timeout)
    if not got:
        proc.kill()
        pytest.fail(f"no line from {proc.args!r} in {timeout} s")
    return got[0]


def wait_for(predicate, timeout, what):
    """Returns as soon as `predicate()` holds; fails with `what` when it has not by the deadline."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}")


def seed_check_stamp(temp: pathlib.Path):
    """Writes the working directory's copy of the settings with the last background refresh
    in this hour, so that no hidden refresh copy starts while a test runs."""
    hours = (datetime.datetime.now() - datetime.datetime(2011, 1, 1)) // datetime.timedelta(hours=1)
    temp.mkdir(parents=True, exist_ok=True)
    (temp / "mirovane.ini").write_bytes(b"[Mirovane]\r\nOwerCheckTm=%d\r\n" % hours)


def win(path) -> str:
    """Windows form of a Linux path (Wine's Z: drive)."""
    return "Z:" + str(path).replace("/", "\\")


def ini(sections: dict) -> bytes:
    """Settings text, CR LF line ends, in the 8-bit code page of the tests' machine."""
    lines = []
    for section, keys in sections.items():
        lines.append(f"[{section}]")
        lines.extend(f"{k}={v}" for k, v in keys.items())
        lines.append("")
    return "\r\n".join(lines).encode("cp1252")


def list_cache_name(text: str) -> str:
    """The list cache name, computed independently of the product."""
    nums = [65, 72, 65, 66, 67, 68, 57, 57, 57, 57]
    units = list(text.encode("utf-16-le"))
    c = [units[i] | (units[i + 1] << 8) for i in range(0, len(units), 2)]
    for i in range(10):
        if not c:
            break
        d = nums[i]
        for j in range(len(c)):
            d = (d + c[j] + c[j // 2] + i + j) % 199
        nums[i] = d
    digits = "".join("%X" % (n % 16) for n in nums)
    return digits[:4] + "-" + digits[4:]


def lost_kill(code, out="") -> bool:
    """True for a run Wine reports as exit code 1 with nothing written at all. Under load, a
    process that ends itself with TerminateProcess at a kill point is now and then reported
    that way (a few times in some thousand kills; the same point killed again gives its code).
    The kill tests run such a point once more: a product that really fails there fails again."""
    return code == 1 and not out.strip()


def run_captured(cmd, timeout, env=None, cwd=None):
    """Runs a program with its output in files, not pipes: a Windows process it starts (Wine's
    desktop or services among them) inherits its handles and would hold a pipe open long after
    it ended. Returns (exit code, stdout bytes, stderr bytes)."""
    import tempfile
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=timeout, env=env,
                              cwd=cwd).returncode
        out.seek(0)
        err.seek(0)
        return code, out.read(), err.read()


def run_windows(exe, args=(), timeout=60, env=None):
    """Runs a Windows program through runexit; returns (exit code or None on time-out, stdout).
    `env` adds to the environment."""
    limit_ms = int(timeout * 1000)
    cmd = ["wine", str(BIN / "runexit.exe"), str(limit_ms), win(exe), *args]
    _, stdout, stderr = run_captured(cmd, timeout + 30, env={**os.environ, **(env or {})})
    out = stdout.decode("utf-8", "replace")
    for line in out.splitlines():
        if line.startswith("exit="):
            return int(line[5:]), out
    return None, out + stderr.decode("utf-8", "replace")


class Product:
    """A copy of mirovane.exe with its own built-in settings and application directory."""

    def __init__(self, exe: pathlib.Path, name: str):
        self.exe = exe
        self.name = name
        self.app_dir = OMRA / name

    def run(self, *args, timeout=60):
        code, self.output = run_windows(self.exe, args, timeout)
        return code

    def log(self, name="inst.log") -> str:
        path = self.app_dir / name
        return path.read_bytes().decode("cp1252") if path.exists() else ""


@pytest.fixture
def make_product(tmp_path):
    """make_product(settings_dict_or_bytes, name=None) -> Product.

    A dict gets [APPLICATION] Name set to a unique name unless it names one, so that every
    test has an application directory of its own, and [Mirovane] Log=inst.log by default.
    """
    made = []

    def make(settings, name=None, exe_name="mirovane.exe"):
        if isinstance(settings, dict):
            settings = {k: dict(v) for k, v in settings.items()}
            app = settings.setdefault("APPLICATION", {})
            name = app.setdefault("Name", name or "T-" + uuid.uuid4().hex[:8])
            mirovane = settings.setdefault("Mirovane", {})
            mirovane.setdefault("Log", "inst.log")
            # The built-in defaults are addresses that fail by a name look-up; a test that does
            # not name them fails at once on a closed port instead, without asking DNS.
            mirovane.setdefault("ConnectionTestUrl", CLOSED + "/")
            settings.setdefault("UPDATEINFO", {}).setdefault("MainListURL", CLOSED + "/main.xml")
            data = ini(settings)
        else:
            data = settings
            assert name, "raw settings need the name they set"
        folder = tmp_path / uuid.uuid4().hex[:6]
        folder.mkdir()
        (folder / "settings.ini").write_bytes(data)
        out = folder / exe_name
        proc = subprocess.run(
            ["wine", str(BIN / "mirovane-embed.exe"), win(BIN / "mirovane.exe"), win(folder / "settings.ini"), win(out)],
            stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        assert proc.returncode == 0, proc.stderr
        product = Product(out, name)
        made.append(product)
        return product

    yield make
    for p in made:
        stop_copies_of(p.exe)
        subprocess.run(["rm", "-rf", str(p.app_dir)], timeout=60)


def stop_copies_of(exe: pathlib.Path):
    """Kills what still runs from `exe` (a hidden list refresh, a copy left by a failed test),
    so that nothing a test started outlives it and answers a later test's server."""
    wanted = (win(exe).lower().encode(), str(exe).lower().encode())
    for proc in pathlib.Path("/proc").iterdir():
        try:
            cmdline = (proc / "cmdline").read_bytes().replace(b"\0", b" ").lower()
            if proc.name.isdigit() and any(w in cmdline for w in wanted):
                os.kill(int(proc.name), 9)
        except OSError:
            pass


@pytest.fixture
def test_window():
    """A live top-level window in another Windows process; yields its handle (int)."""
    proc = subprocess.Popen(["wine", str(BIN / "testwindow.exe")], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        line = read_line(proc).decode().strip()
        assert line.isdigit(), f"no window handle from testwindow: {line!r}"
        yield int(line)
    finally:
        proc.kill()
        proc.wait(timeout=10)
