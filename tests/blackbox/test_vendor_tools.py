"""The vendor's tools and the updater's usage: what they print on request, what they refuse,
and the settings reference the README carries (generated from the one table, held against the
keys the sources read)."""
import base64
import datetime
import os
import re
import subprocess
import time

import pytest

from conftest import BIN, CLOSED, OMRA, ROOT, ini, run_windows, win
from test_session import tree
from test_signed import GUID, keys  # noqa: F401  (the fixture)
from test_vendor_walkthrough import tool

EMBED, PACK = "mirovane-embed.exe", "mirovane-pack.exe"


@pytest.mark.parametrize("exe, args, code, stream, shown", [
    (EMBED, ["--help"], 0, "out", "usage: mirovane-embed <mirovane.exe> <settings.ini> <output.exe>"),
    (EMBED, ["/?"], 0, "out", "--defaults"),
    (EMBED, [], 2, "err", "usage: mirovane-embed"),
    (EMBED, ["a.exe", "b.ini"], 2, "err", "usage: mirovane-embed"),
    (EMBED, ["--bogus", "b.ini", "c.exe"], 2, "err", "expected three paths"),
    (PACK, ["--help"], 0, "out", "--dry-run"),
    (PACK, ["-h"], 0, "out", "--verify FOLDER"),
    (PACK, [], 2, "err", "usage: mirovane-pack"),
    (PACK, ["--bogus", "a", "b"], 2, "err", "unknown switch --bogus"),
    (PACK, ["only-one"], 2, "err", "expected a release folder and an output folder"),
    (PACK, ["--verify"], 2, "err", "--verify needs a value"),
    (PACK, ["--verify", "x", "y"], 2, "err", "--verify takes the output folder only"),
    (PACK, ["--list-key", "k", "a", "b"], 2, "err", "--list-key belongs to --verify"),
    (PACK, ["--bundle", "mirovane.exe"], 2, "err", "--bundle needs the updater and the output executable"),
    ("mirovane.exe", ["--help"], 0, "out", "Usage: mirovane.exe [/mode]"),
    ("mirovane.exe", ["/?"], 0, "out", "/silence"),
    ("mirovane.exe", ["/silence", "-?"], 0, "out", "/checkforupdates"),
])
def test_usage(tmp_path, exe, args, code, stream, shown):
    got, out, err = tool(exe, *args, cwd=tmp_path)
    assert got == code, (out, err)
    assert shown in (out if stream == "out" else err), (out, err)


def test_usage_request_does_nothing_else(make_product, nginx, tmp_path):
    """/? and --help before anything: no application directory, no settings file, no hook,
    no request, no box (a box would hold the process until the time limit)."""
    marker = tmp_path / "hooked.txt"
    (tmp_path / "hook.bat").write_bytes(f'@echo hooked> "{win(marker)}"\r\n'.encode())
    product = make_product({"Mirovane": {"Mode": "AppEnterNoPrompt", "Langage": "mirovanecn.lan"},
                            "UPDATEINFO": {"ListURL": nginx.url("/l.xml"), "MainListURL": nginx.url("/m.xml")},
                            "APPLICATION": {"Application": "x.exe"},
                            "UpdateEvent": {"UpdateStartup": win(tmp_path / "hook.bat")}})
    for args in (["/?"], ["--help"], ["/silence", "/help"]):
        started = time.monotonic()
        assert product.run(*args, timeout=20) == 0, product.output
        assert time.monotonic() - started < 15
    time.sleep(1)  # a hook would have been started without waiting
    assert not product.app_dir.exists()
    assert not marker.exists()
    assert nginx.requests() == []


