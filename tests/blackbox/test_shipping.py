"""The shipped executable: stripped, with its symbols in a separate file that it names."""
import struct
import zlib

from conftest import BIN


def pe_symbol_count(data: bytes) -> int:
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0"
    return struct.unpack_from("<I", data, pe + 16)[0]  # COFF header: NumberOfSymbols


def test_executable_is_stripped_and_its_symbols_are_kept_beside_it():
    exe = (BIN / "mirovane.exe").read_bytes()
    debug = (BIN / "mirovane.exe.debug").read_bytes()
    assert pe_symbol_count(exe) == 0
    assert pe_symbol_count(debug) > 1000
    # The debug link names the symbol file and carries its CRC-32, so a debugger finds the
    # right one and refuses a stale one.
    at = exe.find(b"mirovane.exe.debug\0")
    assert at > 0
    crc_at = (at + len(b"mirovane.exe.debug\0") + 3) & ~3
    assert struct.unpack_from("<I", exe, crc_at)[0] == zlib.crc32(debug)
