"""Paths that matter most, driven through mirovane.exe itself rather than the core driver: a
kill at every file operation of an install and the program's own recovery at its next start,
the relaunch as administrator that goes on to install, the tray's "Yes", Retry after a locked
file, and the registration of an installed library."""
import os
import pathlib
import shutil

import pytest

from conftest import BIN, DRIVE_C, lost_kill, run_windows, seed_check_stamp, win
from driver import click_box
# The whole-session set-up (a host program, nginx serving a packed release) and its fixtures.
from test_session import CHANGED, HOST2, NEW, immutable, session, stages, tree  # noqa: F401

# The updater's own files in the application directory: written at every start.
OWN = {"inst.log", "mirovane.ini"}
PIECE = 1 << 20  # the copy's piece: a larger file is killed in the middle of its copy too


def snapshot(root: pathlib.Path):
    """Files (bytes; shortcuts by presence only, they hold times) and directories below root."""
    files, dirs = {}, set()
    for p in root.rglob("*"):
        rel = str(p.relative_to(root))
        if p.is_dir():
            dirs.add(rel)
        elif p.name not in OWN:
            files[rel] = b"<shortcut>" if p.suffix == ".lnk" else p.read_bytes()
    return files, dirs


def run_program(product, *args, env=None, timeout=90):
    """mirovane.exe through runexit (the full exit code); `env` adds to the environment."""
    code, out = run_windows(product.exe, args, timeout, env)
    assert code is not None, out
    return code


# --- 1. A kill at every file operation, and the recovery at the next start

KILL_LIST = """<?xml version="1.0" encoding="utf-8"?>
<update>
  <file path="data.bin" ver="2"/>
  <file path="sub\\deep\\add.txt" ver="2" shortcut="links\\add"/>
  <file path="keep.txt" ver="2"/>
  <run path="{sys}\\cmd.exe" param="/c echo A>> {app}\\order.txt" wait="1"/>
  <run path="{sys}\\cmd.exe" param="/c echo B>> {app}\\order.txt" wait="1"/>
</update>
"""
KILL_OLD_LIST = b'<?xml version="1.0" encoding="utf-8"?>\r\n<update>\r\n <file path="data.bin" ver="1"/>\r\n' \
                b' <file path="keep.txt" ver="1"/>\r\n</update>\r\n'
KILL_OLD = {"data.bin": b"old data", "keep.txt": b"old keep", "mirovane.xml": KILL_OLD_LIST}
KILL_NEW = {"data.bin": bytes(range(256)) * (PIECE // 256 * 3 // 2), "sub/deep/add.txt": b"added",
            "keep.txt": b"new keep"}


def kill_product(make_product, fault_server, tmp_path):
    for name, data in KILL_NEW.items():
        fault_server.add("/k/" + name, data)
    list_url = fault_server.add("/k/list.xml", KILL_LIST.encode())
    temp = tmp_path / "temp"
    return make_product({"Mirovane": {"Mode": "", "QuickCheck": "0", "TempPath": win(temp), "icacls": "1",
                                      "TimeOut": "20"},
                         "UPDATEINFO": {"ListURL": list_url, "MainListURL": fault_server.add("/k/main.xml", b"<update/>")},
                         "APPLICATION": {"Application": ""}}), temp


def reset(product, temp):
    shutil.rmtree(product.app_dir, ignore_errors=True)
    shutil.rmtree(temp, ignore_errors=True)
    for name, data in KILL_OLD.items():
        p = product.app_dir / name
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)
    seed_check_stamp(temp)


def test_kill_at_every_file_operation_of_the_program_leaves_the_old_or_the_new_tree(make_product, fault_server,
                                                                                     tmp_path):
    """mirovane.exe ends abruptly after its k-th file operation (each rename, delete, write,
    piece of a copy, directory made, access change, shortcut, task) for every k until one is
    past its last; started again, its own start-up recovery leaves the old tree or the new
    one, file by file and directory by directory, and the new one only with every task run."""
    product, temp = kill_product(make_product, fault_server, tmp_path)
    reset(product, temp)
    old = snapshot(product.app_dir)
    assert run_program(product, "/silence") == 3, product.log()
    new_files, new_dirs = snapshot(product.app_dir)
    order = new_files.pop("order.txt").split()
    assert sorted(order) == [b"A", b"B"], product.log()  # in the list's run order
    assert {"sub\\deep\\add.txt".replace("\\", os.sep), "links" + os.sep + "add.lnk"} <= set(new_files)
    new = (new_files, new_dirs)

    seen = {}  # outcome -> kill points
    for k in range(1, 200):
        for _ in range(2):
            reset(product, temp)
            code = run_program(product, "/silence", env={"MIROVANE_KILL_AT_FILE_OPERATION": str(k)})
            if not lost_kill(code):
                break
        if code != 99:  # finished before its k-th operation: every point has been killed
            assert code == 3, f"k={k}: {code}\n{product.log()}"
            break
        killed_log = product.log()
        assert run_program(product, "/emptytemp") == 0, f"k={k}"
        files, dirs = snapshot(product.app_dir)
        ran = files.pop("order.txt", b"").split()
        where = f"k={k}\n{killed_log}\n--- next start ---\n{product.log()[len(killed_log):]}"
        if (files, dirs) == old:
            assert ran == [], where
            seen.setdefault("old", []).append(k)
            continue
        assert (files, dirs) == new, where
        # Each task once, in order; one only again when the kill fell between its end and its record.
        assert [t for i, t in enumerate(ran) if i == 0 or ran[i - 1] != t] == order and len(ran) <= 3, where
        seen.setdefault("new", []).append(k)
    else:
        pytest.fail("the install never ran out of file operations")
    assert set(seen) == {"old", "new"}, seen
    # Mid-copy, directory, icacls, shortcut and task points are among them: more points than
    # renames and writes alone would give.
    assert k > 20, seen


