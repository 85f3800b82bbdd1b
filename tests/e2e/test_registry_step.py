"""Step 8 of the real program with the shipped configuration: the agent's
registry data goes, in both registry views and in offline users' hives,
everything around it stays, and RegBackup.reg brings back what went."""
import re
import xml.etree.ElementTree as ET

import pytest

from winebed import TOOL_FOLDER, WinePrefix

RUN = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
RDP = r"HKLM\SYSTEM\CurrentControlSet\Control\Terminal Server\WinStations\RDP-Tcp"
APP_EVENTS = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application"
USER_DATA = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData"
PRODUCT = "0F1E2D3C4B5A69788796A5B4C3D2E1F0"
PACKED_PRODUCT = "11112222333344445555666677778888"
UPGRADE = r"HKLM\SOFTWARE\Classes\Installer\UpgradeCodes\22B1B4706C98AF45F9FAA8D1D5712B33"
USERS = ("zrauser1", "zrauser2")

SEED_64 = rf"""Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Halvora\Zorander\Agent]
"InstallDir"="C:\\Program Files\\Halvora\\Zorander"
"LogLevel"=dword:00000003
"Relays"=hex(7):72,00,31,00,00,00,72,00,32,00,00,00,00,00
"Home"=hex(2):25,00,50,00,46,00,25,00,00,00
"Blob"=hex:00,01,02,fe,ff
@="agent default"

[HKEY_LOCAL_MACHINE\SOFTWARE\Halvora\Zorander\Agent\Deep\Deeper]
"Quote"="say \"hi\" \\ bye"

[HKEY_LOCAL_MACHINE\SOFTWARE\Halvora\Tidewater Bridge]
"Version"="5.1"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Run]
"NrvSessionAgent"="C:\\Program Files\\Halvora\\Zorander\\NrvSessionAgent.exe"
"KeepMe"="C:\\keep.exe"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Terminal Server\WinStations\RDP-Tcp]
"HalvoraBackupRdpTcpLoadableProtocol_Object"="{{5828227c-20cf-4408-b73f-73ab70b8849f}}"
"LoadableProtocol_Object"="{{HALVORA-AGENT}}"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\NrvBrokerAgent]
"ImagePath"="C:\\Program Files\\Halvora\\Zorander\\NrvBrokerAgent.exe"
"Start"=dword:00000003

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\NrvBrokerAgent\Parameters]
"Port"=dword:00000050

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\EventLog\Application\ZorCustomSource]
"EventMessageFile"="C:\\zor.dll"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\EventLog\Application\OtherSource]
"EventMessageFile"="C:\\other.dll"

[HKEY_LOCAL_MACHINE\SOFTWARE\Classes\Installer\UpgradeCodes\22B1B4706C98AF45F9FAA8D1D5712B33]
"{PACKED_PRODUCT}"=""

[HKEY_LOCAL_MACHINE\SOFTWARE\Classes\Installer\Products\{PACKED_PRODUCT}]
"ProductName"="Halvora Zorander Plug-in x64"

[HKEY_LOCAL_MACHINE\SOFTWARE\Classes\Installer\Products\{PACKED_PRODUCT}\SourceList]
"PackageName"="plugin.msi"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Products\{PRODUCT}\InstallProperties]
"DisplayName"="Halvora Zorander Plug-in x64"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Products\{PRODUCT}\Features]
"Main"="1"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Products\FFFF0000FFFF0000FFFF0000FFFF0000\InstallProperties]
"DisplayName"="Other Application"
"Publisher"="Halvora Tidewater Bridge for Halvora Zorander"
"""

SEED_32 = r"""Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Halvora\Zorander\Wow]
"Path"="C:\\Program Files (x86)\\Halvora\\Zorander"
"Count"=dword:0000001a

[HKEY_LOCAL_MACHINE\SOFTWARE\Halvora\Keep32]
"Stay"="yes"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Run]
"ZorUsbTray"="C:\\Program Files (x86)\\Halvora\\ZorUsbTray.exe"
"KeepMe32"="C:\\keep32.exe"
"""