def test_defaults_make_an_english_updater(tmp_path):
    """The starter file embeds as it is once the list address is set, and logs in English."""
    code, text, err = tool(EMBED, "--defaults", cwd=tmp_path)
    assert code == 0, err
    name = "Starter-" + os.urandom(3).hex()
    text = text.replace("ListURL=http://updates.example.com/yourproduct/mirovane.xml", "ListURL=" + CLOSED + "/l.xml")
    text = text.replace("\r\nName=Your Product\r\n", f"\r\nName={name}\r\n")
    (tmp_path / "s.ini").write_bytes(text.encode("cp1252"))
    code, out, err = tool(EMBED, win(BIN / "mirovane.exe"), "s.ini", "u.exe", cwd=tmp_path)
    assert code == 0, err
    assert "signed lists:          no" in out and f"C:\\Brenwick\\omra\\{name}\\" in out, out
    try:
        code, _ = run_windows(tmp_path / "u.exe", ["/emptytemp"])
        assert code == 0
        assert "Run mode [emptytemp], host window [0]" in (OMRA / name / "inst.log").read_text(encoding="cp1252")
    finally:
        subprocess.run(["rm", "-rf", str(OMRA / name)])


def off_curve_key():
    x = bytearray(base64.b64decode("jyZrG37gjidMDy0af3yaYSmnDEPsyPGVMJWNJzWTxji1CHLh7A86TEsW4FiQ8yIlHippIRsfi8wBP1p5LnipsQ=="))
    x[63] ^= 1
    return base64.b64encode(bytes(x)).decode()


@pytest.mark.parametrize("settings, why", [
    (b"hello world", 'line 1: not "key=value", "[section]" or a comment: hello world'),
    (b"[UPDATEINFO]\r\nListURL=http://a/l.xml\r\nListKey=notbase64!!\r\n[APPLICATION]\r\nName=A\r\n",
     "ListKey is not a list signing key: it is not base64 text"),
    (b"[UPDATEINFO]\r\nListKey=" + base64.b64encode(b"k" * 32) + b"\r\n[APPLICATION]\r\nName=A\r\n",
     "it decodes to 32 bytes"),
    (b"[UPDATEINFO]\r\nListKey=" + off_curve_key().encode() + b"\r\n[APPLICATION]\r\nName=A\r\n",
     "not a point of the P-256 curve"),
    (b"Log=inst.log\r\n[Mirovane]\r\n", "line 1: a key before the first [section]"),
    (b"[APPLICATION]\r\nAgentName=kd\r\nName=Real\r\n", 'would be named "kd"'),
    (b"[APPLICATION]\r\nName = Spaced\r\n", 'would be named " Spaced"'),
    (b"\xef\xbb\xbf[APPLICATION]\r\nName=Bom\r\n", "starts with a Unicode byte order mark"),
], ids=["not-ini", "key-not-base64", "key-short", "key-off-curve", "key-outside-section", "name-after-agentname",
        "name-spaced", "utf8-bom"])
def test_embed_refuses(tmp_path, settings, why):
    (tmp_path / "s.ini").write_bytes(settings)
    code, out, err = tool(EMBED, win(BIN / "mirovane.exe"), "s.ini", "out.exe", cwd=tmp_path)
    assert code == 1, (out, err)
    assert why in err and "settings refused, nothing written" in err, err
    assert not (tmp_path / "out.exe").exists()


def test_embed_says_what_it_embedded(tmp_path, keys):  # noqa: F811
    _, list_key = keys["vendor"]
    (tmp_path / "s.ini").write_bytes(ini({
        "Mirovane": {"Log": "inst.log", "Logg": "typo"},
        "UPDATEINFO": {"ListURL": CLOSED + "/p/l.xml", "MainListURL": CLOSED + "/p/m.xml",
                       "ListKey": list_key, "ListGuid": GUID},
        "APPLICATION": {"Name": "Said", "Application": "said.exe"}}))
    code, out, err = tool(EMBED, win(BIN / "mirovane.exe"), "s.ini", "out.exe", cwd=tmp_path)
    assert code == 0, err
    for line in ("product:               Said", "application directory: C:\\Brenwick\\omra\\Said\\",
                 "host program:          said.exe", "list:                  " + CLOSED + "/p/l.xml",
                 "main list:             " + CLOSED + "/p/m.xml",
                 f"signed lists:          yes, key {list_key[:8]}..., guid {GUID}"):
        assert line in out, out
    assert "warning: [Mirovane] Logg is not a setting the updater reads" in err, err


