"""Fixtures for driving the real Windows programs under Wine.

scripts/test.sh starts the Wine world (WINEPREFIX, DISPLAY, a persistent wineserver)
before pytest runs; these fixtures only start programs inside it.
"""
import os
import pathlib
import subprocess
import uuid

import pytest

pytest_plugins = ["servers"]

ROOT = pathlib.Path(__file__).resolve().parents[2]
BIN = pathlib.Path(os.environ.get("MIROVANE_BIN", ROOT / "build" / "bin"))
PREFIX = pathlib.Path(os.environ["WINEPREFIX"])
DRIVE_C = PREFIX / "drive_c"
OMRA = DRIVE_C / "Brenwick" / "omra"


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


def run_windows(exe, args=(), timeout=60):
    """Runs a Windows program through runexit; returns (exit code or None on time-out, stdout)."""
    limit_ms = int(timeout * 1000)
    cmd = ["wine", str(BIN / "runexit.exe"), str(limit_ms), win(exe), *args]
    proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout + 30)
    out = proc.stdout.decode("utf-8", "replace")
    for line in out.splitlines():
        if line.startswith("exit="):
            return int(line[5:]), out
    return None, out + proc.stderr.decode("utf-8", "replace")


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
            settings.setdefault("Mirovane", {}).setdefault("Log", "inst.log")
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
        subprocess.run(["rm", "-rf", str(p.app_dir)])


@pytest.fixture
def test_window():
    """A live top-level window in another Windows process; yields its handle (int)."""
    proc = subprocess.Popen(["wine", str(BIN / "testwindow.exe")], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        line = proc.stdout.readline().decode().strip()
        assert line.isdigit(), f"no window handle from testwindow: {line!r}"
        yield int(line)
    finally:
        proc.kill()
        proc.wait(timeout=10)
