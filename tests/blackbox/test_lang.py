"""Language files and the built-in translations, seen from outside the program."""
import pathlib
import re
import subprocess
import sys

from conftest import ROOT
from test_notify import handle_of, run_host

RESOURCES = ROOT / "src" / "resources"


def test_builtin_translations_reach_the_host_on_a_western_machine(make_product, tmp_path):
    """The prefix runs code page 1252; the Chinese texts still arrive right (UTF-16)."""
    for language, expected in (("mirovanecn.lan", "运行模式 [downparam0]，宿主窗口 [%d]"),
                               ("mirovanebig.lan", "執行模式 [downparam0]，主程式視窗 [%d]")):
        product = make_product({"Mirovane": {"Language": language}})
        lines = run_host(tmp_path, product, "/downparam0")
        assert "log " + expected % handle_of(lines) in lines, lines


def test_named_file_then_exe_named_file_wins(make_product):
    product = make_product({"Mirovane": {"Langage": "Custom.LAN", "Language": "mirovanecn.lan"}})
    product.app_dir.mkdir(parents=True, exist_ok=True)
    (product.app_dir / "custom.lan").write_bytes(
        "[MAIN]\r\nRun mode [%s], host window [%lu]=Modus [%s], Fenster [%lu]\r\n".encode("cp1252"))
    assert product.run("/downparam0") == 0
    assert "]Modus [downparam0], Fenster [0]\r\n" in product.log()

    (product.app_dir / "mirovane.lan").write_bytes(
        "; later file\r\n[MAIN]\r\nRun mode [%s], host window [%lu]=Betriebsart [%s] für Fenster [%lu]\r\n"
        .encode("cp1252"))
    assert product.run("/downparam0") == 0
    assert "]Betriebsart [downparam0] für Fenster [0]\r\n" in product.log()


def source_texts():
    """Every (section, text) the sources pass to Translate as literals."""
    literal = r'L"((?:[^"\\]|\\.)*)"'
    call = re.compile(r'Translate\(\s*L"(MAIN|TRYICON)"\s*,\s*((?:%s\s*)+)\)' % literal)
    found = set()
    for path in (ROOT / "src").rglob("*.cpp"):
        for m in call.finditer(path.read_text(encoding="utf-8")):
            text = "".join(re.findall(literal, m.group(2)))
            text = re.sub(r"\\(.)", lambda e: {"n": "\n", "t": "\t", "r": "\r"}.get(e.group(1), e.group(1)), text)
            found.add((m.group(1), text))
    return found


def builtin_entries(name, codepage):
    entries, section = set(), None
    for line in (RESOURCES / name).read_bytes().decode(codepage).split("\r\n"):
        if line.startswith("[") and line.endswith("]"):
            section = line[1:-1]
        elif section and "=" in line and not line.startswith(";"):
            key, text = line.split("=", 1)
            if text:
                entries.add((section, key.replace("\\n", "\n").replace("\\t", "\t")))
    return entries


def test_every_program_text_has_both_translations():
    texts = source_texts()
    assert ("MAIN", "Run mode [%s], host window [%lu]") in texts  # the scan finds the calls
    for name, codepage in (("lang_chs.lan", "cp936"), ("lang_cht.lan", "cp950")):
        missing = texts - builtin_entries(name, codepage)
        assert not missing, f"{name} lacks translations of {sorted(missing)}"


def test_builtin_files_are_generated_from_their_table(tmp_path):
    before = {p.name: p.read_bytes() for p in RESOURCES.glob("lang_*.lan")}
    copy = tmp_path / "make_lang.py"
    copy.write_bytes((RESOURCES / "make_lang.py").read_bytes())
    subprocess.run([sys.executable, str(copy)], check=True, timeout=60)
    for name, data in before.items():
        assert (tmp_path / name).read_bytes() == data, f"{name} is out of date: run make_lang.py"
