"""The remote check through the real program: /checkforupdates and friends against nginx and
the fault-injecting server; exit code, log, cache files and what the servers saw."""
import re
import time

import pytest

from conftest import CLOSED, OMRA, list_cache_name, seed_check_stamp, win
from driver import driver

CHECKSUM = "0123456789abcdef0123456789abcdef"
TOO_BIG = "2147483647"


def settings(list_url, main_url, temp, **extra):
    """Settings of a product whose last background refresh is this hour (so that only a quick
    check starts the hidden copy)."""
    seed_check_stamp(temp)
    s = {"Mirovane": {"Mode": "", "ShowWhenCheck": "0", "QuickCheck": "0", "CheckLostFile": "1",
                      "TempPath": win(temp), "TimeOut": "20"},
         "UPDATEINFO": {"ListURL": list_url, "MainListURL": main_url},
         "APPLICATION": {"Ver": "1.0"}}
    for key, value in extra.items():
        section, name = key.split("__")
        s.setdefault(section, {})[name] = value
    return s


def cache_path(temp, list_url, suffix=".xml"):
    return temp / (list_cache_name(list_url + "9999999999") + suffix)


def install(product, installed_xml: bytes, files=()):
    product.app_dir.mkdir(parents=True, exist_ok=True)
    (product.app_dir / "mirovane.xml").write_bytes(installed_xml)
    for f in files:
        p = product.app_dir / f
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(b"x")


REMOTE = b"""<?xml version="1.0"?>
<update>
 <file path="a.dll" ver="2"/>
 <file path="b.dll" ver="2"/>
 <file path="C.dll" ver="2"/>
 <file path="d.dll"/>
 <file path="e.dll" ver=" 1.0.A "/>
 <file path="lost.dll" ver="1" desname="lost.dll;lost2.dll"/>
 <file path="rm.dll" ver="1" oper="del"/>
 <run path="t.exe" param="-s" wait="1" key="k"/>
 <description>Hello</description>
</update>"""
MAIN = b"""<update><file path="{agentName}/x.dll"/><file path="y.dll" ver="1" desname="{zrdir}.dll"/>
<group><file path="z.dll" ver="1"/></group></update>"""
INSTALLED = ("""<update>
 <file path="a.dll" ver="2"/><file path="b.dll" ver="1"/><file path="c.dll" ver="2"/>
 <file path="e.dll" ver="1.0.a"/><file path="lost.dll" ver="1" desname="lost.dll;lost2.dll"/>
 <file path="rm.dll" ver="1" oper="del"/><run path="t.exe" param="-s" wait="1" key="k"/>
 <file path="y.dll" ver="1" desname="{zrdir}.dll"/><file path="kd/x.dll" ver="%s"/>
</update>""" % CHECKSUM).encode()
ON_DISK = ["a.dll", "b.dll", "c.dll", "e.dll", "lost.dll", "temp.dll", "kd/x.dll"]


@pytest.mark.parametrize("reply, updated", [
    (CHECKSUM.encode(), 3),                                  # b.dll, C.dll, lost.dll
    (b"\xff\xfe" + CHECKSUM.upper().encode("utf-16-le"), 3),  # UTF-16 reply, any case
    (b"0" * 32, 4),                                          # unusable: kd/x.dll forced
], ids=["ascii", "utf16", "zeros"])
def test_compare_and_merge(make_product, nginx, fault_server, tmp_path, reply, updated):
    nginx.put("rel/list.xml", REMOTE)
    nginx.put("rel/main.xml", MAIN)
    md5 = fault_server.add("/md5.aspx", reply)
    list_url = nginx.url("/rel/list.xml")
    product = make_product(settings(list_url, nginx.url("/rel/main.xml"), tmp_path, UPDATEINFO__FileMd5HandleUrl=md5))
    install(product, INSTALLED, ON_DISK)

    assert product.run("/checkforupdates") == updated
    log = product.log()
    assert "Found %d files need to update..." % updated in log
    assert [r.path for r in fault_server.seen("/md5.aspx")] == ["/md5.aspx?FileUrl=kd/x.dll"]
    merged = cache_path(tmp_path, list_url).read_text()
    paths = re.findall(r'path="([^"]+)"', merged)
    # The list's own entries, then the main list's leaves last to first; nested ones stay out.
    assert paths[-2:] == ["y.dll", "kd/x.dll"] and "z.dll" not in paths
    assert 'desname="temp.dll"' in merged
    assert cache_path(tmp_path, list_url, ".xml.xml").read_bytes() == cache_path(tmp_path, list_url).read_bytes()


