"""Download scheduler: passes over the download list, the zipped form, the finished files."""
import io
import os
import subprocess
import time
import zipfile

import pytest

from conftest import BIN, read_line, win
from driver import driver, run_driver

OPTS = ["tries=2", "timeout=2", "stop=90"]  # with several stop= words the shortest wins


def records_file(tmp_path, *sessions):
    """Each session is a list of (path, ver, url, action); url None means "from the pattern"."""
    lines = []
    for n, recs in enumerate(sessions):
        if n:
            lines.append("---")
        lines += [f"{p}\t{v}\t{u or '-'}\t{a}" for p, v, u, a in recs]
    f = tmp_path / "records.txt"
    f.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return f


def schedule(tmp_path, base, recs, passes=1, options=(), sessions=None):
    """Returns the work directory and the driver's output as a dict, with every status text
    (message 1034) in order under "statuses"."""
    work = tmp_path / "work"
    f = records_file(tmp_path, *(sessions or [recs]))
    pairs = run_driver("schedule", *OPTS, *options, win(work), base, win(f), passes, timeout=120)
    res = dict(pairs)
    res["statuses"] = [v for k, v in pairs if k == "status"]
    return work, res


def zipped(name, data):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(name, data)
    return buf.getvalue()


def test_empty_list(nginx, tmp_path):
    _, res = schedule(tmp_path, nginx.url("/rel"), [])
    assert (res["stage"], res["done"]) == ("6", "0")
    assert res["status"] == "Download completed 0/0."
    assert nginx.requests() == []


def test_zipped_form_first_then_plain(nginx, tmp_path):
    a, b = os.urandom(120_000), os.urandom(5000)
    nginx.put("rel/a.dll", a)
    nginx.put("rel/sub/b.txt._.zip", zipped("b.txt", b))
    work, res = schedule(tmp_path, nginx.url("/rel"), [("a.dll", "1", None, 0), ("sub/b.txt", "1", None, 0)])
    assert (res["stage"], res["done"]) == ("6", "2")
    assert (work / "a.dll_").read_bytes() == a and (work / "sub" / "b.txt_").read_bytes() == b
    assert sorted(p.name for p in work.rglob("*") if p.is_file()) == ["a.dll_", "b.txt_"]
    base = nginx.url("/rel")
    assert res["spare0"] == f"error[{base}/a.dll._.zip]|done[{base}/a.dll]|"
    assert res["spare1"] == f"done[{base}/sub/b.txt._.zip]|unzip ok[{win(work)}\\sub\\b.txt._.zip]|"
    assert (res["state0"], res["state1"]) == ("8,7", "8,7")
    # the missing zipped form cost exactly one request
    assert [(r.method, r.headers.get("range"), r.path) for r in nginx.requests() if "a.dll" in r.path][:1] == [
        ("GET", "bytes=0-51199", "/rel/a.dll._.zip")]
    assert len([r for r in nginx.requests() if r.path == "/rel/a.dll._.zip"]) == 1


def test_retry_pass_fetches_only_failed_entries(fault_server, tmp_path):
    fault_server.add("/rel/a.dll", b"a" * 3000)
    fault_server.add("/rel/c.dll", b"c" * 3000)
    recs = [("a.dll", "1", None, 0), ("b.dll", "1", None, 0), ("c.dll", "1", None, 0)]
    _, res = schedule(tmp_path, fault_server.url("/rel"), recs, passes=2)
    assert (res["pass0.stage"], res["pass0.done"], res["pass0.failed"]) == ("5", "2", "1")
    assert (res["pass1.stage"], res["pass1.done"], res["pass1.failed"]) == ("5", "2", "1")
    assert res["statuses"][0] == "Downloading to temporary directory..."
    second = res["statuses"].index("Downloading error files...")
    assert res["statuses"][second - 1] == "Error 1 files,complete 2/3"
    assert res["statuses"][-1] == "Error 1 files,complete 2/3"
    # the second pass asked only for b.dll: its zipped and its plain form, once each
    b_requests = [r.path for r in fault_server.seen() if "b.dll" in r.path]
    assert b_requests == ["/rel/b.dll._.zip", "/rel/b.dll"] * 2
    # a.dll only in the first pass: its missing zipped form, then the size query that brought it whole
    assert [r.path for r in fault_server.seen() if "/a.dll" in r.path] == ["/rel/a.dll._.zip", "/rel/a.dll"]


