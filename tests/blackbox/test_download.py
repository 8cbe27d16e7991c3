"""Segmented download of one file: what lands on disk and what the servers saw."""
import os

import pytest

from conftest import win
from driver import driver

BLOCK = 64 * 1024
FAST = ["tries=3", "timeout=2", "stop=60"]  # a stall must fail within seconds, never hang


def seg(url, out, threads=8, single=0, options=(), timeout=90):
    return driver("segdownload", *FAST, *options, url, win(out), threads, single, timeout=timeout)


def ranges(requests):
    return [r.headers.get("range") for r in requests if r.method == "GET"]


def no_parts(out):
    return not list(out.parent.glob(out.name + ".part*"))


@pytest.mark.parametrize("size, segments, last", [
    (100_000, 2, 48_800),            # 51200-byte minimum segment
    (10_485_760, 11, 655_360),       # 960 KiB segments, the last shorter
])
def test_segment_plan_on_nginx(nginx, tmp_path, size, segments, last):
    body = os.urandom(size)
    nginx.put("f.bin", body)
    out = tmp_path / "f.bin"
    res = seg(nginx.url("/f.bin"), out)
    assert res["ok"] == "1" and out.read_bytes() == body and no_parts(out)
    # A slow tail may be split off later (that depends on the machine's speed): the plan is fixed.
    assert (res["planned"], res["msg1038.last"], res["msg1039.last"]) == (str(segments), str(size), str(size))
    assert int(res["segments"]) >= segments
    step = int(res["msg1059.last"])
    assert step * (segments - 1) + last == size
    reqs = nginx.requests()
    # the size query asks for the first 51200 bytes, which segment 0 keeps
    assert [(r.method, r.agent, r.headers.get("range")) for r in reqs[:1]] == [("GET", "querysize1", "bytes=0-51199")]
    gets = [r for r in reqs[1:] if r.method == "GET"]
    # each segment asks for its own bytes; the last one runs to the end of the file
    want = [f"bytes={i * step}-{(i + 1) * step - 1}" for i in range(segments - 1)] + [f"bytes={(segments - 1) * step}-"]
    want = [w for w in want if w != "bytes=0-51199"]  # segment 0 came whole with the size query
    want = [w.replace("bytes=0-", "bytes=51200-") for w in want]
    assert sorted(r.agent for r in gets) == sorted(f"down{i}" for i in range(1, len(want) + 1))
    assert sorted(ranges(gets)) == sorted(want)


@pytest.mark.parametrize("threads, single", [(1, 0), (8, 1)], ids=["one-thread", "single-flag"])
def test_one_connection_mode(nginx, tmp_path, threads, single):
    body = os.urandom(300_000)
    nginx.put("f.bin", body)
    out = tmp_path / "f.bin"
    res = seg(nginx.url("/f.bin"), out, threads, single)
    assert res["ok"] == "1" and out.read_bytes() == body and no_parts(out)
    assert [(r.method, r.agent, r.headers.get("range")) for r in nginx.requests()] == [("GET", "down1", None)]
    assert (res["msg1038.last"], res["msg1059.last"], res["msg1040.max"]) == ("300000", "300000", "1")


def test_server_that_ignores_ranges(fault_server, tmp_path):
    body = os.urandom(1_000_000)
    url = fault_server.add("/f.bin", body, ignore_range=True)
    out = tmp_path / "f.bin"
    assert seg(url, out)["ok"] == "1"
    assert out.read_bytes() == body and no_parts(out)


@pytest.mark.parametrize("cut, ok", [(2 * BLOCK, True), (2 * BLOCK + 700, False)], ids=["at-block", "inside-block"])
def test_body_cut_short(fault_server, tmp_path, cut, ok):
    """An end between blocks is resumed on a new connection; one inside a block fails the file."""
    body = os.urandom(5 * BLOCK)
    url = fault_server.add("/f.bin", body, cut_at=cut)
    out = tmp_path / "f.bin"
    res = seg(url, out, threads=1)
    assert res["ok"] == ("1" if ok else "0")
    if ok:
        assert out.read_bytes() == body
        assert ranges(fault_server.seen("/f.bin")) == [None, "bytes=131072-", "bytes=262144-"]
    else:
        assert not out.exists()
        assert len(fault_server.seen("/f.bin")) == 1


@pytest.mark.parametrize("threads, ok", [(8, False), (1, True)], ids=["segmented", "one-connection"])
def test_missing_content_length(fault_server, tmp_path, threads, ok):
    body = os.urandom(200_000)
    url = fault_server.add("/f.bin", body, no_length=True)
    out = tmp_path / "f.bin"
    assert seg(url, out, threads)["ok"] == ("1" if ok else "0")
    if ok:
        assert out.read_bytes() == body
    else:
        assert not out.exists() and no_parts(out)
        assert [(r.method, r.agent) for r in fault_server.seen()] == [("GET", "querysize1")]


@pytest.mark.parametrize("threads", [8, 1])
def test_announced_empty_file(fault_server, tmp_path, threads):
    url = fault_server.add("/empty.bin", b"")
    out = tmp_path / "empty.bin"
    assert seg(url, out, threads)["ok"] == "1"
    assert out.read_bytes() == b""


