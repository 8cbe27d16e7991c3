"""What the elevated updater takes from places a user could write, through the real program:
saved lists planted for the relaunched copy, and files planted where the working directory
used to be. Nothing of the attacker's is installed or run; the application directory holds
the old or the new genuine set."""
import datetime
import os
import shutil
import struct

import pytest

from conftest import DRIVE_C, win
from test_session import HOST2, NEW, session, tree  # noqa: F401 (session: fixture)
from test_signed import SKIP, Signed, keys  # noqa: F401 (keys: fixture)

MARKER = "/___runas_admin___"
EVIL_TASK = "{sys}\\cmd.exe|/c echo evil> {app}\\evil.txt|1"


def _s(text):
    units = text.encode("utf-16-le")
    return struct.pack("<i", len(units) // 2) + units


def _packed(data):
    """Bytes as the saved form keeps them: two to a code unit, the size beside."""
    padded = data + b"\0" * (len(data) % 2)
    return padded.decode("utf-16-le", "surrogatepass"), str(len(data))


def saved_form(properties=(), tasks=(), records=(), stage=6, work_dir=""):
    """The saved download list as the program writes it (little-endian, counted UTF-16)."""
    out = b""
    for k, v in sorted(properties):
        out += _s(k) + _s(v)
    out += _s("!-end------") + struct.pack("<i", len(tasks)) + b"".join(_s(t) for t in tasks)
    for text in ("", "", "{listurl-base}/{filename}", work_dir, ""):  # description ... guid
        out += _s(text)
    out += struct.pack("<ii", stage, len(records))
    for path, ver in records:
        out += b"".join(_s(x) for x in ("", path, "", ver, "", "", "", "")) + struct.pack("<i", 0)
    return out


def sources(*lists):
    """Properties of signed sources: (role, url, bytes, signature) each."""
    props = []
    for n, (role, url, data, sig) in enumerate(lists):
        packed, size = _packed(data)
        props += [(f"source|{n}|role", role), (f"source|{n}|url", url), (f"source|{n}|bytes", packed),
                  (f"source|{n}|size", size), (f"source|{n}|sig", sig.decode())]
    return props


def plant(r, what):
    """Writes the saved list a same-user program would plant for case `what`."""
    folder, s = r.folder, r.s
    genuine = {n: (folder / n).read_bytes() for n in ("mirovane.xml", "mirovane.xml.sig", "main.xml", "main.xml.sig")}
    update = ("update", s.list_url, genuine["mirovane.xml"], genuine["mirovane.xml.sig"])
    main = ("main", s.nginx.url("/u/main.xml"), genuine["main.xml"], genuine["main.xml.sig"])
    evil_list = genuine["mirovane.xml"].replace(b"</update>", b'<file path="evil.txt" ver="1"/></update>')
    planted = [("evil.txt", "1"), ("..\\..\\outside.txt", "1")]
    form = {
        # No signed list at all: records, a task and a sequence that would block every release.
        "no-signed-list": saved_form([("listsequence", "999999")], [EVIL_TASK], planted),
        "changed-list": saved_form(sources(("update", s.list_url, evil_list, genuine["mirovane.xml.sig"]), main),
                                   [EVIL_TASK], planted),
        "roles-swapped": saved_form(sources(("update",) + main[1:], ("main",) + update[1:]), [EVIL_TASK], planted),
        # The genuine lists, with records and a task of the attacker's beside them: the records
        # are rebuilt from the verified lists, so only the genuine release is installed.
        "genuine-lists-planted-records": saved_form(sources(update, main) + [("listsequence", "999999")],
                                                    [EVIL_TASK], planted, work_dir=win(s.temp.parent)),
    }[what]
    s.saved_list().write_bytes(form)


@pytest.mark.parametrize("what, installs, why", [
    ("no-signed-list", False, "could not be verified (it holds no signed list): nothing of it is installed or run"),
    ("changed-list", False, "could not be verified (a signature does not match)"),
    ("roles-swapped", False, "could not be verified (a signature does not match)"),
    ("genuine-lists-planted-records", True, "verified again: "),
])
def test_planted_saved_list_installs_nothing_of_the_attackers(session, nginx, keys, what, installs, why):
    """A same-user program plants the saved list where TempPath points and starts the updater
    with the relaunch marker, as an elevation prompt would. In the last case the genuine
    release is staged in the working directory too, as a first copy leaves it: the copy that
    goes on installs exactly that release and runs only its task."""
    r = Signed(session, nginx, keys)
    work = r.s.saved_list().with_suffix("")
    work.mkdir()
    (work / "evil.txt_").write_bytes(b"evil")
    if installs:
        for rel, data in {**NEW, r.s.app: HOST2.read_bytes()}.items():
            staged = work / (rel + "_")
            staged.parent.mkdir(parents=True, exist_ok=True)
            staged.write_bytes(data)
    plant(r, what)
    before = tree(r.s.dir, ("inst.log", "mirovane.ini"))
    r.s.run("/silence", MARKER)
    log = r.s.log()
    assert why in log, log
    assert not r.s.saved_list().exists()
    assert not (r.s.dir / "evil.txt").exists() and not (r.s.dir.parent / "outside.txt").exists(), log
    assert b"evil" not in (r.s.dir / "mirovane.xml").read_bytes()
    sequence = r.s.dir / "mirovane.sequence"
    if installs:
        assert tree(r.s.dir, SKIP) == {**NEW, r.s.app: HOST2.read_bytes()}, log
        assert r.ran() and sequence.read_bytes() == b"1"
        assert r.s.restarted_version() == "version 2"
    else:
        assert tree(r.s.dir, ("inst.log", "mirovane.ini")) == before
        assert not r.ran() and not sequence.exists()
        assert r.s.restarted_version() == "version 1"
    assert r.s.file_requests() == [] or all(p.endswith(".sig") for p in r.s.file_requests())


def user_temp():
    """The Wine user's own temporary directory, where working files used to live."""
    found = [p for p in DRIVE_C.glob("users/*/AppData/Local/Temp") if p.is_dir()] + \
            [p for p in DRIVE_C.glob("users/*/Temp") if p.is_dir()]
    assert found, "no user temporary directory in the prefix"
    return found[0]


@pytest.mark.parametrize("link", [False, True], ids=["private-directory", "link-in-its-place"])
def test_working_files_planted_in_the_user_temp_are_ignored(session, nginx, keys, tmp_path, link):
    """With no TempPath the elevated updater works in its private directory: a saved list and
    a settings package planted in the user's temporary directory are never read. A link put in
    place of the private directory is refused with a log line, and the application directory
    serves instead, never the user's temporary directory."""
    private = DRIVE_C / "ProgramData" / "Mirovane"
    # The last background refresh is this hour, wherever the stamp is read from.
    hours = (datetime.datetime.now() - datetime.datetime(2011, 1, 1)) // datetime.timedelta(hours=1)
    r = Signed(session, nginx, keys, sections={"Mirovane": {"TempPath": "", "OwerCheckTm": str(hours)}})
    name = r.s.saved_list().name
    planted = [user_temp() / name, user_temp() / name.replace(".lst", ".bin")]
    for p in planted:
        p.write_bytes(saved_form([], [EVIL_TASK], [("evil.txt", "1")]))
    moved = tmp_path / "private-moved"
    if link:
        if private.exists():
            shutil.move(str(private), str(moved))
        (tmp_path / "elsewhere").mkdir()
        os.symlink(tmp_path / "elsewhere", private)
    try:
        if not link:
            private.mkdir(parents=True, exist_ok=True)
            (private / "mirovane.ini").write_bytes(b"[Mirovane]\r\nOwerCheckTm=%d\r\n" % hours)
        r.s.run("/silence", MARKER)
        log = r.s.log()
    finally:
        if link:
            os.unlink(private)
            if moved.exists():
                shutil.move(str(moved), str(private))
    assert all(p.exists() for p in planted), "a planted file was read and removed"
    assert "evil" not in log
    # (With the application directory as working directory its cache files lie there too.)
    installed = tree(r.s.dir, SKIP)
    assert {k: installed.get(k.replace("/", os.sep)) for k in NEW} == NEW, log
    assert installed[r.s.app] == HOST2.read_bytes()
    assert r.ran() and not (r.s.dir / "evil.txt").exists()
    if link:
        assert "the private working directory is refused (C:\\ProgramData\\Mirovane: it is a link): the application " \
               "directory serves instead" in log, log
        assert not any((tmp_path / "elsewhere").iterdir())
    else:
        assert "private working directory" not in log
    for p in planted:
        p.unlink()
