"""Signed update lists and verified files, through the real program: the sample host watches a
silent session while nginx serves version 2 packed and signed by mirovane-pack, or the fault
server stands between them as a man in the middle. Stages, the log, the application
directory byte for byte, the task the list asks for, the host program started again."""
import datetime
import hashlib
import pathlib
import re
import subprocess

import pytest

from conftest import BIN, win
from driver import click_box
from test_check import settings as check_settings
from test_session import CHANGED, HOST2, NEW, pack as pack_release, session, tree, wait_for  # noqa: F401 (session: fixture)

GUID = "{6F1C2A3B-0000-4000-8000-00000000A1B2}"
RUNS = "{sys}\\cmd.exe | /c echo ran> {app}\\ran.txt | 1\n"
SKIP = ("inst.log", "mirovane.ini", "mirovane.xml", "mirovane.ver", "mirovane.sequence", "ran.txt")


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


class Signed:
    """A session (test_session.Session) whose version 2 is packed and signed into the folder
    nginx serves, with a task that leaves ran.txt in the application directory."""

    def __init__(self, session, nginx, keys, configured=True, base_url=None, sections=None):
        self.nginx, self.keys = nginx, keys
        base = base_url or nginx.url("/u/")
        updateinfo = {"ListURL": base + "mirovane.xml", "MainListURL": base + "main.xml"}
        if configured:
            updateinfo.update(ListKey=keys["vendor"][1], ListGuid=GUID)
        self.s = session(sections={"UPDATEINFO": updateinfo, **(sections or {})})
        self.folder = nginx.root / "u"
        self.publish()

    def publish(self, key="vendor", *opts):
        runs = self.s.tmp / "runs.txt"
        runs.write_text(RUNS, encoding="utf-8")
        code, out = pack_release(self.s.v2, self.folder, "--main-list", "main.xml", "--runs", win(runs), "--guid", GUID,
                                 "--key", win(self.keys[key][0]), *opts)
        assert code == 0, out

    def run(self):
        self.s.watch()
        return self.s.watched()

    def ran(self):
        return (self.s.dir / "ran.txt").exists()


def flip_byte(path: pathlib.Path):
    """Changes one byte: the list's sequence, 1 to 2."""
    data = re.sub(rb"<sequence>(\d)<", lambda m: b"<sequence>%d<" % (int(m.group(1)) + 1), path.read_bytes(), count=1)
    assert data != path.read_bytes()
    path.write_bytes(data)


@pytest.mark.parametrize("configured", [True, False], ids=["with-key", "without-key"])
def test_signed_release_updates_version_1_to_2(session, nginx, keys, configured):
    """The same signed release installs with the key configured and, as before, without it."""
    r = Signed(session, nginx, keys, configured)
    signed = (r.folder / "mirovane.xml").read_text(encoding="utf-8")
    assert signed.count('sha256="') == CHANGED + 1 and "<sequence>1</sequence>" in signed  # same.txt too
    r.s.start_app()
    r.s.watch()
    assert click_box(r.s.app, "yes", 60000)
    assert r.s.watched() == ([0, 1, 3, 4, 6, 7, 9, 10, 12, 13], CHANGED), r.s.log()
    assert tree(r.s.dir, SKIP) == {**NEW, r.s.app: HOST2.read_bytes()}
    assert r.ran()
    assert r.s.restarted_version() == "version 2"
    sequence = r.s.dir / "mirovane.sequence"
    assert (sequence.read_bytes() if sequence.exists() else None) == (b"1" if configured else None)
    assert r.s.log().count("signature verified") == (2 if configured else 0)


