"""Steps 1, 2, 3 and 7 of the real executable against the real things Wine
gives: Windows Installer packages built with wixl and installed with
msiexec under the shipped configuration's upgrade codes, a meta-installer
stand-in registered under the Uninstall key, and kernel-driver services."""
import re

import pytest

from installer_bed import (BROKER, META_INSTALLER, SERVICES_KEY, UNINSTALL_KEY, add_package, create_driver,
                           driver_start, recorded_lines, register_meta_installer, related_products, service_exists,
                           shipped_upgrade_code, write_config)
from winebed import TOOL_FOLDER

RUNONCE_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
MARKER_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion"
SESSION_KEY = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager"
RUNONCE = TOOL_FOLDER + "\\zra-runonce.exe"
PLUGIN_X64 = "Halvora Zorander Plug-in x64"
PLUGIN_X86 = "Halvora Zorander Plug-in x86"
CONTENT = "Halvora Zorander Browser Content Redirection"


def text_log(prefix):
    return (prefix.log_folder / "CleanupToolLog.txt").read_bytes().decode("cp1252")


def result_log(prefix):
    return (prefix.log_folder / "UninstallLog.xml").read_text("utf-8")


def items(prefix, element):
    """(attributes, text) of every element of that name in the result log."""
    found = []
    for match in re.finditer(rf"<{element} ([^>]*?)(?:/>|>([^<]*)</{element}>)", result_log(prefix)):
        attributes = dict(re.findall(r'(\w+)="([^"]*)"', match.group(1)))
        found.append((attributes, match.group(2) or ""))
    return found


def runonce(prefix):
    return prefix.reg_query_value(RUNONCE_KEY, "HalvoraZraCleanup")


def forget_restart(prefix):
    """Undoes what a run ending for a restart leaves on a shared prefix: the
    re-launch and the resume marker (which would send the next test's run
    into this one's log folder)."""
    prefix.reg("delete", RUNONCE_KEY, "/v", "HalvoraZraCleanup", "/f")
    for name in ("HvrZraCleanupOverwriteLog", "HalvoraTempFolder"):
        prefix.reg("delete", MARKER_KEY, "/v", name, "/f")


def seed_pending_restart(prefix):
    """A pending rename of one of the maker's files: what the pending-restart
    test reads."""
    proc = prefix.reg("add", SESSION_KEY, "/v", "PendingFileRenameOperations", "/t", "REG_MULTI_SZ", "/d",
                      "\\??\\C:\\Program Files\\Halvora\\old.dll\\0", "/f")
    assert proc.returncode == 0


def clear_pending_restart(prefix):
    prefix.reg("delete", SESSION_KEY, "/v", "PendingFileRenameOperations", "/f")


# -- step 3: Windows Installer --------------------------------------------

