"""A new vendor's first hour, done as the README's "How a vendor uses it" says, step by step,
with the tools from the build and the test nginx as the web server: make a key, start the
settings from --defaults, embed, pack and sign two releases, verify, serve, install release 1,
and let release 1 of the host program start the updater, which asks to close it, installs
release 2 and starts it again. Prints the wall-clock time of the whole walk."""
import os
import re
import shutil
import subprocess
import time
import uuid

from conftest import BIN, OMRA, win
from driver import click_box
from test_session import HOST1, HOST2, tree, wait_for
from ui import ui

GUID = "{6B1C2F0A-4D2E-4C51-9F3B-7A0E5D1C2B34}"


def tool(exe, *args, cwd):
    """A vendor tool run in the vendor's working folder: (exit code, stdout, stderr)."""
    proc = subprocess.run(["wine", str(BIN / exe), *map(str, args)], cwd=cwd, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=120)
    return proc.returncode, proc.stdout.decode("cp1252", "replace"), proc.stderr.decode("cp1252", "replace")


def set_key(text: str, key: str, line: str) -> str:
    """Edits the one line of `key` (set, or commented out with ";") as a person would."""
    pattern = re.compile(r"^;?%s=.*$" % re.escape(key), re.M)
    assert len(pattern.findall(text)) == 1, key
    return pattern.sub(lambda _: line, text)


def write_release(root, files):
    for name, data in files.items():
        p = root / name
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)


