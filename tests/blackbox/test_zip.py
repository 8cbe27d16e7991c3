"""Zip packages: archives made here (Info-ZIP's zip and Python's zipfile) read by the updater."""
import os
import struct
import subprocess
import zipfile

import pytest

from conftest import win
from driver import driver, run_driver


def items(pairs):
    """The unzip command's output as [(item line dict, code)]."""
    out, cur = [], None
    for k, v in pairs:
        if k == "item":
            fields = dict(f.split("=", 1) for f in ("item=" + v).split(" name=")[0].split())
            fields["name"] = v.split(" name=", 1)[1]
            cur = fields
        elif k == "code" and cur is not None:
            out.append((cur, v))
            cur = None
    return out


def make_zip(path, entries, mode=0o644):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=(2020, 5, 17, 10, 30, 0))
            info.external_attr = ((0o40755 if name.endswith("/") else 0o100000 | mode) << 16)
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)
    return path


def test_nested_names_attributes_and_times(tmp_path):
    src = tmp_path / "src"
    (src / "sub" / "inner").mkdir(parents=True)
    (src / "top.txt").write_bytes(b"top")
    deep = src / "sub" / "inner" / "deep.dll"
    deep.write_bytes(os.urandom(50_000))
    ro = src / "sub" / "readonly.txt"
    ro.write_bytes(b"ro")
    os.chmod(ro, 0o444)
    stamp = 1_600_000_000
    for p in (deep, ro, src / "top.txt"):
        os.utime(p, (stamp + 60, stamp))
    subprocess.run(["zip", "-q", "-r", str(tmp_path / "a.zip"), "."], cwd=src, check=True)

    out = tmp_path / "out"
    out.mkdir()
    result = items(run_driver("unzip", win(tmp_path / "a.zip"), "-", win(out)))
    by_name = {i["name"].replace("\\", "/"): (i, code) for i, code in result}
    assert {n for n in by_name} == {"top.txt", "sub/", "sub/inner/", "sub/inner/deep.dll", "sub/readonly.txt"}
    assert all(code == "0" for _, code in by_name.values())
    assert (out / "sub" / "inner" / "deep.dll").read_bytes() == deep.read_bytes()
    assert (out / "top.txt").read_bytes() == b"top"

    attrs = {n: int(i["attrs"], 16) for n, (i, _) in by_name.items()}
    assert attrs["sub/"] & 0x10 and attrs["sub/inner/"] & 0x10
    assert attrs["sub/readonly.txt"] & 0x1 and not attrs["top.txt"] & 0x1
    assert all(a & 0x20 for n, a in attrs.items() if not n.endswith("/"))
    # The extended timestamp gives the exact modification time; Wine keeps it as the Unix mtime.
    assert int(by_name["sub/inner/deep.dll"][0]["mtime"]) == stamp
    assert int((out / "sub" / "inner" / "deep.dll").stat().st_mtime) == stamp


HOSTILE = [
    ("../evil1.txt", "evil1.txt"),
    ("..\\evil2.txt", "evil2.txt"),
    ("/abs.txt", "abs.txt"),
    ("C:\\drive.txt", "drive.txt"),
    ("C:/..\\..\\evil3.txt", "evil3.txt"),
    ("a/../../evil4.txt", "evil4.txt"),
    ("x\\..\\..\\y\\evil5.txt", "y/evil5.txt"),
    ("ok/../fine.txt", "fine.txt"),
]


def test_hostile_names_stay_inside(tmp_path):
    jail = tmp_path / "deep" / "er" / "out"
    jail.mkdir(parents=True)
    make_zip(tmp_path / "h.zip", [(name, name.encode()) for name, _ in HOSTILE])
    before = sorted(p for p in tmp_path.rglob("*"))
    result = items(run_driver("unzip", win(tmp_path / "h.zip"), "-", win(jail)))
    assert [(i["name"].replace("\\", "/"), code) for i, code in result] == [(safe, "0") for _, safe in HOSTILE]
    for name, safe in HOSTILE:
        assert (jail / safe).read_bytes() == name.encode()
    outside = [p for p in tmp_path.rglob("*") if p not in before and jail not in p.parents and p != jail]
    assert outside == []