def test_nothing_to_update(make_product, nginx, tmp_path):
    nginx.put("l.xml", b'<update><file path="a.dll" ver="1"/></update>')
    nginx.put("m.xml", b"<update/>")
    product = make_product(settings(nginx.url("/l.xml"), nginx.url("/m.xml"), tmp_path))
    install(product, b'<update><file path="a.dll" ver="1"/></update>', ["a.dll"])
    assert product.run("/checkforupdates") == 0
    log = product.log()
    assert "Found 0 files need to update..." in log and "Find nothing to update." in log


FAULTS = {
    "main-missing": dict(main=None),
    "main-not-a-list": dict(main=b"<html><body>Not found</body></html>"),
    "list-not-a-list": dict(list=b"<html><body>maintenance</body></html>"),
    "list-truncated": dict(list_behaviour=dict(cut_at=20)),
    "list-cut-no-length": dict(list_behaviour=dict(cut_at=20, no_length=True)),
    "list-404": dict(list=None),
}


@pytest.mark.parametrize("case", list(FAULTS))
def test_list_failures(make_product, fault_server, tmp_path, case):
    c = FAULTS[case]
    good = b'<update><file path="new.dll" ver="1"/></update>'
    list_url = fault_server.add("/list.xml", c.get("list", good), **c.get("list_behaviour", {}))
    main_url = fault_server.add("/main.xml", c.get("main", b"<update/>"))
    product = make_product(settings(list_url, main_url, tmp_path))
    assert product.run("/checkforupdates") == 0
    log = product.log()
    assert "error when download the list file.\n" + list_url in log.replace("\r\n", "\n")
    assert "Find nothing to update." not in log
    assert not cache_path(tmp_path, list_url).exists()


@pytest.mark.parametrize("behaviour", [dict(no_length=True), dict(ignore_range=True)], ids=["no-length", "range-ignored"])
def test_list_served_oddly_but_whole(make_product, fault_server, tmp_path, behaviour):
    list_url = fault_server.add("/list.xml", b'<update><file path="new.dll" ver="1"/></update>', **behaviour)
    main_url = fault_server.add("/main.xml", b"<update/>", **behaviour)
    product = make_product(settings(list_url, main_url, tmp_path))
    assert product.run("/checkforupdates") == 1


def test_stalled_server_follows_timeout(make_product, fault_server, tmp_path):
    list_url = fault_server.add("/list.xml", b"<update/>" + b" " * 5000, stall_after=10, stall=25)
    main_url = fault_server.add("/main.xml", b"<update/>")
    product = make_product(settings(list_url, main_url, tmp_path, Mirovane__TimeOut="3"))
    start = time.monotonic()
    assert product.run("/checkforupdates", timeout=40) == 0
    took = time.monotonic() - start
    assert 3 <= took < 12, took
    assert "not ready within 3 seconds" in product.log()


@pytest.mark.parametrize("url, fetched", [("abcd", False), ("abcde", True)])
def test_list_url_length(make_product, tmp_path, url, fetched):
    product = make_product(settings(url, CLOSED + "/m.xml", tmp_path))
    assert product.run("/checkforupdates") == 0
    log = product.log()
    assert ("mirovane.ini -> UPDATEINFO -> ListURL can't empty" in log) is not fetched
    assert ("download:abcde" in log) is fetched


def gets(server):
    """Paths of the GET requests a server saw (the engine asks sizes with a ranged GET)."""
    return [r.path for r in (server.requests() if callable(server.requests) else server.requests) if r.method == "GET"]


