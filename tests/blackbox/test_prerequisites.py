"""The .NET Framework prerequisite and the error page, through the real program under Wine.

The Wine world has no .NET Framework folders, so every version counts as missing, and no
HTML engine (mshtml is switched off), so the error page shows its built-in content as a
plain dialog.
"""
import os
import pathlib
import shutil
import struct
import subprocess
import tempfile
import time

from conftest import BIN, CLOSED, ROOT, win

SHOTS = ROOT / "build" / "test-shots"
DONE_BGR = bytes((0xC8, 0x64, 0x1E))  # the fill of a downloaded block
INSTALL_REFUSED = "The installer was not started"


def start_product(product, *args, limit_s=90):
    """Starts the product through runexit; .finish() returns its exit code (None on time-out).
    Output goes to a file, not a pipe: a Wine service started meanwhile would hold a pipe open."""
    out = tempfile.TemporaryFile()
    proc = subprocess.Popen(["wine", str(BIN / "runexit.exe"), str(limit_s * 1000), win(product.exe), *args],
                            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)

    def finish(timeout=limit_s + 30):
        proc.wait(timeout=timeout)
        out.seek(0)
        for line in out.read().decode("utf-8", "replace").splitlines():
            if line.startswith("exit="):
                return int(line[5:])
        return None
    proc.finish = finish
    return proc


def dlg(command, caption, *args, timeout_ms=20000):
    with tempfile.TemporaryFile() as out:
        subprocess.run(["wine", str(BIN / "dlghelper.exe"), str(timeout_ms), command, caption, *map(str, args)],
                       stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL, timeout=timeout_ms / 1000 + 30)
        out.seek(0)
        return out.read().decode("utf-8", "replace").strip()


def done_pixels(bmp: pathlib.Path) -> int:
    data = bmp.read_bytes()
    offset, width, height = struct.unpack_from("<I", data, 10)[0], *struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) & ~3
    count = 0
    for y in range(abs(height)):
        row = data[offset + y * stride: offset + y * stride + width * 3]
        count += sum(1 for x in range(0, len(row), 3) if row[x:x + 3] == DONE_BGR)
    return count


def shot(caption, name, tmp_path):
    path = tmp_path / name
    assert dlg("shot", caption, 144, win(path)) == "saved"
    SHOTS.mkdir(parents=True, exist_ok=True)
    shutil.copy(path, SHOTS / name)
    return done_pixels(path)


def dotnet_product(make_product, url, **more):
    settings = {"APPLICATION": {"dotnetfx40": url}, "Mirovane": dict(more)}
    return make_product(settings)


def test_message_when_there_is_no_installer_address_and_hidden_copies_skip_the_check(make_product):
    from driver import click_box
    product = make_product({"Mirovane": {"dotnetfx10": "1"}})
    # A mode whose own work ends at once: the start-up check is what is looked at.
    run = start_product(product, "/emptytemp")
    assert click_box("You must install .Net Framework 1.0 to run main application.")
    assert run.finish() == 0
    assert ".NET Framework 1.0 is missing; installer []" in product.log()

    # The hidden copy that refreshes the list shows nothing and offers nothing.
    hidden = make_product({"Mirovane": {"dotnetfx10": "1"}})
    assert hidden.run("/downparam0", timeout=60) == 0
    assert "is missing" not in hidden.log()


def test_download_shows_blocks_advancing_and_exit_cancels_it(make_product, fault_server, tmp_path):
    body = os.urandom(3 * 1024 * 1024)
    url = fault_server.add("/dotnetfx/dotnetfx40.exe", body, rate=120_000)
    product = dotnet_product(make_product, url)
    run = start_product(product, "/dotnet40")
    name = product.name
    assert dlg("wait", name) == "found"
    assert shot(name, "dotnet-before.bmp", tmp_path) == 0   # title and message, no blocks yet
    assert dlg("click", name, 1) == "clicked"

    # Blocks turn from pending to done while the bytes arrive.
    # (The first look may come before the first block is done on a busy machine.)
    counts, done, deadline = [], [], time.monotonic() + 30
    while time.monotonic() < deadline and (len(done) < 2 or done[-1] <= done[0]):
        time.sleep(1.0)
        counts.append(shot(name, f"dotnet-progress{len(counts)}.bmp", tmp_path))
        done = [c for c in counts if c > 0]
    assert len(done) >= 2 and done[-1] > done[0], counts

    # Exit in the middle: the download stops and the dialog goes, with no installer left.
    assert dlg("click", name, 2) == "clicked"
    pressed = time.monotonic()
    assert run.finish(timeout=60) == 0
    assert time.monotonic() - pressed < 10   # the rest of the file would take far longer
    log = product.log()
    assert "The installer download was cancelled" in log
    assert not list(product.app_dir.rglob("dotnetfx40.exe*"))
    assert not list(pathlib.Path(os.environ["WINEPREFIX"]).rglob("dotnetfx40.exe*"))