def test_encrypted_items(tmp_path):
    (tmp_path / "secret.txt").write_bytes(b"classified " * 500)
    subprocess.run(["zip", "-q", "-P", "pa55word", "e.zip", "secret.txt"], cwd=tmp_path, check=True)
    for password, code in [("pa55word", "0"), ("wrong", "1000"), ("-", "1000"), ("PA55WORD", "1000")]:
        out = tmp_path / f"out-{password}"
        out.mkdir()
        result = items(run_driver("unzip", win(tmp_path / "e.zip"), password, win(out)))
        assert [c for _, c in result] == [code], password
        assert (out / "secret.txt").exists() == (code == "0")
    assert (tmp_path / "out-pa55word" / "secret.txt").read_bytes() == b"classified " * 500


def flip(path, offset):
    data = bytearray(path.read_bytes())
    data[offset] ^= 0x5A
    path.write_bytes(bytes(data))


def data_offset(path, index=0):
    with zipfile.ZipFile(path) as z:
        info = z.infolist()[index]
    raw = path.read_bytes()
    name_len, extra_len = struct.unpack("<HH", raw[info.header_offset + 26:info.header_offset + 30])
    return info.header_offset + 30 + name_len + extra_len, info


@pytest.mark.parametrize("compression", [zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED], ids=["stored", "deflated"])
def test_flipped_byte_is_corrupt_and_leaves_nothing(tmp_path, compression):
    path = tmp_path / "c.zip"
    with zipfile.ZipFile(path, "w", compression) as z:
        z.writestr("data.bin", bytes(range(256)) * 200)
    start, info = data_offset(path)
    flip(path, start + info.compress_size // 2)
    out = tmp_path / "out"
    out.mkdir()
    assert [c for _, c in items(run_driver("unzip", win(path), "-", win(out)))] == ["5000000"]
    assert list(out.iterdir()) == []
    # The single-item unpack of a download also leaves no target behind.
    target = tmp_path / "data.bin"
    target.write_bytes(b"old")
    assert driver("unzipfirst", win(path), win(target))["ok"] == "0"
    assert not target.exists()


def test_item_larger_than_declared_is_stopped(tmp_path):
    """A bomb: the data inflates to far more than the size the archive declares."""
    path = tmp_path / "b.zip"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("bomb.bin", b"\0" * 5_000_000)
    raw = bytearray(path.read_bytes())
    for sig, off in ((b"PK\x03\x04", 22), (b"PK\x01\x02", 24)):  # uncompressed size fields
        at = raw.find(sig)
        raw[at + off:at + off + 4] = struct.pack("<I", 1000)
    path.write_bytes(bytes(raw))
    out = tmp_path / "out"
    out.mkdir()
    assert [c for _, c in items(run_driver("unzip", win(path), "-", win(out)))] == ["5000000"]
    assert list(out.iterdir()) == []
    mem = run_driver("unzipmem", win(path), "-", "bomb.bin", 4096, win(tmp_path / "mem.bin"))
    assert dict(mem)["code"] == "5000000"
    assert (tmp_path / "mem.bin").stat().st_size <= 1000


@pytest.mark.parametrize("size, bufsize", [(100_000, 7000), (21_000, 7000), (10, 4096), (0, 16)])
def test_extract_to_memory_in_parts(tmp_path, size, bufsize):
    body = os.urandom(size)
    path = make_zip(tmp_path / "m.zip", [("dir/first.txt", b"first"), ("dir/Payload.bin", body)])
    out = dict(run_driver("unzipmem", win(path), "-", "DIR\\payload.bin", bufsize, win(tmp_path / "got.bin")))
    assert out["index"] == "1" and out["code"] == "0"
    assert int(out["parts"]) == max(1, -(-size // bufsize))
    assert (tmp_path / "got.bin").read_bytes() == body


def end_record(raw):
    return raw.rfind(b"PK\x05\x06")


def pad_to(path, size):
    """Pads an archive to `size` bytes with an archive comment."""
    raw = bytearray(path.read_bytes())
    extra = size - len(raw)
    assert extra >= 0
    eocd = end_record(raw)
    raw[eocd + 20:eocd + 22] = struct.pack("<H", extra)
    path.write_bytes(bytes(raw) + b"c" * extra)


def test_extract_first_item(tmp_path):
    # An empty file from Info-ZIP unpacks to an empty target.
    (tmp_path / "empty.dat").write_bytes(b"")
    subprocess.run(["zip", "-q", "e.zip", "empty.dat"], cwd=tmp_path, check=True)
    target = tmp_path / "t" / "empty.dat"
    target.parent.mkdir()
    assert driver("unzipfirst", win(tmp_path / "e.zip"), win(target))["ok"] == "1"
    assert target.read_bytes() == b""

    # Item 0 of a download replaces an older target, read-only or not.
    path = make_zip(tmp_path / "f.zip", [("f.dll", b"new content"), ("other", b"x")])
    target = tmp_path / "f.dll"
    target.write_bytes(b"old")
    os.chmod(target, 0o444)
    assert driver("unzipfirst", win(path), win(target))["ok"] == "1"
    assert target.read_bytes() == b"new content"

    # An item that declares more than the limit is refused before a byte is written: a zipped
    # form can never fill the disk.
    big = make_zip(tmp_path / "big.zip", [("big.dat", bytes(8 << 20))])
    out = driver("unzipfirst", win(big), win(tmp_path / "big.dat"), str(1 << 20))
    assert out["ok"] == "0" and "more than the limit of 1048576" in out["why"]
    assert not (tmp_path / "big.dat").exists()
    assert driver("unzipfirst", win(big), win(tmp_path / "big.dat"), str(8 << 20))["ok"] == "1"

    # Not an archive: false, and the target is gone.
    (tmp_path / "bad.zip").write_bytes(b"<html>404</html>")
    assert driver("unzipfirst", win(tmp_path / "bad.zip"), win(target))["ok"] == "0"
    assert not target.exists()


@pytest.mark.parametrize("payload, ok", [(b"", True), (b"12345", False)], ids=["empty-item", "data-item"])
def test_158_byte_archive_rule(tmp_path, payload, ok):
    """A 158-byte archive whose item fails stands for an empty file, but only when its item is empty."""
    path = tmp_path / "p.zip"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        z.writestr("e.txt", payload)
    raw = bytearray(path.read_bytes())
    for sig, off in ((b"PK\x03\x04", 14), (b"PK\x01\x02", 16)):  # a CRC that cannot match
        at = raw.find(sig)
        raw[at + off:at + off + 4] = b"\x01\x02\x03\x04"
    path.write_bytes(bytes(raw))
    pad_to(path, 158)
    target = tmp_path / "e.txt"
    assert driver("unzipfirst", win(path), win(target))["ok"] == ("1" if ok else "0")
    assert target.exists() == ok
    if ok:
        assert target.read_bytes() == b""


@pytest.mark.parametrize("count, opened", [(65535, True), (65536, False)])
def test_entry_count_is_capped(tmp_path, count, opened):
    """Every entry costs memory in a 32-bit process: more than 65535 (a zip64 directory) is refused."""
    path = tmp_path / "many.zip"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        for i in range(count):
            z.writestr(zipfile.ZipInfo(f"{i}", date_time=(2020, 1, 1, 0, 0, 0)), b"")
    out = driver("unzipmem", win(path), "-", "0", "16", win(tmp_path / "out.bin"))
    if opened:
        assert out["index"] == "0" and out["code"] == "0"
    else:
        assert out == {"open": "0 last=5000000"}  # ZR_CORRUPT