def wait_for(predicate, seconds=30):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.1)
    return False


def test_quick_check(make_product, nginx, tmp_path):
    nginx.put("q/l.xml", b'<update><file path="a.dll" ver="1"/></update>')
    nginx.put("q/m.xml", b"<update/>")
    list_url = nginx.url("/q/l.xml")
    product = make_product(settings(list_url, nginx.url("/q/m.xml"), tmp_path, Mirovane__QuickCheck="1"))
    install(product, b"<update/>")
    refreshed = lambda n: wait_for(lambda: product.log().count("background refresh: list cache renewed") == n)
    # No cache yet: the quick check downloads as a plain check does.
    assert product.run("/checkforupdates") == 1
    assert "no usable cached list" in product.log()
    assert len(gets(nginx)) == 2

    # A new release. The next quick check answers from the cache without a request of its
    # own; only its hidden copy asks the server, and renews the cache.
    nginx.put("q/l.xml", b'<update><file path="a.dll" ver="1"/><file path="b.dll" ver="1"/></update>')
    assert product.run("/checkforupdates") == 1
    assert refreshed(1)
    assert len(gets(nginx)) == 4
    assert b"b.dll" in cache_path(tmp_path, list_url).read_bytes()

    # The third quick check sees the new release.
    assert product.run("/checkforupdates") == 2
    assert refreshed(2)
    assert len(gets(nginx)) == 6


VERSION_PAGE = b"<page>\r\n<VER>\r\n 2.0 \r\n</VER>\r\n<Url>%s</Url>\r\n</page>"


@pytest.mark.parametrize("installed_ver, code", [("1.0", TOO_BIG), ("2.0", "0")])
def test_version_page_checkforupdates(make_product, nginx, tmp_path, installed_ver, code):
    nginx.put("v/page.txt", VERSION_PAGE % (CLOSED + "/none.xml").encode())
    product = make_product(settings(nginx.url("/v/page.txt"), CLOSED + "/m.xml", tmp_path,
                                    APPLICATION__CheckVerNumber="1", APPLICATION__Ver=installed_ver))
    assert str(product.run("/checkforupdates")) == code
    assert gets(nginx) == ["/v/page.txt"]


def test_version_page_then_race_in_direct_mode(make_product, nginx, tmp_path):
    """showwhenupdate calls the check directly: the page is read first, then its list raced."""
    nginx.put("v/l.xml", b'<update><file path="a.dll" ver="1"/><file path="b.dll" ver="1"/></update>')
    page_url = nginx.url("/v/page.txt")
    nginx.put("v/page.txt", VERSION_PAGE % nginx.url("/v/l.xml").encode())
    product = make_product(settings(page_url, CLOSED + "/m.xml", tmp_path, APPLICATION__CheckVerNumber="1"))
    install(product, b"<update/>")
    assert product.run("/showwhenupdate") == 2
    # With files to update the window goes on to download them; the check itself came first.
    assert gets(nginx)[:2] == ["/v/page.txt", "/v/l.xml"]


def test_version_page_limits(make_product, nginx, tmp_path):
    urls = b"".join(b"<url>%s</url>" % nginx.url("/r/%d.xml" % i).encode() for i in range(20))
    nginx.put("v/page.txt", b"<ver>2</ver><url>ftp://127.0.0.1/x.xml</url>" + urls)
    product = make_product(settings(nginx.url("/v/page.txt"), CLOSED + "/m.xml", tmp_path,
                                    APPLICATION__CheckVerNumber="1"))
    # No list arrives, but the page named a version other than the installed one.
    assert str(product.run("/showwhenupdate")) == TOO_BIG
    raced = {p for p in gets(nginx) if p.startswith("/r/") and p.endswith(".xml")}
    assert len(raced) == 16
    log = product.log()
    assert "http and https only" in log and "more than 16 list addresses" in log