@pytest.mark.parametrize("threads", [8, 1])
def test_two_gigabytes_or_more_fail(fault_server, tmp_path, threads):
    url = fault_server.add("/huge.bin", b"x" * 1000, length=3_000_000_000, cut_at=1000)
    out = tmp_path / "huge.bin"
    assert seg(url, out, threads)["ok"] == "0"
    assert not out.exists()


def test_refused_url_is_tried_escaped(fault_server, tmp_path):
    body = os.urandom(150_000)
    fault_server.add("/a%2Bb.bin", body, exact_path=True)  # only the escaped form exists
    out = tmp_path / "ab.bin"
    res = seg(fault_server.url("/a+b.bin"), out)
    assert res["ok"] == "1" and out.read_bytes() == body
    assert res["url"].endswith("/a%2Bb.bin")
    seen = fault_server.seen()
    assert [(r.agent, r.path) for r in seen[:2]] == [("querysize1", "/a+b.bin"), ("querysize2", "/a%2Bb.bin")]
    assert {r.path for r in seen[2:]} == {"/a%2Bb.bin"}


def test_missing_file_costs_one_request(fault_server, tmp_path):
    out = tmp_path / "gone.bin"
    assert seg(fault_server.url("/gone.bin"), out)["ok"] == "0"
    assert [(r.agent, r.path) for r in fault_server.seen()] == [("querysize1", "/gone.bin")]


@pytest.mark.parametrize("status, times, ok, gets", [
    (404, 1, False, None),      # a missing segment fails the file at once
    (500, 1, True, 3),          # a failed attempt is retried
    (500, None, False, None),   # ... up to ConnectTryCount times
], ids=["404-once", "500-once", "500-always"])
def test_status_on_segment(fault_server, tmp_path, status, times, ok, gets):
    body = os.urandom(100_000)
    url = fault_server.add("/f.bin", body, range_status=status, range_status_times=times)
    out = tmp_path / "f.bin"
    assert seg(url, out)["ok"] == ("1" if ok else "0")
    assert out.exists() == ok and no_parts(out)
    if ok:
        assert out.read_bytes() == body
        assert len(ranges(fault_server.seen())) == gets
    # never more than ConnectTryCount attempts for one segment
    assert len(ranges(fault_server.seen())) <= 2 * 3


@pytest.mark.parametrize("status, attempts", [(404, 1), (500, 3)])
def test_status_on_reconnect(fault_server, tmp_path, status, attempts):
    """A connection cut between blocks reconnects with Range: a 404 then ends the file at
    once, a 500 counts as a failed attempt."""
    body = os.urandom(4 * BLOCK)
    url = fault_server.add("/f.bin", body, cut_at=BLOCK, range_status=status)
    out = tmp_path / "f.bin"
    assert seg(url, out, threads=1)["ok"] == "0"
    assert not out.exists()
    assert ranges(fault_server.seen()) == [None] + ["bytes=65536-"] * attempts


def test_stall_once_resumes(fault_server, tmp_path):
    body = os.urandom(4 * BLOCK)
    url = fault_server.add("/f.bin", body, stall_after=BLOCK + 1000, stall=30, stall_times=1)
    out = tmp_path / "f.bin"
    res = seg(url, out, threads=1)
    assert res["ok"] == "1" and out.read_bytes() == body
    # Reads take what has arrived, so the bytes before the stall are kept: the new connection
    # asks for the rest only.
    assert ranges(fault_server.seen()) == [None, f"bytes={BLOCK + 1000}-"]


@pytest.mark.parametrize("threads", [8, 1])
def test_stall_for_ever_fails_within_time_out(fault_server, tmp_path, threads):
    body = os.urandom(300_000)
    url = fault_server.add("/f.bin", body, stall_after=0, stall=30)
    out = tmp_path / "f.bin"
    res = seg(url, out, threads, options=["timeout=1"])
    assert res["ok"] == "0" and "watchdog" not in res
    assert not out.exists() and no_parts(out)
    assert res["running"] == "0"


def test_part_file_that_cannot_be_created(nginx, tmp_path):
    body = os.urandom(200_000)
    nginx.put("f.bin", body)
    out = tmp_path / "f.bin"
    (tmp_path / "f.bin.part1").mkdir()  # a directory where a part file must go
    res = seg(nginx.url("/f.bin"), out)
    assert res["ok"] == "0" and res["running"] == "0"
    assert not out.exists() and not (tmp_path / "f.bin.part0").exists()


def test_throttled_server_splits_slow_tails(fault_server, tmp_path):
    """Per-connection limit: never more than threads + 1 connections, and the two segments
    left over by the plan are split among the idle connections."""
    body = os.urandom(8_000_000)  # 768000-byte segments: 1.9 s each at this rate
    url = fault_server.add("/f.bin", body, rate=400_000)
    out = tmp_path / "f.bin"
    res = seg(url, out, options=["timeout=10"])
    assert res["ok"] == "1" and out.read_bytes() == body and no_parts(out)
    assert fault_server.max_active <= 9
    assert int(res["segments"]) > 11


@pytest.mark.parametrize("server, tag", [("mirovane2.xx", "1"), ("Mirovane2.xx", "0"), ("nginx", "0")])
def test_server_tag(fault_server, tmp_path, server, tag):
    url = fault_server.add("/f.bin", b"z" * 70_000, server=server)
    assert seg(url, tmp_path / "f.bin")["tag"] == tag