USER_SEED = r"""Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\ZraHiveSeed\Software\Halvora\Zorander\Prefs]
"User"="{user}"

[HKEY_CURRENT_USER\Software\ZraHiveSeed\Software\Halvora\Other]
"Stay"="{user}"
"""

# Keys around the agent's data, compared whole before and after the run.
SURROUNDINGS = [(r"HKLM\SOFTWARE\Halvora", True), (r"HKLM\SOFTWARE\Halvora", False), (RUN, True), (RUN, False),
                (APP_EVENTS, True), (USER_DATA, True)]


def write_reg(prefix: WinePrefix, name: str, text: str) -> str:
    path = f"{TOOL_FOLDER}\\{name}"
    prefix.unix_path(path).write_bytes(text.replace("\n", "\r\n").encode("utf-16"))
    return path


def reg_ok(prefix: WinePrefix, *args, view64=True):
    proc = prefix.reg(*args, view64=view64)
    assert proc.returncode == 0, (args, proc.stdout, proc.stderr)


def parse_reg(text: str) -> dict:
    """{key: sorted value lines} of a .reg text, continuation lines joined
    and key names folded to one letter case."""
    blocks, current, pending = {}, None, ""
    for raw in text.replace("\r\n", "\n").split("\n"):
        line = pending + raw
        if line.endswith("\\") and current is not None and not line.startswith("["):
            pending = line[:-1].strip() if pending else line[:-1]
            continue
        pending = ""
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1].lower()
            blocks.setdefault(current, [])
        elif line.strip() and current is not None:
            blocks[current].append(line.strip())
    return {key: sorted(values) for key, values in blocks.items()}


def export(prefix: WinePrefix, key: str, view64: bool) -> dict:
    path = f"{TOOL_FOLDER}\\export.reg"
    target = prefix.unix_path(path)
    if target.exists():
        target.unlink()
    proc = prefix.reg("export", key, path, "/y", view64=view64)
    if proc.returncode != 0:
        return {}
    return parse_reg(target.read_bytes().decode("utf-16"))


def without(tree: dict, *removed_keys: str) -> dict:
    gone = [k.lower() for k in removed_keys]
    return {key: values for key, values in tree.items()
            if not any(key == g or key.startswith(g + "\\") for g in gone)}


def registry_items(prefix: WinePrefix):
    root = ET.parse(prefix.log_folder / "UninstallLog.xml").getroot()
    return [(e.text, e.get("Status"), e.get("ErrorID")) for e in root.find("Registries").findall("registry")]


def seed(prefix: WinePrefix):
    reg_ok(prefix, "import", write_reg(prefix, "seed64.reg", SEED_64), view64=True)
    reg_ok(prefix, "import", write_reg(prefix, "seed32.reg", SEED_32), view64=False)
    for user in USERS:
        reg_ok(prefix, "import", write_reg(prefix, "user.reg", USER_SEED.format(user=user)))
        folder = f"C:\\users\\{user}"
        prefix.unix_path(folder).mkdir(parents=True, exist_ok=True)
        proc = prefix.wine(f"{TOOL_FOLDER}\\zra-hive.exe", "save", r"Software\ZraHiveSeed", folder + "\\NTUSER.DAT")
        if proc.returncode != 0:
            pytest.skip(f"Wine could not save a user hive: {proc.stderr!r}")
        reg_ok(prefix, "delete", r"HKCU\Software\ZraHiveSeed", "/f")


@pytest.fixture(scope="module")
def cleaned(tmp_path_factory):
    """One prefix seeded with the agent's registry data and cleaned by step 8."""
    prefix = WinePrefix.create(tmp_path_factory.mktemp("registry"))
    try:
        seed(prefix)
        before = {(key, view64): export(prefix, key, view64) for key, view64 in SURROUNDINGS}
        removed = {
            (r"HKLM\SOFTWARE\Halvora\Zorander", True): export(prefix, r"HKLM\SOFTWARE\Halvora\Zorander", True),
            (r"HKLM\SOFTWARE\Halvora\Zorander", False): export(prefix, r"HKLM\SOFTWARE\Halvora\Zorander", False),
            (r"HKLM\SYSTEM\CurrentControlSet\Services\NrvBrokerAgent", True):
                export(prefix, r"HKLM\SYSTEM\CurrentControlSet\Services\NrvBrokerAgent", True),
            (rf"HKCR\Installer\Products\{PACKED_PRODUCT}", True):
                export(prefix, rf"HKCR\Installer\Products\{PACKED_PRODUCT}", True),
        }
        result = prefix.run("/Step", "8", "/silent", "/DISABLEEXPERIENCEMETRICS", timeout=600)
        after = {(key, view64): export(prefix, key, view64) for key, view64 in SURROUNDINGS}
        yield prefix, result, before, after, removed
    finally:
        prefix.close()