def readme_reference():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    m = re.search(r"<!-- settings-reference:begin -->\n(.*)<!-- settings-reference:end -->", text, re.S)
    assert m, "the README has no settings reference markers"
    return m.group(1)


def test_readme_settings_reference_is_generated(tmp_path):
    code, out, err = tool(EMBED, "--reference", cwd=tmp_path)
    assert code == 0, err
    assert readme_reference() == out.lstrip("\n") + "\n", "README is out of date: bash scripts/settings-reference.sh"


def source_settings():
    """(section, key) of every setting the sources read by name."""
    text = "\n".join(p.read_text(encoding="utf-8") for p in (ROOT / "src").rglob("*.cpp"))
    found = set(re.findall(r'ReadSetting(?:Or|Bool|From)?\(\s*L"(\w+)",\s*L"(\w+)"\s*[,)]', text))
    # [APPLICATION] dotnetfxNN: the installer address of the version asked for.
    if 'ReadSetting(L"APPLICATION", L"dotnetfx" + code' in text:
        found |= {("APPLICATION", "dotnetfx%s" % v) for v in ("10", "11", "20", "30", "35", "40")}
    found |= {("Mirovane", k) for k in re.findall(r'SettingSeconds\(L"(\w+)"\)', text)}
    # The .NET keys are read through a table of their own.
    found |= {("Mirovane", k) for k in re.findall(r'\{L"(dotnetfx\d\d)", L"\d\.\d"\}', text)}
    found |= {("Mirovane", k) for k in ("DotNetFix", "DotNetFx", "dotnetfix", "dotnetfx")}
    return found


def reference_settings(markdown):
    keys, section = set(), None
    for line in markdown.splitlines():
        m = re.match(r"\*\*\[(\w+)\]\*\*", line)
        if m:
            section = m.group(1)
        elif line.startswith("| `"):
            for key in re.findall(r"`([^`]+)`", line.split(" | ")[0]):
                keys.add((section, key))
    return keys


def test_reference_holds_every_setting_the_sources_read():
    read, documented = source_settings(), reference_settings(readme_reference())
    assert ("Mirovane", "NetTimeout") in read and ("UPDATEINFO", "ListKey") in read  # the scan finds the calls
    assert not read - documented, f"read but not in the settings reference: {sorted(read - documented)}"
    sources = "\n".join(p.read_text(encoding="utf-8") for p in (ROOT / "src").rglob("*.cpp")
                        if p.name != "settings_reference.cpp")
    stale = {k for k in documented if not k[1].startswith("<") and f'"{k[1]}"' not in sources
             and not re.match(r"dotnetfx\d\d$", k[1])}
    assert not stale, f"in the settings reference but read nowhere: {sorted(stale)}"


def pack(tmp_path, *args):
    return tool(PACK, *args, cwd=tmp_path)


