"""Whole update sessions through the real program: the sample host watches (or is) the host
program, nginx or the fault server serves a release made with mirovane-pack, message boxes are
answered by clickbox. Stages, exit codes, files byte for byte, the log."""
import base64
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import time
import struct
import urllib.parse
import uuid
import xml.etree.ElementTree as ET
import zipfile

import pytest

from conftest import BIN, DRIVE_C, list_cache_name, read_line, run_windows, seed_check_stamp, wait_for, win
from driver import click_box

HOST1 = BIN / "mirovane-sample-host.exe"
HOST2 = BIN / "mirovane-sample-host-2.exe"
TOO_BIG = 2147483647

OLD = {"data.bin": b"old data" * 100, "same.txt": b"unchanged", "sub/cfg.txt": b"old cfg"}
NEW = {"data.bin": b"new data" * 500, "same.txt": b"unchanged", "sub/cfg.txt": b"new cfg", "sub/deep/add.txt": b"added"}
CHANGED = 4  # app exe, data.bin, sub\cfg.txt, sub\deep\add.txt


def pack(release, out, *opts):
    proc = subprocess.run(["wine", str(BIN / "mirovane-pack.exe"), *opts, win(release), win(out)],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    return proc.returncode, proc.stdout.decode("utf-8", "replace") + proc.stderr.decode("utf-8", "replace")


def write_tree(root: pathlib.Path, files: dict):
    for name, data in files.items():
        p = root / name
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)


def tree(root: pathlib.Path, skip=("inst.log", "mirovane.ini", "mirovane.xml", "mirovane.ver")):
    """The files under root; not the sample host's "<program>.out", which names its output."""
    return {str(p.relative_to(root)): p.read_bytes() for p in root.rglob("*")
            if p.is_file() and p.name not in skip and not p.name.endswith(".exe.out")}


def stages(lines):
    return [int(l.split()[1]) for l in lines if l.startswith("stage ")]