def refuse(r, what):
    """Tampering of each refusal case (the release was packed and signed with sequence 1)."""
    if what == "one-byte-changed":
        flip_byte(r.folder / "mirovane.xml")
    elif what == "another-key":
        r.publish("other")
    elif what == "missing-sig":
        (r.folder / "mirovane.xml.sig").unlink()
    elif what == "malformed-sig":
        (r.folder / "mirovane.xml.sig").write_bytes(b"not a signature")
    elif what == "unsigned-main-list":
        (r.folder / "main.xml.sig").unlink()
    elif what == "replayed-older":
        (r.s.dir / "mirovane.sequence").write_bytes(b"2")
    elif what == "expired":
        # The tool refuses a time already past, so the list expires a moment after packing.
        soon = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0) + datetime.timedelta(seconds=2)
        r.publish("vendor", "--sequence", "1", "--expires", soon.strftime("%Y-%m-%dT%H:%M:%SZ"))
        wait_for(lambda: datetime.datetime.now(datetime.timezone.utc) > soon, 10, "the expiry to pass")
    elif what == "other-product":
        r.publish("vendor", "--sequence", "1", "--guid", "{00000000-0000-4000-8000-000000000000}")
    elif what == "old-main-list":
        # Release 2 is installed; release 3 is served with release 1's signed main list.
        old = {n: (r.folder / n).read_bytes() for n in ("main.xml", "main.xml.sig")}
        (r.s.dir / "mirovane.sequence").write_bytes(b"2")
        r.publish("vendor", "--sequence", "3")
        for n, data in old.items():
            (r.folder / n).write_bytes(data)
    elif what in ("update-list-as-main", "main-list-as-update"):
        src, dst = ("mirovane.xml", "main.xml") if what == "update-list-as-main" else ("main.xml", "mirovane.xml")
        for ext in ("", ".sig"):
            (r.folder / (dst + ext)).write_bytes((r.folder / (src + ext)).read_bytes())
    elif what == "older-than-the-installed-list":
        # No stored sequence: the installed list alone says release 5 is installed.
        installed = r.s.dir / "mirovane.xml"
        installed.write_bytes(installed.read_bytes().replace(b"<update>", b"<update><sequence>5</sequence>", 1))
        assert b"<sequence>5" in installed.read_bytes()


REFUSALS = {
    "one-byte-changed": "mirovane.xml] refused: its signature does not match",
    "another-key": "mirovane.xml] refused: its signature does not match",
    "missing-sig": "mirovane.xml] refused: its signature could not be fetched (HTTP status 404)",
    "malformed-sig": "mirovane.xml] refused: its signature is malformed",
    "unsigned-main-list": "main.xml] refused: its signature could not be fetched (HTTP status 404)",
    "replayed-older": "refused: the list is older than the installed release (sequence 1, installed 2)",
    "expired": "refused: the list expired on ",
    "other-product": "refused: the list belongs to another product",
    "old-main-list": "main.xml] refused: the list is older than the installed release (sequence 1, installed 2)",
    "update-list-as-main": "main.xml] refused: its signature does not match",
    "main-list-as-update": "mirovane.xml] refused: its signature does not match",
    "older-than-the-installed-list": "refused: the list is older than the installed release (sequence 1, installed 5)",
}


@pytest.mark.parametrize("what", list(REFUSALS))
def test_tampered_release_is_refused_and_changes_nothing(session, nginx, keys, what):
    r = Signed(session, nginx, keys)
    refuse(r, what)
    before = tree(r.s.dir, ("inst.log", "mirovane.ini"))
    stages, code = r.run()
    assert stages[:3] == [0, 1, 2] and stages[-1] == 13 and code == 0, r.s.log()
    assert REFUSALS[what] in r.s.log()
    assert tree(r.s.dir, ("inst.log", "mirovane.ini")) == before
    assert not r.ran()
    assert [p for p in r.s.file_requests() if not p.endswith(".sig")] == []  # nothing downloaded
    assert r.s.restarted_version() == "version 1"


def test_file_changed_by_a_man_in_the_middle_is_never_installed(session, nginx, keys, fault_server):
    """The lists and their signatures pass through untouched; one file's bytes are replaced."""
    r = Signed(session, nginx, keys, base_url=fault_server.url("/u/"))
    for p in r.folder.rglob("*"):
        if p.is_file():
            fault_server.add("/u/" + str(p.relative_to(r.folder)), p.read_bytes())
    fault_server.add("/u/data.bin", b"new data" * 499 + b"evil" * 2)
    fault_server.add("/u/data.bin._.zip")  # 404: the plain file is fetched
    before = tree(r.s.dir, ("inst.log", "mirovane.ini"))
    stages, code = r.run()
    assert stages[:5] == [0, 1, 3, 4, 5] and stages[-1] == 13, r.s.log()
    assert "sha256 mismatch [data.bin]" in r.s.log()
    assert len([q for q in fault_server.seen("/u/data.bin") if q.method == "GET"]) >= 2  # retried by later passes
    assert tree(r.s.dir, ("inst.log", "mirovane.ini")) == before
    assert not r.ran()
    assert r.s.restarted_version() == "version 1"


