"""A simulated agent installation (Windows Installer packages under the
shipped upgrade codes, the meta-installer entry, kernel-driver services)
cleaned by the real executable with its shipped configuration through its
restarts: after step 3, after the driver step, and the completing run."""
import pytest

from installer_bed import (BROKER, META_INSTALLER, SERVICES_KEY, UNINSTALL_KEY, add_package, create_driver,
                           recorded_lines, register_meta_installer, related_products, service_exists,
                           shipped_upgrade_code)
from winebed import TOOL_FOLDER

RUNONCE = TOOL_FOLDER + "\\zra-runonce.exe"
RUNONCE_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
MARKER_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion"
PLUGIN = "Halvora Zorander Plug-in x64"
CONTENT = "Halvora Zorander Browser Content Redirection"
DRIVERS = ["HvrUsbHub", "zgfx"]
# A driver whose service is gone but whose key is still there: only the
# second phase removes it.
KEY_ONLY_DRIVER = "kpawd"
UNATTENDED = ("ZRA Cleanup Utility requires the system to be rebooted to continue cleanup. Please reboot the "
              "system.\n")


def seed_agent(prefix, folder):
    codes = {name: shipped_upgrade_code(name) for name in (BROKER, PLUGIN, CONTENT)}
    add_package(prefix, folder, "Broker", "7.12.1.1", codes[BROKER])
    # The plug-in's removal needs a restart (3010).
    add_package(prefix, folder, "Plug-in", "7.12.1.1", codes[PLUGIN], reboot_on_removal=True)
    add_package(prefix, folder, "Content", "7.12.1.1", codes[CONTENT])
    record = "C:\\tests\\meta.txt"
    prefix.unix_path(record).parent.mkdir(parents=True, exist_ok=True)
    register_meta_installer(prefix, "Halvora Zorander", record, 0)
    for name in DRIVERS:
        create_driver(prefix, name, 3)
    prefix.reg("add", SERVICES_KEY + "\\" + KEY_ONLY_DRIVER, "/v", "Start", "/t", "REG_DWORD", "/d", "1", "/f")
    return codes, record


def text_log(prefix):
    return (prefix.log_folder / "CleanupToolLog.txt").read_bytes().decode("cp1252")


def check_agent_gone(prefix, codes):
    for name, code in codes.items():
        assert related_products(prefix, code) == [], name
    for name in DRIVERS + [KEY_ONLY_DRIVER]:
        assert not service_exists(prefix, name), name
        assert prefix.reg("query", SERVICES_KEY + "\\" + name).returncode != 0, name
    assert prefix.reg_query_value(MARKER_KEY, "HvrZraCleanupOverwriteLog") is None

    log = text_log(prefix)
    assert log.count("\tVersion: ") == 3
    xml = (prefix.log_folder / "UninstallLog.xml").read_text("utf-8")
    assert xml.count("<reboot ") == 2 and xml.count("DoneTime=") == 2
    assert ">MsiRebootNeeded</reboot>" in xml and ">Driver Reboot</reboot>" in xml
    assert xml.count("<msi ") == 3 and xml.count("<metaInstaller ") == 1
    # Keys are exported under the kernel's spelling of their path.
    backup = (prefix.log_folder / "RegBackup.reg").read_bytes().decode("cp1252").lower()
    assert f"[hkey_local_machine\\system\\currentcontrolset\\services\\{KEY_ONLY_DRIVER}]".lower() in backup


def test_three_runs_through_both_restarts(fresh_prefix, tmp_path):
    prefix = fresh_prefix
    codes, record = seed_agent(prefix, tmp_path)

    # Steps 1 to 3: the meta-installer, the packages, and the restart the
    # plug-in's removal asked for.
    result = prefix.run("/silent")
    assert (result.exit_code, result.stdout) == (1, b"")
    assert recorded_lines(prefix, record) == [f"{META_INSTALLER} {record} 0 /PASSIVE /NOREBOOT"]
    assert prefix.reg_query_value(RUNONCE_KEY, "HalvoraZraCleanup").endswith("ZRACleanupUtility.exe\" -silent -Step 4")
    for code in codes.values():
        assert related_products(prefix, code) == []
    assert "\tUtils::RunReboot: Rebooting System\r\n" in text_log(prefix)

    # The logon after the restart: steps 4 to 8, the drivers' first phase.
    result = prefix.run(program=RUNONCE)
    assert (result.exit_code, result.stdout) == (1, b"")
    assert prefix.reg_query_value(RUNONCE_KEY, "HalvoraZraCleanup").endswith(" -silent -Step 6 -DriverReboot")
    for name in DRIVERS:
        assert not service_exists(prefix, name), name
    # (the key-only driver's key is disabled by step 7 and may already be
    # removed, with its backup, by the registry step that follows it)

    # The last logon: steps 6 to 8 with the drivers' second phase.
    result = prefix.run(program=RUNONCE)
    assert (result.exit_code, result.stdout) == (0, b"")
    assert prefix.reg_query_value(RUNONCE_KEY, "HalvoraZraCleanup") is None
    check_agent_gone(prefix, codes)
    # The meta-installer ran once, in the first run.
    assert len(recorded_lines(prefix, record)) == 1


def test_three_unattended_runs(fresh_prefix, tmp_path):
    prefix = fresh_prefix
    codes, _ = seed_agent(prefix, tmp_path)
    info = prefix.unix_path(prefix.temp_folder + "\\halvora\\ZRACleanupTool.info")

    result = prefix.run("/unattended")
    assert (result.exit_code, result.stdout) == (1, b"")
    assert info.read_bytes() == b"step: 4\r\n"

    result = prefix.run("/unattended")
    assert (result.exit_code, result.text) == (1, UNATTENDED)
    assert info.read_bytes() == b"step: 6\r\ndriverReboot: 1\r\n"

    # The third start knows from the file that the drivers' restart has
    # happened: the keys go and the run completes.
    result = prefix.run("/unattended")
    assert (result.exit_code, result.stdout) == (0, b"")
    assert not info.exists()
    assert prefix.reg_query_value(RUNONCE_KEY, "HalvoraZraCleanup") is None
    check_agent_gone(prefix, codes)
    assert "\tUtils::UnattendedParamRun: Exit Unattended mode step 6\r\n" in text_log(prefix)
