"""The offline update package: version 2 packed by mirovane-pack --bundle onto the product's
own executable (settings embedded), run with no server to answer. The list addresses point at
a closed port, so any request would fail the session; the log shows none was made. Damaged
packages change nothing and say so once."""
import io
import shutil
import socket
import struct
import subprocess
import xml.etree.ElementTree as ET
import zipfile

import pytest

from conftest import BIN, win
from driver import click_box
from test_session import CHANGED, HOST2, NEW, immutable, pack, session, tree, wait_for  # noqa: F401 (fixtures)
from test_signed import GUID, SKIP, keys  # noqa: F401 (the fixture)

WRONG = "Find some wrong in this update package!"
FULL = [0, 1, 3, 4, 6, 7, 9, 10, 12, 13]


def closed_port() -> int:
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def offline(session, **updateinfo):
    """A session whose list addresses answer nothing."""
    base = f"http://127.0.0.1:{closed_port()}/u/"
    return session(sections={"UPDATEINFO": {"ListURL": base + "mirovane.xml", "MainListURL": base + "main.xml",
                                            **updateinfo}})


def bundle(s, updater, *opts, name="bundled.exe"):
    """Packs version 2 (with its main list) and bundles it onto `updater`; returns the new exe."""
    out = s.tmp / name
    code, text = pack(s.v2, s.tmp / f"out-{name}", "--main-list", "main.xml", *opts, "--bundle", win(updater), win(out))
    assert code == 0, text
    assert "bundled " in text, text
    return out


def span(exe):
    """(offset, length) from the trailer."""
    offset, length = struct.unpack("<II", exe.read_bytes()[-20:-12])
    assert exe.read_bytes()[-12:] == b"MirovaneZip1"
    return offset, length


FETCH = "]download:"  # the line each list request writes


def assert_no_request(log):
    assert FETCH not in log, log
    assert "update package" in log and "the update comes from it" in log, log


def test_offline_package_installs_version_2_without_a_server(session):
    s = offline(session)
    s.product.exe = bundle(s, s.product.exe)
    s.watch()
    assert s.watched() == (FULL, CHANGED), s.log()
    assert s.installed_is_new()
    # The installed list is the packed one, the main list merged in.
    packed = ET.parse(s.tmp / "out-bundled.exe" / "mirovane.xml")
    stored = ET.parse(s.dir / "mirovane.xml")
    assert sorted((f.get("path"), f.get("ver")) for f in stored.iter("file")) == \
        sorted((f.get("path"), f.get("ver")) for f in packed.iter("file"))
    log = s.log()
    assert_no_request(log)
    assert WRONG not in log
    assert s.restarted_version() == "version 2"
    # The copy taken out of the executable does not outlive the run.
    assert not list(s.temp.rglob("__package4mirovane*"))


def test_signed_offline_package_verifies_like_a_downloaded_list(session, keys):
    s = offline(session, ListKey=keys["vendor"][1], ListGuid=GUID)
    s.product.exe = bundle(s, s.product.exe, "--key", win(keys["vendor"][0]), "--guid", GUID)
    s.watch()
    assert s.watched() == (FULL, CHANGED), s.log()
    assert tree(s.dir, SKIP) == {**NEW, s.app: HOST2.read_bytes()}
    log = s.log()
    assert log.count("signature verified") == 2, log  # the list and the main list
    assert_no_request(log)
    assert (s.dir / "mirovane.sequence").read_bytes() == b"1"


def flip_in_member(exe, member=b"data.bin"):
    """One byte of a member's compressed data changed (after its local header's name)."""
    data = bytearray(exe.read_bytes())
    offset, _ = span(exe)
    at = data.index(member, offset) + len(member) + 5
    data[at] ^= 0x55
    exe.write_bytes(bytes(data))


def cut_out(exe):
    """A block lost from the middle of the package; the trailer still names the whole."""
    data = exe.read_bytes()
    offset, length = span(exe)
    middle = offset + length // 2
    exe.write_bytes(data[:middle] + data[middle + 4096:])


def not_a_zip(exe):
    """The trailer kept, the package overwritten."""
    data = bytearray(exe.read_bytes())
    offset, length = span(exe)
    data[offset:offset + length] = b"\0" * length
    exe.write_bytes(bytes(data))


@pytest.mark.parametrize("damage", ["one-byte-changed", "truncated", "not-a-zip", "signed-by-another-key",
                                    "offset-out-of-range"])
def test_a_damaged_package_changes_nothing_and_says_so(session, keys, damage):
    signed = damage == "signed-by-another-key"
    s = offline(session, **({"ListKey": keys["vendor"][1], "ListGuid": GUID} if signed else {}))
    opts = ("--key", win(keys["other"][0]), "--guid", GUID) if signed else ()
    exe = s.product.exe = bundle(s, s.product.exe, *opts)
    if damage == "one-byte-changed":
        flip_in_member(exe)
    elif damage == "truncated":
        cut_out(exe)
    elif damage == "not-a-zip":
        not_a_zip(exe)
    elif damage == "offset-out-of-range":
        data = exe.read_bytes()
        exe.write_bytes(data[:-20] + struct.pack("<II", len(data), 10) + b"MirovaneZip0")
    s.watch()
    stages, code = s.watched()
    log = s.log()
    # It went on as without a package: the list was asked of the (closed) server and failed.
    assert (stages, code) == ([0, 1, 2, 13], 0), log
    assert log.count(WRONG) == 1, log
    assert FETCH in log
    assert tree(s.dir) == s.before
    assert not list(s.temp.rglob("__package4mirovane*"))