def test_unsigned_installer_over_http_is_refused(make_product, fault_server, tmp_path):
    from driver import click_box
    stand_in = (BIN / "standin.exe").read_bytes()
    url = fault_server.add("/dotnetfx/dotnetfx40.exe", stand_in)
    product = dotnet_product(make_product, url)
    run = start_product(product, "/dotnet40")
    name = product.name
    assert dlg("click", name, 1) == "clicked"
    assert dlg("clicktext", name, 1, "Install") == "clicked"
    assert click_box(INSTALL_REFUSED)
    assert run.finish() == 0
    shot_dir = pathlib.Path(os.environ["WINEPREFIX"])
    assert not list(shot_dir.rglob("dotnetfx40.exe.ran"))
    assert INSTALL_REFUSED in product.log()
    assert "Installer started" not in product.log()


def test_installer_from_https_is_started(tmp_path):
    from driver import driver
    installer = tmp_path / "dotnetfx40.exe"
    shutil.copy(BIN / "standin.exe", installer)
    assert driver("runinstaller", "https://127.0.0.1/dotnetfx/dotnetfx40.exe", win(installer))["started"] == "1"
    marker = tmp_path / "dotnetfx40.exe.ran"
    deadline = time.monotonic() + 20
    while not marker.exists() and time.monotonic() < deadline:
        time.sleep(0.1)
    assert marker.exists()
    # The same file from a plain http address carries no signature: refused, not run.
    marker.unlink()
    proc = subprocess.Popen(["wine", str(BIN / "coredriver.exe"), "runinstaller", "http://127.0.0.1/x.exe",
                             win(installer)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    from driver import click_box
    assert click_box(INSTALL_REFUSED)
    assert b"started=0" in proc.communicate(timeout=60)[0]
    assert not marker.exists()


def error_page_product(make_product, fault_server, reachable=True):
    list_url = fault_server.url("/update/list.xml")   # not served: every check fails
    test_url = fault_server.url("/") if reachable else CLOSED + "/"
    return make_product({
        "APPLICATION": {"Application": "missing.exe"},
        "UPDATEINFO": {"ListURL": list_url},
        "Mirovane": {"ShowWhenCheck": "0", "ConnectionTestUrl": test_url},
    })


def test_missing_host_shows_the_error_page_retry_checks_once_close_ends(make_product, fault_server):
    def checks():
        return sum(1 for r in fault_server.seen("/update/list.xml") if r.method == "GET")
    product = error_page_product(make_product, fault_server)
    run = start_product(product, "/appenternoprompt")
    caption = "Download notice - " + product.name
    assert dlg("wait", caption) == "found"
    assert checks() == 1
    assert dlg("click", caption, 1102) == "clicked"          # Retry
    deadline = time.monotonic() + 20
    while checks() < 2 and time.monotonic() < deadline:
        time.sleep(0.1)
    assert dlg("wait", caption) == "found"                   # still missing: the page again
    assert checks() == 2   # one more check, no loop
    assert dlg("click", caption, 2) == "clicked"             # Close
    assert run.finish() == 0xFFFFFFFF                       # -1
    log = product.log()
    assert log.count("The host program is missing: the error page is shown") == 2
    # No HTML engine here: each showing says once why the plain dialog stands in for the browser.
    assert log.count("the error page is shown without the Web browser control") == 2
    assert log.count("Retry: checking for updates again") == 1
    assert "The error page was closed, the updater ends" in log


def test_missing_host_offline_gets_the_message(make_product, fault_server):
    from driver import click_box
    product = error_page_product(make_product, fault_server, reachable=False)
    run = start_product(product, "/appenternoprompt")
    assert click_box("Can't find the file that you set Application in mirovane.ini file.")
    assert run.finish() == 0
    assert "error page" not in product.log()


def test_the_built_in_page_keeps_its_pictures_inside_the_executable():
    import re
    resources = ROOT / "src" / "resources"
    page = (resources / "page" / "error_page.html").read_text(encoding="utf-8")
    rc = (resources / "prereq.rc").read_text(encoding="utf-8")
    declared = {name.lower(): path for name, path in re.findall(r'^(\S+) HTML "([^"]+)"', rc, re.M)}
    pictures = re.findall(r'url\(([^)]+)\)', page)
    links = re.findall(r'href="([^"]+)"', page)
    assert len(pictures) == 5
    for picture in pictures:   # relative to res://<exe>/, each a resource of the page's own
        assert declared[picture.lower()] == "page/" + picture
    assert declared["mv_idr_error_page"] == "page/error_page.html"
    # Only the page's own relative links: nothing with a scheme or rooted elsewhere.
    assert links == ["a?action=closeApp", "a?action=ReDownLoad&amp;id={PlanId}", "DigitalLibrary/show.aspx?id={PlanId}"]