def test_msi_step_removes_every_related_product_and_records_each(fresh_prefix, tmp_path):
    prefix = fresh_prefix
    broker = shipped_upgrade_code(BROKER)
    plugin = shipped_upgrade_code(PLUGIN_X64)
    content = shipped_upgrade_code(CONTENT)
    x86 = shipped_upgrade_code(PLUGIN_X86)
    add_package(prefix, tmp_path, "Broker", "7.9.0.12", broker)
    add_package(prefix, tmp_path, "Plug-in A", "8.7.0.0", plugin)
    add_package(prefix, tmp_path, "Plug-in B", "7.12.1.1", plugin)
    refused = add_package(prefix, tmp_path, "Content", "7.6.0.100", content, fail_removal=True)
    add_package(prefix, tmp_path, "Plug-in x86", "8.0.0.1", x86)
    assert len(related_products(prefix, plugin)) == 2

    config = write_config(prefix, products=[
        ("Halvora Zorander Not Installed", "{00000000-0000-0000-0000-00000000B001}"),
        (PLUGIN_X64, plugin), ("Malformed", "not-a-guid"), (CONTENT, content), (BROKER, broker),
        (PLUGIN_X86, x86)])
    result = prefix.run("/silent", "/NoReboot", "/Config", config, "/Step", "3")
    assert result.exit_code == 0, text_log(prefix)

    # Both products of one upgrade code went, and everything after the
    # refused removal was still removed.
    for code in (plugin, broker, x86):
        assert related_products(prefix, code) == [], code
    assert len(related_products(prefix, content)) == 1

    msi = items(prefix, "msi")
    assert [(a["UpgradeCode"], a["Status"], a["ReturnCode"], text) for a, text in msi] == [
        (plugin, "Succeeded", "0", PLUGIN_X64), (plugin, "Succeeded", "0", PLUGIN_X64),
        (content, "Failed", "1603", CONTENT), (broker, "Succeeded", "0", BROKER),
        (x86, "Succeeded", "0", PLUGIN_X86)]
    # The version is read before the product is removed.
    assert sorted(a["Version"] for a, _ in msi[:2]) == ["7.12.1.1", "8.7.0.0"]
    assert [a["Version"] for a, _ in msi[2:]] == ["7.6.0.100", "7.9.0.12", "8.0.0.1"]

    # The first product found in the run, once.
    first = items(prefix, "FirstMsiFound")
    assert len(first) == 1 and first[0][1] == PLUGIN_X64 and first[0][0]["UpgradeCode"] == plugin

    log = text_log(prefix)
    assert "\tMSIStep::CallMSI Entry\r\n" in log and "\tMSIStep::CallMSI Exit\r\n" in log
    assert log.count(f"\tMSIStep::CallMSI: Component - {PLUGIN_X64}, UpgradeCode - {plugin}\r\n") == 2
    assert (f"\tMSIStep::CallMSI: Error - Uninstall product with upgrade code {content} failed. "
            f"return value 1603\r\n") in log
    # Windows refuses a malformed upgrade code (ERROR_INVALID_PARAMETER, an
    # error line); Wine's Windows Installer lists no product for it. Either
    # way nothing is removed or recorded for it and the next entry follows.
    assert "Malformed" not in result_log(prefix)
    assert "Not Installed" not in log
    assert items(prefix, "reboot") == []
    assert runonce(prefix) is None
    assert refused


def test_msi_restart_request_ends_the_run_and_resumes_at_step_4(fresh_prefix, tmp_path):
    prefix = fresh_prefix
    plugin = shipped_upgrade_code(PLUGIN_X64)
    add_package(prefix, tmp_path, "Plug-in", "8.7.0.0", plugin, reboot_on_removal=True)
    config = write_config(prefix, products=[(PLUGIN_X64, plugin)])
    result = prefix.run("/silent", "/NoReboot", "/Config", config, "/Step", "3")
    msi = items(prefix, "msi")
    if msi and msi[0][0]["ReturnCode"] == "0":
        pytest.skip("Wine's Windows Installer does not report the scheduled restart of a removal (3010)")
    assert result.exit_code == 1
    assert [(a["Status"], a["ReturnCode"]) for a, _ in msi] == [("Succeeded", "3010")]
    assert related_products(prefix, plugin) == []
    assert [text for _, text in items(prefix, "reboot")] == ["MsiRebootNeeded"]
    assert runonce(prefix).endswith(f" -silent -NoReboot -Config {config} -Step 4")
    # The run ended at step 3.
    assert "ProcessStep::TerminateProcesses" not in text_log(prefix)


def test_pending_restart_after_the_msi_step_ends_the_run(prefix):
    seed_pending_restart(prefix)
    try:
        result = prefix.run("/silent", "/NoReboot", "/Config", write_config(prefix), "/Step", "3")
    finally:
        clear_pending_restart(prefix)
        forget_restart(prefix)
    assert result.exit_code == 1
    assert [text for _, text in items(prefix, "reboot")] == ["MsiRebootNeeded"]
    assert items(prefix, "msi") == []


