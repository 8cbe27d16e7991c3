"""Host notification end to end: the sample host program starts the updater with its window
handle and records every message; stage hooks run from the settings."""
import re
import subprocess
import time
import uuid

from conftest import BIN, win

HOST = BIN / "mirovane-sample-host.exe"


def run_host(tmp_path, product, *args, options=(), timeout=60):
    """Starts the sample host, which starts the product with `args` and its window handle.
    Returns the host's output lines once the product has ended."""
    out = tmp_path / f"host-{uuid.uuid4().hex[:6]}.txt"
    cmd = ["wine", str(HOST), "--timeout", str(timeout), "--out", win(out), *options, "--run", win(product.exe), *args]
    subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=timeout + 30)
    return out.read_bytes().decode("utf-8").splitlines()


def handle_of(lines):
    return int(lines[0].split()[1])


def sleeper_bat(folder, name, seconds):
    """A batch file that runs the sample host as a plain sleeper writing `name`.txt."""
    marker = folder / f"{name}.txt"
    (folder / f"{name}.bat").write_bytes(
        f'@"{win(HOST)}" --timeout {seconds} --out "{win(marker)}"\r\n'.encode())
    return marker


def test_stage_and_properties_only_for_windows_that_ask(make_product, tmp_path):
    product = make_product({})
    asked = run_host(tmp_path, product, "/emptytemp")
    silent = run_host(tmp_path, product, "/emptytemp", options=["--no-needmsg"])

    assert "stage 0 UpdateNone files 0" in asked
    assert not [l for l in silent if l.startswith("stage ")]
    for lines in (asked, silent):
        assert f"log Run mode [emptytemp], host window [{handle_of(lines)}]" in lines
        assert "exit 0" in lines
        assert "prop mirovane.exe=0" in lines and "prop updatefilecount=0" in lines
    assert "prop mirovane.needmsg=1974" in asked and "prop mirovane.needmsg=1974" not in silent
    # the log file has the same lines, each with its time stamp
    for lines in (asked, silent):
        assert re.search(r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]Run mode \[emptytemp\], host window \[%d\]\r$"
                         % handle_of(lines), product.log(), re.M)


def held_bat(folder, name, release):
    """A batch file that runs until the file `release` exists (one-second naps through the
    sample host, at most 120 of them), then writes `name`.txt."""
    marker = folder / f"{name}.txt"
    (folder / f"{name}.bat").write_bytes(
        (f'@set n=0\r\n:wait\r\n@if exist "{win(release)}" goto done\r\n@set /a n=n+1\r\n'
         f'@if %n% geq 120 goto done\r\n@"{win(HOST)}" --timeout 1 --out "{win(folder / (name + "-nap.txt"))}"\r\n'
         f'@goto wait\r\n:done\r\n@echo done> "{win(marker)}"\r\n').encode())
    return marker


def test_wait_close_hook_is_waited_for_plain_hook_is_not(make_product, tmp_path):
    product = make_product({"UpdateEvent": {"UpdateNone": "{app}\\held.bat"},
                            "UpdateEventWaitClose": {"UpdateNone": "{app}\\waited.bat"}})
    product.app_dir.mkdir(parents=True, exist_ok=True)
    waited = sleeper_bat(product.app_dir, "waited", 2)
    release = tmp_path / "release"
    held = held_bat(product.app_dir, "held", release)

    # The plain hook cannot end before the test releases it, so the updater ending first shows
    # that it did not wait for it; the wait-close hook ended before the updater did.
    lines = run_host(tmp_path, product, "/emptytemp")
    assert "exit 0" in lines
    assert "timeout" in waited.read_text(), "the updater went on before its wait-close hook ended"
    assert not held.exists(), "the plain hook was waited for"
    assert "log Run file[held.bat]" in lines and "log Run file[waited.bat]" in lines
    release.write_text("go")
    deadline = time.monotonic() + 40
    while time.monotonic() < deadline and not held.exists():
        time.sleep(0.2)
    assert held.read_text().strip() == "done", "the plain hook never ran to its end"


def test_wait_close_hook_that_never_ends_is_waited_for_at_most_program_wait_time(make_product, tmp_path):
    """A wait-close hook that runs until released: the updater waits ProgramWaitTime seconds,
    logs that it still runs and goes on to its end."""
    product = make_product({"Mirovane": {"ProgramWaitTime": "3"},
                            "UpdateEventWaitClose": {"UpdateNone": "{app}\\held.bat"}})
    product.app_dir.mkdir(parents=True, exist_ok=True)
    release = tmp_path / "release"
    held = held_bat(product.app_dir, "held", release)
    try:
        started = time.monotonic()
        lines = run_host(tmp_path, product, "/emptytemp")
        took = time.monotonic() - started
        assert "exit 0" in lines
        assert not held.exists(), "the hook ended on its own"
        assert 3 <= took < 30
        log = product.log()
        assert "Waiting for [" in log and "held.bat] to end (at most 3 seconds)" in log
        assert re.search(r"Still running after 3 seconds, not waiting any longer: .*held\.bat", log)
    finally:
        release.write_text("go")
    deadline = time.monotonic() + 40
    while time.monotonic() < deadline and not held.exists():
        time.sleep(0.2)
    assert held.exists()