def test_retry_rule_of_the_drivers(fault_server, tmp_path):
    """Passes 0: at most 4 more passes while some entry failed and something was done."""
    fault_server.add("/rel/a.dll", b"a" * 3000)
    _, res = schedule(tmp_path, fault_server.url("/rel"), [("a.dll", "1", None, 0), ("b.dll", "1", None, 0)], passes=0)
    assert (res["all"], res["stage"], res["done"]) == ("0", "5", "1")
    assert len(fault_server.seen("/rel/b.dll._.zip")) == 5
    assert res["statuses"][-1] == "Error 1 files,complete 1/2"


def test_finished_download_is_reused_only_for_its_version(nginx, tmp_path):
    nginx.put("rel/a.dll", b"v1" * 5000)
    recs = [("a.dll", "1.0", None, 0)]
    work, res = schedule(tmp_path, nginx.url("/rel"), recs)
    assert res["done"] == "1"
    count = len(nginx.requests())
    nginx.put("rel/a.dll", b"v2" * 5000)
    work, res = schedule(tmp_path, nginx.url("/rel"), recs)
    assert res["done"] == "1" and len(nginx.requests()) == count  # same version: no request
    assert (work / "a.dll_").read_bytes() == b"v1" * 5000
    work, res = schedule(tmp_path, nginx.url("/rel"), [("a.dll", "2.0", None, 0)])
    assert res["done"] == "1" and len(nginx.requests()) > count
    assert (work / "a.dll_").read_bytes() == b"v2" * 5000


def test_files_at_once(fault_server, tmp_path):
    for i in range(4):
        fault_server.add(f"/rel/f{i}.bin", bytes([i]) * 60_000, rate=300_000)
    recs = [(f"f{i}.bin", "1", None, 0) for i in range(4)]
    _, res = schedule(tmp_path, fault_server.url("/rel"), recs, options=["threadcount=1", "filethread=1"])
    assert res["done"] == "4"
    assert fault_server.max_active == 1


def test_duplicates_and_unsafe_names(fault_server, tmp_path):
    fault_server.add("/rel/sub/a.dll", b"a" * 70_000)
    recs = [("sub/a.dll", "1", None, 0), ("SUB\\A.DLL", "1", fault_server.url("/rel/sub/a.dll"), 0),
            ("sub//a.dll", "1", None, 0), ("..\\evil.dll", "1", None, 0), ("C:\\evil.dll", "1", None, 0),
            ("gone.dll", "1", None, 2)]  # removal: nothing to download
    work, res = schedule(tmp_path, fault_server.url("/rel"), recs, options=["threadcount=8"])
    assert (res["stage"], res["done"]) == ("5", "4")
    # whichever record ran first named the file: Windows names are case-insensitive
    done = [p for p in work.rglob("*") if p.is_file()]
    assert [str(p.relative_to(work)).lower() for p in done] == ["sub/a.dll_"]
    assert done[0].read_bytes() == b"a" * 70_000
    gets = [r for r in fault_server.seen("/rel/sub/a.dll") if r.method == "GET"]
    assert len(gets) == 2  # one download (size query with segment 0, then segment 1), reused by the other two records
    assert not (tmp_path / "evil.dll_").exists()
    assert all("evil" not in r.path for r in fault_server.seen())
    assert (res["state3"], res["state4"]) == ("8,0", "8,0") and "state5" not in res


def test_new_session_starts_from_zero(fault_server, tmp_path):
    """A second session in one process (tray mode) with a shorter list."""
    fault_server.add("/rel/a.dll", b"a" * 3000)
    one = [("a.dll", "1", None, 0), ("b.dll", "1", None, 0), ("c.dll", "1", None, 0)]
    two = [("a.dll", "2", None, 0)]
    _, res = schedule(tmp_path, fault_server.url("/rel"), None, sessions=[one, two])
    assert (res["s0.stage"], res["s0.done"]) == ("5", "1")
    assert sorted(res["s0.pass0.failed"].split(",")) == ["1", "2"]
    assert (res["s1.stage"], res["s1.done"], res["s1.pass0.failed"]) == ("6", "1", "")