# -- step 2: the meta-installer --------------------------------------------

@pytest.mark.parametrize("code, pending, status, message, reason", [
    (0, False, "Succeeded", "Success", None),
    (3, False, "Failed", "ParticalSuccessAndRebootNeeded", "MetaInstallerRebootNeeded"),
    (4, False, "Failed", "FailureAndRebootNeeded", "MetaInstallerRebootNeeded"),
    (8, False, "Succeeded", "SuccessRebootNeeded", "MetaInstallerRebootNeeded"),
    (1, False, "Failed", "Failed", None),
    (1, True, "Failed", "Failed", "MetaInstallerRebootNeeded"),
    (7, True, "Failed", "NewVersionFound", "MetaInstallerRebootNeeded"),
    # Not in the table: no restart of its own; the pending one is taken by
    # the next step.
    (0, True, "Succeeded", "Success", "MsiRebootNeeded"),
    (3010, False, "Failed", "", None),
])
def test_meta_installer_exit_codes(prefix, code, pending, status, message, reason):
    entry = f"ZraMetaTest{code}{'p' if pending else ''}"
    record = f"{prefix.temp_folder}\\record.txt"
    register_meta_installer(prefix, entry, record, code)
    if pending:
        seed_pending_restart(prefix)
    try:
        result = prefix.run("/silent", "/NoReboot", "/Config", write_config(prefix, installers=[entry]),
                            "/Step", "2")
    finally:
        clear_pending_restart(prefix)
        prefix.reg("delete", UNINSTALL_KEY + "\\" + entry, "/f")
        forget_restart(prefix)
    assert recorded_lines(prefix, record) == [f"{META_INSTALLER} {record} {code} /PASSIVE /NOREBOOT"]
    meta = items(prefix, "metaInstaller")
    assert meta == [({"TimeStamp": meta[0][0]["TimeStamp"], "Status": status, "ReturnCode": str(code),
                      "Message": message}, entry)]
    reboots = [text for _, text in items(prefix, "reboot")]
    assert reboots == ([reason] if reason else [])
    assert result.exit_code == (1 if reason else 0)
    log = text_log(prefix)
    assert "\tMetaInstallerStep::CallMetaInstaller: Found ZRA installed \r\n" in log
    if code == 0:
        assert "\tMetaInstallerStep::CallMetaInstaller: Uninstall MetaInstaller succeeded\r\n" in log
    else:
        assert f"\tMetaInstallerStep::CallMetaInstaller: ERROR: uninstall exit value is {code}\r\n" in log


def test_meta_installer_entry_lookup(prefix):
    record = f"{prefix.temp_folder}\\record.txt"
    # Only in the 32-bit view; a second name is never tried after it.
    register_meta_installer(prefix, "ZraMetaOnly32", record, 0, view64=False)
    register_meta_installer(prefix, "ZraMetaSecond", f"{prefix.temp_folder}\\second.txt", 0)
    try:
        config = write_config(prefix, installers=["ZraMetaMissing", "ZraMetaOnly32", "ZraMetaSecond"])
        result = prefix.run("/silent", "/NoReboot", "/MetaInstallerReboot", "/Config", config, "/Step", "2")
    finally:
        prefix.reg("delete", UNINSTALL_KEY + "\\ZraMetaOnly32", "/f", view64=False)
        prefix.reg("delete", UNINSTALL_KEY + "\\ZraMetaSecond", "/f")
    assert result.exit_code == 0
    # The restart is allowed: " /PASSIVE" only.
    assert recorded_lines(prefix, record) == [f"{META_INSTALLER} {record} 0 /PASSIVE"]
    assert recorded_lines(prefix, f"{prefix.temp_folder}\\second.txt") == []
    assert [text for _, text in items(prefix, "metaInstaller")] == ["ZraMetaOnly32"]


