"""Installation: the local check, the copy step as a transaction, crash recovery, tasks and
host closing, driven through the core driver (tests/helpers/core/install_cmds.cpp)."""
import os
import pathlib
import shutil
import subprocess
import time

import pytest

from conftest import BIN, CLOSED, DRIVE_C, ini, list_cache_name, lost_kill, read_line, run_captured, win
from driver import driver, run_driver

LIST_URL = CLOSED + "/list.xml"
# Files the updater itself keeps in the application directory besides the installed set.
OWN = {"mirovane.ini", "inst.log"}


class Setup:
    """An application directory, a temporary directory and a release to install."""

    def __init__(self, root: pathlib.Path, app_settings=None, private=False):
        """private: no TempPath, so the updater (elevated under Wine) works in its private
        directory, which nobody else can write, and stages downloads as links, not copies."""
        self.app = root / "app"
        self.temp = DRIVE_C / "ProgramData" / "Mirovane" if private else root / "temp"
        self.release = root / "release"
        if private:
            shutil.rmtree(self.temp, ignore_errors=True)
        for d in (self.app, self.temp, self.release):
            d.mkdir(parents=True, exist_ok=True)
        settings = {"Mirovane": {"Log": "inst.log", **({} if private else {"TempPath": win(self.temp)})},
                    "UPDATEINFO": {"ListURL": LIST_URL},
                    "APPLICATION": {"Name": "Inst", "Application": ""}}
        for section, keys in (app_settings or {}).items():
            settings.setdefault(section, {}).update(keys)
        (self.app / "mirovane.ini").write_bytes(ini(settings))

    def old(self, files: dict):
        for name, data in files.items():
            p = self.app / name
            p.parent.mkdir(parents=True, exist_ok=True)
            p.write_bytes(data)

    def new(self, list_xml: str, files: dict):
        (self.release / "list.xml").write_text(list_xml, encoding="utf-8")
        for name, data in files.items():
            p = self.release / name
            p.parent.mkdir(parents=True, exist_ok=True)
            p.write_bytes(data)

    def install(self, *opts, timeout=60):
        return driver("install", win(self.app), win(self.release), *opts, timeout=timeout)

    def install_killed(self, k):
        """Runs the install with the driver ending its own process after the k-th file operation."""
        code, out, err = run_captured(["wine", str(BIN / "coredriver.exe"), "install", win(self.app), win(self.release),
                                       "version=2.0", f"kill={k}"], 60)
        return code, out.decode("utf-8", "replace") + err.decode("utf-8", "replace")

    def startup(self):
        return driver("startup", win(self.app))

    def snapshot(self):
        return {str(p.relative_to(self.app)).replace("/", "\\"): p.read_bytes()
                for p in self.app.rglob("*") if p.is_file() and p.name not in OWN}

    def log(self):
        p = self.app / "inst.log"
        return p.read_bytes().decode("cp1252") if p.exists() else ""

    def work_files(self):
        """Files left in the session's download directory (the cached list beside it may stay)."""
        return sorted(str(p.relative_to(self.temp)) for p in self.temp.rglob("*")
                      if p.is_file() and p.parent != self.temp)


LIST = """<?xml version="1.0"?>
<update>
  <file path="data.bin" ver="2"/>
  <file path="sub\\new.txt" ver="2"/>
  <file path="both.dat" desname="both.dat;copies\\both.dat" ver="2"/>
  <file path="gone.txt" oper="del" ver="2"/>
</update>
"""
OLD = {"data.bin": b"old data", "both.dat": b"old both", "copies\\both.dat".replace("\\", "/"): b"old copy",
       "gone.txt": b"to be removed", "mirovane.xml": b"<update/>", "keep.txt": b"untouched"}
NEW = {"data.bin": b"new data" * 1000, "sub/new.txt": b"brand new", "both.dat": b"new both"}