def test_list_file_download(fault_server, tmp_path):
    """Index -1: plain form first while ListFileZip is 0; only the zipped form on the server
    switches the setting to 1."""
    xml = b"<list/>" * 100
    fault_server.add("/up/list.xml._.zip", zipped("list.xml", xml))
    local = tmp_path / "list.xml"
    res = driver("fetchfile", *OPTS, "-1", fault_server.url("/up/list.xml"), win(local), "0")
    assert (res["result"], res["ListFileZip"]) == ("0", "1")
    assert local.read_bytes() == xml and not (tmp_path / "list.xml_").exists()
    assert [r.path for r in fault_server.seen() if r.agent.startswith("querysize")] == ["/up/list.xml", "/up/list.xml._.zip"]


@pytest.mark.parametrize("case", ["announced-too-big", "unannounced-too-big", "stalled"])
def test_list_file_download_bounds(fault_server, tmp_path, case):
    """The list's download is bounded in bytes and time: a Content-Length over the bound fails
    before any body is asked for, a body without one stops past the bound, and a stalled
    server fails at the deadline although NetTimeout allows 30 seconds."""
    body = b"<update>" + b" " * 300000 + b"</update>"
    behaviour = {"announced-too-big": {}, "unannounced-too-big": {"no_length": True},
                 "stalled": {"stall_after": 10, "stall": 20}}[case]
    url = fault_server.add("/b/list.xml", body if case != "stalled" else b"<update/>" * 100, **behaviour)
    local = tmp_path / "list.xml"
    opts = ["tries=2", "timeout=30", "stop=60", "threadcount=1" if case == "unannounced-too-big" else "threadcount=4",
            "maxbytes=100000", "deadline=3"]
    start = time.monotonic()
    res = driver("fetchfile", *opts, "-1", url, win(local), "0")
    took = time.monotonic() - start
    assert res["result"] == "1" and not local.exists()
    assert took < 10, took
    if case == "announced-too-big":
        assert [r.method for r in fault_server.seen("/b/list.xml")] == ["GET"]


def test_delete_tree_leaves_linked_directories_alone(tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "keep.txt").write_text("keep")
    tree = tmp_path / "tree"
    (tree / "sub").mkdir(parents=True)
    (tree / "sub" / "x.txt").write_text("x")
    os.symlink(outside, tree / "link")
    driver("deletetree", win(tree))
    assert (outside / "keep.txt").read_text() == "keep"
    assert not (tree / "sub").exists()


def _window_of(proc):
    line = read_line(proc).decode().strip()
    return line.split()[-1]


def test_progress_reaches_the_sample_host(nginx, tmp_path):
    """Message 1976 (files done) and 1978 (bytes of the file) reach a host window."""
    a, b = os.urandom(200_000), os.urandom(3000)
    nginx.put("rel/a.dll", a)
    nginx.put("rel/b.dll", b)
    out = tmp_path / "host.txt"
    host = subprocess.Popen(["wine", str(BIN / "mirovane-sample-host.exe"), "--timeout", "60", "--out", win(out)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        handle = _window_of(host)
        _, res = schedule(tmp_path, nginx.url("/rel"), [("a.dll", "1", None, 0), ("b.dll", "1", None, 0)],
                          options=[f"host={handle}", "threadcount=1"])
    finally:
        host.kill()
        host.wait(timeout=10)
    assert res["done"] == "2"
    lines = out.read_bytes().decode("utf-8").splitlines()
    counts = [l for l in lines if l.startswith("count ")]
    assert counts[0] == "count 0/2" and counts[-1] == "count 2/2"
    assert "progress 200000/200000" in lines and "progress 3000/3000" in lines
    sizes = {int(l.split("/")[1]) for l in lines if l.startswith("progress ")}
    assert sizes == {200000, 3000}


def test_frozen_host_does_not_stall_the_download(nginx, tmp_path):
    body = os.urandom(2_000_000)
    nginx.put("rel/a.dll", body)
    frozen = subprocess.Popen(["wine", str(BIN / "frozenwindow.exe"), "120"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        handle = _window_of(frozen)
        # stop=40: the driver ends itself if the download hangs on the window
        work, res = schedule(tmp_path, nginx.url("/rel"), [("a.dll", "1", None, 0)],
                             options=[f"host={handle}", "stop=40"])
    finally:
        frozen.kill()
        frozen.wait(timeout=10)
    assert "watchdog" not in res
    assert res["done"] == "1" and (work / "a.dll_").read_bytes() == body
