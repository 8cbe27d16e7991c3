"""List cache files: the settings package and the hidden refresh copy."""
import shutil
import subprocess
import time

import pytest

from conftest import BIN, CLOSED, list_cache_name, win
from driver import driver

PASSWORD = "Mirovane-Fields-2011"  # agreed with the package producer (README)
LIST_URL = CLOSED + "/update/list.xml"


def make_package(temp, xml: bytes, password=PASSWORD, entry="fields.xml"):
    work = temp / "make"
    work.mkdir(exist_ok=True)
    (work / entry).write_bytes(xml)
    package = temp / (list_cache_name(LIST_URL + "9999999999") + ".bin")
    subprocess.run(["zip", "-q", "-P", password, str(package), entry], cwd=work, check=True)
    shutil.rmtree(work)
    return package


FIELDS = b'<?xml version="1.0" encoding="windows-1252"?>\r\n<fields>\r\n <threadcount>80</threadcount>\r\n' \
         b' <filethread>0</filethread>\r\n <updateurl>' + LIST_URL.encode() + b'</updateurl>\r\n</fields>\r\n'


@pytest.mark.parametrize("password, entry, xml, result, limits, values", [
    (PASSWORD, "fields.xml", FIELDS, "1", "filesAtOnce=50 connectionsPerFile=1", ["[80]", "[0]"]),
    (PASSWORD, "fields.xml", FIELDS.replace(b">80<", b">3<").replace(b">0<", b">250<"), "1",
     "filesAtOnce=3 connectionsPerFile=100", ["[3]", "[250]"]),
    ("not-ours", "fields.xml", FIELDS, "0", "filesAtOnce=8 connectionsPerFile=8", ["(none)", "(none)"]),
    (PASSWORD, "other.xml", FIELDS, "0", "filesAtOnce=8 connectionsPerFile=8", ["(none)", "(none)"]),
    (PASSWORD, "fields.xml", b"<fields><threadcount>80", "0", "filesAtOnce=8 connectionsPerFile=8", ["(none)", "(none)"]),
], ids=["clamped", "in-range", "wrong-password", "wrong-entry", "malformed"])
def test_settings_package(tmp_path, password, entry, xml, result, limits, values):
    make_package(tmp_path, xml, password, entry)
    out = driver("loadpackage", win(tmp_path), LIST_URL, "threadcount", "filethread")
    assert out["result"] == result
    assert "filesAtOnce=" + out["filesAtOnce"] == limits
    assert [out["threadcount"], out["filethread"]] == values


@pytest.mark.parametrize("tag, word", [(False, "downparam0"), (True, "downparam1")])
def test_refresh_starts_hidden_copy(tmp_path, tag, word):
    app = tmp_path / "app"
    app.mkdir()
    out = driver("refresh", win(app) + "\\", *(["tag"] if tag else []))
    assert out["stamp"] == out["now"]
    note = app / "refreshed.txt"
    end = time.monotonic() + 30
    while not note.exists() and time.monotonic() < end:
        time.sleep(0.1)
    assert note.read_text() == f"{word} show=0"  # SW_HIDE


def test_package_never_names_a_hook(make_product, tmp_path):
    """The package lies where any user may write; a hook key in it must not make the updater run
    anything (the wait-close hook would be waited for, so its absence is certain at exit)."""
    marker = tmp_path / "hooked.txt"
    (tmp_path / "evil.bat").write_bytes(f'@echo hooked> "{win(marker)}"\r\n'.encode())
    hook = win(tmp_path / "evil.bat").encode()
    make_package(tmp_path, b"<fields><threadcount>2</threadcount><UpdateEventUpdateNone>" + hook +
                 b"</UpdateEventUpdateNone><UpdateEventWaitCloseUpdateNone>" + hook +
                 b"</UpdateEventWaitCloseUpdateNone><UpdateEventWaitCloseUpdateStartup>" + hook +
                 b"</UpdateEventWaitCloseUpdateStartup></fields>")
    product = make_product({"Mirovane": {"TempPath": win(tmp_path)}, "UPDATEINFO": {"ListURL": LIST_URL}})
    assert product.run("/downparam0") == 0
    assert "Run mode [downparam0]" in product.log()
    assert "Run file" not in product.log()
    assert not marker.exists()


def test_emptytemp_removes_links_never_their_targets(make_product, tmp_path):
    """A directory link in the cache directory (a Unix link shows under Wine as a directory with
    the reparse-point attribute) is removed as a link, never entered."""
    precious = tmp_path / "precious"
    (precious / "deep").mkdir(parents=True)
    (precious / "keep.txt").write_text("keep")
    (precious / "deep" / "keep.txt").write_text("keep")
    cache = tmp_path / list_cache_name(LIST_URL + "9999999999")
    (cache / "sub").mkdir(parents=True)
    (cache / "sub" / "a.dll_").write_text("a")
    (cache / "b.dll_").write_text("b")
    (cache / "link").symlink_to(precious, target_is_directory=True)
    (cache / "sub" / "link").symlink_to(precious / "deep", target_is_directory=True)
    product = make_product({"Mirovane": {"TempPath": win(tmp_path)}, "UPDATEINFO": {"ListURL": LIST_URL}})

    assert product.run("/emptytemp") == 0
    assert (precious / "keep.txt").read_text() == "keep"
    assert (precious / "deep" / "keep.txt").read_text() == "keep"
    assert not (cache / "b.dll_").exists() and not (cache / "sub" / "a.dll_").exists()

    # The cache directory itself a link: the same.
    shutil.rmtree(cache, ignore_errors=True)
    if cache.is_symlink():
        cache.unlink()
    cache.symlink_to(precious, target_is_directory=True)
    assert product.run("/emptytemp") == 0
    assert (precious / "keep.txt").read_text() == "keep"
    assert (precious / "deep" / "keep.txt").read_text() == "keep"