def expected_new(setup):
    files = {"data.bin": NEW["data.bin"], "sub\\new.txt": NEW["sub/new.txt"], "both.dat": NEW["both.dat"],
             "copies\\both.dat": NEW["both.dat"], "keep.txt": b"untouched",
             "mirovane.xml": (setup.release / "list.xml").read_bytes(), "mirovane.ver": b"2.0"}
    return files


def test_copy_step_installs_the_whole_set(tmp_path):
    s = Setup(tmp_path)
    s.old(OLD)
    s.new(LIST, NEW)
    out = s.install("version=2.0")
    assert (out["check"], out["copy"], out["ver"]) == ("9", "12", "2.0")
    assert s.snapshot() == expected_new(s)
    assert s.work_files() == []          # the download directory is gone
    log = s.log()
    assert "Remove file[gone.txt]" in log and "update file[" in log
    assert s.startup()["ver"] == "2.0"   # the version survives the rewritten settings


def test_without_a_cached_list_the_copy_step_fetches_it_again(tmp_path, fault_server):
    s = Setup(tmp_path)
    s.old(OLD)
    s.new(LIST, NEW)
    served = (s.release / "list.xml").read_bytes()
    url = fault_server.add("/again/list.xml", served)
    out = s.install("version=2.0", f"refetch={url}")
    assert out["copy"] == "12"
    assert s.snapshot() == expected_new(s)       # the list fetched again is the installed list
    assert "update list fetched again to store it[" in s.log()

    # A list that cannot be fetched again: the files are in place, the old list stays.
    s2 = Setup(tmp_path / "gone")
    s2.old(OLD)
    s2.new(LIST, NEW)
    out = s2.install("version=2.0", f"refetch={fault_server.url('/nothing/here.xml')}")
    assert out["copy"] == "12"
    assert (s2.app / "mirovane.xml").read_bytes() == b"<update/>"
    assert "no update list to store[" in s2.log()


@pytest.mark.parametrize("staging", ["copied", "linked"])
def test_kill_after_every_file_operation_leaves_old_or_new_set(tmp_path, staging):
    """Copied from a working directory others may write (TempPath), or linked from the private
    one: killed after any file operation, the next start leaves the old set or the new one."""
    private = staging == "linked"
    probe = Setup(tmp_path / "probe", private=private)
    probe.old(OLD)
    probe.new(LIST, NEW)
    total = int(probe.install("version=2.0")["ops"])
    assert total > 10
    new_set = expected_new(probe)
    outcomes = set()
    shared = set()  # whether a staged file was ever the download itself under a second name
    for k in range(1, total + 1):
        for again in ("", "-again"):
            s = Setup(tmp_path / f"k{k}{again}", private=private)
            s.old(OLD)
            s.new(LIST, NEW)
            old_set = s.snapshot()
            code, out = s.install_killed(k)
            if not lost_kill(code, out):
                break
        assert code == 99 and "copy=" not in out, f"k={k} was not killed: {code} {out}"
        staged, downloaded = s.app / "data.bin.__new", next(s.temp.rglob("data.bin_"), None)
        if staged.exists() and downloaded:
            shared.add(os.path.samefile(staged, downloaded))
        s.startup()
        after = s.snapshot()
        if after == old_set:
            outcomes.add("old")
            # Rolled back: the downloads stay for a retry, and the retry needs no download.
            retry = s.install("version=2.0", "stage=0")
            assert retry["copy"] == "12", f"k={k}"
            assert s.snapshot() == expected_new(s), f"k={k}"
        else:
            assert after == expected_new(s), f"k={k}: {sorted(after)}"
            outcomes.add("new")
            assert s.work_files() == [], f"k={k}"
    assert outcomes == {"old", "new"}
    assert shared == {private}


