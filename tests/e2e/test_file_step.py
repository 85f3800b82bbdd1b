"""Step 6 of the real executable: the shipped configuration's files and
folders, the persistent-data folder and the listener keys, a file held open
by another process, and links (which Wine cannot create)."""
import subprocess
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

from winebed import EXE, TOOL_FOLDER, WINE64


def runs_under_wow64():
    """Whether the executable under test is the 32-bit build, which runs
    under WOW64 in the 64-bit Wine prefix."""
    data = EXE.read_bytes()[:4096]
    pe = int.from_bytes(data[0x3C:0x40], "little")
    return int.from_bytes(data[pe + 4:pe + 6], "little") == 0x14C


WOW64 = runs_under_wow64()
# Unflagged System32 entries reach the 64-bit folder through Sysnative.
SYSTEM32_SHOWN = "C:\\windows\\Sysnative" if WOW64 else "C:\\windows\\System32"

WINSTATIONS = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations"
LISTENERS = [WINSTATIONS + "\\Console\\Kpa", WINSTATIONS + "\\Kpa-CGP", WINSTATIONS + "\\Kpa-CGP-1",
             WINSTATIONS + "\\Kpa-CGP-2", WINSTATIONS + "\\Kpa-CGP-3", WINSTATIONS + "\\Kpa-CGP-HTML5",
             WINSTATIONS + "\\Kpa-SSL", WINSTATIONS + "\\Kpa-TCP",
             "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\Wds\\kpawd"]
PERSISTENT = "C:\\ProgramData\\Halvora\\NrvAgent\\LocallyPersistedData\\DeskLinkInfo"

# Files and folders the shipped configuration names, as the agent leaves them.
SEEDED = [
    "C:\\windows\\system32\\drivers\\zgfx.sys",
    "C:\\windows\\system32\\drivers\\ZorTdi.sys",
    "C:\\windows\\system32\\kpawdapi.dll",
    "C:\\windows\\system32\\DriverStore\\Temp\\Halvora\\pkg\\zgfx.inf",
    "C:\\windows\\Temp\\Halvora\\install.log",
    "C:\\windows\\inf\\ZorPrint.inf",
    "C:\\Program Files\\Halvora\\Zorander\\Broker\\NrvBrokerAgent.exe",
    "C:\\Program Files\\Halvora\\Zorander\\Session\\NrvSessionAgent.exe",
    "C:\\Program Files\\Halvora\\Common\\shared.dll",
    "C:\\Program Files (x86)\\Halvora\\system32\\hvrauth.dll",
    "C:\\ProgramData\\Halvora\\NrvAgent\\agent.ini",
    "C:\\ProgramData\\Halvora\\Logs\\agent.log",
    "C:\\HvrTemp\\setup\\x.tmp",
    "C:\\users\\root\\AppData\\Local\\Halvora\\Zorander\\cache.bin",
    "C:\\users\\root\\AppData\\Roaming\\Halvora\\Zorander\\settings.ini",
    "C:\\users\\other\\AppData\\Local\\Halvora\\Zorander\\cache.bin",
    PERSISTENT + "\\links.dat",
]
# Entries flagged Wow64Redir name the 32-bit program folder only from the
# 32-bit process; the 64-bit build does not see it.
X86 = ["C:\\Program Files (x86)\\Halvora\\Zorander\\Broker\\NrvBrokerAgent.exe",
       "C:\\Program Files (x86)\\Halvora\\Common\\shared.dll"]
if WOW64:
    SEEDED += X86
# Neighbours the configuration does not name.
KEPT = X86 * (not WOW64) + [
    "C:\\windows\\system32\\drivers\\null.sys.keep",
    "C:\\windows\\Temp\\unrelated.log",
    "C:\\ProgramData\\Halvora\\Other\\keep.ini",
    "C:\\users\\root\\AppData\\Local\\Halvora\\Other\\keep.bin",
    "C:\\users\\third\\AppData\\Local\\Vendor\\keep.bin",
]