def test_the_agents_registry_data_is_gone_and_everything_around_it_stays(cleaned):
    prefix, result, before, after, _ = cleaned
    assert result.exit_code == 0, result.text
    halvora = r"HKEY_LOCAL_MACHINE\SOFTWARE\Halvora"
    assert after[(r"HKLM\SOFTWARE\Halvora", True)] == without(before[(r"HKLM\SOFTWARE\Halvora", True)],
                                                              halvora + r"\Zorander")
    assert r"hkey_local_machine\software\halvora\tidewater bridge" in after[(r"HKLM\SOFTWARE\Halvora", True)]
    assert after[(r"HKLM\SOFTWARE\Halvora", False)] == without(before[(r"HKLM\SOFTWARE\Halvora", False)],
                                                               halvora + r"\Zorander")
    run_key = RUN.replace("HKLM", "HKEY_LOCAL_MACHINE").lower()
    assert after[(RUN, True)][run_key] == [v for v in before[(RUN, True)][run_key] if "NrvSessionAgent" not in v]
    assert after[(RUN, False)][run_key] == [v for v in before[(RUN, False)][run_key] if "ZorUsbTray" not in v]
    assert after[(APP_EVENTS, True)] == without(before[(APP_EVENTS, True)],
                                                APP_EVENTS.replace("HKLM", "HKEY_LOCAL_MACHINE") + r"\ZorCustomSource")
    assert after[(USER_DATA, True)] == without(
        before[(USER_DATA, True)], USER_DATA.replace("HKLM", "HKEY_LOCAL_MACHINE") + rf"\S-1-5-18\Products\{PRODUCT}")
    assert prefix.reg("query", r"HKLM\SYSTEM\CurrentControlSet\Services\NrvBrokerAgent").returncode != 0
    assert prefix.reg("query", UPGRADE).returncode != 0
    assert prefix.reg("query", rf"HKCR\Installer\Products\{PACKED_PRODUCT}").returncode != 0
    # The listener's protocol object is back; its backup value was the agent's.
    assert prefix.reg_query_value(RDP, "LoadableProtocol_Object") == "{5828227c-20cf-4408-b73f-73ab70b8849f}"
    assert prefix.reg_query_value(RDP, "HalvoraBackupRdpTcpLoadableProtocol_Object") is None


def test_offline_users_lose_the_agent_keys_and_their_hives_are_unloaded(cleaned):
    prefix, result, _, _, _ = cleaned
    log = (prefix.log_folder / "CleanupToolLog.txt").read_text("cp1252")
    assert log.count("RegistryStep::AddOperationPermission: Load user profile for ***** succeeded") == 2, log
    for user in USERS:
        assert f"for {user}" not in log
    still_there = []
    for user in USERS:
        # Not loaded any more: the hive loads again and holds the user's
        # other keys.
        assert prefix.reg("query", rf"HKU\{user}").returncode != 0, user
        hive = f"C:\\users\\{user}\\NTUSER.DAT"
        has = [prefix.wine(f"{TOOL_FOLDER}\\zra-hive.exe", "has", hive, key).returncode
               for key in (r"Software\Halvora\Other", r"Software\Halvora\Zorander")]
        assert has[0] == 0, (user, has)
        if has[1] == 0:
            still_there.append(user)
        else:
            assert has[1] == 2, (user, has)
    if still_there:
        pytest.skip("Wine does not write the changes of a hive loaded with RegLoadKey back to its file "
                    "when it is unloaded, so the hive files of "
                    f"{', '.join(still_there)} cannot show the deletion; it is checked while the hives are "
                    "loaded by the registry step's component tests")