def test_unreadable_journal_is_set_aside_and_blocks_nothing(tmp_path):
    """A journal that cannot be read (here: a line with a bad escape) is never taken as
    finished: the backups whose targets are gone come back, the journal goes aside, and the
    next install runs."""
    s = Setup(tmp_path)
    s.old(OLD)
    (s.app / "data.bin").rename(s.app / "data.bin.__old")
    (s.app / "__install.journal").write_bytes(b"mirovane install journal 2\nstate\tdone\nversion\t%zz\nend\n")
    s.startup()
    assert "unreadable install journal" in s.log()
    assert (s.app / "data.bin").read_bytes() == OLD["data.bin"]
    assert not (s.app / "__install.journal").exists() and (s.app / "__install.journal.unreadable").exists()
    s.new(LIST, NEW)
    assert s.install("version=2.0")["copy"] == "12", s.log()
    assert s.snapshot() == expected_new(s) | {"__install.journal.unreadable": s.snapshot()["__install.journal.unreadable"]}


def test_program_left_renamed_by_a_locked_file_probe_is_put_back(tmp_path):
    """A kill between the probe's two renames leaves the program as "x.exe.__test": the next
    start puts it back, and leaves a probe name alone when its file is there."""
    s = Setup(tmp_path)
    s.old({"x.exe.__test": b"program", "sub/y.dll.__test2": b"library", "z.exe": b"z", "z.exe.__test": b"other"})
    s.startup()
    assert (s.app / "x.exe").read_bytes() == b"program" and not (s.app / "x.exe.__test").exists()
    assert (s.app / "sub" / "y.dll").read_bytes() == b"library"
    assert (s.app / "z.exe").read_bytes() == b"z" and (s.app / "z.exe.__test").exists()
    assert "put back [" in s.log()


TASK_LIST = """<update>
  <file path="data.bin" ver="2"/>
  <run path="{sys}\\cmd.exe" param="/c echo A>> {app}\\order.txt" wait="1"/>
  <run path="{sys}\\cmd.exe" param="/c echo B>> {app}\\order.txt" wait="1"/>
  <run path="{sys}\\cmd.exe" param="/c echo C>> {app}\\order.txt" wait="1"/>
</update>"""


def test_kill_during_the_tasks_runs_the_rest_at_the_next_start(tmp_path):
    """The journal records each task as it finishes: killed at any file operation of the
    install, the next start finishes the set and runs the tasks that had not finished. A task
    runs twice only when the kill falls between its end and its record."""
    probe = Setup(tmp_path / "probe")
    probe.old({"data.bin": b"old"})
    probe.new(TASK_LIST, {"data.bin": b"new"})
    total = int(probe.install("version=2.0")["ops"])
    order = (probe.app / "order.txt").read_text().split()
    assert sorted(order) == ["A", "B", "C"]  # in the list's run order
    rerun = 0
    for k in range(1, total + 1):
        for again in ("", "-again"):
            s = Setup(tmp_path / f"k{k}{again}")
            s.old({"data.bin": b"old"})
            s.new(TASK_LIST, {"data.bin": b"new"})
            code, out = s.install_killed(k)
            if not lost_kill(code, out):
                break
        assert code == 99, f"k={k} was not killed: {code} {out}"
        s.startup()
        ran = (s.app / "order.txt").read_text().split() if (s.app / "order.txt").exists() else []
        if (s.app / "data.bin").read_bytes() == b"old":
            assert ran == [], f"k={k}: rolled back, yet tasks ran: {ran}"
            continue
        assert not (s.app / "__install.journal").exists(), f"k={k}"
        # Each task once, in order, and at most one again right after itself.
        assert [t for i, t in enumerate(ran) if i == 0 or ran[i - 1] != t] == order and len(ran) <= 4, f"k={k}: {ran}"
        rerun += len(ran) - 3
    # Two kill points per task fall between its end and its record: right after it ends, and
    # after the journal's new text is written but before it replaces the old one.
    assert 0 < rerun <= 2 * 3


