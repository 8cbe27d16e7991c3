"""The progress window and the tray window on screen (Xvfb), driven by the UI helper."""
import time

import pytest
from PIL import Image, ImageChops

from conftest import ROOT
from ui import BAR_ID, PROGRESS, STATUS_ID, TRAY, TRAY_CALLBACK, TRAY_ICON, WM_RBUTTONDOWN, exit_code, screenshot, \
    start, ui

ONE_FILE = b'<?xml version="1.0" encoding="utf-8"?>\r\n<update>\r\n <file path="readme.txt" ver="1.0.1"/>\r\n</update>\r\n'
NOTHING = b'<?xml version="1.0" encoding="utf-8"?>\r\n<update>\r\n</update>\r\n'


# Until the remote check lands in this build it is a stand-in that reaches stage 3 at once
# without fetching anything; the tests that need a real check (a list with files, a slow
# server) wait for it.
needs_check = pytest.mark.skipif(
    "void ListBaseFromUrl(const std::wstring&) {}" in (ROOT / "src/check/remote_check.cpp").read_text(),
    reason="the remote check of this build fetches nothing yet")


def settings(list_url, mode="", **mirovane):
    return {"Mirovane": {"Mode": mode, **mirovane}, "UPDATEINFO": {"ListURL": list_url}}