def test_meta_installer_in_both_views_runs_from_each(prefix):
    record = f"{prefix.temp_folder}\\record.txt"
    register_meta_installer(prefix, "ZraMetaBoth", record, 0)
    register_meta_installer(prefix, "ZraMetaBoth", record, 4, view64=False)
    try:
        result = prefix.run("/silent", "/NoReboot", "/Config", write_config(prefix, installers=["ZraMetaBoth"]),
                            "/Step", "2")
    finally:
        prefix.reg("delete", UNINSTALL_KEY + "\\ZraMetaBoth", "/f")
        prefix.reg("delete", UNINSTALL_KEY + "\\ZraMetaBoth", "/f", view64=False)
        forget_restart(prefix)
    # Both views are visited; the exit code of the last run counts.
    assert recorded_lines(prefix, record) == [f"{META_INSTALLER} {record} 0 /PASSIVE /NOREBOOT",
                                              f"{META_INSTALLER} {record} 4 /PASSIVE /NOREBOOT"]
    assert [(a["ReturnCode"], text) for a, text in items(prefix, "metaInstaller")] == [("4", "ZraMetaBoth")]
    assert result.exit_code == 1
    assert [text for _, text in items(prefix, "reboot")] == ["MetaInstallerRebootNeeded"]


def test_uninstaller_that_cannot_start_counts_as_not_found(prefix):
    record = f"{prefix.temp_folder}\\record.txt"
    register_meta_installer(prefix, "ZraMetaBroken", record, 0, program="C:\\zra\\missing-installer.exe")
    register_meta_installer(prefix, "ZraMetaNext", record, 0)
    try:
        config = write_config(prefix, installers=["ZraMetaBroken", "ZraMetaNext"])
        result = prefix.run("/silent", "/NoReboot", "/Config", config, "/Step", "2")
    finally:
        prefix.reg("delete", UNINSTALL_KEY + "\\ZraMetaBroken", "/f")
        prefix.reg("delete", UNINSTALL_KEY + "\\ZraMetaNext", "/f")
    assert result.exit_code == 0
    assert recorded_lines(prefix, record) == [f"{META_INSTALLER} {record} 0 /PASSIVE /NOREBOOT"]
    assert [text for _, text in items(prefix, "metaInstaller")] == ["ZraMetaNext"]
    assert "\tFindAndRemoveCartwheel: Create Process MetaInstaller Failed: " in text_log(prefix)


def test_meta_installer_without_entry_records_nothing(prefix):
    result = prefix.run("/silent", "/NoReboot", "/Config", write_config(prefix, installers=["ZraMetaMissing"]),
                        "/Step", "2")
    assert result.exit_code == 0
    assert items(prefix, "metaInstaller") == []
    log = text_log(prefix)
    assert "\tMetaInstallerStep::CallMetaInstaller Entry\r\n\t" not in log
    assert "\tMetaInstallerStep::CallMetaInstaller Exit\r\n" in log


def test_unquoted_program_path_with_blanks_starts_the_registered_program(fresh_prefix):
    prefix = fresh_prefix
    program = "C:\\Program Files\\Halvora Meta\\zra-meta-installer.exe"
    tool = prefix.unix_path(META_INSTALLER).read_bytes()
    prefix.unix_path(program).parent.mkdir(parents=True, exist_ok=True)
    prefix.unix_path(program).write_bytes(tool)
    # What an unquoted path would start instead.
    prefix.unix_path("C:\\Program.exe").write_bytes(tool)
    record = "C:\\tests\\record.txt"
    prefix.unix_path(record).parent.mkdir(parents=True, exist_ok=True)
    register_meta_installer(prefix, "ZraMetaBlank", record, 0, program=program)
    result = prefix.run("/silent", "/NoReboot", "/Config", write_config(prefix, installers=["ZraMetaBlank"]),
                        "/Step", "2")
    assert result.exit_code == 0
    assert recorded_lines(prefix, record) == [f'"{program}" {record} 0 /PASSIVE /NOREBOOT']
    assert [a["Status"] for a, _ in items(prefix, "metaInstaller")] == ["Succeeded"]