def test_the_result_log_holds_exactly_the_removed_items(cleaned):
    prefix, _, _, _, _ = cleaned
    items = registry_items(prefix)
    expected = [
        (RUN + "--value:NrvSessionAgent", "Succeeded", None),
        (RUN + "--value:ZorUsbTray", "Succeeded", None),
        (RDP + "--value:HalvoraBackupRdpTcpLoadableProtocol_Object", "Succeeded", None),
        (rf"HKEY_CLASSES_ROOT\Installer\Products\{PACKED_PRODUCT}", "Succeeded", None),
        (r"HKLM\SYSTEM\CurrentControlSet\Services\NrvBrokerAgent", "Succeeded", None),
        (APP_EVENTS + r"\ZorCustomSource", "Succeeded", None),
        (r"HKLM\SOFTWARE\Halvora\Zorander", "Succeeded", None),
        (r"HKLM\SOFTWARE\Halvora\Zorander", "Succeeded", None),
        *[(rf"HKU\{user}\Software\Halvora\Zorander", "Succeeded", None) for user in USERS],
        (USER_DATA + rf"\S-1-5-18\Products\{PRODUCT}", "Succeeded", None),
    ]
    # The users' hives are reached in the order HKEY_USERS lists them.
    assert sorted(items) == sorted(expected)
    assert [i for i in items if not i[0].startswith("HKU\\")] == [i for i in expected if not i[0].startswith("HKU\\")]


def restore_backup(prefix: WinePrefix, tmp_path) -> WinePrefix:
    """A fresh prefix into which the run's RegBackup.reg was imported."""
    backup = (prefix.log_folder / "RegBackup.reg").read_bytes()
    fresh = WinePrefix.create(tmp_path / "restore")
    # Wine's reg.exe reads the hex(2)/hex(7) data of a file without a
    # byte-order mark by the REGEDIT4 rules (it widens every byte), where
    # Windows goes by the file's header; the same 8-bit text as UTF-16
    # makes Wine read it by its header too.
    fresh.unix_path(f"{TOOL_FOLDER}\\RegBackup.reg").write_bytes(backup.decode("latin-1").encode("utf-16"))
    reg_ok(fresh, "import", f"{TOOL_FOLDER}\\RegBackup.reg", view64=True)
    return fresh


def test_importing_the_backup_restores_the_native_views_keys_and_values(cleaned, tmp_path):
    prefix, _, _, _, removed = cleaned
    fresh = restore_backup(prefix, tmp_path)
    try:
        for (key, view64), tree in removed.items():
            if view64:
                # (Keys the 32-bit view's part brings along are the other
                # test's matter.)
                assert tree, key
                restored = export(fresh, key, view64)
                assert {name: restored.get(name) for name in tree} == tree, key
        assert fresh.reg_query_value(RUN, "NrvSessionAgent", view64=True) == \
            r"C:\Program Files\Halvora\Zorander\NrvSessionAgent.exe"
        assert fresh.reg_query_value(RDP, "HalvoraBackupRdpTcpLoadableProtocol_Object", view64=True) == \
            "{5828227c-20cf-4408-b73f-73ab70b8849f}"
    finally:
        fresh.close()


def test_importing_the_backup_restores_the_32bit_views_keys_and_values(cleaned, tmp_path):
    prefix, _, _, _, removed = cleaned
    fresh = restore_backup(prefix, tmp_path)
    try:
        for (key, view64), tree in removed.items():
            if not view64:
                assert tree, key
                assert export(fresh, key, view64) == tree, key
        assert fresh.reg_query_value(RUN, "ZorUsbTray", view64=False) == \
            r"C:\Program Files (x86)\Halvora\ZorUsbTray.exe"
        # Nothing of the 32-bit view landed in the native view.
        assert fresh.reg("query", r"HKLM\SOFTWARE\Halvora\Zorander\Wow", view64=True).returncode != 0
    finally:
        fresh.close()
