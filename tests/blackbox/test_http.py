"""HTTP session: what the servers see of the fetch functions and of proxied sessions."""
import os

import pytest

from conftest import win
from driver import click_box, driver, start_driver


BIG = bytes(range(256)) * 8 + b"tail-beyond-1024"  # 2064 bytes


@pytest.mark.parametrize("body, behaviour, chars", [
    (b"abcdefghij", {}, 5),
    (b"abcdefghijk", {}, 5),                     # odd byte dropped
    (BIG, {}, 512),                              # cut at 1024 bytes
    (BIG, {"rate": 8000}, 512),                  # slow server: still the first 1024 bytes
    (BIG, {"no_length": True}, 512),
    (b"", {}, 0),
    (None, {}, 0),                               # 404: no text at all
    (b"server error page", {"status": 500}, 0),
], ids=["10-bytes", "odd", "long", "slow", "no-length", "empty", "404", "500"])
def test_fetch_text(fault_server, body, behaviour, chars):
    url = fault_server.add("/md5", body, **behaviour)
    out = driver("fetchtext", url)
    assert int(out["chars"]) == chars
    if chars:
        assert bytes.fromhex(out["hex"]) == body[:chars * 2]
    req = fault_server.seen("/md5")[-1]
    assert req.agent == "MyDownload"
    assert req.headers.get("accept") == "*/*"
    assert "range" not in req.headers


@pytest.mark.parametrize("behaviour, ok", [
    ({}, True),
    ({"no_length": True}, True),                 # the end is the connection's close
    ({"rate": 200_000}, True),                   # short reads are not the end
    ({"ignore_range": True}, True),
    ({"cut_at": 30_000}, False),                 # body ends before its Content-Length
    ({"status": 404}, False),
], ids=["plain", "no-length", "slow", "ranges-ignored", "cut-short", "404"])
def test_fetch_to_stream(fault_server, tmp_path, behaviour, ok):
    body = os.urandom(70_000)
    url = fault_server.add("/list.xml", body, **behaviour)
    out_file = tmp_path / "out.bin"
    assert driver("fetchstream", url, win(out_file))["ok"] == ("1" if ok else "0")
    if ok:
        assert out_file.read_bytes() == body
    assert [r.agent for r in fault_server.seen("/list.xml")] == ["MyDownload"]


def test_fetch_from_nginx_ignores_proxy_setting(nginx, tmp_path):
    """The real server; a Proxy in the settings is not used by the fetch functions."""
    body = os.urandom(5000)
    nginx.put("update/list.xml", body)
    out_file = tmp_path / "list.xml"
    out = driver("fetchstream", nginx.url("/update/list.xml"), win(out_file), env={"MV_PROXY": "127.0.0.1:9"})
    assert out["ok"] == "1" and out_file.read_bytes() == body
    assert driver("fetchstream", nginx.url("/update/missing.xml"), win(tmp_path / "m"))["ok"] == "0"
    reqs = nginx.requests()
    assert [(r.path, r.agent, r.headers.get("accept")) for r in reqs] == [
        ("/update/list.xml", "MyDownload", "*/*"), ("/update/missing.xml", "MyDownload", "*/*")]


@pytest.mark.parametrize("proxy_user, user, password", [("bob", "bob", ""), ("bob,s3cret", "bob", "s3cret")])
def test_session_through_proxy(fault_server, http_proxy, proxy_user, user, password):
    url = fault_server.add("/file.dll", b"x" * 3000)
    out = driver("session", http_proxy.address, proxy_user, "down1", url)
    assert out["session"] == "1"
    assert out["access"] == "3"  # INTERNET_OPEN_TYPE_PROXY
    assert out["proxy"] == f"HTTP=HTTP://{http_proxy.address}"
    # Wine keeps no proxy credentials on a session handle (it refuses to set or read them),
    # so only Windows can show them here.
    if not out["user"].startswith("(error"):
        assert (out["user"], out["password"]) == (user, password)
    assert (out["status"], out["bytes"]) == ("200", "3000")
    relayed = [r for r in http_proxy.requests if r.path == url]
    assert relayed and relayed[0].agent == "down1"
    assert fault_server.seen("/file.dll")[-1].agent == "down1"


def test_session_without_proxy(fault_server):
    url = fault_server.add("/a", b"z")
    out = driver("session", "-", "bob", "down2", url)
    assert out["session"] == "1" and out["status"] == "200"
    assert out.get("access") != "3"
    assert fault_server.seen("/a")[-1].agent == "down2"


def test_proxy_without_port_shows_error_and_opens_nothing(fault_server):
    url = fault_server.add("/a", b"z")
    proc = start_driver("session", "127.0.0.1", "-", "down3", url)
    try:
        assert click_box("The proxy set error!"), "no proxy error box"
        out, _ = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(timeout=10)
    assert "session=0" in out.decode()
    assert fault_server.seen() == []


def test_agent_counters_start_at_one_in_a_fresh_process():
    assert driver("agents") == {"connection1": "down1", "connection2": "down2", "size1": "querysize1"}
