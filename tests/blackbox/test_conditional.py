"""Checks that cost the server almost nothing: a second check of an unchanged release asks
"has it changed?" (If-None-Match / If-Modified-Since) and gets 304s; a changed list, or a
cached copy that is gone or damaged, is fetched in full. Through the real program and nginx."""
import io
import re
import zipfile

import pytest

from test_check import cache_path, install, settings

LIST = b'<update><file path="a.dll" ver="2"/><file path="b.dll" ver="1"/></update>'
MAIN = b'<update><file path="m.dat" ver="1"/></update>'
INSTALLED = b'<update><file path="a.dll" ver="1"/><file path="b.dll" ver="1"/><file path="m.dat" ver="1"/></update>'


def lines(log: str):
    """Log lines without their time stamps."""
    return [re.sub(r"^\[[^\]]*\]", "", line) for line in log.splitlines()]


def product_for(make_product, nginx, tmp_path, list_path="c/l.xml", main_path="c/m.xml"):
    list_url = nginx.url("/" + list_path)
    product = make_product(settings(list_url, nginx.url("/" + main_path), tmp_path))
    install(product, INSTALLED, ["a.dll", "b.dll", "m.dat"])
    return product, list_url


def requests_since(nginx, n):
    return [(r.path, r.status) for r in nginx.requests()[n:]]


def test_second_check_of_unchanged_release_gets_304s(make_product, nginx, tmp_path):
    nginx.put("c/l.xml", LIST)
    nginx.put("c/m.xml", MAIN)
    product, list_url = product_for(make_product, nginx, tmp_path)
    assert product.run("/checkforupdates") == 1
    first_log = lines(product.log())
    assert requests_since(nginx, 0) == [("/c/l.xml", 200), ("/c/m.xml", 200)]

    assert product.run("/checkforupdates") == 1
    second = nginx.requests()[2:]
    assert [(r.path, r.status) for r in second] == [("/c/l.xml", 304), ("/c/m.xml", 304)]
    assert all(r.headers.get("if-none-match") and r.headers.get("if-modified-since") for r in second)
    assert sum(r.sent for r in second) <= 1024
    # The same answer and the same log as the first check.
    assert lines(product.log())[len(first_log):] == first_log

    # Emptying the temporary files takes the kept lists and their values too.
    kept = cache_path(tmp_path, list_url, "")
    assert sorted(p.name[len(kept.name):] for p in tmp_path.glob(kept.name + "*")) == [
        ".xml", ".xml.main.xml", ".xml.main.xml.meta", ".xml.src.xml", ".xml.src.xml.meta", ".xml.xml"]
    assert product.run("/emptytemp") == 0
    assert list(tmp_path.glob(kept.name + "*")) == []


def test_changed_list_is_fetched_in_full(make_product, nginx, tmp_path):
    nginx.put("c/l.xml", LIST)
    nginx.put("c/m.xml", MAIN)
    product, list_url = product_for(make_product, nginx, tmp_path)
    assert product.run("/checkforupdates") == 1
    # A new release (another size, so another ETag even within the same second).
    nginx.put("c/l.xml", LIST.replace(b'ver="1"/>', b'ver="2" />'))
    assert product.run("/checkforupdates") == 2
    assert requests_since(nginx, 2) == [("/c/l.xml", 200), ("/c/m.xml", 304)]
    assert b'ver="2" ' in cache_path(tmp_path, list_url, ".xml.src.xml").read_bytes()


@pytest.mark.parametrize("harm", ["deleted", "damaged", "meta-damaged"])
def test_lost_or_damaged_copy_is_fetched_in_full(make_product, nginx, tmp_path, harm):
    nginx.put("c/l.xml", LIST)
    nginx.put("c/m.xml", MAIN)
    product, list_url = product_for(make_product, nginx, tmp_path)
    assert product.run("/checkforupdates") == 1
    copy = cache_path(tmp_path, list_url, ".xml.src.xml")
    if harm == "deleted":
        copy.unlink()
    elif harm == "damaged":
        copy.write_bytes(LIST.replace(b'ver="2"', b'ver="3"'))  # same size, other bytes
    else:
        meta = copy.with_name(copy.name + ".meta")
        meta.write_bytes(re.sub(rb"hash=\d+", b"hash=1", meta.read_bytes()))
    # The server would answer 304 to the validators it sent; the check does not ask that way.
    assert product.run("/checkforupdates") == 1
    second = nginx.requests()[2:]
    assert [(r.path, r.status) for r in second] == [("/c/l.xml", 200), ("/c/m.xml", 304)]
    assert "if-none-match" not in second[0].headers
    assert copy.read_bytes() == LIST


def zipped(name, data):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(name, data)
    return buf.getvalue()


def test_zipped_form_first_only_when_found_and_one_404_a_day(make_product, nginx, tmp_path):
    # The list only in its zipped form, the main list only plain.
    nginx.put("z/l.xml._.zip", zipped("l.xml", LIST))
    nginx.put("z/m.xml", MAIN)
    product, _ = product_for(make_product, nginx, tmp_path, "z/l.xml", "z/m.xml")
    assert product.run("/checkforupdates") == 1
    assert requests_since(nginx, 0) == [("/z/l.xml", 404), ("/z/l.xml._.zip", 200), ("/z/m.xml", 200)]
    # The last check found the zipped list: it is asked first, and conditionally.
    assert product.run("/checkforupdates") == 1
    assert requests_since(nginx, 3) == [("/z/l.xml._.zip", 304), ("/z/m.xml", 304)]

    # Neither form there any more: the zipped form is asked for at most once this day.
    (nginx.root / "z/l.xml._.zip").unlink()
    assert product.run("/checkforupdates") == 0
    assert requests_since(nginx, 5) == [("/z/l.xml._.zip", 404), ("/z/l.xml", 404)]
    assert product.run("/checkforupdates") == 0
    assert requests_since(nginx, 7) == [("/z/l.xml", 404)]