def test_a_packed_file_that_is_not_the_listed_one_is_never_installed(session, keys):
    """A package rebuilt by someone without the key: the signed list kept as it was (it still
    verifies), one file replaced. The hash check of every unpacked file refuses it as it
    refuses a download, and the session stops before the copy."""
    s = offline(session, ListKey=keys["vendor"][1], ListGuid=GUID)
    exe = s.product.exe = bundle(s, s.product.exe, "--key", win(keys["vendor"][0]), "--guid", GUID)
    data = exe.read_bytes()
    offset, length = span(exe)
    old = zipfile.ZipFile(io.BytesIO(data[offset:offset + length]))
    new = io.BytesIO()
    with zipfile.ZipFile(new, "w", zipfile.ZIP_DEFLATED) as z:
        for info in old.infolist():
            z.writestr(info.filename, b"not the listed bytes" if info.filename == "data.bin" else old.read(info))
    package = new.getvalue()
    exe.write_bytes(data[:offset] + package + struct.pack("<II", offset, len(package)) + b"MirovaneZip1")
    s.watch()
    stages, _ = s.watched()
    log = s.log()
    assert 5 in stages and 10 not in stages, (stages, log)
    assert "sha256 mismatch [" in log and WRONG not in log
    assert_no_request(log)
    assert tree(s.dir) == s.before


def test_access_denied_continues_elevated_from_the_packed_list(session, keys, immutable):
    """The copy started as administrator (Wine cannot elevate: it is denied too and rolls back)
    continues from the saved list, verified again from the packed bytes, without the package
    and without a request."""
    s = offline(session, ListKey=keys["vendor"][1], ListGuid=GUID)
    s.product.exe = bundle(s, s.product.exe, "--key", win(keys["vendor"][0]), "--guid", GUID)
    immutable(s.dir / "data.bin")
    s.watch()
    st, _ = s.watched()
    assert st == [0, 1, 3, 4, 6, 7, 8], s.log()  # the first copy ends without UpdateEnd
    wait_for(lambda: "Start the main program" in s.log() or "not started again" in s.log(), 60, "the elevated copy")
    after = s.log().split("Started as administrator")[1]
    assert "verified again" in after and "Check locked file..." in after, after
    assert FETCH not in after and "update package [" not in after and WRONG not in after, after
    assert tree(s.dir) == s.before


def test_a_window_mode_shows_the_damage_in_a_box(session):
    s = offline(session)
    exe = s.product.exe = bundle(s, s.product.exe)
    flip_in_member(exe)
    assert s.run("/checkforupdates", answer=(WRONG, "ok")) == 0
    assert s.log().count(WRONG) == 1
    assert tree(s.dir) == s.before


def test_bundle_then_embed_keeps_the_package(session, tmp_path):
    """The other order: the plain updater bundled first, the vendor's settings embedded after;
    the embedder carries the package over."""
    s = offline(session)
    bare = bundle(s, BIN / "mirovane.exe", name="bare-bundle.exe")
    settings = s.tmp / "settings.ini"
    shutil.copy(s.product.exe.parent / "settings.ini", settings)
    out = s.tmp / "embedded.exe"
    proc = subprocess.run(["wine", str(BIN / "mirovane-embed.exe"), win(bare), win(settings), win(out)],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert b"is carried over" in proc.stdout
    (o1, l1), (o2, l2) = span(bare), span(out)
    assert out.read_bytes()[o2:o2 + l2] == bare.read_bytes()[o1:o1 + l1]  # the same package, moved
    s.product.exe = out
    s.watch()
    assert s.watched() == (FULL, CHANGED), s.log()
    assert s.installed_is_new()
    assert_no_request(s.log())


def test_bundling_a_bundle_replaces_its_package(session, tmp_path):
    """The updater given to --bundle may carry a package already (last release's bundle): it
    is replaced, not stacked; a dry run writes no bundle."""
    s = offline(session)
    first = bundle(s, s.product.exe, name="first.exe")
    second = bundle(s, first, name="second.exe")
    assert span(second)[0] == span(first)[0] == s.product.exe.stat().st_size
    assert second.read_bytes()[:span(second)[0]] == s.product.exe.read_bytes()
    code, text = pack(s.v2, s.tmp / "dry", "--dry-run", "--bundle", win(s.product.exe), win(s.tmp / "dry.exe"))
    assert code == 0 and "would bundle" in text, text
    assert not (s.tmp / "dry.exe").exists()
    # An updater whose trailer names bytes it does not have is refused.
    broken = s.tmp / "broken.exe"
    broken.write_bytes(s.product.exe.read_bytes() + struct.pack("<II", 0, 10 ** 9) + b"MirovaneZip1")
    code, text = pack(s.v2, s.tmp / "out3", "--bundle", win(broken), win(s.tmp / "third.exe"))
    assert code == 1 and "carries a damaged package" in text, text
    assert not (s.tmp / "third.exe").exists() and not (s.tmp / "out3").exists()  # refused before writing