def seed_file(prefix, path, content=b"simulated agent file\n"):
    target = prefix.unix_path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(content)


def items(prefix, section, element):
    root = ET.parse(prefix.log_folder / "UninstallLog.xml").getroot()
    found = root.find(section)
    return [] if found is None else found.findall(element)


def text_log(prefix):
    return (prefix.log_folder / "CleanupToolLog.txt").read_bytes().decode("cp1252")


def test_step_6_removes_the_shipped_configuration_files_and_listener_keys(fresh_prefix):
    prefix = fresh_prefix
    for path in SEEDED + KEPT:
        seed_file(prefix, path)
    for key in LISTENERS[1::3]:
        assert prefix.reg("add", key + "\\Params", "/v", "Port", "/t", "REG_DWORD", "/d", "2598", "/f").returncode == 0
        assert prefix.reg("add", key, "/v", "Comment", "/d", "Kpa \"listener\" C:\\x", "/f").returncode == 0

    result = prefix.run("/Step", "6", "/silent", "/DISABLEEXPERIENCEMETRICS", timeout=300)
    assert result.exit_code == 0

    for path in SEEDED:
        assert not prefix.unix_path(path).exists(), path
    for folder in ("C:\\Program Files\\Halvora", "C:\\HvrTemp", "C:\\windows\\Temp\\Halvora",
                   "C:\\users\\root\\AppData\\Roaming\\Halvora\\Zorander", PERSISTENT):
        assert not prefix.unix_path(folder).exists(), folder
    for path in KEPT:
        assert prefix.unix_path(path).exists(), path
    assert prefix.unix_path("C:\\windows\\system32\\kernel32.dll").exists()

    files = {(e.text, e.get("Status")) for e in items(prefix, "Files", "File")}
    expected = [SYSTEM32_SHOWN + "\\drivers\\zgfx.sys", SYSTEM32_SHOWN + "\\DriverStore\\Temp\\Halvora",
                SYSTEM32_SHOWN.replace("System32", "system32") + "\\kpawdapi.dll"]
    if WOW64:
        # The flagged "%programfiles%\Halvora\system32" already took the
        # literal (x86) hvrauth.dll with it.
        expected += ["C:\\Program Files (x86)\\Halvora\\Zorander\\Broker", "C:\\Program Files (x86)\\Halvora\\Common",
                     "C:\\Program Files (x86)\\Halvora\\system32"]
    else:
        expected += ["C:\\Program Files (x86)\\Halvora\\system32\\hvrauth.dll"]
    for shown in expected + [
                  "C:\\Program Files\\Halvora\\Zorander",
                  "C:\\Program Files\\Halvora", "C:\\HvrTemp", "C:\\ProgramData\\Halvora\\NrvAgent",
                  PERSISTENT,
                  "C:\\Users\\*****\\AppData\\Local\\Halvora\\Zorander",
                  "C:\\Users\\*****\\AppData\\Roaming\\Halvora\\Zorander"]:
        assert (shown, "Succeeded") in files, shown
    assert all(status == "Succeeded" for _, status in files)
    masked = [e for e in items(prefix, "Files", "File") if "*****" in e.text]
    assert len(masked) == 3
    log = text_log(prefix)
    assert "\\users\\other" not in log and "\\users\\root\\AppData" not in log

    registry = [(e.text, e.get("Status")) for e in items(prefix, "Registries", "registry")]
    assert registry == [(key, "Succeeded") for key in LISTENERS[1::3]]
    for key in LISTENERS:
        assert prefix.reg("query", key).returncode != 0, key

    # The backup brings the keys back with reg import.
    backup = prefix.log_folder / "RegBackup.reg"
    text = backup.read_bytes().decode("cp1252")
    for key in LISTENERS[1::3]:
        assert "[HKEY_LOCAL_MACHINE\\" + key[5:] + "]" in text
    windows_backup = prefix.temp_folder + "\\halvora\\ZraCleanup\\RegBackup.reg"
    assert prefix.wine("reg", "import", windows_backup).returncode == 0
    for key in LISTENERS[1::3]:
        assert prefix.reg_query_value(key, "Comment") == 'Kpa "listener" C:\\x'
        assert prefix.reg_query_value(key + "\\Params", "Port") == "0xa26"


