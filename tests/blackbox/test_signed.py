"""Signed update lists and verified files: lists made and signed by mirovane-pack, served by nginx or by
the fault server acting as a man in the middle, updated through the core driver's update
session (check, download, local check, copy) and checked by the real program."""
import hashlib
import pathlib
import re
import subprocess

import pytest

from conftest import BIN, ini, win
from driver import click_box, driver
from test_check import settings as check_settings

GUID = "{6F1C2A3B-0000-4000-8000-00000000A1B2}"
OLD = {"a.txt": b"version 1 of a", "sub/b.txt": b"version 1 of b"}
NEW = {"a.txt": b"version 2 of a", "sub/b.txt": b"version 2 of b"}
INSTALLED = b"""<update><file path="a.txt" ver="1"/><file path="sub\\b.txt" ver="1"/></update>"""
RUNS = "{sys}\\cmd.exe | /c echo ran> {app}\\ran.txt | 1\n"
# refreshed.txt: the core driver standing in for the hidden list-refresh copy notes its start there.
OWN = {"mirovane.ini", "inst.log", "refreshed.txt"}


def pack(*args):
    proc = subprocess.run(["wine", str(BIN / "mirovane-pack.exe"), *map(str, args)], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=60)
    return proc.returncode, proc.stdout.decode("utf-8", "replace") + proc.stderr.decode("utf-8", "replace")


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    """Two key pairs made by mirovane-pack --new-key: {name: (private key file, ListKey text)}."""
    d = tmp_path_factory.mktemp("keys")
    made = {}
    for name in ("vendor", "other"):
        rc, out = pack("--new-key", win(d / name))
        assert rc == 0, out
        line = next(l for l in out.splitlines() if l.startswith("ListKey="))
        made[name] = (d / (name + ".key"), line[len("ListKey="):].strip())
    assert pack("--new-key", win(d / "vendor"))[0] == 1  # an existing key is never replaced
    assert b"never ship" in (d / "vendor.key").read_bytes()
    return made


class Release:
    """An installed version 1, and a version 2 published in a folder a server serves."""

    def __init__(self, root: pathlib.Path, folder: pathlib.Path, base_url: str, list_key="", guid=GUID):
        self.app, self.temp, self.folder = root / "app", root / "temp", folder
        for d in (self.app, self.temp, self.folder):
            d.mkdir(parents=True, exist_ok=True)
        self.list_url = base_url + "list.xml"
        settings = {"Mirovane": {"Log": "inst.log", "TempPath": win(self.temp), "TimeOut": "20", "QuickCheck": "0"},
                    "UPDATEINFO": {"ListURL": self.list_url, "MainListURL": base_url + "main.xml",
                                   "ListKey": list_key, "ListGuid": guid if list_key else ""},
                    "APPLICATION": {"Name": "Signed", "Application": ""}}
        (self.app / "mirovane.ini").write_bytes(ini(settings))
        (self.app / "mirovane.xml").write_bytes(INSTALLED)
        for name, data in OLD.items():
            (self.app / name).parent.mkdir(parents=True, exist_ok=True)
            (self.app / name).write_bytes(data)

    def publish(self, key_file=None, sequence=5, guid=GUID, *opts):
        """mirovane-pack from a version 2 folder into the served folder (signed with a key file)."""
        source = self.folder.parent / (self.folder.name + "-v2")
        for name, data in NEW.items():
            (source / name).parent.mkdir(parents=True, exist_ok=True)
            (source / name).write_bytes(data)
        runs = self.folder.parent / "runs.txt"
        runs.write_text(RUNS, encoding="utf-8")
        signing = ["--key", win(key_file), "--sequence", sequence] if key_file else []
        rc, out = pack("--list", "list.xml", "--main-list", "main.xml", "--description", "version 2", "--runs", win(runs),
                       "--guid", guid, *signing, *opts, win(source), win(self.folder))
        assert rc == 0, out

    def update(self):
        return driver("update", win(self.app), timeout=120)

    def snapshot(self):
        return {str(p.relative_to(self.app)): p.read_bytes() for p in self.app.rglob("*")
                if p.is_file() and p.name not in OWN}

    def log(self):
        p = self.app / "inst.log"
        return p.read_bytes().decode("cp1252") if p.exists() else ""


