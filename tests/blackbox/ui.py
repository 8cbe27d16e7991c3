"""Drives the updater's windows through tests/helpers/uihelper.exe, as a person would."""
import os
import pathlib
import subprocess
import tempfile

from conftest import BIN, win

PROGRESS = "MirovaneProgress"
TRAY = "MirovaneTray"
STATUS_ID, BAR_ID = 171, 181
TRAY_CALLBACK, TRAY_ICON = 1124, 1026
WM_RBUTTONDOWN = 0x204


def ui(command, cls, title="-", *args, timeout_ms=20000) -> dict:
    """Runs one helper command; the key=value lines it printed, plus "timeout" when it gave up.

    The output goes through a file, not a pipe: a Windows process that Wine starts meanwhile
    (its desktop or a console host) may inherit the handle and keep a pipe open for ever."""
    with tempfile.TemporaryFile() as f:
        subprocess.run(["wine", str(BIN / "uihelper.exe"), str(timeout_ms), command, cls, title, *map(str, args)],
                       stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.DEVNULL, timeout=timeout_ms / 1000 + 30)
        f.seek(0)
        text = f.read().decode("utf-8", "replace")
    out = {}
    for line in text.splitlines():
        line = line.rstrip("\r")
        key, _, value = line.partition("=")
        out[key] = value
    return out


def start(product, *args, limit_s=300):
    """Starts the product through runexit; returns the process (its output file holds exit=)."""
    out = tempfile.TemporaryFile()
    proc = subprocess.Popen(["wine", str(BIN / "runexit.exe"), str(limit_s * 1000), win(product.exe), *args],
                            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)
    proc.output_file = out
    return proc


def exit_code(proc, timeout=120):
    proc.wait(timeout=timeout)
    proc.output_file.seek(0)
    out = proc.output_file.read()
    proc.output_file.close()
    for line in out.decode("utf-8", "replace").splitlines():
        if line.startswith("exit="):
            return int(line[5:])
    return None


def screenshot(path: pathlib.Path, client: str):
    """The client area "l,t,r,b" (screen coordinates) of the display as a PNG."""
    l, t, r, b = map(int, client.split(","))
    subprocess.run(["import", "-display", os.environ["DISPLAY"], "-window", "root", "-crop",
                    f"{r - l}x{b - t}+{l}+{t}", "+repage", str(path)], check=True, timeout=30)
    return path