def test_pack_dry_run_and_verify(tmp_path, keys):  # noqa: F811
    key_file, list_key = keys["vendor"]
    other_key = keys["other"][0]
    for rel, files in (("r1", {"a.txt": b"one " * 100, "b.txt": b"same", "c.txt": b"gone"}),
                       ("r2", {"a.txt": b"two " * 100, "b.txt": b"same", "d.txt": b"new"})):
        for name, data in files.items():
            (tmp_path / rel).mkdir(exist_ok=True)
            (tmp_path / rel / name).write_bytes(data)
    signed = ("--key", win(key_file), "--main-list", "main.xml", "--guid", GUID)
    assert pack(tmp_path, *signed, "--dry-run", "r1", "site")[0] == 0
    assert not (tmp_path / "site").exists()  # a dry run writes nothing, not even the folder
    assert pack(tmp_path, *signed, "r1", "site")[0] == 0
    before = tree(tmp_path / "site", skip=())
    code, out, _ = pack(tmp_path, *signed, "--dry-run", "r2", "site")
    assert code == 0
    for line in ("added     d.txt", "changed   a.txt", "dropped   c.txt", "1 added, 1 changed, 1 dropped, 1 unchanged",
                 "would be signed with sequence 2"):
        assert line in out, out
    assert tree(tmp_path / "site", skip=()) == before

    def verify(*args):
        return pack(tmp_path, "--verify", "site", "--main-list", "main.xml", *args)

    for ok in (["--key", win(key_file)], ["--list-key", list_key], ["--list-key", "ListKey=" + list_key]):
        code, out, err = verify(*ok)
        assert code == 0, err
        assert "mirovane.xml: signature verified as the update list" in out, out
        assert "main.xml: signature verified as the main list" in out and "verified, 2 list(s), 3 file(s) match" in out, out
    code, out, err = verify()
    assert code == 0 and "signatures not checked" in out, out
    code, _, err = verify("--key", win(other_key))
    assert code == 1 and "mirovane.xml: its signature does not match" in err, err

    # Faults a published folder can have, each found and named.
    site = tmp_path / "site"
    zipped = sorted(p.name for p in site.glob("*._.zip"))
    assert zipped == ["a.txt._.zip"], zipped
    faults = [
        ("b.txt", b"changed after packing", "[b.txt] does not match its hash"),
        ("a.txt._.zip", b"PK not a zip", "[a.txt._.zip] cannot be unpacked"),
        ("c.txt", None, "[c.txt] is missing from the folder"),
        ("mirovane.xml.sig", None, "no signature beside it"),
    ]
    for name, data, why in faults:
        saved = (site / name).read_bytes()
        if data is None:
            (site / name).unlink()
        else:
            (site / name).write_bytes(data)
        code, _, err = verify("--key", win(key_file))
        assert code == 1 and why in err and "verification FAILED" in err, (name, err)
        (site / name).write_bytes(saved)
    assert verify("--key", win(key_file))[0] == 0
    # Each list is signed in its role: the main list in the update list's place does not verify.
    saved = {n: (site / n).read_bytes() for n in ("mirovane.xml", "mirovane.xml.sig", "main.xml", "main.xml.sig")}
    for ext in ("", ".sig"):
        (site / ("mirovane.xml" + ext)).write_bytes(saved["main.xml" + ext])
    code, _, err = verify("--key", win(key_file))
    assert code == 1 and "mirovane.xml: its signature does not match as the update list" in err, err
    for n, data in saved.items():
        (site / n).write_bytes(data)


@pytest.mark.parametrize("expires, code, shown", [
    (None, 0, "the signed lists expire on "),
    ("none", 0, "signed, sequence 1, no expiry"),
    ("2099-01-01T00:00:00Z", 0, "signed, sequence 1, expires 2099-01-01T00:00:00Z"),
    ("2001-01-01T00:00:00Z", 1, "--expires names a time already past"),
    ("next year", 1, "--expires needs a UTC time"),
    ("2099-01-01T00:00:00", 1, "--expires needs a UTC time"),  # no zone: local time
])
def test_pack_signed_lists_expire_by_default(tmp_path, keys, expires, code, shown):  # noqa: F811
    (tmp_path / "r").mkdir()
    (tmp_path / "r" / "a.txt").write_bytes(b"a")
    opts = ["--expires", expires] if expires else []
    got, out, err = pack(tmp_path, "--key", win(keys["vendor"][0]), "--main-list", "main.xml", *opts, "r", "site")
    assert got == code and shown in out + err, out + err
    if code == 0:
        lists = [(tmp_path / "site" / n).read_text() for n in ("mirovane.xml", "main.xml")]
        for text in lists:  # the main list carries the same sequence and expiry
            assert "<sequence>1</sequence>" in text and (("<expires>" in text) == (expires != "none")), text
        if expires is None:
            year = int(re.search(r"<expires>(\d{4})-", lists[0]).group(1))
            assert year == datetime.datetime.now(datetime.timezone.utc).year + 1
