"""Start-up: the application directory, the settings file, the command line and the run mode."""
import re
import shutil

import pytest

from conftest import BIN, CLOSED, OMRA, ROOT, list_cache_name


def mode_line(product):
    # The shipped settings choose the Chinese translation, which a code page 1252 log shows as "?".
    m = re.findall(r"(?:Run mode|\?+) \[([^\]]*)\](?:, host window|,?\?+) \[(\d+)\]", product.log())
    return m[-1] if m else None


@pytest.fixture
def shipped_port():
    """The shipped settings name the demo's server. The port is held (bound, not listening) while
    a test runs a copy on those settings, so that the copy never reaches a demo that runs on the
    same machine: its requests are refused."""
    import socket
    text = (ROOT / "src/resources/mirovane.ini").read_text("cp1252")
    port = int(re.search(r"ListURL=http://127\.0\.0\.1:(\d+)/", text).group(1))
    held = socket.socket()
    try:
        held.bind(("127.0.0.1", port))
    except OSError as e:
        pytest.fail(f"port {port} of the shipped settings is taken (is scripts/run-demo.sh running?): {e}")
    yield
    held.close()


def test_builtin_settings_written_at_every_start(tmp_path, shipped_port):
    """The shipped copy lands in C:\\Brenwick\\omra\\<Name>\\ byte for byte, every time."""
    from conftest import Product
    exe = tmp_path / "mirovane.exe"
    shutil.copy(BIN / "mirovane.exe", exe)
    product = Product(exe, "Mirovane Demo")
    shipped = (ROOT / "src/resources/mirovane.ini").read_bytes()
    assert b"\r\n" in shipped and b"\n" not in shipped.replace(b"\r\n", b"")
    shutil.rmtree(product.app_dir, ignore_errors=True)

    product.run("/downparam0")
    assert (product.app_dir / "mirovane.ini").read_bytes() == shipped
    (product.app_dir / "mirovane.ini").write_bytes(b"[Mirovane]\r\nMode=silence\r\n")
    product.run("/downparam0")
    assert (product.app_dir / "mirovane.ini").read_bytes() == shipped
    assert mode_line(product) == ("downparam0", "0")


def test_mode_from_builtin_settings(tmp_path, shipped_port):
    from conftest import Product
    exe = tmp_path / "mirovane.exe"
    shutil.copy(BIN / "mirovane.exe", exe)
    product = Product(exe, "Mirovane Demo")
    shutil.rmtree(product.app_dir, ignore_errors=True)
    product.run(timeout=30)
    assert mode_line(product) == ("appenternoprompt", "0")


BASE = {"Mirovane": {"Mode": "", "ShowWhenCheck": "0"},
        "UPDATEINFO": {"ListURL": CLOSED + "/none.xml"}}


@pytest.mark.parametrize("args, mode", [
    (["/downparam0"], "downparam0"),
    (["-downparam1"], "downparam1"),
    (["/emptytemp", "/downparam0"], "downparam0"),   # the last mode word wins
    (["/downparam0,emptytemp"], "emptytemp"),
    (["/DOWNPARAM0", "/NotAMode"], "downparam0"),
])
def test_mode_words(make_product, args, mode):
    product = make_product(BASE)
    assert product.run(*args) == 0
    assert mode_line(product) == (mode, "0")


@pytest.mark.parametrize("word, mode", [
    ("/icon", "tryicon"),
    ("/showwhenhaveupdate", "showwhenupdate"),
    ("/silence", "silence"),
])
def test_mode_aliases(make_product, word, mode):
    # Modes that open windows are ended by the time limit: only start-up is observed here.
    product = make_product(BASE)
    product.run(word, timeout=20)
    assert mode_line(product)[0] == mode


def test_mode_from_settings_and_host_window(make_product, test_window):
    product = make_product({**BASE, "Mirovane": {"Mode": "DownParam1"}})
    assert product.run(f"/{test_window}") == 0
    assert mode_line(product) == ("downparam1", str(test_window))
    # A number that is not a window is not a host window.
    assert product.run("/downparam0", "/1234567") == 0
    assert mode_line(product) == ("downparam0", "0")


def test_dotnet_switch_only_after_first_position(make_product):
    product = make_product(BASE)
    assert product.run("/dotnet20", "/downparam0") == 0
    log = product.log()
    assert "Check .NET Framework 2.0" in log
    assert "Run mode" not in log   # start-up ends with the .NET offer

    product2 = make_product(BASE)
    assert product2.run("dotnet20", "/downparam0") == 0
    assert "Check .NET Framework" not in product2.log()
    assert mode_line(product2) == ("downparam0", "0")


