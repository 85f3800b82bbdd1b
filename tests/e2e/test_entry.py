"""Command line, usage text, version report and the text log of the real executable."""
import re

import pytest

USAGE = (
    "Usage: \r\n"
    "\tZRACleanupUtility.exe [/silent|-silent] | [/noreboot|-noreboot] | "
    "[/DISABLEEXPERIENCEMETRICS|-DISABLEEXPERIENCEMETRICS] | [/unattended|-unattended] | [/version|-version]\r\n"
    "Example:\r\n"
    ":\\> ZRACleanupUtility.exe /silent: \r\n"
    "No progress or informational messages appear during the uninstallation of the ZRA. The only evidence of "
    "the uninstallation process is in Windows Task Manager.  During uninstallation, a reboot might be "
    "automatically performed by the tool.\r\n"
    ":\\> ZRACleanupUtility.exe /noreboot: \r\n"
    "Prevents a restart of the ZRA during uninstallation.\r\n"
    ":\\> ZRACleanupUtility.exe /silent /noreboot:\r\n"
    "No progress or informational messages appear and prevents a restart of the ZRA during uninstallation. "
    "The only evidence of the uninstallation process is in Windows Task Manager.\r\n"
    ":\\> ZRACleanupUtility.exe /DISABLEEXPERIENCEMETRICS\r\n"
    "No infomation will be uploaded to Halvora Lumenhub after the uninstallation\r\n"
    ":\\> ZRACleanupUtility.exe /unattended: \r\n"
    "The application will uninstall the ZRA without any prompt and will suppress the reboot. User has to "
    "reboot the machine manually.\r\n"
    "More details, please refer to: https://support.halvora.example/kb/zra-cleanup-utility\r\n"
    # The preview option follows the earlier lines.
    "\tZRACleanupUtility.exe [/Preview|-Preview]\r\n"
    ":\\> ZRACleanupUtility.exe /Preview: \r\n"
    "Lists, step by step, everything the cleanup would remove or change, without changing anything on the "
    "machine: no restart, no upload. The list is also written to the text log and to Preview.xml in the log "
    "folder.\r\n"
).encode()

OFFLINE = "Cannot connect to the network to determine the latest version."


@pytest.mark.parametrize("args", [["/Help"], ["-help"], ["/HELP", "/silent"], ["/silent", "/Help"],
                                  ["/Help", "/Logpath", "-bad"]])
def test_usage_text_byte_for_byte(prefix, args):
    result = prefix.run(*args)
    assert result.exit_code == 0
    assert result.stdout == USAGE


def test_version_report_offline(prefix):
    result = prefix.run("/version")
    assert result.exit_code == 0
    assert result.text == f"ZRA cleanup utility version 1.0.3.0\n{OFFLINE}\n"


@pytest.mark.parametrize("args, message", [
    (["/Logpath", "-x"], "Add a path name after /Logpath."),
    (["/Logpath", "/x"], "Add a path name after /Logpath."),
    (["/Logpath", "C:\\" + "a" * 254], "The maximum length of the log path is 256 characters."),
    (["/ChangeExitCode1To", "abc"], "You need to set the value of ChangeExitCode1To as an integer value."),
    (["/ChangeExitCode1To", "1"], "The default restart code is already 1."),
    (["/ChangeExitCode1To", "5", "/unattended"], "/Logpath and /ChangeExitCode1To cannot be used with /unattended."),
    (["/unattended", "/ChangeExitCode1To", "5"], "/Logpath and /ChangeExitCode1To cannot be used with /unattended."),
    (["/unattended", "/Logpath", "C:\\logs"], "/Logpath and /ChangeExitCode1To cannot be used with /unattended."),
    (["/Logpath", "Q:\\nowhere"], "Can't set a directory to the path:Q:\\nowhere"),
    (["/Logpath", "C:\\bad|name"], "Can't set a directory to the path:C:\\bad|name"),
])
def test_option_errors_end_with_their_message(prefix, args, message):
    result = prefix.run(*args)
    assert result.exit_code == 0
    assert result.text == message + "\n"


def test_verbose_echoes(prefix):
    result = prefix.run("/v", "-V", "/silent", "/NoReboot", "/Step", "5", "/ChangeExitCode1To", "3010",
                        "/Config", "C:\\cfg.xml", "/Logpath", "C:\\logs", "/help")
    assert result.exit_code == 0
    expected = ("\nCmd line  = /v\n" "\nCmd line  = /silent\n" "\nCmd line  = /NoReboot\n"
                "Cmd line  = 5\n" "Cmd line  = 3010\n" "Cmd line  = C:\\cfg.xml\n" "Cmd line  = C:\\logs\n")
    assert result.text.startswith(expected)
    assert result.stdout.endswith(USAGE)


def test_text_log_in_the_temp_folder(prefix):
    result = prefix.run("/silent")
    assert result.exit_code == 0
    assert result.stdout == b""
    log = prefix.log_folder / "CleanupToolLog.txt"
    data = log.read_bytes()
    assert re.match(rb"\r\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3}\tVersion: 1\.0\.3\.0\r\n", data), data[:80]
    # Every start adds one header; the log is continued.
    prefix.run("/silent")
    assert log.read_bytes().startswith(data)
    assert log.read_bytes().count(b"\tVersion: ") == 2


def test_logpath_creates_its_folder_even_with_non_ascii_names(prefix):
    target = "C:\\Journaux\u00e9\\d\u00e9p\u00f4t\\\u4e2d"
    result = prefix.run("/Logpath", target, "/DISABLEEXPERIENCEMETRICS", "/silent")
    assert result.exit_code == 0
    assert prefix.unix_path(target).is_dir()
    # The text log itself stays in the temp folder: it was opened before /Logpath was read.
    assert (prefix.log_folder / "CleanupToolLog.txt").exists()


def test_256_character_logpath_is_accepted(prefix):
    path = "C:\\" + "b" * 253
    assert len(path) == 256
    result = prefix.run("/Logpath", path, "/silent")
    assert result.exit_code == 0
    assert result.stdout == b""


def test_non_ascii_temp_folder(fresh_prefix):
    prefix = fresh_prefix
    temp = "C:\\users\\Ren\u00e9e\\Temp"
    prefix.unix_path(temp).mkdir(parents=True)
    result = prefix.run("/silent", env={"TMP": temp, "TEMP": temp})
    assert result.exit_code == 0
    log = prefix.unix_path(temp) / "halvora" / "ZraCleanup" / "CleanupToolLog.txt"
    assert b"\tVersion: " in log.read_bytes()


@pytest.mark.parametrize("args", [
    [""], ["/Logpath"], ["/Config"], ["/Step"], ["/ChangeExitCode1To"], ["\"quoted\""],
    ["x" * 30000], ["/\u00e9t\u00e9", "\u4e2d\u6587"], ["/Step", "99999999999999999999"],
    ["/silent:"], ["--silent"],
])
def test_unusual_arguments_never_crash(prefix, args):
    # A value option as the last argument has no value and is ignored.
    result = prefix.run("/silent", *args)
    assert result.exit_code == 0
    assert result.stdout == b""