class Session:
    """A product whose application directory holds version 1 of a release (the host program
    app-<id>.exe = sample host 1, data files, the list as mirovane.xml) while nginx serves
    version 2 (app exe = sample host 2) packed by mirovane-pack. With `wine_prefix` every
    Windows program of the session runs in that prefix's Wine session instead of the shared one."""

    def __init__(self, make_product, nginx, tmp_path, app_settings=None, sections=None, new=NEW, page=False,
                 wine_prefix=None):
        self.tmp = tmp_path
        self.nginx = nginx
        self.app = f"app-{uuid.uuid4().hex[:6]}.exe"
        self.v1, self.v2 = tmp_path / "v1", tmp_path / "v2"
        write_tree(self.v1, {**OLD, self.app: HOST1.read_bytes()})
        write_tree(self.v2, {**new, self.app: HOST2.read_bytes()})
        code, out = pack(self.v1, tmp_path / "v1p", "--no-zip")
        assert code == 0, out
        self.publish()
        self.temp = tmp_path / "temp"
        self.temp.mkdir()
        seed_check_stamp(self.temp)
        self.list_url = nginx.url("/u/mirovane.xml")
        self.check_url = self.list_url
        if page:  # the version page names the version and the list
            nginx.put("u/page.txt", b"<page><ver>2.0</ver><url>%s</url></page>" % self.list_url.encode())
            self.check_url = nginx.url("/u/page.txt")
            app_settings = {"CheckVerNumber": "1", **(app_settings or {})}
        s = {"Mirovane": {"Mode": "", "QuickCheck": "0", "ShowWhenCheck": "0", "TempPath": win(self.temp),
                          "TimeOut": "20"},
             "UPDATEINFO": {"ListURL": self.check_url, "MainListURL": nginx.url("/u/main.xml")},
             "APPLICATION": {"Application": self.app, "Ver": "1.0", **(app_settings or {})}}
        for name, values in (sections or {}).items():  # keys added to or replacing those above
            s.setdefault(name, {}).update(values)
        self.product = make_product(s)
        if wine_prefix:  # the application directory is on that prefix's drive C
            self.product.app_dir = wine_prefix / "drive_c" / self.product.app_dir.relative_to(DRIVE_C)
        self.dir = self.product.app_dir
        self.dir.mkdir(parents=True, exist_ok=True)
        shutil.copytree(self.v1, self.dir, dirs_exist_ok=True)
        shutil.copy(tmp_path / "v1p" / "mirovane.xml", self.dir / "mirovane.xml")
        self.restarted = tmp_path / "restarted.txt"
        # The host started again by the desktop shell has the shell's environment: its output
        # file is named beside it as well.
        (self.dir / (self.app + ".out")).write_text(win(self.restarted))
        self.before = tree(self.dir)
        self.procs = []
        self.env = {**os.environ, "MIROVANE_SAMPLE_HOST_OUT": win(self.restarted)}
        if wine_prefix:
            self.env["WINEPREFIX"] = str(wine_prefix)

    def publish(self):
        code, out = pack(self.v2, self.nginx.root / "u", "--main-list", "main.xml")
        assert code == 0, out

    def popen(self, *args):
        p = subprocess.Popen(["wine", *map(str, args)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, env=self.env)
        self.procs.append(p)
        return p

    def start_app(self, timeout=20):
        """Runs version 1 of the host program from the application directory."""
        out = self.tmp / "app1.txt"
        self.popen(self.dir / self.app, "--timeout", "90", "--out", win(out))
        wait_for(lambda: out.exists() and "version 1" in out.read_text(), timeout, "the host program")

    def watch(self, *opts, args=("/silence",)):
        """The sample host from the build directory as the window watching the session: it runs
        the product with `args` and its window handle, and prints what it receives."""
        self.watch_out = self.tmp / f"watch-{len(self.procs)}.txt"
        return self.popen(HOST1, "--timeout", "90", "--out", win(self.watch_out), *opts,
                          "--run", win(self.product.exe), *args)

    def watched(self, timeout=90):
        try:
            wait_for(lambda: self.watch_out.exists() and "\nexit " in self.watch_out.read_text(), timeout,
                     "the product to end")
        except AssertionError as e:
            raise AssertionError(f"{e}\nwatcher:\n{self.watch_out.read_text()}\nlog:\n{self.log()}") from None
        lines = self.watch_out.read_text().splitlines()
        code = int([l for l in lines if l.startswith("exit ")][0].split()[1])
        return stages(lines), code if code < 2 ** 31 else code - 2 ** 32

    def log(self):
        return self.product.log()

    def installed_is_new(self):
        expected = {k.replace("/", os.sep): v for k, v in {**NEW, self.app: HOST2.read_bytes()}.items()}
        return tree(self.dir) == expected

    def restarted_version(self, timeout=30):
        try:
            wait_for(lambda: self.restarted.exists() and "version " in self.restarted.read_text(), timeout,
                     "the host program to be started again")
        except AssertionError as e:
            raise AssertionError(f"{e}\nlog:\n{self.log()}") from None
        return [l for l in self.restarted.read_text().splitlines() if l.startswith("version ")][0]

    def run(self, *args, timeout=90, answer=None):
        """Runs the product through runexit with its output in a file (a host program it starts
        inherits its handles, and must not hold a pipe of ours open); `answer` = (text, button)
        for clickbox meanwhile. Returns the exit code."""
        out = self.tmp / f"run-{len(self.procs)}.txt"
        with open(out, "wb") as f:
            p = subprocess.Popen(["wine", str(BIN / "runexit.exe"), str(timeout * 1000), win(self.product.exe), *args],
                                 stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.DEVNULL, env=self.env)
        self.procs.append(p)
        if answer:
            assert click_box(answer[0], answer[1], 60000), answer
        p.wait(timeout + 30)
        text = out.read_text()
        assert text.startswith("exit="), text
        return int(text.strip()[5:])

    def saved_list(self):
        return self.temp / (list_cache_name(self.check_url + "9999999999") + ".lst")

    def hold(self, path):
        """fakehost, copied outside the application directory, holding `path` open unshared."""
        exe = self.tmp / "holder" / "holder.exe"
        exe.parent.mkdir(exist_ok=True)
        shutil.copy(BIN / "fakehost.exe", exe)
        p = subprocess.Popen(["wine", str(exe), "close", win(path)], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.procs.append(p)
        assert read_line(p).strip() == b"ready"

    def file_requests(self):
        return [r.path for r in self.nginx.requests() if not r.path.endswith(".xml")]

    def close(self):
        subprocess.run(["wine", "taskkill", "/f", "/im", self.app], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=60, env=self.env)
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait(30)


@pytest.fixture
def session(make_product, nginx, tmp_path):
    made = []

    def make(**kw):
        s = Session(make_product, nginx, tmp_path / f"s{len(made)}", **kw)
        made.append(s)
        return s
    yield make
    for s in made:
        s.close()


def test_silent_with_nothing_to_update_does_not_start_the_running_host_again(session):
    s = session(new=OLD)
    shutil.copy(HOST1, s.v2 / s.app)  # version 2 is version 1: nothing to update
    s.publish()
    s.start_app()
    s.watch()
    assert s.watched() == ([0, 1, 3, 13], 0), s.log()
    assert "The main program is running, not started again" in s.log()
    assert not s.restarted.exists()
    assert tree(s.dir) == s.before


def test_silent_update_with_version_page_installs_every_file(session):
    """The version page is read before the list; the host is closed after a Yes, every stage
    arrives in order, the files are version 2 byte for byte, the list and version are stored,
    the host program is started again as version 2 and the exit code is the file count."""
    s = session(page=True)
    s.start_app()
    s.watch()
    assert click_box(s.app, "yes", 60000)
    st, code = s.watched()
    assert st == [0, 1, 3, 4, 6, 7, 9, 10, 12, 13]
    assert code == CHANGED
    assert s.installed_is_new()
    served = ET.parse(s.nginx.root / "u" / "mirovane.xml")
    stored = ET.parse(s.dir / "mirovane.xml")
    assert sorted((f.get("path"), f.get("ver")) for f in stored.iter("file")) == \
        sorted((f.get("path"), f.get("ver")) for f in served.iter("file"))
    assert (s.dir / "mirovane.ver").read_bytes() == b"2.0"
    assert [r.path for r in s.nginx.requests() if r.method == "GET"][:2] == ["/u/page.txt", "/u/mirovane.xml"]
    assert s.restarted_version() == "version 2"
    assert not list(s.dir.rglob("*.__old*"))
    # It runs as administrator, so the host is handed to the desktop shell, and the log says
    # which way it went: Wine's shell answers only once its desktop window has been made in
    # this Wine session (by an earlier test), else the host is started directly.
    assert re.search(r"the host program \[[^]]*\] is started through the desktop shell, at the user's level|"
                     r"no desktop shell answered \(0x[0-9A-F]{8}\): the host program \[[^]]*\] is started directly",
                     s.log()), s.log()


def test_pause_gate_holds_after_a_step_until_released(session):
    s = session(app_settings={"Application": ""})
    hold = s.tmp / "hold"
    hold.write_text("x")
    s.watch("--pause-file", win(hold))
    wait_for(lambda: "The update is paused by the host program" in s.log(), 60, "the pause")
    assert s.file_requests() == []          # held before the download
    hold.unlink()
    st, code = s.watched()
    assert st == [0, 1, 3, 4, 6, 7, 9, 10, 12, 13] and code == CHANGED
    assert "The update continues" in s.log()


def test_exitwhenwndkilled_ends_the_session_when_the_window_is_destroyed(session):
    s = session(app_settings={"Application": ""})
    hold = s.tmp / "hold"
    hold.write_text("x")
    watcher = s.watch("--pause-file", win(hold), "--exit-when-killed")
    wait_for(lambda: "The update is paused by the host program" in s.log(), 60, "the pause")
    watcher.kill()
    watcher.wait(30)
    wait_for(lambda: "The host window is gone, the update ends" in s.log(), 30, "the session to end")
    assert s.file_requests() == []
    assert tree(s.dir) == s.before


def test_locked_data_file_copies_nothing_and_starts_the_host_again(session):
    s = session()
    s.hold(s.dir / "data.bin")
    s.watch()
    assert s.watched() == ([0, 1, 3, 4, 6, 7, 8, 13], CHANGED)
    assert "File is locked[" in s.log()
    assert tree(s.dir) == s.before
    assert s.restarted_version() == "version 1"


@pytest.mark.parametrize("sddl", ["-", "D:(A;;GA;;;WD)"], ids=["default-access", "open-to-everyone"])
def test_an_install_lock_made_by_someone_else_is_refused_at_once(session, sddl):
    """A process made the install mutex first, under an access list that is not the updater's
    (the owner cannot be told apart under Wine, which runs everything as one user), and holds
    it: the session refuses it with one line instead of waiting, and changes nothing."""
    from driver import start_driver
    s = session(app_settings={"Application": ""})
    squat = start_driver("squatlock", "C:\\" + str(s.dir.relative_to(DRIVE_C)).replace("/", "\\"), 60000, sddl)
    try:
        assert read_line(squat).strip() == b"squatted=1"
        started = time.monotonic()
        s.watch()
        assert s.watched() == ([0, 2], 0)
        assert time.monotonic() - started < 30
    finally:
        squat.kill()
        squat.wait(30)
    log = s.log()
    # The recovery at start-up refuses it too; the session says so once.
    session_part = log.split("Run mode")[1]
    assert len([l for l in session_part.splitlines() if "The install lock [Global\\mirovane-install-" in l]) == 1, log
    assert "was not made by an administrator" in log and "nothing is installed" in log
    assert "Another update of this application is running" not in log
    assert "Outcome [14]: nothing done, the install lock of this application was made by someone else" in log
    assert tree(s.dir) == s.before


@pytest.mark.parametrize("fault", ["planted", "tampered-archive"])
def test_without_unzip_only_listed_files_that_pass_their_check_are_moved(session, fault):
    """UnZip=0 moves the kept downloads into the application directory as they are, but only
    those the list names and whose content has the list's sha256: a file planted in the
    download directory, or an archive the server changed after the list was made, stays out."""
    import io
    import zipfile
    s = session(sections={"Mirovane": {"UnZip": "0"}})
    work = s.temp / list_cache_name(s.check_url + "9999999999")
    if fault == "planted":
        write_tree(work, {"planted.exe": b"MZ planted", "sub/evil.dll_": b"evil", "data.bin._.zip.bak": b"x"})
    else:
        # The list names the sha256 of data.bin; the server's zipped copy holds other bytes.
        listed = s.nginx.root / "u" / "mirovane.xml"
        digest = hashlib.sha256(NEW["data.bin"]).hexdigest()
        text = listed.read_bytes().replace(b'path="data.bin"', b'path="data.bin" sha256="%s"' % digest.encode())
        assert digest.encode() in text
        listed.write_bytes(text)
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w") as z:
            z.writestr("data.bin", b"not the listed data")
        (s.nginx.root / "u" / "data.bin._.zip").write_bytes(buf.getvalue())
    s.watch()
    assert s.watched()[0][-1] == 13
    app = tree(s.dir)
    log = s.log()
    assert f"{s.app}._.zip" in app                   # a listed archive that passes is moved as kept
    assert "sub/deep/add.txt._.zip".replace("/", os.sep) not in app  # no directory is created
    assert "data.bin._.zip" in app if fault == "planted" else "data.bin._.zip" not in app
    if fault == "planted":
        for name in ("planted.exe", "sub/evil.dll_", "data.bin._.zip.bak"):
            assert name.replace("/", os.sep) not in app
            assert "Not installed, the list does not name it[" in log and name.split("/")[-1] in log
    else:
        assert "Not installed, it failed its check[" in log and "sha256 mismatch [data.bin]" in log
    assert not (s.dir / "sub" / "evil.dll_").exists()


def test_a_second_session_meanwhile_ends_with_its_error_stage_and_changes_nothing(session):
    s = session(app_settings={"Application": ""})
    hold = s.tmp / "hold"
    hold.write_text("x")
    s.watch("--pause-file", win(hold))
    first = s.watch_out
    wait_for(lambda: "The update is paused by the host program" in s.log(), 60, "the pause")
    s.watch()  # the second session, watched by a second window
    assert s.watched() == ([0, 2], 0)
    assert "Another update of this application is running" in s.log().split("Run mode")[2]
    assert tree(s.dir) == s.before
    hold.unlink()
    s.watch_out = first
    assert s.watched() == ([0, 1, 3, 4, 6, 7, 9, 10, 12, 13], CHANGED)
    assert s.installed_is_new()


@pytest.fixture
def fresh_wine(tmp_path):
    """A Wine prefix of its own, made and then stopped: the next Windows program started in it
    is the first process of a new session there, as a program started at log-on is."""
    prefix = tmp_path / "wine"
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                 env={**os.environ, "WINEPREFIX": str(prefix)})
    # As scripts/wine-env.sh makes the shared one: no pipe of ours for its services to keep.
    subprocess.run(["setsid", "wine", "cmd", "/c", "exit"], timeout=300, **quiet)
    assert (prefix / "drive_c" / "windows").is_dir(), "the fresh Wine prefix was not made"
    subprocess.run(["wineserver", "-k"], timeout=60, **quiet)
    subprocess.run(["wineserver", "-w"], timeout=60, **quiet)
    yield prefix
    subprocess.run(["wineserver", "-k"], timeout=60, **quiet)
    subprocess.run(["wineserver", "-w"], timeout=60, **quiet)
    shutil.rmtree(prefix, ignore_errors=True)


def test_host_started_first_in_its_wine_session_is_noticed(fresh_wine, session):
    """The running host program is the first process of its session (Wine lists no idle
    process, so it heads the process list): the check finds it and asks before closing it;
    after No nothing is replaced and no second copy is started."""
    s = session(wine_prefix=fresh_wine)
    s.start_app(timeout=60)
    listed = subprocess.run(["wine", str(BIN / "proclist.exe")], stdin=subprocess.DEVNULL, capture_output=True,
                            timeout=60, env=s.env).stdout.decode("utf-8", "replace").splitlines()
    assert listed and listed[0].lower().endswith("\\" + s.app.lower()), listed   # what this test is about
    s.watch()
    assert click_box(s.app, "no", 60000, env=s.env), s.log()
    assert s.watched() == ([0, 1, 3, 4, 6, 7, 8, 13], CHANGED)
    log = s.log()
    assert "The main program has not closed" in log and "The main program has closed" not in log
    assert "The main program is running, not started again" in log
    assert tree(s.dir) == s.before
    assert not s.restarted.exists()


@pytest.fixture
def immutable():
    """chattr +i: even root (as Wine runs here) gets EPERM, which Wine reports as access denied."""
    made = []

    def make(path):
        if subprocess.run(["chattr", "+i", str(path)], capture_output=True).returncode != 0:
            pytest.skip("chattr +i is not available on this file system")
        made.append(path)
    yield make
    for p in made:
        subprocess.run(["chattr", "-i", str(p)], capture_output=True)


def test_access_denied_relaunches_with_the_saved_list_and_resumes_at_the_local_check(session, immutable):
    """Wine cannot elevate: the copy started with "runas" has the rights of the first, so its
    copy step is denied too and rolls back. What it shows: the list saved, the marker passed,
    the new copy resuming at stage 6 with the check, the host program started again."""
    s = session()
    immutable(s.dir / "data.bin")
    s.start_app()
    s.watch()
    assert click_box(s.app, "yes", 60000)
    st, code = s.watched()
    assert st == [0, 1, 3, 4, 6, 7, 8]           # the first copy ends without UpdateEnd
    wait_for(lambda: "Start the main program" in s.log() or "not started again" in s.log(), 60, "the elevated copy")
    log = s.log()
    assert "continue update as administrator" in log
    assert "Started as administrator [/silence /%s /___runas_admin___]" % s.watch_out.read_text().split()[1] in log
    after = log.split("Started as administrator")[1]
    assert "Check locked file..." in after and "The update could not be installed" in after
    assert "try to download" not in after           # resumed after the download
    assert not s.saved_list().exists()             # loaded and deleted
    assert tree(s.dir) == s.before
    assert s.restarted_version() == "version 1"


def test_refused_relaunch_restarts_the_host(session, immutable):
    """The elevated copy cannot start: its executable is renamed away while the session is held
    after the check, so ShellExecuteEx fails as a refused prompt makes it fail. The saved list
    goes, the stage is 8, and the host program closed for the check is started again."""
    s = session()
    immutable(s.dir / "data.bin")
    hold = s.tmp / "hold"
    hold.write_text("x")
    s.start_app()
    s.watch("--pause-file", win(hold))
    wait_for(lambda: "The update is paused by the host program" in s.log(), 60, "the pause")
    s.product.exe.rename(s.product.exe.with_suffix(".away"))
    hold.unlink()
    assert click_box(s.app, "yes", 60000)
    assert s.watched() == ([0, 1, 3, 4, 6, 7, 8, 8, 13], CHANGED)
    log = s.log()
    assert "ShellExecuteEx(runas) of [" in log
    assert "The update could not continue as administrator; nothing was changed" in log
    assert not s.saved_list().exists()
    assert tree(s.dir) == s.before
    assert s.restarted_version() == "version 1"


def test_damaged_saved_list_changes_nothing(session):
    s = session()
    lst = s.saved_list()
    lst.write_bytes(b"\x05\x00\x00\x00garbage")
    assert s.run("/silence", "/___runas_admin___") == 0
    assert "cannot be read; the update stops" in s.log()
    assert s.file_requests() == [] and not lst.exists()
    assert tree(s.dir) == s.before
    assert s.restarted_version() == "version 1"


def test_appenter_without_application_shows_the_message(session):
    s = session(app_settings={"Application": ""})
    assert s.run("/appenter", answer=("You must set Application", "ok")) == 0


@pytest.mark.parametrize("answer", ["yes", "no", "cancel"])
def test_appenter_question(session, answer):
    s = session()
    assert s.run("/appenter", answer=(f"{CHANGED} updates found at the website,now to upgrade?", answer)) == CHANGED
    if answer == "yes":
        assert s.installed_is_new()
        assert s.restarted_version() == "version 2"
    else:
        assert tree(s.dir) == s.before
        assert s.file_requests() == []
        # The host program is started only after a "Start the main program" line, and the
        # run's last line comes after the point where it would have been.
        log = s.log()
        assert "Outcome [" in log
        assert ("Start the main program" in log) == (answer == "no"), log
        if answer == "no":
            assert s.restarted_version() == "version 1"
        else:
            assert not s.restarted.exists()


def test_appenternoprompt_updates_without_asking(session):
    s = session()
    assert s.run("/appenternoprompt") == CHANGED
    assert s.installed_is_new()
    assert s.restarted_version() == "version 2"


def test_version_question_with_no_changed_file(session):
    s = session(new=OLD, page=True)
    shutil.copy(HOST1, s.v2 / s.app)
    s.publish()
    assert s.run("/appenter", answer=("found new version at the website,now to upgrade?", "no")) == TOO_BIG


def test_uninstall_removes_installed_files_and_empty_folders_only(session, tmp_path):
    s = session()
    outside = tmp_path / "outside.txt"
    outside.write_bytes(b"keep")
    listed = ET.parse(s.dir / "mirovane.xml").getroot()
    ET.SubElement(listed, "file", {"path": "x.txt", "desname": win(outside), "ver": "1"})
    ET.ElementTree(listed).write(s.dir / "mirovane.xml")
    (s.dir / "mine").mkdir()
    (s.dir / "mine" / "user.dat").write_bytes(b"not installed")
    (s.dir / "__oldfiles.lst").write_bytes(b"")
    (s.dir / "inst.log").write_bytes(b"old log\r\n")
    # The exit code counts the records of the installed list, as it does after a check.
    assert s.run("/uninstall") == len(OLD) + 2
    left = sorted(str(p.relative_to(s.dir)) for p in s.dir.rglob("*"))
    assert left == sorted([s.app + ".out", "mine", os.path.join("mine", "user.dat"), "mirovane.ini"])
    assert s.dir.is_dir() and outside.read_bytes() == b"keep"


def test_pack_round_trip_and_refusals(tmp_path):
    rel = tmp_path / "rel"
    write_tree(rel, {"a.txt": b"a" * 2000, "sub/b.bin": bytes(range(256)), "t.exe": b"MZ"})
    (tmp_path / "targets.txt").write_text("# targets\nsub/b.bin = b.bin;copies\\b.bin\n")
    (tmp_path / "runs.txt").write_text("t.exe | /quiet | 1\n")
    code, out = pack(rel, tmp_path / "out", "--list", "l.xml", "--file-url", "{listurl-base}/f/{filename}",
                     "--targets", win(tmp_path / "targets.txt"), "--runs", win(tmp_path / "runs.txt"),
                     "--main-list", "m.xml", "--description", "Hi & bye")
    assert code == 0, out
    root = ET.parse(tmp_path / "out" / "l.xml").getroot()
    files = {f.get("path"): f for f in root.iter("file")}
    assert files["sub\\b.bin"].get("ver") == hashlib.sha256(bytes(range(256))).hexdigest()
    assert files["sub\\b.bin"].get("desname") == "b.bin;copies\\b.bin"
    assert root.find("fileurl").text == "{listurl-base}/f/{filename}"
    assert [r.attrib for r in root.iter("run")] == [{"path": "t.exe", "param": "/quiet", "wait": "1"}]
    assert ET.parse(tmp_path / "out" / "m.xml").getroot().find("description").text == "Hi & bye"
    assert (tmp_path / "out" / "a.txt._.zip").exists() and not (tmp_path / "out" / "t.exe._.zip").exists()
    assert "wrote " in out and "3 files listed" in out
    # Its input is never its output.
    before = tree(rel)
    assert pack(rel, rel)[0] == 1
    assert pack(rel, rel / "sub")[0] == 1
    assert pack(rel, tmp_path / "o2", "--list", "a.txt")[0] == 1
    assert tree(rel) == before


def fault_product(make_product, fault_server, tmp_path, names, **mirovane):
    """A product whose list (on the fault server) names `names`; nothing installed yet.
    `mirovane`: more [Mirovane] settings."""
    fault_server.add("/r/list.xml", ("<update>" + "".join(f'<file path="{n}" ver="2"/>' for n in names) +
                                     "</update>").encode())
    fault_server.add("/r/main.xml", b"<update/>")
    temp = tmp_path / "temp"
    seed_check_stamp(temp)
    product = make_product({"Mirovane": {"Mode": "", "QuickCheck": "0", "TempPath": win(temp), "TimeOut": "2",
                                         "NetTimeout": "2", "ConnectTryCount": "1", **mirovane},
                            "UPDATEINFO": {"ListURL": fault_server.url("/r/list.xml"),
                                           "MainListURL": fault_server.url("/r/main.xml")},
                            "APPLICATION": {"Application": ""}})
    product.app_dir.mkdir(parents=True, exist_ok=True)
    (product.app_dir / "mirovane.xml").write_bytes(b"<update/>")
    return product


def gets(fault_server, path):
    return len([r for r in fault_server.seen(path) if r.method == "GET"])


def test_download_retries_fetch_a_file_that_failed_once(make_product, fault_server, tmp_path):
    product = fault_product(make_product, fault_server, tmp_path, ["a.dll", "b.dll"])
    fault_server.add("/r/a.dll", b"a" * 3000, stall=10, stall_after=0, stall_times=1)  # the first answer stalls
    fault_server.add("/r/b.dll", b"b" * 3000)
    assert product.run("/silence", timeout=90) == 2
    assert (product.app_dir / "a.dll").read_bytes() == b"a" * 3000
    assert gets(fault_server, "/r/a.dll") == 2 and gets(fault_server, "/r/b.dll") == 1
    assert "Downloading error files..." in product.log()


@pytest.mark.parametrize("served, passes", [({}, 1), ({"/r/a.dll": b"a" * 3000}, 5)],
                         ids=["nothing-done-ends-the-retries", "at-most-five-passes"])
def test_download_passes_end(make_product, fault_server, tmp_path, served, passes):
    product = fault_product(make_product, fault_server, tmp_path, ["a.dll", "b.dll"])
    for path, body in served.items():
        fault_server.add(path, body)
    assert product.run("/silence", timeout=120) == 2
    assert len(fault_server.seen("/r/b.dll._.zip")) == passes   # one probe of the zipped form per pass
    assert not (product.app_dir / "a.dll").exists() and not (product.app_dir / "b.dll").exists()
    assert "Download" in product.log()


@pytest.mark.parametrize("trickled, outcome", [("/r/list.xml", 10), ("/r/a.dll", 11)],
                         ids=["list-fetch", "file-download"])
def test_a_trickling_server_is_dropped_at_the_low_speed_limit(make_product, fault_server, tmp_path, trickled, outcome):
    """A server that sends 3 bytes a second and never finishes: the transfer is dropped after
    LowSpeedTime, the session ends with its failure and installs nothing. The request time-outs
    are longer than the low-speed time, so only the low-speed limit can end it that soon."""
    product = fault_product(make_product, fault_server, tmp_path, ["a.dll"], LowSpeedTime="5", NetTimeout="60",
                            TimeOut="60", DetailedExitCode="1")
    if trickled == "/r/list.xml":
        body = b"<update>" + b" " * 3000 + b'<file path="a.dll" ver="2"/></update>'
        fault_server.add(trickled, body, rate=3)
    else:
        fault_server.add(trickled, b"a" * 3000, rate=3)
    started = time.monotonic()
    assert product.run("/silence", timeout=90) == outcome
    assert time.monotonic() - started < 40
    assert not (product.app_dir / "a.dll").exists()
    log = product.log()
    assert "Too slow: under 1024 bytes per second for 5 seconds" in log
    assert f"Outcome [{outcome}]" in log


@pytest.mark.parametrize("answer", ["yes", "no"])
def test_unwritable_settings_offer_a_restart_as_administrator(make_product, tmp_path, answer):
    """mirovane.ini cannot be written (here it is a directory, which Windows and Wine refuse
    with access denied): the prompt; Yes starts a copy with the marker, which asks no more."""
    product = make_product({"Mirovane": {"Mode": ""}})
    (product.app_dir / "mirovane.ini").mkdir(parents=True)
    out = tmp_path / "watch.txt"
    # The window outlives the first copy, so that the copy it starts can report to it too.
    watcher = subprocess.Popen(["wine", str(HOST1), "--timeout", "60", "--out", win(out)], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for(lambda: out.exists() and "version" in out.read_text(), 20, "the window")
        handle = out.read_text().split()[1]
        run = subprocess.Popen(["wine", str(BIN / "runexit.exe"), "60000", win(product.exe), "/emptytemp", handle],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        assert click_box("Request run as administrator.", answer, 30000)
        assert run.communicate(timeout=60)[0].strip() == b"exit=0"
        wait_for(lambda: "Run mode [emptytemp]" in out.read_text(), 30, "the run")
        text = out.read_text()
        if answer == "yes":
            assert "log Started as administrator [/emptytemp %s /___runas_admin___]" % handle in text
            assert text.index("Started as administrator") < text.index("Run mode [emptytemp]")
        else:
            assert "Started as administrator" not in text
        assert not click_box("Request run as administrator.", answer, 2000)  # asked once only
    finally:
        watcher.kill()
        watcher.wait(30)


@pytest.mark.parametrize("hints", [True, False], ids=["list-with-size-and-zip", "list-without"])
def test_what_the_list_says_spares_requests(session, hints):
    """mirovane-pack writes each file's size and whether a zipped copy exists: the session asks
    for no zipped copy that is not there, and fetches a small file with one plain request. A
    list without the two attributes is fetched as before: the zipped form first, every time."""
    s = session()
    served = s.nginx.root / "u" / "mirovane.xml"
    listed = {f.get("path"): f for f in ET.parse(served).iter("file")}
    assert listed["data.bin"].get("zip") == "1" and listed["data.bin"].get("size") == str(len(NEW["data.bin"]))
    assert listed["same.txt"].get("zip") == "0"
    if not hints:
        served.write_bytes(re.sub(rb' (size|zip)="[^"]*"', b"", served.read_bytes()))
    assert s.run("/silence") == CHANGED, s.log()
    assert s.installed_is_new()
    gets = [r for r in s.nginx.requests() if r.method == "GET" and not r.path.endswith(".xml")]
    for path, f in listed.items():
        if path == "same.txt":
            continue  # unchanged: not fetched at all
        url = "/u/" + path.replace("\\", "/")
        plain = [r for r in gets if r.path == url]
        zipped = [r for r in gets if r.path == url + "._.zip"]
        if f.get("zip") == "1":
            assert zipped and not plain, (path, gets)
        elif hints:
            assert not zipped and len(plain) == 1 and not plain[0].headers.get("range"), (path, gets)
        else:
            assert zipped and plain, (path, gets)  # the refused zipped request, then the file


@pytest.mark.parametrize("fault", ["bomb-declaring-its-size", "bomb-understating-its-size", "file-larger-than-listed"])
def test_the_size_the_list_names_bounds_the_download(session, fault):
    """A file is no larger than the size its list names, and its zipped form unpacks to no
    more: a bomb is refused before it is unpacked when it declares what it holds, and stops at
    the listed size when it understates it (the file itself is then fetched and installed); a
    file the server makes larger is refused and nothing is installed."""
    s = session()
    u = s.nginx.root / "u"
    size = len(NEW["data.bin"])
    if fault.startswith("bomb"):
        bomb = u / "data.bin._.zip"
        with zipfile.ZipFile(bomb, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("data.bin", b"\0" * 50_000_000)
        if fault == "bomb-understating-its-size":
            raw = bytearray(bomb.read_bytes())
            for sig, off in ((b"PK\x03\x04", 22), (b"PK\x01\x02", 24)):  # the declared uncompressed size
                at = raw.find(sig)
                raw[at + off:at + off + 4] = struct.pack("<I", size)
            bomb.write_bytes(bytes(raw))
            why = "its data is damaged or unpacks to more than it declares"
        else:
            why = f"it would unpack to 50000000 bytes, more than the limit of {size}"
        assert s.run("/silence") == CHANGED, s.log()
        assert s.installed_is_new()
        assert f"data.bin._.zip]: {why}" in s.log()
        assert "/u/data.bin" in s.file_requests()
    else:
        (u / "sub" / "cfg.txt").write_bytes(b"x" * 5_000_000)
        assert s.run("/silence") == CHANGED, s.log()  # the count of files the update needed
        assert tree(s.dir) == s.before
        assert "File too large (5000000 bytes)" in s.log()
        assert "failed at the download: 1 of 4 files not downloaded, nothing installed" in s.log()
        assert s.restarted_version() == "version 1"


@pytest.mark.parametrize("certificate", ["from the trusted test authority", "self-signed"])
def test_lists_and_files_over_https(make_product, tmp_path, certificate):
    """Lists and files come over HTTPS from nginx; a server whose certificate nobody vouches
    for is refused with a reason, and nothing changes."""
    from servers import TEST_CA, Nginx
    certs = TEST_CA
    if certificate == "self-signed":
        certs = tmp_path / "self-signed"
        certs.mkdir()
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                        "-addext", "subjectAltName=DNS:localhost", "-keyout", str(certs / "server.key"),
                        "-out", str(certs / "server.crt")], capture_output=True, check=True, timeout=60)
    (tmp_path / "srv").mkdir()
    server = Nginx(tmp_path / "srv", tls=True, certs=certs).start()
    try:
        s = Session(make_product, server, tmp_path / "s")
        assert s.list_url.startswith("https://localhost:")
        code = s.run("/silence")
        log = s.log()
        if certificate == "self-signed":
            assert code == 0 and tree(s.dir) == s.before, log
            assert "the server's certificate is not issued by an authority this machine trusts" in log, log
            assert server.requests() == []  # no request got past the handshake
        else:
            assert code == CHANGED and s.installed_is_new(), log
            served = {r.path for r in server.requests()}
            assert {"/u/mirovane.xml", "/u/main.xml", f"/u/{s.app}._.zip", "/u/sub/cfg.txt"} <= served, served
    finally:
        server.stop()


@pytest.mark.parametrize("user", ["bob,s3cret", "bob,wrong"])
def test_a_session_through_a_proxy_that_demands_credentials(session, http_proxy, user):
    http_proxy.credentials = "bob:s3cret"
    s = session(sections={"Mirovane": {"Proxy": http_proxy.address, "ProxyUser": user}})
    code = s.run("/silence")
    asked = {urllib.parse.urlsplit(r.path).path for r in http_proxy.requests}
    assert "/u/mirovane.xml" in asked  # requests go to the proxy
    if user == "bob,s3cret":
        assert code == CHANGED and s.installed_is_new(), s.log()
        assert {"/u/main.xml", f"/u/{s.app}._.zip", "/u/sub/cfg.txt"} <= asked, asked
        want = "Basic " + base64.b64encode(b"bob:s3cret").decode()
        assert {r.headers.get("proxy-authorization") for r in http_proxy.requests} <= {want, None}
        assert len(s.nginx.requests()) >= 3  # the proxy relayed them
    else:
        assert code == 0 and tree(s.dir) == s.before, s.log()
        assert "407" in s.log() and s.nginx.requests() == []