def test_emptytemp_removes_list_cache_only(make_product):
    url = CLOSED + "/list.xml"
    product = make_product({"Mirovane": {"Mode": "", "TempPath": "cache"}, "UPDATEINFO": {"ListURL": url}})
    product.run("/downparam0")
    cache = product.app_dir / "cache"
    name = list_cache_name(url + "9999999999")
    cache.mkdir(exist_ok=True)
    doomed = [cache / (name + s) for s in (".xml.xml", ".xml", ".bin", ".ini")]
    for f in doomed:
        f.write_bytes(b"x")
    (cache / name / "sub").mkdir(parents=True)
    (cache / name / "sub" / "file_").write_bytes(b"x")
    (cache / name / "ro").write_bytes(b"x")
    kept = [cache / (name + ".lst"), cache / "mirovane.ini", cache / "other.xml"]
    for f in kept:
        f.write_bytes(b"k")

    assert product.run("/emptytemp") == 0
    assert not any(f.exists() for f in doomed)
    assert not (cache / name).exists()
    assert all(f.exists() for f in kept)


def test_embedder_rejects_bad_input_and_keeps_the_original(tmp_path):
    import subprocess
    from conftest import win
    exe = tmp_path / "m.exe"
    shutil.copy(BIN / "mirovane.exe", exe)
    before = exe.read_bytes()
    (tmp_path / "s.ini").write_bytes(b"[APPLICATION]\r\nName=x\r\n")
    (tmp_path / "notexe.exe").write_bytes(b"MZ but not really an executable" * 4)

    def embed(*args):
        return subprocess.run(["wine", str(BIN / "mirovane-embed.exe"), *args], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=60)

    cases = [
        (win(exe), win(tmp_path / "missing.ini"), win(tmp_path / "o1.exe"), "cannot read the settings file"),
        (win(tmp_path / "notexe.exe"), win(tmp_path / "s.ini"), win(tmp_path / "o2.exe"), "not a Windows executable"),
        (win(tmp_path / "s.ini"), win(tmp_path / "s.ini"), win(tmp_path / "o3.exe"), "not a Windows executable"),
        (win(exe), win(tmp_path / "s.ini"), win(exe), "must not be the input"),
    ]
    for src, settings, out, message in cases:
        proc = embed(src, settings, out)
        assert proc.returncode != 0
        assert message in proc.stderr.decode(), proc.stderr
    assert not any((tmp_path / f"o{i}.exe").exists() for i in (1, 2, 3))
    assert exe.read_bytes() == before
    assert embed(win(exe)).returncode != 0   # usage


def test_shared_installation_id_names_a_subdirectory(make_product):
    product = make_product(BASE)
    (product.exe.parent.parent / "Kelvorbook.ini").write_bytes(b"[APPLICATION]\r\nKelvorbookId=42\r\n")
    try:
        assert product.run("/downparam0") == 0
        sub = product.app_dir / "ZR_42"
        assert (sub / "mirovane.ini").exists()
        assert "Run mode [downparam0]" in (sub / "inst.log").read_text()
    finally:
        (product.exe.parent.parent / "Kelvorbook.ini").unlink()


def test_huge_saved_list_is_refused_with_a_log_line(make_product, tmp_path):
    """A relaunch finds a saved list of 240 MB whose header claims millions of records: it is
    refused by its size, with a log line, and the exit code stays a count (here none)."""
    import struct
    list_url = CLOSED + "/none.xml"

    def text(s):
        return struct.pack("<i", len(s)) + s.encode("utf-16-le")

    size = 240 * 2**20
    head = text("!-end------") + struct.pack("<i", 0) + text("") * 5 + struct.pack("<i", 6)
    head += struct.pack("<i", (size - len(head) - 4) // 36)
    saved = tmp_path / (list_cache_name(list_url + "9999999999") + ".lst")
    with open(saved, "wb") as f:  # sparse: the zeros cost no disk
        f.write(head)
        f.truncate(size)
    product = make_product({"Mirovane": {"TempPath": "Z:" + str(tmp_path).replace("/", "\\")},
                            "UPDATEINFO": {"ListURL": list_url}})
    assert product.run("/downparam0", "/___runas_admin___") == 0
    log = product.log()
    assert "Run mode [downparam0]" in log
    assert re.search(r"\]The saved list \[[^\]]*\.lst\] is larger than \d+ bytes and is not read\r\n", log), log