@needs_check
def test_progress_window_ignores_esc_enter_altf4_until_its_worker_ends(make_product, fault_server, tmp_path):
    # The list trickles in for about six seconds, so the worker is still running throughout.
    url = fault_server.add("/u/list.xml", ONE_FILE, rate=len(ONE_FILE) // 6)
    product = make_product(settings(url))
    proc = start(product)
    found = ui("find", PROGRESS)
    assert found.get("visible") == "1", found
    for key in ("esc", "enter", "altf4"):
        assert "sent" in ui("key", PROGRESS, "-", key)
        time.sleep(0.3)
        assert ui("hidden", PROGRESS, timeout_ms=2000).get("hwnd") == found["hwnd"], key
    # From the first tick after two seconds: the status line and the bar; the animation plays.
    assert ui("waittext", PROGRESS, "-", STATUS_ID, "正在下载题库文件", timeout_ms=8000).get("text")
    assert ui("progress", PROGRESS, "-", BAR_ID)["visible"] == "1"
    area = found["client"]
    first = Image.open(screenshot(tmp_path / "a.png", area)).crop((0, 0, 520, 340))
    time.sleep(0.7)
    second = Image.open(screenshot(tmp_path / "b.png", area)).crop((0, 0, 520, 340))
    assert ImageChops.difference(first.convert("RGB"), second.convert("RGB")).getbbox(), "the picture moves"
    # The window closes on its own once the worker has ended (here, after the check), and the
    # process ends normally.
    assert "gone" in ui("gone", PROGRESS, timeout_ms=40000)
    assert exit_code(proc) == 0
    assert fault_server.seen("/u/list.xml")


@pytest.mark.parametrize("mode, body, window", [
    pytest.param("checkforupdates", NOTHING, True, marks=needs_check),
    pytest.param("checkforupdates", ONE_FILE, True, marks=needs_check),
    ("showwhenupdate", NOTHING, False),
    pytest.param("showwhenupdate", ONE_FILE, True, marks=needs_check),
])
def test_check_modes_open_the_window_when_they_should(make_product, fault_server, mode, body, window):
    # Slow enough for the window to be seen when there is one.
    url = fault_server.add("/u/list.xml", body, rate=len(body) // 2)
    product = make_product(settings(url, mode=mode))
    proc = start(product)
    if window:
        assert ui("find", PROGRESS).get("visible") == "1"
        assert "gone" in ui("gone", PROGRESS, timeout_ms=40000)
    code = exit_code(proc)
    assert ("hwnd" in ui("hidden", PROGRESS, timeout_ms=500)) is False
    assert code == (1 if body == ONE_FILE else 0)


def tray_menu(item):
    assert "posted" in ui("post", TRAY, "-", TRAY_CALLBACK, TRAY_ICON, WM_RBUTTONDOWN, timeout_ms=5000)
    assert ui("menu", "-", "-", item, timeout_ms=10000).get("chosen") == item


def countdown(caption):
    words = caption.split("Update after ")
    return int(words[1].split()[0]) if len(words) > 1 else None


@needs_check
def test_tray_offers_the_update_with_a_countdown_cancel_check_again_exit(make_product, fault_server):
    url = fault_server.add("/u/list.xml", ONE_FILE)
    product = make_product(settings(url, CheckTmSpan="5"))
    proc = start(product)
    popup = ui("waittext", TRAY, "-", 0, "Found 1 files need to update...", timeout_ms=30000)
    assert popup.get("text"), popup
    shown = ui("find", TRAY)  # the pop-up came up by itself
    assert shown["visible"] == "1"
    first = countdown(shown["caption"])
    assert first is not None and 110 < first <= 120
    time.sleep(2.2)
    assert countdown(ui("find", TRAY)["caption"]) < first
    # Cancel (on the icon's menu, as the keyboard reaches it): the countdown stops.
    tray_menu("Cancel")
    assert ui("waittext", TRAY, "-", 0, "update...", timeout_ms=5000)
    time.sleep(0.6)
    assert countdown(ui("find", TRAY)["caption"]) is None
    # "Check again" (the painted link): a second request for the list, a new countdown.
    ui("clickat", TRAY, "-", 78, 106)
    end = time.monotonic() + 20
    while len(fault_server.seen("/u/list.xml")) < 2 and time.monotonic() < end:
        time.sleep(0.1)
    assert len(fault_server.seen("/u/list.xml")) == 2
    assert ui("waittext", TRAY, "-", 0, "Update after", timeout_ms=20000).get("text")
    # Exit ends tray mode; the tray mode's exit code is 0.
    tray_menu("Exit")
    assert exit_code(proc) == 0


@needs_check
def test_tray_runs_two_updates_in_one_process_the_second_when_the_countdown_runs_out(make_product, fault_server):
    url = fault_server.add("/u/list.xml", ONE_FILE)
    product = make_product(settings(url, CheckTmSpan="5"))
    proc = start(product)
    assert ui("waittext", TRAY, "-", 0, "Update after", timeout_ms=30000).get("text")
    # 1. The "Update" link: the progress window runs the session, then the pop-up returns
    # with the result. (The session stops after the check in a build without the download
    # step; the result is then "Upgrade is abort".)
    ui("clickat", TRAY, "-", 151, 106)
    assert ui("find", PROGRESS).get("visible") == "1"
    assert "gone" in ui("gone", PROGRESS, timeout_ms=60000)
    assert ui("waittext", TRAY, "-", 0, "Upgrade is abort", timeout_ms=10000).get("text")
    # 2. Check again; this time nobody answers and the countdown runs out.
    ui("clickat", TRAY, "-", 78, 106)
    assert ui("waittext", TRAY, "-", 0, "Update after", timeout_ms=30000).get("text")
    assert ui("find", PROGRESS, timeout_ms=140000).get("visible") == "1"
    assert "gone" in ui("gone", PROGRESS, timeout_ms=60000)
    assert ui("waittext", TRAY, "-", 0, "Upgrade is abort", timeout_ms=10000).get("text")
    tray_menu("Exit")
    assert exit_code(proc) == 0
    assert len(fault_server.seen("/u/list.xml")) >= 4  # two checks and two sessions


def test_tray_without_checktmspan_ends_after_finding_nothing(make_product, fault_server):
    url = fault_server.add("/u/list.xml", NOTHING)
    product = make_product(settings(url))
    # The process ends by itself (a tray window that stayed would reach the time limit).
    assert product.run("/tryicon", timeout=60) == 0
