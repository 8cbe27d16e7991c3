"""The progress window and the tray window on screen (Xvfb), driven by the UI helper."""
import re
import socket
import time

import pytest
from PIL import Image, ImageChops

from conftest import BIN, wait_for, win
from driver import click_box
from ui import BAR_ID, PROGRESS, STATUS_ID, TRAY, TRAY_CALLBACK, TRAY_ICON, WM_RBUTTONDOWN, exit_code, screenshot, \
    start, ui

ONE_FILE = b'<?xml version="1.0" encoding="utf-8"?>\r\n<update>\r\n <file path="readme.txt" ver="1.0.1"/>\r\n</update>\r\n'
README = b"release 1.0.1\r\n"
NOTHING = b'<?xml version="1.0" encoding="utf-8"?>\r\n<update>\r\n</update>\r\n'


def settings(server, temp, list_body, mode="", application="", rate=None, **mirovane):
    """Settings of a product whose list (and an empty main list) the server gives."""
    list_url = server.add("/u/list.xml", list_body, rate=rate)
    main_url = server.add("/u/main.xml", NOTHING)
    return {"Mirovane": {"Mode": mode, "QuickCheck": "0", "TempPath": win(temp), **mirovane},
            "UPDATEINFO": {"ListURL": list_url, "MainListURL": main_url},
            "APPLICATION": {"Application": application}}


def test_progress_window_updates_end_to_end_and_ignores_esc_enter_altf4(make_product, fault_server, tmp_path):
    # The list trickles in for about six seconds, so the worker is still running throughout.
    fault_server.add("/u/readme.txt", README)
    product = make_product(settings(fault_server, tmp_path, ONE_FILE, rate=len(ONE_FILE) // 6,
                                    application=win(BIN / "testwindow.exe")))
    proc = start(product)
    found = ui("find", PROGRESS)
    assert found.get("visible") == "1", found
    for key in ("esc", "enter", "altf4"):
        assert "sent" in ui("key", PROGRESS, "-", key)
        time.sleep(0.3)  # not a wait for something: the time a wrongly closing window would take
        assert ui("hidden", PROGRESS, timeout_ms=2000).get("hwnd") == found["hwnd"], key
    # From the first tick after two seconds: the status line and the bar; the animation plays.
    end = time.monotonic() + 8
    while ui("visible", PROGRESS, "-", BAR_ID).get("visible") != "1" and time.monotonic() < end:
        time.sleep(0.2)
    assert ui("visible", PROGRESS, "-", STATUS_ID)["visible"] == "1"
    assert ui("progress", PROGRESS, "-", BAR_ID)["visible"] == "1"
    assert "正在下载题库文件" in ui("text", PROGRESS, "-", STATUS_ID)["text"]
    area = found["client"]
    first = Image.open(screenshot(tmp_path / "a.png", area)).crop((0, 0, 520, 340))
    time.sleep(0.7)
    second = Image.open(screenshot(tmp_path / "b.png", area)).crop((0, 0, 520, 340))
    assert ImageChops.difference(first.convert("RGB"), second.convert("RGB")).getbbox(), "the picture moves"
    # The update completes: the completion line at 100 %, then the window closes by itself,
    # the file is in place and the host program runs again.
    assert ui("waittext", PROGRESS, "-", STATUS_ID, "题库文件下载完成100%", timeout_ms=60000).get("text")
    assert ui("progress", PROGRESS, "-", BAR_ID)["pos"] == "100"
    assert "gone" in ui("gone", PROGRESS, timeout_ms=30000)
    assert (product.app_dir / "readme.txt").read_bytes() == README
    host = ui("hidden", "MirovaneTestWindow", timeout_ms=20000)
    assert host.get("hwnd")
    ui("post", "MirovaneTestWindow", "-", 0x10, 0, 0)  # WM_CLOSE
    assert exit_code(proc) == 1  # the number of files updated


