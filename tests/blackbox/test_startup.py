"""Start-up: the application directory, the settings file, the command line and the run mode."""
import re
import shutil

import pytest

from conftest import BIN, OMRA, ROOT, list_cache_name


def mode_line(product):
    # The shipped settings choose the Chinese translation, which a code page 1252 log shows as "?".
    m = re.findall(r"(?:Run mode|\?+) \[([^\]]*)\](?:, host window|,?\?+) \[(\d+)\]", product.log())
    return m[-1] if m else None


def test_builtin_settings_written_at_every_start(tmp_path):
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


def test_mode_from_builtin_settings(tmp_path):
    from conftest import Product
    exe = tmp_path / "mirovane.exe"
    shutil.copy(BIN / "mirovane.exe", exe)
    product = Product(exe, "Mirovane Demo")
    shutil.rmtree(product.app_dir, ignore_errors=True)
    product.run(timeout=30)
    assert mode_line(product) == ("appenternoprompt", "0")