# --- 2. The relaunch as administrator, on to a finished install

# A list file the local check write-tests and no update replaces: made unwritable (chattr +i,
# which even root meets), it sends the first copy to the relaunch, and the relaunched copy,
# which reports what it cannot write instead of handing on, installs the rest.
GUARD = "{2767A2C0-0767-4958-ADA9-E813DF1BC478}.xml"


def test_relaunch_as_administrator_installs_and_restarts_the_host(session, immutable):
    s = session()
    (s.dir / GUARD).write_bytes(b"<update/>")
    immutable(s.dir / GUARD)
    s.start_app()
    s.watch()
    assert click_box(s.app, "yes", 60000), s.log()   # the running host is closed first
    assert s.restarted_version() == "version 2"
    lines = s.watch_out.read_text().splitlines()
    log = s.log()
    first, _, second = log.partition("Started as administrator [/silence /%s /___runas_admin___]" % lines[0].split()[1])
    assert second, log
    assert "continue update as administrator" in first and "update file[" not in first
    assert "update file[" in second and "Update completed,done 4 files" in second, log
    # The watching window saw the first copy hand over at the failed local check.
    assert stages(lines)[:7] == [0, 1, 3, 4, 6, 7, 8], lines
    files = tree(s.dir)
    assert files.pop(GUARD) == b"<update/>"
    assert files == {k.replace("/", os.sep): v for k, v in {**NEW, s.app: HOST2.read_bytes()}.items()}
    assert not s.saved_list().exists()


# --- 3. The tray: the countdown runs out, the running host may be closed, Yes

def test_tray_countdown_yes_closes_the_host_installs_and_starts_it_again(session):
    from test_windows import tray_menu
    from ui import PROGRESS, TRAY, exit_code, start, ui
    s = session(sections={"Mirovane": {"CheckTmSpan": "3", "TrayCountdown": "5"}})
    s.start_app()
    proc = start(s.product, "/tryicon")
    s.procs.append(proc)
    assert ui("waittext", TRAY, "-", 0, "Update after", timeout_ms=50000).get("text"), s.log()
    # Nobody answers the offer: when the countdown runs out the user is asked about the host.
    assert click_box("is running and will be closed for the update", "yes", timeout_ms=40000), s.log()
    assert s.restarted_version() == "version 2"
    assert ui("waittext", TRAY, "-", 0, "Upgrade is completed", timeout_ms=60000).get("text"), s.log()
    assert s.installed_is_new()
    assert "The main program has closed" in s.log()
    tray_menu("Exit")
    assert exit_code(proc) == CHANGED


# --- 5. A library the list marks for registration

REG_LIST = """<?xml version="1.0" encoding="utf-8"?>
<update>
  <file path="lib\\regrecord.dll" ver="2" oper="reg"/>
  <file path="plain.dll" ver="2"/>
</update>
"""


def test_a_library_marked_reg_is_registered_once_where_it_was_installed(make_product, fault_server, tmp_path):
    dll = (BIN / "regrecord.dll").read_bytes()
    fault_server.add("/r/lib/regrecord.dll", dll)
    fault_server.add("/r/plain.dll", dll)
    temp = tmp_path / "temp"
    seed_check_stamp(temp)
    product = make_product({"Mirovane": {"Mode": "", "QuickCheck": "0", "TempPath": win(temp)},
                            "UPDATEINFO": {"ListURL": fault_server.add("/r/list.xml", REG_LIST.encode()),
                                           "MainListURL": fault_server.add("/r/main.xml", b"<update/>")},
                            "APPLICATION": {"Application": ""}})
    assert run_program(product, "/silence") == 2, product.log()
    installed = product.app_dir / "lib" / "regrecord.dll"
    assert installed.read_bytes() == dll
    record = installed.parent / "regrecord.dll.registered"
    assert record.exists(), product.log()
    # The library's own path, as Windows names it, once; the unmarked copy is not registered.
    as_windows = "C:\\" + str(installed.relative_to(DRIVE_C)).replace("/", "\\")
    assert [l.lower() for l in record.read_text(encoding="utf-8").splitlines()] == [as_windows.lower()], product.log()
    assert not (product.app_dir / "plain.dll.registered").exists()
    assert "Register file[" in product.log()
