"""The program under test is the shipped 32-bit executable, running as a
32-bit process on 64-bit Windows (WOW64)."""
import re
import struct

import pytest

from winebed import EXE

IMAGE_FILE_MACHINE_I386 = 0x014C


def pe_machine(path) -> int:
    data = path.read_bytes()[:4096]
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    assert data[pe_offset:pe_offset + 4] == b"PE\0\0"
    (machine,) = struct.unpack_from("<H", data, pe_offset + 4)
    return machine


def require_32bit_build():
    if pe_machine(EXE) != IMAGE_FILE_MACHINE_I386:
        pytest.skip("this machine cannot run 32-bit programs: the tests run the 64-bit build")


def test_the_program_under_test_is_the_32bit_build():
    require_32bit_build()
    assert pe_machine(EXE) == IMAGE_FILE_MACHINE_I386


def test_a_run_reports_a_64bit_system_from_its_32bit_process(prefix):
    require_32bit_build()
    result = prefix.run("/silent", "/DISABLEEXPERIENCEMETRICS")
    assert result.exit_code == 0
    xml = (prefix.log_folder / "UninstallLog.xml").read_text()
    os_line = re.search(r"<OS>([^<]*)</OS>", xml)
    assert os_line, xml
    assert " x64 " in os_line.group(1)