@pytest.mark.parametrize("configured", [True, False], ids=["with-key", "without-key"])
def test_signed_release_updates_version_1_to_2(tmp_path, nginx, keys, configured):
    key_file, list_key = keys["vendor"]
    r = Release(tmp_path, nginx.root / "rel", nginx.url("/rel/"), list_key if configured else "")
    r.publish(key_file)
    signed = (r.folder / "list.xml").read_text(encoding="utf-8")
    assert signed.count('sha256="') == 2 and "<sequence>5</sequence>" in signed
    assert (r.folder / "main.xml.sig").exists()

    result = r.update()
    assert (result["check"], result["download"], result["copy"]) == ("3 files=2", "6", "12"), r.log()
    for name, data in NEW.items():
        assert (r.app / name).read_bytes() == data
    assert (r.app / "ran.txt").exists()
    if configured:
        assert r.log().count("signature verified") == 2
        assert (r.app / "mirovane.sequence").read_bytes() == b"5"
    else:
        assert "signature" not in r.log()
        assert not (r.app / "mirovane.sequence").exists()


def flip_byte(path: pathlib.Path):
    """Changes one byte: the list's sequence, 1 to 2 or 5 to 6."""
    data = re.sub(rb"<sequence>(\d)<", lambda m: b"<sequence>%d<" % (int(m.group(1)) + 1), path.read_bytes(), count=1)
    assert data != path.read_bytes()
    path.write_bytes(data)


REFUSALS = [
    # (id, what is done to the published release, expected log text)
    ("one-byte-changed", lambda r, k: flip_byte(r.folder / "list.xml"), "refused: its signature does not match"),
    ("another-key", lambda r, k: r.publish(k["other"][0]), "refused: its signature does not match"),
    ("missing-sig", lambda r, k: (r.folder / "list.xml.sig").unlink(), "refused: its signature could not be fetched (HTTP status 404)"),
    ("malformed-sig", lambda r, k: (r.folder / "list.xml.sig").write_bytes(b"not a signature"), "refused: its signature is malformed"),
    ("unsigned-main-list", lambda r, k: (r.folder / "main.xml.sig").unlink(), "main.xml] refused: its signature could not be fetched"),
    ("replayed-older", lambda r, k: (r.app / "mirovane.sequence").write_bytes(b"6"),
     "refused: the list is older than the installed release (sequence 5, installed 6)"),
    ("expired", lambda r, k: r.publish(k["vendor"][0], 5, GUID, "--expires", "2001-01-01T00:00:00Z"),
     "refused: the list expired on 2001-01-01T00:00:00Z"),
    ("other-product", lambda r, k: r.publish(k["vendor"][0], 5, "{00000000-0000-4000-8000-000000000000}"),
     "refused: the list belongs to another product"),
]


@pytest.mark.parametrize("tamper, expected", [c[1:] for c in REFUSALS], ids=[c[0] for c in REFUSALS])
def test_tampered_release_is_refused_and_changes_nothing(tmp_path, nginx, keys, tamper, expected):
    key_file, list_key = keys["vendor"]
    r = Release(tmp_path, nginx.root / "rel", nginx.url("/rel/"), list_key)
    r.publish(key_file)
    tamper(r, keys)
    before = r.snapshot()

    result = r.update()
    assert result["check"] == "2 files=0", r.log()
    assert "download" not in result
    assert expected in r.log()
    assert r.snapshot() == before
    assert not (r.app / "ran.txt").exists()
    assert not [q for q in nginx.requests() if q.path.startswith(("/rel/a.txt", "/rel/sub"))]


def test_file_changed_by_a_man_in_the_middle_is_never_installed(tmp_path, fault_server, keys):
    """The lists and their signatures pass through untouched; one file's bytes are replaced."""
    key_file, list_key = keys["vendor"]
    r = Release(tmp_path, tmp_path / "published", fault_server.url("/rel/"), list_key)
    r.publish(key_file)
    for p in r.folder.rglob("*"):
        if p.is_file():
            fault_server.add("/rel/" + str(p.relative_to(r.folder)), p.read_bytes())
    fault_server.add("/rel/a.txt", b"version 2 of a, with something added")
    before = r.snapshot()

    result = r.update()
    assert result["check"] == "3 files=2"
    assert result["download"] == "5"  # a failed download ...
    assert "copy" not in result
    log = r.log()
    assert "sha256 mismatch [a.txt]" in log
    gets = [q for q in fault_server.seen("/rel/a.txt") if q.method == "GET"]
    assert len(gets) >= 2  # ... fetched again by the retry passes
    assert r.snapshot() == before
    assert not (r.app / "ran.txt").exists()
    assert not (r.app / "mirovane.sequence").exists()


