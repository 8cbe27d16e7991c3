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


def test_wait_close_hook_is_waited_for_plain_hook_is_not(make_product, tmp_path):
    product = make_product({"UpdateEvent": {"UpdateNone": "{app}\\late.bat"},
                            "UpdateEventWaitClose": {"UpdateNone": "{app}\\waited.bat"}})
    product.app_dir.mkdir(parents=True, exist_ok=True)
    waited = sleeper_bat(product.app_dir, "waited", 2)
    late = sleeper_bat(product.app_dir, "late", 10)

    lines = run_host(tmp_path, product, "/emptytemp")
    assert "exit 0" in lines
    assert "timeout" in waited.read_text(), "the updater went on before its wait-close hook ended"
    assert not late.exists() or "timeout" not in late.read_text(), "the plain hook was waited for"
    assert "log Run file[late.bat]" in lines and "log Run file[waited.bat]" in lines
    deadline = time.time() + 40
    while time.time() < deadline and not (late.exists() and "timeout" in late.read_text()):
        time.sleep(0.5)
    assert "timeout" in late.read_text(), "the plain hook never ran to its end"