@pytest.mark.parametrize("mode, body, window", [
    pytest.param("checkforupdates", NOTHING, True),
    pytest.param("checkforupdates", ONE_FILE, True),
    ("showwhenupdate", NOTHING, False),
    pytest.param("showwhenupdate", ONE_FILE, True),
])
def test_check_modes_open_the_window_when_they_should(make_product, fault_server, tmp_path, mode, body, window):
    # Slow enough for the window to be seen when there is one.
    product = make_product(settings(fault_server, tmp_path, body, mode=mode, rate=len(body) // 2))
    if window:
        proc = start(product)
        assert ui("find", PROGRESS).get("visible") == "1"
        assert "gone" in ui("gone", PROGRESS, timeout_ms=40000)
        code = exit_code(proc)
    else:
        # Watched for from the start to the end of the run, hidden windows included.
        run = ui("run", PROGRESS, "-", win(product.exe), timeout_ms=120000)
        assert (run.get("shown"), run.get("exists")) == ("0", "0"), run
        assert "Outcome [" in product.log()  # the run got to its end
        code = int(run["exit"])
    assert code == (1 if body == ONE_FILE else 0)


# The items' places in the icon's menu, counted from the top (the separator does not count).
MENU = {"Show check window": 1, "Update now": 2, "Check again": 3, "Cancel": 4, "Exit": 5}


def tray_menu(item):
    """Opens the icon's menu as a right click does and chooses the item with the keyboard; the
    helper reports the item highlighted on the screen when Enter went, of how many."""
    assert "posted" in ui("post", TRAY, "-", TRAY_CALLBACK, TRAY_ICON, WM_RBUTTONDOWN, timeout_ms=5000)
    chosen = ui("menu", "-", "-", MENU[item], timeout_ms=10000)
    assert (chosen.get("items"), chosen.get("chosen")) == ("5", str(MENU[item])), (item, chosen)


# The pop-up's painted links, found by their windows' ids (the menu's command ids; 40101 the close box).
LINK = {"Update": 40098, "Check again": 40099, "Cancel": 40100, "Close": 40101}


def tray_link(name):
    """Clicks a painted link of the pop-up where the pop-up lays it out."""
    assert ui("clicklink", TRAY, "-", LINK[name], timeout_ms=10000).get("clicked"), name


def wait_log(product, pattern, timeout_s):
    """The first match of `pattern` in the product's log, waiting for it up to the deadline."""
    end = time.monotonic() + timeout_s
    while True:
        found = re.search(pattern, product.log())
        if found or time.monotonic() > end:
            return found
        time.sleep(0.2)


def countdown(caption):
    words = caption.split("Update after ")
    return int(words[1].split()[0]) if len(words) > 1 else None


def test_tray_offers_the_update_with_a_countdown_cancel_check_again_exit(make_product, fault_server, tmp_path):
    fault_server.add("/u/readme.txt", README)
    product = make_product(settings(fault_server, tmp_path, ONE_FILE, CheckTmSpan="3"))
    proc = start(product, "/tryicon")
    # The first check waits a spread of up to 18 seconds (a tenth of three minutes).
    popup = ui("waittext", TRAY, "-", 0, "Found 1 files need to update...", timeout_ms=50000)
    assert popup.get("text"), popup
    shown = ui("find", TRAY)  # the pop-up came up by itself
    assert shown["visible"] == "1"
    first = countdown(shown["caption"])
    assert first is not None and 110 < first <= 120
    wait_for(lambda: countdown(ui("find", TRAY)["caption"]) < first, 5, "the countdown to run")
    # Cancel (on the icon's menu, as the keyboard reaches it): the countdown stops.
    tray_menu("Cancel")
    assert ui("waittext", TRAY, "-", 0, "update...", timeout_ms=5000)
    wait_for(lambda: countdown(ui("find", TRAY)["caption"]) is None, 5, "the countdown to stop")
    # "Check again": the list is fetched again, a new countdown starts.
    before = len(fault_server.seen("/u/list.xml"))
    tray_menu("Check again")
    end = time.monotonic() + 20
    while len(fault_server.seen("/u/list.xml")) == before and time.monotonic() < end:
        time.sleep(0.1)
    assert len(fault_server.seen("/u/list.xml")) > before
    assert ui("waittext", TRAY, "-", 0, "Update after", timeout_ms=20000).get("text")
    # The same with the mouse on the painted links: Cancel, Check again, then Update.
    tray_link("Cancel")
    assert ui("waittext", TRAY, "-", 0, "update...", timeout_ms=5000)
    wait_for(lambda: countdown(ui("find", TRAY)["caption"]) is None, 5, "the countdown to stop")
    before = len(fault_server.seen("/u/list.xml"))
    tray_link("Check again")
    end = time.monotonic() + 20
    while len(fault_server.seen("/u/list.xml")) == before and time.monotonic() < end:
        time.sleep(0.1)
    assert len(fault_server.seen("/u/list.xml")) > before
    assert ui("waittext", TRAY, "-", 0, "Update after", timeout_ms=20000).get("text")
    tray_link("Update")
    assert ui("find", PROGRESS).get("visible") == "1"
    assert "gone" in ui("gone", PROGRESS, timeout_ms=60000)
    assert ui("waittext", TRAY, "-", 0, "Upgrade is completed", timeout_ms=40000).get("text")
    assert (product.app_dir / "readme.txt").read_bytes() == README
    # The close box hides the pop-up; tray mode goes on until Exit.
    tray_link("Close")
    assert ui("hidden", TRAY, timeout_ms=5000).get("visible") == "0"
    tray_menu("Exit")
    assert exit_code(proc) == 1  # the number of files of the last session


def test_tray_runs_two_updates_in_one_process_the_second_when_the_countdown_runs_out(make_product, fault_server,
                                                                                      tmp_path):
    fault_server.add("/u/readme.txt", README)
    # A countdown long enough for the menu to be used first, short enough to be waited out.
    product = make_product(settings(fault_server, tmp_path, ONE_FILE, CheckTmSpan="3", TrayCountdown="15"))
    proc = start(product, "/tryicon")
    assert ui("waittext", TRAY, "-", 0, "Update after", timeout_ms=50000).get("text")
    # 1. "Update now": the progress window runs the session, then the pop-up returns with
    # the result.
    tray_menu("Update now")
    assert ui("find", PROGRESS).get("visible") == "1"
    assert "gone" in ui("gone", PROGRESS, timeout_ms=60000)
    assert ui("waittext", TRAY, "-", 0, "Upgrade is completed", timeout_ms=40000).get("text")
    assert (product.app_dir / "readme.txt").read_bytes() == README
    # The installed list now holds the file: the next check finds nothing, so the release
    # changes on the server for the second session.
    fault_server.add("/u/list.xml", ONE_FILE.replace(b"1.0.1", b"1.0.2"))
    fault_server.add("/u/readme.txt", README + b"2")
    # 2. Check again; this time nobody answers and the countdown runs out.
    tray_menu("Check again")
    offer = ui("waittext", TRAY, "-", 0, "Update after", timeout_ms=30000)
    assert 0 < (countdown(offer.get("text", "")) or 0) <= 15, offer
    assert ui("find", PROGRESS, timeout_ms=40000).get("visible") == "1"
    assert "gone" in ui("gone", PROGRESS, timeout_ms=60000)
    assert ui("waittext", TRAY, "-", 0, "Upgrade is completed", timeout_ms=40000).get("text")
    assert (product.app_dir / "readme.txt").read_bytes() == README + b"2"
    tray_menu("Exit")
    assert exit_code(proc) is not None


def test_tray_without_checktmspan_ends_after_finding_nothing(make_product, fault_server, tmp_path):
    product = make_product(settings(fault_server, tmp_path, NOTHING))
    # The process ends by itself (a tray window that stayed would reach the time limit); the
    # check waits a spread of up to 30 seconds first (five minutes are taken as the period).
    assert product.run("/tryicon", timeout=90) == 0


def test_tray_spreads_its_first_check_and_backs_off_after_a_failed_one(make_product, tmp_path):
    with socket.socket() as s:  # a loopback port nobody listens on: every check fails
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    url = f"http://127.0.0.1:{port}/u/"
    product = make_product({"Mirovane": {"Mode": "", "QuickCheck": "0", "TempPath": win(tmp_path), "CheckTmSpan": "3",
                                         "TimeOut": "3"},
                            "UPDATEINFO": {"ListURL": url + "list.xml", "MainListURL": url + "main.xml"}})
    proc = start(product, "/tryicon")
    first = wait_log(product, r"Tray: next check in (\d+) s, after start \(0 failed in a row\)", 30)
    assert first and 0 <= int(first[1]) <= 18, product.log()
    # A tenth of three minutes spread on top of the first retry, one minute after the failure.
    retry = wait_log(product, r"Tray: next check in (\d+) s, after a failed check \(1 failed in a row\)", 90)
    assert retry and 60 <= int(retry[1]) <= 78, product.log()
    assert ui("waittext", TRAY, "-", 0, "Can't connection update server!", timeout_ms=5000).get("text")
    tray_menu("Exit")
    assert exit_code(proc) == 0


def test_tray_countdown_asks_before_closing_a_host_program_it_did_not_start(make_product, fault_server, tmp_path,
                                                                           test_window):
    fault_server.add("/u/readme.txt", README)
    product = make_product(settings(fault_server, tmp_path, ONE_FILE, application=win(BIN / "testwindow.exe"),
                                    CheckTmSpan="3", TrayCountdown="5"))
    proc = start(product, "/tryicon")
    offer = ui("waittext", TRAY, "-", 0, "Update after", timeout_ms=50000)
    assert 0 < (countdown(offer.get("text", "")) or 0) <= 5, offer
    # Nobody answers the offer; when the countdown runs out the user is asked, and says no.
    assert click_box("is running and will be closed for the update", "no", timeout_ms=40000)
    assert wait_log(product, r"The update waits: the host program is running and the user said no", 10)
    assert wait_log(product, r"Tray: next check in \d+ s, after a postponed update", 10)
    # The update is postponed: no progress window, the host program and the old files stay.
    assert "hwnd" not in ui("hidden", PROGRESS, timeout_ms=1000)
    assert ui("hidden", "MirovaneTestWindow", timeout_ms=2000).get("hwnd") == str(test_window)
    assert not (product.app_dir / "readme.txt").exists()
    assert countdown(ui("hidden", TRAY)["caption"]) is None
    tray_menu("Exit")
    assert exit_code(proc) == 1


@pytest.mark.parametrize("box, continues", [(None, True), ("on", True), ("off", False)])
def test_progress_window_tells_its_host_window_when_the_check_and_the_copy_end(make_product, fault_server, tmp_path,
                                                                                box, continues):
    from test_notify import run_host
    fault_server.add("/u/readme.txt", README)
    product = make_product(settings(fault_server, tmp_path, ONE_FILE))
    lines = run_host(tmp_path, product, options=["--auto-continue", box] if box else [])
    told = [l for l in lines if l.startswith("step ") or l == "continue"]
    # An unchecked box only keeps the command from the host window; the update goes on.
    assert told == (["step 3", "continue", "step 5"] if continues else ["step 3", "step 5"]), lines
    assert (product.app_dir / "readme.txt").read_bytes() == README
    assert "exit 1" in lines