# A document the parser must never see: its signature does not match, and it would be refused
# for its document type declaration if it were ever parsed.
HOSTILE = b"""<?xml version="1.0"?>
<!DOCTYPE update [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">]>
<update><file path="a.txt" ver="&b;"/></update>"""


def test_signature_is_checked_before_the_list_is_parsed(make_product, nginx, keys, tmp_path):
    _, list_key = keys["vendor"]
    nginx.put("rel/list.xml", HOSTILE)
    nginx.put("rel/list.xml.sig", b"AAAA" * 21 + b"AA==")  # 64 bytes, not a signature of it
    nginx.put("rel/main.xml", b"<update/>")
    logs = {}
    for key in (list_key, ""):
        temp = tmp_path / ("signed" if key else "unsigned")
        temp.mkdir()
        product = make_product(check_settings(nginx.url("/rel/list.xml"), nginx.url("/rel/main.xml"), temp,
                                              UPDATEINFO__ListKey=key))
        assert product.run("/checkforupdates") == 0
        logs[bool(key)] = product.log()
    assert "refused: its signature does not match" in logs[True]
    for parsed in ("is not readable XML", "document type declaration", "cannot be read"):
        assert parsed not in logs[True]
    # The same document without a key reaches the parser (the merge reads it first), which refuses it.
    assert "is not readable XML" in logs[False]


# ---------------------------------------------------------------- the real program, whole sessions

from test_session import CHANGED, HOST2, NEW as SESSION_NEW, pack as pack_release, session, tree  # noqa: E402,F401

SESSION_SKIP = ("inst.log", "mirovane.ini", "mirovane.xml", "mirovane.ver", "mirovane.sequence")


def signed_session(session, nginx, keys, configured, tamper=None):
    key_file, list_key = keys["vendor"]
    updateinfo = {"ListURL": nginx.url("/u/mirovane.xml"), "MainListURL": nginx.url("/u/main.xml")}
    if configured:
        updateinfo["ListKey"] = list_key
    s = session(sections={"UPDATEINFO": updateinfo})
    code, out = pack_release(s.v2, nginx.root / "u", "--main-list", "main.xml", "--key", win(key_file))
    assert code == 0, out
    if tamper:
        tamper(nginx.root / "u")
    return s


@pytest.mark.parametrize("configured", [True, False], ids=["with-key", "without-key"])
def test_real_program_updates_a_signed_release(session, nginx, keys, configured):
    s = signed_session(session, nginx, keys, configured)
    s.start_app()
    s.watch()
    assert click_box(s.app, "yes", 60000)
    st, code = s.watched()
    assert (st, code) == ([0, 1, 3, 4, 6, 7, 9, 10, 12, 13], CHANGED), s.log()
    assert tree(s.dir, SESSION_SKIP) == {**SESSION_NEW, s.app: HOST2.read_bytes()}
    assert s.restarted_version() == "version 2"
    sequence = s.dir / "mirovane.sequence"
    assert (sequence.read_bytes() if sequence.exists() else None) == (b"1" if configured else None)
    assert ("signature verified" in s.log()) == configured


def test_real_program_refuses_a_changed_list_and_starts_the_host_again(session, nginx, keys):
    s = signed_session(session, nginx, keys, True,
                       tamper=lambda folder: flip_byte(folder / "mirovane.xml"))
    s.watch()
    st, code = s.watched()
    assert st[:3] == [0, 1, 2] and st[-1] == 13, s.log()
    assert "refused: its signature does not match" in s.log()
    assert tree(s.dir) == s.before
    assert [p for p in s.file_requests() if not p.endswith(".sig")] == []
    assert s.restarted_version() == "version 1"


@pytest.mark.parametrize("staged, installed", [(b"version 2", True), (b"version 2, swapped", False)],
                         ids=["unchanged", "changed-after-download"])
def test_copy_step_checks_the_staged_copy_again(tmp_path, staged, installed):
    """A downloaded file changed in the temporary directory before the copy (an elevated
    relaunch lies between the two) is not installed."""
    from test_install import Setup
    s = Setup(tmp_path)
    s.old({"a.txt": b"version 1"})
    s.new('<update><file path="a.txt" ver="2" sha256="%s"/></update>' % hashlib.sha256(b"version 2").hexdigest().upper(),
          {"a.txt": staged})
    before = s.snapshot()
    result = s.install("version=2.0")
    assert result["copy"] == ("12" if installed else "11")
    after = s.snapshot()
    assert after["a.txt"] == (b"version 2" if installed else b"version 1")
    if not installed:
        assert after == before
    assert ("sha256 mismatch [a.txt]" in s.log()) == (not installed)
