"""Loopback servers for the black-box tests, as pytest fixtures.

- `nginx`: the real web server, started in the foreground with a generated config on a free
  loopback port, serving `nginx.root`; its access log records each request with its agent.
- `fault_server`: our own HTTP server (standard library) whose answer each test chooses per
  path: status, ranges ignored, no Content-Length (or a false one), a body that ends early, a
  stall (every time or the first N times), a status for ranged requests, a Server header, a
  throughput limit per connection. It records every request it sees and the most requests it
  answered at once.
- `http_proxy`: a small forwarding proxy that only reaches 127.0.0.0/8, optionally asking for
  Basic credentials, recording every request it relays.

Nothing here listens on or connects to an address outside 127.0.0.0/8, and every wait is
bounded so that a client that misbehaves cannot hang a test.
"""
import base64
import http.client
import http.server
import pathlib
import re
import shutil
import socket
import subprocess
import threading
import time
import urllib.parse
from dataclasses import dataclass, field

import pytest

HOST = "127.0.0.1"
MAX_STALL = 30.0  # seconds; no stall outlives this, whatever a test asks


def free_port() -> int:
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_port(port: int, timeout: float = 10.0) -> bool:
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            with socket.create_connection((HOST, port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


@dataclass
class Request:
    method: str
    path: str
    headers: dict  # lower-cased names
    status: int = 0  # nginx only: the status it answered
    sent: int = 0    # nginx only: bytes it sent, headers included

    @property
    def agent(self):
        return self.headers.get("user-agent")


# ---------------------------------------------------------------- nginx

NGINX_CONF = """\
daemon off;
master_process off;
worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
    log_format rec '$request_method $request_uri "$http_user_agent" "$http_range" "$http_accept" $status $bytes_sent "$http_if_none_match" "$http_if_modified_since"';
    client_body_temp_path {work}/body;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
    types {{ text/xml xml; application/zip zip; }}
    default_type application/octet-stream;
    server {{
        listen {host}:{port}{tls};
        server_name localhost;
        root {root};
        access_log {work}/access.log rec;
        location / {{ }}
    }}
}}
"""

_NGINX_LINE = re.compile(r'^(\S+) (\S+) "(.*)" "(.*)" "(.*)" (\d+) (\d+) "(.*)" "(.*)"$')


# The localhost certificate scripts/test-ca.sh makes, from an authority the machine trusts.
TEST_CA = pathlib.Path("/usr/local/share/mirovane-test-ca")
_TLS = """ ssl;
        ssl_certificate {certs}/server.crt;
        ssl_certificate_key {certs}/server.key"""


class Nginx:
    """`tls`: HTTPS with server.crt and server.key from `certs` (by default the test
    certificate, which names localhost only: WinINet matches the host name, not an address,
    so the addresses say https://localhost)."""

    def __init__(self, base: pathlib.Path, tls=False, certs=TEST_CA):
        self.tls = tls
        self.certs = certs
        self.work = base / "nginx"
        self.root = base / "www"
        self.work.mkdir()
        self.root.mkdir()
        self.proc = None
        self.port = None

    def start(self):
        for _ in range(3):  # a port taken between choosing and binding: choose again
            self.port = free_port()
            conf = self.work / "nginx.conf"
            tls = _TLS.format(certs=self.certs) if self.tls else ""
            conf.write_text(NGINX_CONF.format(work=self.work, host=HOST, port=self.port, root=self.root, tls=tls))
            self.proc = subprocess.Popen(["nginx", "-p", str(self.work), "-c", str(conf)],
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
            if wait_port(self.port, 5) and self.proc.poll() is None:
                return self
            self.stop()
        raise RuntimeError("nginx did not start: " + (self.work / "error.log").read_text(errors="replace"))

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
        self.proc = None

    def url(self, path: str = "/") -> str:
        return f"https://localhost:{self.port}{path}" if self.tls else f"http://{HOST}:{self.port}{path}"

    def put(self, rel: str, data: bytes) -> pathlib.Path:
        p = self.root / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)
        return p

    def requests(self):
        """Requests logged so far (the access log is written at each request's end)."""
        log = self.work / "access.log"
        out = []
        if log.exists():
            for line in log.read_text(errors="replace").splitlines():
                m = _NGINX_LINE.match(line)
                if m:
                    hdr = {"user-agent": m.group(3), "range": m.group(4), "accept": m.group(5),
                           "if-none-match": m.group(8), "if-modified-since": m.group(9)}
                    out.append(Request(m.group(1), m.group(2), {k: v for k, v in hdr.items() if v != "-"},
                                       int(m.group(6)), int(m.group(7))))
        return out


@pytest.fixture
def nginx(tmp_path):
    if not shutil.which("nginx"):
        pytest.skip("nginx is not installed (scripts/setup.sh installs nginx-light)")
    server = Nginx(tmp_path).start()
    yield server
    server.stop()


@pytest.fixture
def nginx_tls(tmp_path):
    """nginx over HTTPS, trusted through the test certificate authority."""
    if not shutil.which("nginx"):
        pytest.skip("nginx is not installed (scripts/setup.sh installs nginx-light)")
    if not (TEST_CA / "server.key").exists():
        pytest.skip("the test certificate authority is missing (scripts/setup.sh makes it)")
    server = Nginx(tmp_path, tls=True).start()
    yield server
    server.stop()


# ---------------------------------------------------------------- fault-injecting server

@dataclass
class Behaviour:
    """How the fault server answers one path. `body` None means 404."""
    body: bytes = None
    status: int = 200
    ignore_range: bool = False      # answer 200 with the whole body even to a Range request
    no_length: bool = False         # send no Content-Length (the end is the connection's close)
    cut_at: int = None              # close the connection after this many body bytes
    stall_after: int = None         # stop sending after this many body bytes ...
    stall: float = 0.0              # ... for this many seconds (bounded by MAX_STALL)
    server: str = None              # the Server header
    rate: int = None                # bytes per second per connection
    headers: dict = field(default_factory=dict)
    stall_times: int = None         # only the first N responses stall (None: every one)
    range_status: int = None        # answer GETs with a Range header with this status ...
    range_status_times: int = None  # ... the first N times (None: every time)
    length: int = None              # announce this Content-Length instead of the body's
    exact_path: bool = False        # match the path only as sent (no percent-decoding)


class FaultServer:
    def __init__(self):
        self.paths = {}
        self.requests = []
        self.lock = threading.Lock()
        self.closing = threading.Event()
        self.active = 0         # requests being answered now
        self.max_active = 0     # most at once since the last reset_counts()
        self.stalls = {}        # path -> responses stalled so far
        self.range_failures = {}
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"
            server_version = "FaultServer"

            def log_message(self, *args):
                pass

            def do_HEAD(self):
                self.answer(head=True)

            def do_GET(self):
                self.answer(head=False)

            def answer(self, head):
                with owner.lock:
                    owner.active += 1
                    owner.max_active = max(owner.max_active, owner.active)
                try:
                    self.answer_counted(head)
                finally:
                    with owner.lock:
                        owner.active -= 1

            def answer_counted(self, head):
                path = urllib.parse.urlsplit(self.path).path
                with owner.lock:
                    owner.requests.append(Request(self.command, self.path,
                                                  {k.lower(): v for k, v in self.headers.items()}))
                    b = owner.paths.get(path)
                    if b is None:
                        b = owner.paths.get(urllib.parse.unquote(path))
                        if b is not None and b.exact_path:
                            b = None
                    fail_range = None
                    if b is not None and b.range_status and not head and self.headers.get("Range"):
                        n = owner.range_failures.get(path, 0)
                        if b.range_status_times is None or n < b.range_status_times:
                            owner.range_failures[path] = n + 1
                            fail_range = b.range_status
                    self.stall_now = False
                    if b is not None and b.stall and not head:
                        n = owner.stalls.get(path, 0)
                        if b.stall_times is None or n < b.stall_times:
                            owner.stalls[path] = n + 1
                            self.stall_now = True
                b = b or Behaviour()
                if fail_range:
                    return self.plain(fail_range, b"segment refused", b, head)
                if b.body is None or b.status == 404:
                    return self.plain(404, b"not found", b, head)
                body, status, extra = b.body, b.status, {}
                rng = self.headers.get("Range")
                m = re.match(r"\s*bytes\s*=\s*(\d+)-(\d*)\s*$", rng or "")
                if m and not b.ignore_range and status == 200:
                    first = int(m.group(1))
                    last = int(m.group(2)) if m.group(2) else len(body) - 1
                    if first >= len(body):
                        return self.plain(416, b"", b, head, {"Content-Range": f"bytes */{len(body)}"})
                    last = min(last, len(body) - 1)
                    extra["Content-Range"] = f"bytes {first}-{last}/{len(body)}"
                    body, status = body[first:last + 1], 206
                self.send(status, body, b, head, extra)

            def plain(self, status, body, b, head, extra=None):
                self.send(status, body, Behaviour(body=body, server=b.server), head, extra or {})

            def send(self, status, body, b, head, extra):
                self.send_response_only(status)
                self.send_header("Server", b.server or "FaultServer")
                self.send_header("Date", self.date_time_string())
                if not b.no_length:
                    self.send_header("Content-Length", str(len(body) if b.length is None else b.length))
                else:
                    self.close_connection = True
                for k, v in {**extra, **b.headers}.items():
                    self.send_header(k, v)
                if b.no_length or b.cut_at is not None:
                    self.send_header("Connection", "close")
                self.end_headers()
                if head:
                    return
                data = body if b.cut_at is None else body[:b.cut_at]
                self.write_body(data, b)
                if b.cut_at is not None:
                    self.close_connection = True

            def write_body(self, data, b):
                pos, stalled = 0, False
                chunk = 4096 if not b.rate else max(1, min(4096, b.rate // 10))
                while pos < len(data) and not owner.closing.is_set():
                    end = min(len(data), pos + chunk)
                    if b.stall and b.stall_after is not None and not stalled and getattr(self, "stall_now", True):
                        if pos >= b.stall_after:
                            owner.closing.wait(min(b.stall, MAX_STALL))
                            stalled = True
                        elif end > b.stall_after:
                            end = b.stall_after
                    try:
                        self.wfile.write(data[pos:end])
                        self.wfile.flush()
                    except OSError:
                        return
                    if b.rate:
                        owner.closing.wait((end - pos) / b.rate)
                    pos = end

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True
            allow_reuse_address = True

        self.httpd = Server((HOST, 0), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
        self.thread.start()

    def add(self, path: str, body: bytes = None, **behaviour) -> str:
        """Serves `body` at `path` with the given behaviour; returns the URL."""
        with self.lock:
            self.paths[path] = Behaviour(body=body, **behaviour)
        return self.url(path)

    def url(self, path: str = "/") -> str:
        return f"http://{HOST}:{self.port}{path}"

    def reset_counts(self):
        with self.lock:
            self.requests = []
            self.max_active = self.active

    def seen(self, path=None):
        with self.lock:
            return [r for r in self.requests if path is None or urllib.parse.urlsplit(r.path).path == path]

    def close(self):
        self.closing.set()
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def fault_server():
    server = FaultServer()
    yield server
    server.close()


# ---------------------------------------------------------------- proxy

class LoopbackProxy:
    """Relays absolute-form requests to 127.0.0.0/8 only; `credentials` ("user:password")
    makes it answer 407 until the client sends them."""

    def __init__(self):
        self.requests = []
        self.credentials = None
        self.lock = threading.Lock()
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                hdrs = {k.lower(): v for k, v in self.headers.items()}
                with owner.lock:
                    owner.requests.append(Request(self.command, self.path, hdrs))
                if owner.credentials:
                    want = "Basic " + base64.b64encode(owner.credentials.encode()).decode()
                    if hdrs.get("proxy-authorization") != want:
                        return self.reply(407, b"proxy credentials needed",
                                          {"Proxy-Authenticate": 'Basic realm="loopback"'})
                target = urllib.parse.urlsplit(self.path)
                if target.scheme != "http" or not (target.hostname or "").startswith("127."):
                    return self.reply(403, b"loopback only")
                try:
                    conn = http.client.HTTPConnection(target.hostname, target.port or 80, timeout=10)
                    path = target.path + ("?" + target.query if target.query else "")
                    fwd = {k: v for k, v in self.headers.items()
                           if k.lower() not in ("proxy-authorization", "proxy-connection", "connection")}
                    conn.request("GET", path or "/", headers=fwd)
                    resp = conn.getresponse()
                    body = resp.read()
                    conn.close()
                except OSError as e:
                    return self.reply(502, str(e).encode())
                keep = {k: v for k, v in resp.getheaders()
                        if k.lower() not in ("content-length", "connection", "transfer-encoding")}
                self.reply(resp.status, body, keep)

            def reply(self, status, body, headers=None):
                self.send_response_only(status)
                for k, v in (headers or {}).items():
                    self.send_header(k, v)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True

        self.httpd = Server((HOST, 0), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
        self.thread.start()

    @property
    def address(self) -> str:
        return f"{HOST}:{self.port}"

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def http_proxy():
    proxy = LoopbackProxy()
    yield proxy
    proxy.close()