class Holder:
    """fakehost.exe (copied to `exe`) holding files open without sharing; ended at exit."""

    def __init__(self, exe: pathlib.Path, mode="close", files=()):
        exe.parent.mkdir(parents=True, exist_ok=True)
        if not exe.exists():
            shutil.copy(BIN / "fakehost.exe", exe)
        self.exe = exe
        self.proc = subprocess.Popen(["wine", str(exe), mode, *map(win, files)], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = read_line(self.proc)
        assert line.strip() == b"ready", line

    def running(self):
        return self.proc.poll() is None

    def wait(self, timeout):
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            pass
        return self.running()

    def stop(self):
        if self.running():
            self.proc.kill()
            self.proc.wait(30)


@pytest.fixture
def holders():
    made = []

    def make(*a, **kw):
        h = Holder(*a, **kw)
        made.append(h)
        return h
    yield make
    for h in made:
        h.stop()


def test_data_file_held_open_fails_the_check_and_changes_nothing(tmp_path, holders):
    s = Setup(tmp_path)
    s.old(OLD)
    s.new(LIST, NEW)
    before = s.snapshot()
    holders(tmp_path / "bin" / "holder.exe", "close", [s.app / "both.dat"])
    out = s.install("version=2.0")
    assert (out["check"], "copy" in out, out["copy"]) == ("8", True, "8")   # the copy step does not start
    assert s.snapshot() == before
    assert "File is locked[" in s.log()


def test_running_executable_is_renamed_aside_and_removed_after_it_ends(tmp_path, holders):
    s = Setup(tmp_path)
    s.old({"mirovane.xml": b"<update/>"})
    tool = s.app / "tool.exe"
    running = holders(tool, "close")                       # the old tool.exe is running
    old_bytes = tool.read_bytes()
    # ".__old" is itself held open by a second process, so the backup becomes ".__old0".
    (s.app / "tool.exe.__old").write_bytes(b"older backup")
    holders(tmp_path / "bin" / "h.exe", "close", [s.app / "tool.exe.__old"])
    s.new('<update><file path="tool.exe" ver="2"/></update>', {"tool.exe": b"MZ new tool"})
    out = s.install("version=2.0")
    assert (out["check"], out["copy"]) == ("9", "12")
    assert tool.read_bytes() == b"MZ new tool"
    assert (s.app / "tool.exe.__old0").read_bytes() == old_bytes
    assert (s.app / "__oldfiles.lst").read_bytes() == b"\r\n" + win(s.app / "tool.exe.__old0").encode("cp1252")
    assert "backup file error[" in s.log()

    s.startup()                                             # still running: kept and still listed
    assert (s.app / "tool.exe.__old0").exists() and (s.app / "__oldfiles.lst").exists()
    running.stop()
    s.startup()
    assert not (s.app / "tool.exe.__old0").exists() and not (s.app / "__oldfiles.lst").exists()
    assert (s.app / "tool.exe.__old").read_bytes() == b"older backup"   # never recorded: not ours


def test_every_backup_name_held_fails_the_copy_and_a_retry_needs_no_download(tmp_path, holders):
    s = Setup(tmp_path)
    s.old(OLD)
    s.new(LIST, NEW)
    (s.app / "mirovane.ver").write_bytes(b"1.0")
    names = [s.app / "both.dat.__old"] + [s.app / f"both.dat.__old{n}" for n in range(10)]
    for n in names:
        n.write_bytes(b"held")
    holder = holders(tmp_path / "bin" / "h.exe", "close", names)
    before = s.snapshot()
    out = s.install("version=2.0")
    assert (out["check"], out["copy"], out["ver"]) == ("9", "11", "")
    assert s.snapshot() == before                           # old files, old list, old version
    assert len(s.work_files()) == 3                         # downloads kept
    holder.stop()
    for n in names:
        n.unlink()
    out = s.install("version=2.0", "stage=0")               # nothing new put into the download directory
    assert out["copy"] == "12"
    assert s.snapshot() == expected_new(s)


def test_second_session_on_the_same_directory_ends_in_its_error_stage(tmp_path):
    from driver import start_driver
    s = Setup(tmp_path)
    s.old(OLD)
    s.new(LIST, NEW)
    before = s.snapshot()
    other = start_driver("holdlock", win(s.app), 20000)
    try:
        assert read_line(other).strip() == b"held=1"
        out = s.install("version=2.0")
    finally:
        other.kill()
        other.wait(30)
    assert out["check"] == "8" and out["copy"] == "8"
    assert "Another update of this application is running" in s.log()
    assert s.snapshot() == before


@pytest.mark.parametrize("mode, closed", [("close", True), ("ignoreclose", True), ("refuse", False)])
def test_host_program_is_closed_unless_it_refuses(tmp_path, holders, mode, closed):
    s = Setup(tmp_path, {"APPLICATION": {"Application": "host.exe"}})
    s.old(OLD)
    s.new(LIST, NEW)
    host = holders(s.app / "host.exe", mode)
    ghost = holders(s.app / "ghost.exe", mode)              # a name that contains the host's
    before = s.snapshot()
    out = s.install("version=2.0", "skin=mostsimple")
    assert host.wait(10) is not closed
    assert ghost.running()
    if closed:
        assert (out["check"], out["copy"]) == ("9", "12")
    else:
        assert out["check"] == "8"
        assert s.snapshot() == before
        assert "The main program has not closed" in s.log()


TASKS = r"""<?xml version="1.0"?>
<tasks>
  <group>
    <run file="{sys}\cmd.exe" param="/c echo task> {app}\taskrun.txt" waitclose="Yes"/>
    <path name="{app}\made\deep"/>
    <ren source="{app}\a.txt" target="{app}\b.txt"/>
    <del file="{app}\old.txt" path="{app}\olddir"/>
    <ini file="{app}\conf.ini" app="S" key="k" value="v"/>
    <ini file="{app}\conf.ini" app="S" key="gone" value=""/>
    <shortcut file="{app}\tool.exe" shortcut="{app}\links\Tool"/>
    <Run file="{app}\never.exe">
      <kill file="{app}"/>
    </Run>
  </group>
</tasks>
"""


def test_task_file_run_list_and_shortcuts(tmp_path, holders):
    s = Setup(tmp_path)
    # The updater itself runs from the application directory: the kill task naming that
    # folder must spare it.
    shutil.copy(BIN / "coredriver.exe", s.app / "coredriver.exe")
    s.old({"mirovane.xml": b"<update/>", "a.txt": b"A", "old.txt": b"old", "olddir/x.txt": b"x",
           "conf.ini": b"[S]\r\ngone=1\r\n", "links/Other.lnk": b"not a shortcut"})
    in_app = holders(s.app / "helper.exe", "close")
    s.new("""<update>
  <file path="tool.exe" ver="2" shortcut="{app}\\links\\Tool2;{app}\\links\\Other.lnk"/>
  <file path="tasks.xml" oper="run" ver="2"/>
  <run path="{sys}\\cmd.exe" param="/c echo waited> {app}\\waited.txt" wait="1"/>
  <run path="{sys}\\cmd.exe" param="/c echo ran> {app}\\ran.txt" wait="no"/>
</update>""", {"tool.exe": b"MZ tool",
                 # A task's parameters are passed as written: the file name there is absolute.
                 "tasks.xml": TASKS.replace("{app}\\taskrun.txt", win(s.app / "taskrun.txt")).encode()})
    proc = subprocess.run(["wine", str(s.app / "coredriver.exe"), "install", win(s.app), win(s.release), "version=2"],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    out = proc.stdout.decode()
    assert "copy=12" in out, out
    a = s.app
    assert (a / "taskrun.txt").exists()                    # a waiting run element of the task file
    assert (a / "made" / "deep").is_dir()
    assert (a / "b.txt").read_bytes() == b"A" and not (a / "a.txt").exists()
    assert not (a / "old.txt").exists() and not (a / "olddir").exists()
    conf = (a / "conf.ini").read_bytes().decode()
    assert "k=v" in conf and "gone" not in conf
    assert (a / "links" / "Tool.lnk").read_bytes()[:4] == b"L\0\0\0"
    assert (a / "links" / "Tool2.lnk").read_bytes()[:4] == b"L\0\0\0"
    assert (a / "links" / "Other.lnk").read_bytes() == b"not a shortcut"
    assert not in_app.wait(10)                              # closed by the kill task
    assert (a / "waited.txt").exists()                      # waited for before the step ended
    deadline = time.monotonic() + 20
    while not (a / "ran.txt").exists() and time.monotonic() < deadline:
        time.sleep(0.1)
    assert (a / "ran.txt").exists()
    log = s.log()
    for text in ("Create directory[", "Move file:[", "Remove file[", "Remove path[", "Write ini[conf.ini][k][v]",
                 "Empty ini[conf.ini][gone]", "Create shortcut[", "Kill process[", "][wait]", "][nowait]"):
        assert text in log, text
    assert "never.exe" not in log


def test_a_task_file_that_runs_itself_ends(tmp_path):
    s = Setup(tmp_path)
    (s.app / "self.xml").write_text('<tasks><path name="{app}\\made"/><run file="{app}\\self.xml"/></tasks>')
    run_driver("runtask", win(s.app), win(s.app / "self.xml"))
    log = s.log()
    assert (s.app / "made").is_dir()
    assert log.count("Create directory[") == 16, log
    assert "task files nested more than 16 deep" in log


def test_hostile_lists_change_nothing_outside(tmp_path):
    s = Setup(tmp_path)
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "victim.txt").write_bytes(b"precious")
    (outside / "victim.ini").write_bytes(b"[S]\r\nk=1\r\n")
    s.old({"mirovane.xml": b"<update/>", "keep.txt": b"keep"})
    o = win(outside)
    tasks = f"""<tasks>
  <del file="{o}\\victim.txt" path="{o}"/>
  <del path="{{app}}"/>
  <del path="{{app}}\\.."/>
  <del path="C:\\"/>
  <ren source="{{app}}\\keep.txt" target="{o}\\stolen.txt"/>
  <ren source="{o}\\victim.txt" target="{{app}}\\victim.txt"/>
  <ini file="{o}\\victim.ini" app="S" key="k" value="2"/>
  <shortcut file="{{app}}\\tasks.xml" shortcut="{o}\\planted"/>
  <path name="{o}\\newdir"/>
</tasks>"""
    s.new('<update><file path="tasks.xml" oper="run" ver="2"/></update>', {"tasks.xml": tasks.encode()})
    out = s.install("version=2")
    assert out["copy"] == "12"
    assert sorted(p.name for p in outside.iterdir()) == ["victim.ini", "victim.txt"]
    assert (outside / "victim.txt").read_bytes() == b"precious"
    assert (outside / "victim.ini").read_bytes() == b"[S]\r\nk=1\r\n"
    assert (s.app / "keep.txt").read_bytes() == b"keep"
    assert s.log().count("Refused a path outside the application directory") >= 9

    # Records whose targets or downloads lie outside: nothing is installed at all.
    # (The application directory as a target is a directory: the local check already stops it.)
    for record, stage in ((f'<file path="x.txt" desname="{o}\\x.txt" ver="3"/>', "11"),
                          ('<file path="..\\..\\x.txt" ver="3"/>', "11"),
                          ('<file path="y.txt" desname="{app}\\." ver="3"/>', "8")):
        s2 = Setup(tmp_path / f"r{abs(hash(record))}")
        s2.old({"mirovane.xml": b"<update/>", "keep.txt": b"keep"})
        s2.new(f'<update><file path="keep.txt" ver="3"/>{record}</update>',
               {"keep.txt": b"new keep", "x.txt": b"x", "y.txt": b"y"})
        before = s2.snapshot()
        out = s2.install("version=3")
        assert out["copy"] == stage, record
        assert s2.snapshot() == before, record
    assert sorted(p.name for p in outside.iterdir()) == ["victim.ini", "victim.txt"]


def test_without_unzip_the_download_tree_is_moved_without_replacing(tmp_path):
    s = Setup(tmp_path, {"Mirovane": {"UnZip": "0"}})
    s.old({"mirovane.xml": b"<update/>", "a.txt_": b"old"})
    s.new('<update><file path="a.txt" ver="2"/><file path="b.txt" ver="2"/><file path="nodir\\c.txt" ver="2"/></update>',
          {"a.txt": b"new a", "b.txt": b"new b", "nodir/c.txt": b"new c"})
    out = s.install("version=2")
    assert out["copy"] == "12"
    assert (s.app / "a.txt_").read_bytes() == b"old"        # an existing file is not replaced
    assert (s.app / "b.txt_").read_bytes() == b"new b"
    assert not (s.app / "nodir").exists()                   # no directory is created
    work = list_cache_name(LIST_URL + "9999999999")
    assert s.work_files() == [f"{work}/a.txt_", f"{work}/nodir/c.txt_"]
    assert (s.app / "mirovane.xml").read_bytes() == b"<update/>"


def test_question_before_closing_the_host(tmp_path, holders):
    from driver import click_box, start_driver
    for answer, stage in (("no", "8"), ("yes", "9")):
        s = Setup(tmp_path / answer, {"APPLICATION": {"Application": "host.exe", "Name": "Inst"}})
        s.old(OLD)
        s.new(LIST, NEW)
        host = holders(s.app / "host.exe", "close")
        proc = start_driver("install", win(s.app), win(s.release), "version=2.0", "steps=check")
        assert click_box("Find main program [Inst] not closed, Close it now?", answer)
        out = proc.communicate(timeout=60)[0].decode()
        assert f"check={stage}" in out
        assert host.wait(10) is (answer == "no")


def test_starting_the_host_program(tmp_path):
    from driver import click_box, start_driver
    s = Setup(tmp_path, {"APPLICATION": {"Application": "host.bat"}})
    (s.app / "host.bat").write_bytes(b"@echo started> started.txt\r\n")
    assert driver("starthost", win(s.app), 0)["started"] == "1"
    deadline = time.monotonic() + 20
    while not (s.app / "started.txt").exists() and time.monotonic() < deadline:
        time.sleep(0.1)
    assert (s.app / "started.txt").exists()                 # started in the application directory

    (s.app / "host.bat").unlink()
    assert driver("starthost", win(s.app), 0)["started"] == "1"   # silently not started
    proc = start_driver("starthost", win(s.app), 1)
    assert click_box("Can't find the file that you set Application in mirovane.ini file.", "ok")
    assert b"started=1" in proc.communicate(timeout=60)[0]


def test_locked_file_question_retry_and_cancel(tmp_path, holders):
    from driver import click_box, start_driver
    text = "Can't overwrite the file,Please close it."
    for answers in (["cancel"], ["retry", "cancel"]):
        s = Setup(tmp_path / str(len(answers)))
        s.old(OLD)
        s.new(LIST, NEW)
        holders(tmp_path / str(len(answers)) / "bin" / "h.exe", "close", [s.app / "both.dat"])
        proc = start_driver("install", win(s.app), win(s.release), "steps=check", "window=1")
        for answer in answers:                               # still held after a retry: asked again
            assert click_box(text, answer)
        out = proc.communicate(timeout=60)[0].decode()
        assert "check=8" in out, out