def test_new_vendor_walkthrough(nginx, tmp_path):
    started = time.monotonic()
    work = tmp_path / "vendor"
    work.mkdir()
    name = "TinyNote-" + uuid.uuid4().hex[:6]
    noise = os.urandom(3000)  # incompressible: no zipped copy of it
    write_release(work / "release-1", {"tinynote.exe": HOST1.read_bytes(), "readme.txt": b"TinyNote 1\r\n" * 40,
                                       "noise.bin": noise, "data/notes.txt": b"notes of release 1"})
    write_release(work / "release-2", {"tinynote.exe": HOST2.read_bytes(), "readme.txt": b"TinyNote 2\r\n" * 40,
                                       "noise.bin": noise, "data/notes.txt": b"notes of release 2",
                                       "plugin.bin": os.urandom(2000)})
    site = nginx.root / "tinynote"  # step 5: the web server serves this folder as it is
    procs = []
    try:
        # 1. Make a signing key, once (and, on Linux, chmod 600 it).
        code, out, err = tool("mirovane-pack.exe", "--new-key", "vendor", cwd=work)
        assert code == 0, err
        list_key = next(l for l in out.splitlines() if l.startswith("ListKey=")).strip()
        assert "chmod 600" in err  # what Wine cannot do itself, the tool says
        assert os.stat(work / "vendor.key").st_mode & 0o007 == 0, "the private key is open to everyone"
        os.chmod(work / "vendor.key", 0o600)

        # 2. Start the settings from the reference copy and set the four keys, the key and a guid.
        code, settings, err = tool("mirovane-embed.exe", "--defaults", cwd=work)
        assert code == 0, err
        settings = set_key(settings, "ListURL", "ListURL=" + nginx.url("/tinynote/mirovane.xml"))
        settings = set_key(settings, "MainListURL", "MainListURL=" + nginx.url("/tinynote/main.xml"))
        settings = set_key(settings, "Name", "Name=" + name)
        settings = set_key(settings, "Application", "Application=tinynote.exe")
        settings = set_key(settings, "ListKey", list_key)
        settings = set_key(settings, "ListGuid", "ListGuid=" + GUID)
        (work / "settings.ini").write_bytes(settings.encode("cp1252"))

        # 3. Embed them into the vendor's copy of the updater.
        code, out, err = tool("mirovane-embed.exe", win(BIN / "mirovane.exe"), "settings.ini", "tinynote-updater.exe",
                              cwd=work)
        assert code == 0, err
        assert err == "", err  # no warning for the settings the README tells to write
        for shown in ("product:               " + name, "application directory: C:\\Brenwick\\omra\\" + name + "\\",
                      "list:                  " + nginx.url("/tinynote/mirovane.xml"), "signed lists:          yes"):
            assert shown in out, out

        # 4. Pack and sign release 1.
        pack = ("--key", "vendor.key", "--main-list", "main.xml", "--guid", GUID)
        code, out, err = tool("mirovane-pack.exe", *pack, "release-1", win(site), cwd=work)
        assert code == 0, err
        assert "all 4 files are new" in out, out

        # 6. Install release 1: its files, the updater and its list into the application directory.
        app = OMRA / name
        app.mkdir(parents=True)
        shutil.copytree(work / "release-1", app, dirs_exist_ok=True)
        shutil.copy(work / "tinynote-updater.exe", app)
        shutil.copy(site / "mirovane.xml", app / "mirovane.xml")

        # 4 again: release 2, a dry run first, then for real; verify before serving.
        before = tree(site, skip=())
        code, out, err = tool("mirovane-pack.exe", *pack, "--dry-run", "release-2", win(site), cwd=work)
        assert code == 0, err
        for change in ("added     plugin.bin", "changed   data\\notes.txt", "changed   readme.txt",
                       "changed   tinynote.exe", "1 added, 3 changed, 0 dropped, 1 unchanged", "nothing was written"):
            assert change in out, out
        assert tree(site, skip=()) == before
        code, out, err = tool("mirovane-pack.exe", *pack, "release-2", win(site), cwd=work)
        assert code == 0, err
        assert "signed, sequence 2" in out, out
        code, out, err = tool("mirovane-pack.exe", "--verify", win(site), "--key", "vendor.key", "--main-list",
                              "main.xml", cwd=work)
        assert code == 0, err
        assert "verified, 2 list(s), 5 file(s) match" in out, out

        # 7. Release 1 of the program runs and starts the updater as "/silence /<its window>".
        restarted = tmp_path / "restarted.txt"
        env = {**os.environ, "MIROVANE_SAMPLE_HOST_OUT": win(restarted)}
        (app / "tinynote.exe.out").write_text(win(restarted))  # for a start by the desktop shell
        watch = tmp_path / "v1.txt"
        procs.append(subprocess.Popen(
            ["wine", str(app / "tinynote.exe"), "--timeout", "120", "--out", win(watch), "--run",
             win(app / "tinynote-updater.exe"), "/silence"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env))
        # The updater asks to close the running program, under the product's name.
        box = ui("find", "#32770", name, timeout_ms=90000)
        assert box.get("caption") == name, box
        assert click_box("Close it now?", "yes", 30000)
        # Release 1 is closed for the copy (it followed the check until then) and release 2 started.
        wait_for(lambda: restarted.exists() and "version 2" in restarted.read_text(), 120, "release 2 to start")
        stages = [l for l in watch.read_text().splitlines() if l.startswith("stage ")]
        assert any(l.startswith("stage 3 ") and l.endswith(" files 4") for l in stages), stages
        wait_for(lambda: (app / "mirovane.sequence").exists(), 30, "the session to end")
    finally:
        subprocess.run(["wine", "taskkill", "/f", "/im", "tinynote.exe"], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=60)
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait(30)

    installed = tree(app, skip=("inst.log", "mirovane.ini", "mirovane.xml", "mirovane.sequence", "tinynote-updater.exe"))
    assert installed == tree(work / "release-2")
    assert (app / "mirovane.sequence").read_text().strip() == "2"
    log = (app / "inst.log").read_bytes().decode("cp1252")
    assert log.count("signature verified") >= 2 and "refused" not in log, log
    # The list says which files have a zipped copy: none is asked for in vain.
    assert "No zipped copy on the server" not in log, log
    assert "Size query failed" not in log, log
    print(f"\nvendor walkthrough: {time.monotonic() - started:.1f} s from an empty folder to release 2 running")
    shutil.rmtree(app, ignore_errors=True)