# -- step 7: drivers --------------------------------------------------------

def test_driver_step_two_phases_across_the_restart(fresh_prefix):
    prefix = fresh_prefix
    create_driver(prefix, "ZraDrvDemand", 3)
    create_driver(prefix, "ZraDrvDisabled", 4)
    create_driver(prefix, "ZraDrvNoStart", None)
    # A driver whose service is gone but whose key still enables it.
    prefix.reg("add", SERVICES_KEY + "\\ZraDrvKeyOnly", "/v", "Start", "/t", "REG_DWORD", "/d", "3", "/f")
    prefix.reg("add", SERVICES_KEY + "\\ZraDrvKeyOnly\\Parameters", "/v", "Mode", "/t", "REG_SZ", "/d", "x", "/f")
    drivers = ["ZraDrvDemand", "ZraDrvDisabled", "ZraDrvNoStart", "ZraDrvKeyOnly", "ZraDrvAbsent"]
    config = write_config(prefix, drivers=drivers)

    result = prefix.run("/silent", "/NoReboot", "/Config", config, "/Step", "7")
    assert result.exit_code == 1
    assert runonce(prefix).endswith(f" -silent -NoReboot -Config {config} -Step 6 -DriverReboot")
    for name in drivers[:3]:
        assert not service_exists(prefix, name), name
    drv = items(prefix, "driver")
    assert [(a["Status"], text) for a, text in drv] == [("Succeeded", n) for n in drivers[:3]]
    assert driver_start(prefix, "ZraDrvKeyOnly") == 4
    assert [text for _, text in items(prefix, "reboot")] == ["Driver Reboot"]
    log = text_log(prefix)
    assert "\tDriverStep::DisableandRemoveDrivers Entry\r\n" in log
    assert "\tDriverStep::DisableandRemoveDrivers Exit\r\n" in log

    # The run after the restart: from step 6 with the driver phase; the
    # remaining key is backed up, then deleted.
    result = prefix.run(program=RUNONCE)
    assert result.exit_code == 0
    assert prefix.reg("query", SERVICES_KEY + "\\ZraDrvKeyOnly").returncode != 0
    # Keys are exported under the kernel's spelling of their path.
    backup = (prefix.log_folder / "RegBackup.reg").read_bytes().decode("cp1252").lower()
    assert "[hkey_local_machine\\system\\currentcontrolset\\services\\zradrvkeyonly]" in backup
    assert "[hkey_local_machine\\system\\currentcontrolset\\services\\zradrvkeyonly\\parameters]" in backup
    assert backup.index("zradrvkeyonly]") < backup.index('"start"=dword:00000004')
    assert [text for _, text in items(prefix, "reboot")] == ["Driver Reboot"]
    assert runonce(prefix) is None


def test_driver_step_without_drivers_or_pending_restart_does_nothing(prefix):
    result = prefix.run("/silent", "/NoReboot", "/Config", write_config(prefix, drivers=["ZraDrvAbsent"]),
                        "/Step", "7")
    assert result.exit_code == 0
    assert items(prefix, "driver") == [] and items(prefix, "reboot") == []


def test_pending_restart_makes_the_driver_step_ask_for_its_restart(prefix):
    seed_pending_restart(prefix)
    try:
        result = prefix.run("/silent", "/NoReboot", "/Config", write_config(prefix, drivers=["ZraDrvAbsent"]),
                            "/Step", "7")
    finally:
        clear_pending_restart(prefix)
        forget_restart(prefix)
    assert result.exit_code == 1
    assert [text for _, text in items(prefix, "reboot")] == ["Driver Reboot"]


# -- step 1: special releases -----------------------------------------------