@pytest.mark.parametrize("page, note", [
    (b"<ver>2</ver>" + b" " * (64 * 1024), "answer of 65548 bytes is over the limit"),
    (b"<ver>" + b"v" * 257 + b"</ver>", "version text longer than 256 characters refused"),
    (b"<ver>2.0\tC:\\x\nfile\tC:\\evil.txt</ver>", "version text with control characters refused"),
], ids=["page-too-big", "version-too-long", "version-with-tab-and-line-feed"])
def test_version_page_guards(make_product, nginx, tmp_path, page, note):
    nginx.put("v/page.txt", page)
    product = make_product(settings(nginx.url("/v/page.txt"), CLOSED + "/m.xml", tmp_path,
                                    APPLICATION__CheckVerNumber="1"))
    assert product.run("/checkforupdates") == 0
    assert note in product.log()


def test_list_size_cap(make_product, nginx, tmp_path):
    big = b"<update>" + b" " * (32 * 1024 * 1024) + b"</update>"
    nginx.put("big/l.xml", big)
    nginx.put("big/m.xml", b"<update/>")
    list_url = nginx.url("/big/l.xml")
    product = make_product(settings(list_url, nginx.url("/big/m.xml"), tmp_path))
    assert product.run("/checkforupdates") == 0
    assert "over the limit of 33554432" in product.log()
    assert not any(p.name.endswith(".tmp") for p in tmp_path.iterdir())


HOSTILE = b"""<update>
 <file path="ok.dll" ver="1"/>
 <file path="..\\..\\evil.dll" ver="1"/>
 <file path="C:\\windows\\evil.dll" ver="1"/>
 <file path="\\\\127.0.0.1\\share\\evil.dll" ver="1"/>
 <file path="good.dll" ver="1" desname="\\\\127.0.0.1\\share\\evil.dll"/>
 <file path="ads.dll" ver="1" desname="{app}\\ads.dll:hidden"/>
 <file path="nul" ver="1"/>
 <file path="star*.dll" ver="1"/>
 <file path="up.dll" ver="1" desname="{app}\\..\\up.dll"/>
 <description>%s</description>
</update>"""


def test_hostile_records_and_description(make_product, nginx, tmp_path):
    nginx.put("h/l.xml", HOSTILE % (b"D" * (64 * 1024 + 10)))
    nginx.put("h/m.xml", b"<update/>")
    product = make_product(settings(nginx.url("/h/l.xml"), nginx.url("/h/m.xml"), tmp_path))
    install(product, b"<update/>")
    before = sorted(p.name for p in OMRA.iterdir())
    assert product.run("/checkforupdates") == 1
    log = product.log()
    assert log.count("record refused") == 8
    assert "description cut to 65536 characters" in log
    assert sorted(p.name for p in OMRA.iterdir()) == before


# ---------------------------------------------------------------- the race, through the core driver

LIST_A = b'<update><file path="a.dll" ver="1"/></update>'
LIST_B = b'<update><file path="b.dll" ver="1"/></update>'


def test_race_first_readable_list_wins(fault_server, tmp_path):
    slow = fault_server.add("/slow.xml", LIST_A, stall_after=5, stall=3)
    fast = fault_server.add("/fast.xml", LIST_B)
    html = fault_server.add("/html.xml", b"<html><body>busy</body></html>")
    cache = tmp_path / "c.xml"
    out = driver("race", win(cache), "20", html, slow, fast)
    assert out["first.ok"] == "1" and out["first.winner"] == fast
    assert out["first.cache"] == LIST_B.decode()
    # The slow list arrives after the race ended: it deletes its own file and nothing else.
    assert out["after.cache"] == LIST_B.decode()
    assert not any(p.name.endswith(".tmp") for p in tmp_path.iterdir())


def test_race_html_page_never_wins(fault_server, tmp_path):
    html = fault_server.add("/html.xml", b"<html><body>busy</body></html>")
    slow = fault_server.add("/slow.xml", LIST_A, stall_after=5, stall=1)
    out = driver("race", win(tmp_path / "c.xml"), "20", html, slow)
    assert out["first.winner"] == slow and out["first.cache"] == LIST_A.decode()