CONFIG = Path(__file__).resolve().parent / "data" / "run-control-config.xml"




def write_config(prefix, name, paths):
    """The run-control configuration (naming nothing that exists) with the
    given file list."""
    text = CONFIG.read_text(encoding="utf-8")
    start, end = text.index("<Files>"), text.index("</Files>")
    files = "".join(f"\n    <File>{p}</File>" for p in paths)
    path = f"C:\\tests\\{name}.xml"
    target = prefix.unix_path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text(text[:start] + "<Files>" + files + "\n  " + text[end:], encoding="utf-8")
    return path


def test_a_file_held_by_another_process_is_retried_once_and_recorded_failed(prefix):
    busy = "C:\\tests\\held\\Busy"
    for name in ("held.dll", "free.dll", "sub\\free2.dll"):
        seed_file(prefix, busy + "\\" + name)
    seed_file(prefix, "C:\\tests\\held\\Next.dll")
    config = write_config(prefix, "held", [busy, "C:\\tests\\held\\Next.dll"])
    holder = subprocess.Popen([WINE64, f"{TOOL_FOLDER}\\zra-file-holder.exe", busy + "\\held.dll", "60000"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, cwd=prefix.path / "drive_c",
                              env=prefix.env)
    try:
        assert holder.stdout.readline().strip() == b"holding"
        result = prefix.run("/Step", "6", "/silent", "/DISABLEEXPERIENCEMETRICS", "/Config", config)
    finally:
        holder.kill()
        holder.wait(timeout=60)
    assert result.exit_code == 0
    log = text_log(prefix)
    assert log.count(f"\tFileStep::RemoveFiles: Deleting {busy}: retry\r\n") == 1
    assert "Next.dll: retry" not in log
    files = items(prefix, "Files", "File")
    assert [e.text for e in files] == [busy, "C:\\tests\\held\\Next.dll"]
    assert files[0].get("Status") == "Failed"
    assert int(files[0].get("ErrorID")) == -2147024864  # sharing violation as an HRESULT
    assert files[1].get("Status") == "Succeeded"
    assert prefix.unix_path(busy + "\\held.dll").exists()
    assert not prefix.unix_path(busy + "\\free.dll").exists()
    assert not prefix.unix_path(busy + "\\sub").exists()
    assert not prefix.unix_path("C:\\tests\\held\\Next.dll").exists()


def test_planted_links_are_not_followed(prefix):
    """A junction inside a configured folder, and a configured path whose
    parent is a junction, must leave the link targets intact."""
    target = "C:\\tests\\links\\Target"
    seed_file(prefix, target + "\\precious.txt")
    seed_file(prefix, "C:\\tests\\links\\Agent\\a.dll")
    made = prefix.wine("cmd", "/c", "mklink", "/J", "C:\\tests\\links\\Agent\\Junction", target)
    link = prefix.unix_path("C:\\tests\\links\\Agent\\Junction")
    if made.returncode != 0 or not (link.is_symlink() or link.exists()):
        pytest.skip("Wine cannot create junctions or symbolic links (mklink /J fails, CreateSymbolicLinkW "
                    "creates nothing): the link rule is tested through the tree removal's listing seam")
    config = write_config(prefix, "links", ["C:\\tests\\links\\Agent", "C:\\tests\\links\\Agent\\Junction\\x"])
    result = prefix.run("/Step", "6", "/silent", "/DISABLEEXPERIENCEMETRICS", "/Config", config)
    assert result.exit_code == 0
    assert prefix.unix_path(target + "\\precious.txt").exists()