SPECIAL_DRIVERS = ["HVRVMIC", "HVRUSBHUB", "HVRCDM", "HVRSCARD", "HVRTWAIN"]


def set_windows_version(prefix, version):
    assert prefix.reg("add", "HKCU\\Software\\Wine", "/v", "Version", "/t", "REG_SZ", "/d", version,
                      "/f").returncode == 0


def test_special_release_disables_its_drivers_and_restarts(fresh_prefix, tmp_path):
    prefix = fresh_prefix
    set_windows_version(prefix, "win10")
    broker = shipped_upgrade_code(BROKER)
    add_package(prefix, tmp_path, "Broker", "7.9.0.12", broker)
    create_driver(prefix, "HvrVmic", 3)
    create_driver(prefix, "HvrCdm", 4)
    config = write_config(prefix, products=[(BROKER, broker)])

    result = prefix.run("/silent", "/Config", config)
    assert result.exit_code == 1
    assert driver_start(prefix, "HvrVmic") == 4 and driver_start(prefix, "HvrCdm") == 4
    assert [text for _, text in items(prefix, "reboot")] == ["Stop services to reduce uninstall time"]
    assert runonce(prefix).endswith(f" -silent -Config {config} -Step 2")
    log = text_log(prefix)
    assert "\tGetZraVersion: Found ZRA version: 7.9.0.12\r\n" in log
    assert "\tUtils::RunReboot: Rebooting System\r\n" in log
    # Nothing was uninstalled before the restart.
    assert len(related_products(prefix, broker)) == 1

    # A special machine whose drivers are all disabled still restarts.
    prefix.reg("delete", RUNONCE_KEY, "/v", "HalvoraZraCleanup", "/f")
    result = prefix.run("/silent", "/Config", config, "/Step", "1")
    assert result.exit_code == 1
    assert [text for _, text in items(prefix, "reboot")][-1] == "Stop services to reduce uninstall time"

    # With /NoReboot the services are only stopped and the run goes on:
    # the broker is uninstalled by step 3 of the same run.
    prefix.reg("delete", RUNONCE_KEY, "/v", "HalvoraZraCleanup", "/f")
    result = prefix.run("/silent", "/NoReboot", "/Config", config, "/Step", "1")
    assert result.exit_code == 0, text_log(prefix)
    assert related_products(prefix, broker) == []
    assert runonce(prefix) is None


def test_older_windows_or_release_is_not_special(fresh_prefix, tmp_path):
    prefix = fresh_prefix
    set_windows_version(prefix, "win7")
    broker = shipped_upgrade_code(BROKER)
    add_package(prefix, tmp_path, "Broker", "7.9.0.12", broker)
    create_driver(prefix, "HvrVmic", 3)
    config = write_config(prefix, products=[(BROKER, broker)])
    # The whole run goes through without a restart; the driver is not one
    # of the configuration's here, so nothing but the pre-step could touch it.
    result = prefix.run("/silent", "/NoReboot", "/Config", config, "/Step", "1")
    assert result.exit_code == 0
    assert driver_start(prefix, "HvrVmic") == 3
    assert "Stop services" not in result_log(prefix)
    assert "\tGetZraVersion: Found ZRA version: 7.9.0.12\r\n" in text_log(prefix)


def test_no_agent_and_a_pending_restart_gives_pending_reboot(prefix):
    seed_pending_restart(prefix)
    try:
        result = prefix.run("/silent", "/NoReboot", "/Config", write_config(prefix), "/Step", "1")
    finally:
        clear_pending_restart(prefix)
        runonce_value = runonce(prefix)
        forget_restart(prefix)
    assert result.exit_code == 1
    assert [text for _, text in items(prefix, "reboot")] == ["Pending Reboot"]
    assert runonce_value.endswith(" -Step 2")
    assert "\tGetZraVersion: Did not find ZRA msi on system\r\n" in text_log(prefix)