def test_race_nothing_readable(fault_server, tmp_path):
    html = fault_server.add("/html.xml", b"<html/>")
    missing = fault_server.url("/missing.xml")
    out = driver("race", win(tmp_path / "c.xml"), "20", html, missing)
    assert out["first.ok"] == "0" and out["first.winner"] == ""
    assert out["after.cache"] == ""


def test_late_race_thread_cannot_touch_next_check(fault_server, tmp_path):
    late = fault_server.add("/late.xml", LIST_A, stall_after=5, stall=4)
    fast = fault_server.add("/fast.xml", LIST_B)
    missing = fault_server.url("/missing.xml")
    cache = tmp_path / "c.xml"
    out = dict(driver("racetwice", win(cache), "20", f"{fast},{late}", missing))
    assert out["first.winner"] == fast
    assert out["second.ok"] == "0" and out["second.winner"] == ""
    # The late list of the first race finished during or after the second: it is dropped.
    assert out["after.cache"] == LIST_B.decode()
    assert not any(p.name.endswith(".tmp") for p in tmp_path.iterdir())


def test_probe_value_on_next_line(nginx):
    nginx.put("p.txt", b"<Ver>\r\n  3.1 \r\n</Ver>\r\n<URL>\r\nhttp://127.0.0.1:1/L.xml\r\n</URL>")
    out = driver("probe", nginx.url("/p.txt"), "10")
    assert out["ok"] == "1" and out["version"] == "[3.1]" and out["url"] == "http://127.0.0.1:1/L.xml"


def test_zipped_list_after_plain_fails(make_product, nginx, tmp_path):
    import io
    import zipfile
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("l.xml", b'<update><file path="a.dll" ver="1"/><file path="b.dll" ver="1"/></update>')
    nginx.put("z/l.xml._.zip", buf.getvalue())
    nginx.put("z/m.xml", b"<update/>")
    product = make_product(settings(nginx.url("/z/l.xml"), nginx.url("/z/m.xml"), tmp_path))
    install(product, b"<update/>")
    assert product.run("/checkforupdates") == 2
    paths = [r.path for r in nginx.requests()]
    assert paths.index("/z/l.xml._.zip") > paths.index("/z/l.xml")


def test_hidden_copy_runs_no_hooks_and_renews_the_cache(make_product, nginx, tmp_path):
    nginx.put("h/l.xml", b'<update><file path="a.dll" ver="1"/></update>')
    nginx.put("h/m.xml", b"<update/>")
    list_url = nginx.url("/h/l.xml")
    product = make_product(settings(list_url, nginx.url("/h/m.xml"), tmp_path,
                                    UpdateEventWaitClose__UpdateStartup="hook.bat", UpdateEvent__UpdateNone="hook.bat"))
    product.app_dir.mkdir(parents=True, exist_ok=True)
    (product.app_dir / "hook.bat").write_bytes(b"@echo x > hooked.txt\r\n")
    assert product.run("/downparam0") == 0
    assert not (product.app_dir / "hooked.txt").exists()
    assert "Run file[" not in product.log()
    assert b"a.dll" in cache_path(tmp_path, list_url).read_bytes()
    assert not cache_path(tmp_path, list_url, ".xml.xml").exists()
    assert not any(p.name.endswith(".tmp") for p in tmp_path.iterdir())


def test_hidden_copy_shows_no_proxy_box(make_product, nginx, tmp_path):
    """A Proxy value without a port shows a box in a watched run; the hidden copy has nobody to
    answer it, so it only logs the error and ends."""
    nginx.put("p/l.xml", b'<update><file path="a.dll" ver="1"/></update>')
    nginx.put("p/m.xml", b"<update/>")
    list_url = nginx.url("/p/l.xml")
    product = make_product(settings(list_url, nginx.url("/p/m.xml"), tmp_path, Mirovane__Proxy="127.0.0.1"))
    start = time.monotonic()
    assert product.run("/downparam0", timeout=40) == 0
    assert time.monotonic() - start < 30
    log = product.log()
    assert "The proxy set error! [127.0.0.1]" in log
    assert "background refresh: list cache kept, the download failed" in log
    assert nginx.requests() == [] and not cache_path(tmp_path, list_url).exists()
