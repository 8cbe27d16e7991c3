"""HTTP session: what the servers see of the bounded fetches and of proxied sessions."""
import base64
import os
import time

import pytest

from conftest import win
from driver import click_box, driver, start_driver


AGENT = "Mirovane/2"
CAP = 100_000


@pytest.mark.parametrize("behaviour, size, error", [
    ({}, 70_000, None),
    ({}, 0, None),
    ({"no_length": True}, 70_000, None),          # the end is the connection's close
    ({"rate": 200_000}, 70_000, None),            # short reads are not the end
    ({"ignore_range": True}, 70_000, None),
    ({"cut_at": 30_000}, 70_000, "body ended after 30000 of 70000 bytes"),
    ({"status": 404}, 70_000, "HTTP status 404"),
    ({"status": 500}, 70_000, "HTTP status 500"),  # an error page is not the document
    ({}, 150_000, "answer of 150000 bytes is over the limit of 100000"),
    ({"no_length": True}, 150_000, "answer over the limit of 100000 bytes"),
    ({"stall_after": 10, "stall": 25}, 70_000, "InternetReadFile failed"),  # the 3-second deadline
    ({"url": "ftp://127.0.0.1/list.xml"}, 70_000, "not an http or https address"),
], ids=["plain", "empty", "no-length", "slow", "ranges-ignored", "cut-short", "404", "500", "over-cap",
        "over-cap-no-length", "stall", "not-http"])
@pytest.mark.parametrize("into", ["memory", "file"])
def test_bounded_fetch(fault_server, tmp_path, behaviour, size, error, into):
    """The fetch of lists, signatures and version pages: 2xx only, whole, at most CAP bytes,
    within a 3-second deadline, one request with the product's agent."""
    behaviour = dict(behaviour)
    body = os.urandom(size)
    url = behaviour.pop("url", None) or fault_server.add("/list.xml", body, **behaviour)
    out_file = tmp_path / "out.bin"
    start = time.monotonic()
    if into == "memory":
        out = driver("boundedmem", url, CAP, 3)
        assert bytes.fromhex(out["hex"]) == (b"" if error else body)
    else:
        out = driver("boundedfile", url, win(out_file), CAP, 3)
        assert out["exists"] == ("0" if error else "1")
        if not error:
            assert out_file.read_bytes() == body
    assert time.monotonic() - start < 15
    assert out["ok"] == ("0" if error else "1"), out
    assert (error or "") in out["error"] and (out["error"] == "") == (error is None)
    seen = fault_server.seen("/list.xml")
    assert [r.agent for r in seen] == ([] if url.startswith("ftp:") else [AGENT])
    assert all("range" not in r.headers for r in seen)


def test_conditional_fetch_to_file_keeps_nothing_on_304(nginx, tmp_path):
    nginx.put("c/list.xml", b"<update/>")
    out_file = tmp_path / "list.xml"
    first = driver("boundedfile", nginx.url("/c/list.xml"), win(out_file), CAP, 10)
    assert first["ok"] == "1" and first["status"] == "200" and first["etag"].startswith('"')
    again = driver("boundedfile", nginx.url("/c/list.xml"), win(out_file), CAP, 10, "If-None-Match: " + first["etag"])
    assert (again["ok"], again["status"], again["exists"]) == ("1", "304", "0")
    reqs = nginx.requests()
    sent = first["etag"].replace('"', "\\x22")  # as nginx's log writes quotes
    assert [(r.agent, r.status, r.headers.get("if-none-match")) for r in reqs] == [(AGENT, 200, None), (AGENT, 304, sent)]


def test_bounded_fetch_goes_through_configured_proxy(fault_server, http_proxy, tmp_path):
    url = fault_server.add("/list.xml.sig", b"s" * 96)
    out = driver("boundedmem", url, CAP, 10, env={"MV_PROXY": http_proxy.address})
    assert out["ok"] == "1" and bytes.fromhex(out["hex"]) == b"s" * 96
    assert [(r.path, r.agent) for r in http_proxy.requests] == [(url, AGENT)]
    assert [r.agent for r in fault_server.seen("/list.xml.sig")] == [AGENT]


@pytest.mark.parametrize("proxy_user", ["bob", "bob,s3cret"])
def test_session_through_proxy(fault_server, http_proxy, proxy_user):
    """The session opens through the proxy whatever ProxyUser holds (the credentials go on
    each request: see test_bounded_fetch_sends_the_proxy_credentials_it_is_asked_for)."""
    url = fault_server.add("/file.dll", b"x" * 3000)
    out = driver("session", http_proxy.address, proxy_user, "down1", url)
    assert out["session"] == "1"
    assert out["access"] == "3"  # INTERNET_OPEN_TYPE_PROXY
    assert out["proxy"] == f"HTTP=HTTP://{http_proxy.address}"
    assert (out["status"], out["bytes"]) == ("200", "3000")
    relayed = [r for r in http_proxy.requests if r.path == url]
    assert relayed and relayed[0].agent == "down1"
    assert fault_server.seen("/file.dll")[-1].agent == "down1"


@pytest.mark.parametrize("proxy_user, credentials", [
    ("bob,s3cret", "bob:s3cret"),
    ("bob", "bob:"),  # no password: an empty one
    (None, None),     # none configured: the proxy's 407 is the answer
])
def test_bounded_fetch_sends_the_proxy_credentials_it_is_asked_for(fault_server, http_proxy, proxy_user,
                                                                    credentials):
    """A proxy that demands Basic credentials (407 without them) gets the configured ProxyUser
    and relays the request."""
    http_proxy.credentials = credentials or "bob:s3cret"
    url = fault_server.add("/list.xml.sig", b"s" * 96)
    env = {"MV_PROXY": http_proxy.address, **({"MV_PROXY_USER": proxy_user} if proxy_user else {})}
    out = driver("boundedmem", url, CAP, 10, env=env)
    sent = [r.headers.get("proxy-authorization") for r in http_proxy.requests]
    if credentials:
        assert out["ok"] == "1" and bytes.fromhex(out["hex"]) == b"s" * 96, out
        assert sent[-1] == "Basic " + base64.b64encode(credentials.encode()).decode(), sent
        assert [r.agent for r in fault_server.seen("/list.xml.sig")] == [AGENT]
    else:
        assert out["ok"] == "0" and "HTTP status 407" in out["error"], out
        assert sent == [None] and fault_server.seen("/list.xml.sig") == []


def test_session_without_proxy(fault_server):
    url = fault_server.add("/a", b"z")
    out = driver("session", "-", "bob", "down2", url)
    assert out["session"] == "1" and out["status"] == "200"
    assert out.get("access") != "3"
    assert fault_server.seen("/a")[-1].agent == "down2"


@pytest.mark.parametrize("request_kind", ["session", "bounded fetch"])
def test_proxy_without_port_shows_error_and_sends_nothing(fault_server, request_kind):
    url = fault_server.add("/a", b"z")
    if request_kind == "session":
        proc, failed = start_driver("session", "127.0.0.1", "-", "down3", url), "session=0"
    else:
        proc, failed = start_driver("boundedmem", url, CAP, 10, env={"MV_PROXY": "127.0.0.1"}), "ok=0"
    try:
        assert click_box("The proxy set error!"), "no proxy error box"
        out, _ = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(timeout=10)
    assert failed in out.decode()
    assert fault_server.seen() == []


def test_agent_counters_start_at_one_in_a_fresh_process():
    assert driver("agents") == {"connection1": "down1", "connection2": "down2", "size1": "querysize1"}