def test_list_files_rewritten_during_the_session_are_never_used(session, nginx, keys, tmp_path):
    """Once a list has verified, only its bytes count. A same-user process rewrites every list
    file of the temporary directory while the session runs (here a hook of the local-check
    stage, which the session waits for): the installed mirovane.xml is still the verified list
    and only its task runs."""
    evil = tmp_path / "evil.xml"
    evil.write_bytes(b'<?xml version="1.0"?><update><run path="{sys}\\cmd.exe" param="/c echo evil> {app}\\evil.txt" '
                     b'wait="1"/><file path="evil.txt" ver="9"/></update>')
    hook, rewritten = tmp_path / "rewrite.bat", tmp_path / "rewritten.txt"
    temp = tmp_path / "s0" / "temp"  # the session's temporary directory
    # Wine's cmd takes no quotes around the wildcard; the test paths hold no spaces.
    hook.write_bytes(b"@for %%%%f in (%s\\*.xml) do @copy /y %s %%%%f >nul\r\n"
                     b"@for %%%%f in (%s\\*.xml) do @echo %%%%f>> %s\r\n"
                     % (win(temp).encode(), win(evil).encode(), win(temp).encode(), win(rewritten).encode()))
    r = Signed(session, nginx, keys, sections={"UpdateEventWaitClose": {"UpdateCheckLocal": win(hook)}})
    stages, _ = r.run()
    assert stages[-2:] == [12, 13], r.s.log()
    assert r.s.log().count("signature verified") == 2
    assert ".xml" in rewritten.read_text(), "the hook rewrote no list file"
    installed = (r.s.dir / "mirovane.xml").read_bytes()
    assert b"evil" not in installed and b"data.bin" in installed
    assert r.ran() and not (r.s.dir / "evil.txt").exists()
    assert r.s.restarted_version() == "version 2"


def test_detailed_exit_code_and_the_outcome_line(session, nginx, keys, fault_server):
    """With [Mirovane] DetailedExitCode=1 a script tells the results apart: a refused list, a
    file refused for its hash, an install, then nothing to do. Every run logs its outcome last."""
    detailed = {"Mirovane": {"DetailedExitCode": "1"}}
    refused = Signed(session, nginx, keys, sections=detailed)
    refuse(refused, "one-byte-changed")
    assert refused.run()[1] == 10
    assert refused.s.log().rstrip().splitlines()[-1].endswith(
        "Outcome [10]: failed at the check: the list could not be fetched, read or trusted")

    r = Signed(session, nginx, keys, base_url=fault_server.url("/u/"), sections=detailed)
    for p in r.folder.rglob("*"):
        if p.is_file():
            fault_server.add("/u/" + str(p.relative_to(r.folder)), p.read_bytes())
    fault_server.add("/u/data.bin", b"new data" * 499 + b"evil" * 2)
    fault_server.add("/u/data.bin._.zip")
    assert r.run()[1] == 11
    assert "Outcome [11]: failed at the download: 1 of 4 files not downloaded, nothing installed" in r.s.log()

    fine = Signed(session, nginx, keys, sections=detailed)
    assert fine.run()[1] == 2
    assert fine.s.log().rstrip().splitlines()[-1].endswith("Outcome [2]: installed 4 of 4 files")
    assert fine.run()[1] == 0
    assert fine.s.log().rstrip().splitlines()[-1].endswith("Outcome [0]: nothing to update")


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


def test_lists_and_signatures_go_through_the_configured_proxy(make_product, nginx, keys, http_proxy, tmp_path):
    """Behind a proxy a signed release is checked as without one: the lists and their
    signatures all pass through the proxy, each with the product's agent."""
    release = tmp_path / "release"
    release.mkdir()
    (release / "a.txt").write_bytes(b"version 2")
    code, out = pack_release(release, nginx.root / "px", "--main-list", "main.xml", "--guid", GUID,
                             "--key", win(keys["vendor"][0]))
    assert code == 0, out
    temp = tmp_path / "temp"
    temp.mkdir()
    list_url, main_url = nginx.url("/px/mirovane.xml"), nginx.url("/px/main.xml")
    product = make_product(check_settings(list_url, main_url, temp, UPDATEINFO__ListKey=keys["vendor"][1],
                                          UPDATEINFO__ListGuid=GUID, Mirovane__Proxy=http_proxy.address))
    assert product.run("/checkforupdates") >= 1, product.log()  # a.txt to update
    assert product.log().count("signature verified") == 2
    relayed = [(r.path, r.agent) for r in http_proxy.requests]
    for url in (list_url, list_url + ".sig", main_url, main_url + ".sig"):
        assert (url, "Mirovane/2") in relayed, relayed
    # Nothing went around the proxy.
    assert sorted(nginx.url(r.path) for r in nginx.requests()) == sorted(path for path, _ in relayed)


@pytest.mark.parametrize("staged, installed", [(b"version 2", True), (b"version 2, swapped", False)],
                         ids=["unchanged", "changed-after-download"])
def test_copy_step_checks_the_staged_copy_again(tmp_path, staged, installed):
    """A downloaded file changed in the temporary directory before the copy (an elevated
    relaunch lies between the two) is not installed. Through the core driver's install step."""
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
