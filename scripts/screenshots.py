#!/usr/bin/python3
"""Runs the updater's windows against a loopback list server and photographs them.

    screenshots.py <bin dir> <output dir> <dpi> <scratch dir>

Called by screenshots.sh inside a Wine world (WINEPREFIX and DISPLAY set). The list is served
slowly, so that the progress window is still at work when it is photographed; with its main
list and its one file the run goes on to 100 %, photographed too."""
import http.server
import os
import pathlib
import subprocess
import sys
import threading
import time

LIST = (b'<?xml version="1.0" encoding="utf-8"?>\r\n<update>\r\n <description>Screenshot release</description>\r\n'
        b' <file path="readme.txt" ver="1.0.1"/>\r\n</update>\r\n')
MAIN_LIST = b'<?xml version="1.0" encoding="utf-8"?>\r\n<update>\r\n</update>\r\n'
FILES = {"/u/main.xml": MAIN_LIST, "/u/readme.txt": b"Screenshot release 1.0.1\r\n"}


class Slow(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        if self.path in FILES:
            body = FILES[self.path]
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        if self.path != "/u/list.xml":
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Length", str(len(LIST)))
        self.end_headers()
        for i in range(0, len(LIST), 8):  # about 8 seconds in all
            self.wfile.write(LIST[i:i + 8])
            self.wfile.flush()
            time.sleep(8 / (len(LIST) / 8))


def win(path):
    return "Z:" + str(path).replace("/", "\\")


def helper(bin_dir, *args, timeout_ms=20000):
    out = subprocess.run(["wine", str(bin_dir / "uihelper.exe"), str(timeout_ms), *map(str, args)],
                         stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout_ms / 1000 + 30).stdout
    return dict(line.rstrip("\r").partition("=")[::2] for line in out.decode("utf-8", "replace").splitlines())


def shoot(client, path):
    l, t, r, b = map(int, client.split(","))
    subprocess.run(["import", "-display", os.environ["DISPLAY"], "-window", "root", "-crop",
                    f"{r - l}x{b - t}+{l}+{t}", "+repage", str(path)], check=True, timeout=30)
    print("screenshots:", path)


def product(bin_dir, scratch, name, settings):
    folder = scratch / name
    folder.mkdir(parents=True, exist_ok=True)
    ini = folder / "settings.ini"
    ini.write_bytes("\r\n".join(settings).encode("cp1252"))
    exe = folder / "mirovane.exe"
    subprocess.run(["wine", str(bin_dir / "mirovane-embed.exe"), win(bin_dir / "mirovane.exe"), win(ini), win(exe)],
                   stdin=subprocess.DEVNULL, capture_output=True, check=True, timeout=60)
    return exe


def main():
    bin_dir, out_dir, dpi, scratch = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), sys.argv[3], \
        pathlib.Path(sys.argv[4])
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Slow)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}/u/"
    common = ["[UPDATEINFO]", f"ListURL={base}list.xml", f"MainListURL={base}main.xml", "[Mirovane]", "Log=inst.log"]

    exe = product(bin_dir, scratch, f"progress{dpi}", ["[APPLICATION]", "Name=Mirovane Screenshots"] + common
                  + ["Mode="])
    proc = subprocess.Popen(["wine", str(exe)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    found = helper(bin_dir, "find", "MirovaneProgress", "-")
    if "client" in found:
        time.sleep(0.8)
        shoot(found["client"], out_dir / f"progress-start-{dpi}.png")
        if helper(bin_dir, "waittext", "MirovaneProgress", "-", 171, "%", timeout_ms=6000).get("text"):
            time.sleep(3.2)  # the first tick after two seconds shows the status line and the bar
            shoot(found["client"], out_dir / f"progress-{dpi}.png")
        # The completion line and the full bar stay until the window closes itself.
        if helper(bin_dir, "waittext", "MirovaneProgress", "-", 171, "100%", timeout_ms=60000).get("text"):
            shoot(found["client"], out_dir / f"progress-done-{dpi}.png")
    proc.wait(timeout=120)

    # A name of its own: the progress run above installed the release for its name.
    exe = product(bin_dir, scratch, f"tray{dpi}", ["[APPLICATION]", "Name=Mirovane Tray"] + common
                  + ["CheckTmSpan=1"])
    proc = subprocess.Popen(["wine", str(exe), "/tryicon"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    # The pop-up comes up by itself with the countdown once the check has found the file (the
    # first check waits a spread of up to six seconds with a one-minute period).
    offer = helper(bin_dir, "waittext", "MirovaneTray", "-", 0, "Update after", timeout_ms=60000)
    found = helper(bin_dir, "find", "MirovaneTray", "-")
    if not offer.get("text"):
        print("screenshots: the tray found no update:", found.get("caption"))
    if "client" in found:
        time.sleep(1.5)
        shoot(found["client"], out_dir / f"tray-{dpi}.png")
    helper(bin_dir, "post", "MirovaneTray", "-", 0x111, 40097, 0)  # Exit
    proc.wait(timeout=120)
    server.shutdown()


if __name__ == "__main__":
    main()
