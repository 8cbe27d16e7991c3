"""Installation: the local check, the copy step as a transaction, crash recovery, tasks and
host closing, driven through the core driver (tests/helpers/core/install_cmds.cpp)."""
import pathlib
import shutil
import subprocess
import time

import pytest

from conftest import BIN, ini, win
from driver import driver, run_driver

LIST_URL = "http://127.0.0.1:9/list.xml"
# Files the updater itself keeps in the application directory besides the installed set.
OWN = {"mirovane.ini", "inst.log"}


class Setup:
    """An application directory, a temporary directory and a release to install."""

    def __init__(self, root: pathlib.Path, app_settings=None):
        self.app = root / "app"
        self.temp = root / "temp"
        self.release = root / "release"
        for d in (self.app, self.temp, self.release):
            d.mkdir(parents=True, exist_ok=True)
        settings = {"Mirovane": {"Log": "inst.log", "TempPath": win(self.temp)},
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
        proc = subprocess.run(["wine", str(BIN / "coredriver.exe"), "install", win(self.app), win(self.release),
                               "version=2.0", f"kill={k}"], stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        return proc.returncode, proc.stdout.decode("utf-8", "replace")

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


def test_kill_after_every_file_operation_leaves_old_or_new_set(tmp_path):
    probe = Setup(tmp_path / "probe")
    probe.old(OLD)
    probe.new(LIST, NEW)
    total = int(probe.install("version=2.0")["ops"])
    assert total > 10
    new_set = expected_new(probe)
    outcomes = set()
    for k in range(1, total + 1):
        s = Setup(tmp_path / f"k{k}")
        s.old(OLD)
        s.new(LIST, NEW)
        old_set = s.snapshot()
        code, out = s.install_killed(k)
        assert code == 99 and "copy=" not in out, f"k={k} was not killed: {code} {out}"
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
