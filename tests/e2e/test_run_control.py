"""Run control of the real executable: the guards with real processes and
named mutexes, the pending-restart refusal, the step banners, the y/n
prompt, and the restart/resume cycle and unattended mode driven through
zra-cycle.exe (the run sequence with restart-asking test steps)."""
import os
import select
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from winebed import TOOL_FOLDER, TOOL_PATH, WINE64

CYCLE = TOOL_FOLDER + "\\zra-cycle.exe"
RUNONCE = TOOL_FOLDER + "\\zra-runonce.exe"
RUNONCE_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
MARKER_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion"
CONFIG = Path(__file__).resolve().parent / "data" / "run-control-config.xml"

THANKS = "Thank you for using ZRA Cleanup Utility...\n"
BEFORE = ("Before you can continue, please close any applications that are currently running and logoff from all "
          "Halvora sessions. Additionally, make sure no installation of Halvora or Third Party software are "
          "currently in progress.\n")
SECOND = "There is an instance of ZRA Cleanup Utility already running on the system, Exiting the tool...\n"
WARNING = ("To prevent the system from becoming unstable or unusable, do not terminate or relaunch ZRA Cleanup "
           "Utility. Instead, allow the removal process to complete on its own then restart the system when "
           "prompted to do so by the tool.\n")
ASK = ("\nZRA Cleanup Utility needs to restart the system to continue cleanup. Would you like to restart now "
       "(y/n)?\n")
YOURSELF = ("ZRA Cleanup Utility needs to restart the system to continue cleanup. Please restart the system by "
            "yourself.")
UNATTENDED = ("ZRA Cleanup Utility requires the system to be rebooted to continue cleanup. Please reboot the "
              "system.\n")
# A completed run uploads its logs (here to a closed loopback port, which
# fails at once) and thanks the user before the closing messages.
FINISHED = "\nFinished, Thank you for your support.\n"
DONE = "\nHalvora ZRA removal is complete.\nPress any key to exit..."
NAMES = ["Pre handling special version ZRA ...", "Uninstalling ZRA using Halvora Meta-Installer...",
         "Uninstalling ZRA using Windows Installer...", "Terminating ZRA processes...", "Removing ZRA services...",
         "Deleting ZRA files...", "Disabling and removing ZRA drivers...", "Removing ZRA Registry entries..."]


# Shown by the two installer steps after their banners.
INSTALLER_WARNING = ("The uninstall process may take several minutes to complete and tool may seem unresponsive "
                     "during this time. To prevent the system from becoming unstable or unusable, do not terminate "
                     "or relaunch the tool.\n")


def banners(first, last, warned=(2, 3)):
    """The step banners, each followed by the warning of the installer steps
    in warned (zra-cycle's step 3 is a test step without it)."""
    return "".join(f"\n[Step {n}/8] {NAMES[n - 1]}\n" + (INSTALLER_WARNING if n in warned else "")
                   for n in range(first, last + 1))


def text_log(prefix):
    return (prefix.log_folder / "CleanupToolLog.txt").read_bytes().decode("cp1252")


def runonce(prefix):
    return prefix.reg_query_value(RUNONCE_KEY, "HalvoraZraCleanup")


def marker(prefix):
    return prefix.reg_query_value(MARKER_KEY, "HvrZraCleanupOverwriteLog")


class Started:
    """A program started through the launcher without waiting for it; its
    console output is read while it runs."""

    def __init__(self, prefix, *args, program=TOOL_PATH):
        self.prefix = prefix
        self.code_file = f"{TOOL_FOLDER}\\exitcode-{time.monotonic_ns()}.txt"
        self.output = b""
        self.proc = subprocess.Popen([WINE64, f"{TOOL_FOLDER}\\zra-launch.exe", self.code_file, program, *args],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     cwd=prefix.path / "drive_c", env=prefix.env)

    def wait_for(self, text: bytes, timeout=60):
        deadline = time.monotonic() + timeout
        while text not in self.output:
            left = deadline - time.monotonic()
            assert left > 0, f"no {text!r} in {self.output!r}"
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if ready:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
                assert chunk, f"output ended without {text!r}: {self.output!r}"
                self.output += chunk

    def finish(self, input=b"", timeout=120):
        rest, _ = self.proc.communicate(input, timeout=timeout)
        self.output += rest
        code_path = self.prefix.unix_path(self.code_file)
        return int(code_path.read_text().strip())

    @property
    def text(self):
        return self.output.decode("cp1252").replace("\r\n", "\n")


class MutexHolder:
    """zra-mutex-holder.exe holding a named mutex for a while."""

    def __init__(self, prefix, name, milliseconds):
        self.proc = subprocess.Popen([WINE64, f"{TOOL_FOLDER}\\zra-mutex-holder.exe", name, str(milliseconds)],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     cwd=prefix.path / "drive_c", env=prefix.env)
        assert self.proc.stdout.readline().strip() == b"holding"
        self.since = time.monotonic()

    def close(self):
        self.proc.wait(timeout=60)


# -- guards ---------------------------------------------------------------

def test_second_instance_exits_2_and_leaves_the_first_undisturbed(prefix):
    first = Started(prefix)
    try:
        first.wait_for(b"Before you can continue")
        started = time.monotonic()
        second = prefix.run()
        shown = time.monotonic() - started
        assert second.exit_code == 2
        assert second.text == SECOND
        assert shown >= 3, "the message stays readable for 3 seconds"
        started = time.monotonic()
        silent = prefix.run("/silent")
        assert (silent.exit_code, silent.stdout) == (2, b"")
        assert time.monotonic() - started < shown - 1.5, "a silent start does not wait"
        # The second instances took nothing from the first one.
        assert first.finish(b"\n") == 0
    finally:
        if first.proc.poll() is None:
            first.proc.kill()
    assert first.text.startswith(THANKS + BEFORE)
    assert first.text.endswith(banners(1, 8) + FINISHED + DONE)
    assert "There is an instance" not in first.text
    log = text_log(prefix)
    assert log.count("\tIsOneToolInstance : There is an instance of ZRA Cleanup Utility already running on the "
                     "system, Exiting the tool...\r\n") == 2
    # Once the first one has ended, the tool starts again.
    assert prefix.run("/silent").exit_code == 0


@pytest.mark.parametrize("mutex, code", [("Halvora.MetaInstaller", 3), ("Global\\_MSIExecute", 4)])
def test_busy_installer_silent_waits_then_restarts(fresh_prefix, mutex, code):
    prefix = fresh_prefix
    prefix.use_temp_folder("C:\\tests\\busy\\Temp")
    holder = MutexHolder(prefix, mutex, 4000)
    result = prefix.run("/silent", "/DISABLEEXPERIENCEMETRICS")
    waited = time.monotonic() - holder.since
    holder.close()
    assert result.exit_code == code
    assert result.stdout == b""
    assert waited >= 3.5
    assert runonce(prefix) == f'"{TOOL_PATH}" -silent -DISABLEEXPERIENCEMETRICS -Step 0'
    log = text_log(prefix)
    busy = {3: "IsOneMetaInstallerInstance : An instance of Halvora Meta-Installer is already running, alerting "
               "user and waiting for Meta-Installer to finish.",
            4: "IsOneMSIInstance : Detected Windows Installer is running, alerting user and waiting for Windows "
               "Installer to finish."}[code]
    assert f"\t{busy}\r\n" in log
    # The finished line is only logged together with the finished message.
    assert "prompting user for reboot" not in log
    assert "\tUtils::RunReboot: Rebooting System\r\n" in log
    assert "User choosed" not in log
    # No cleanup ran: the run ended at the guard.
    assert not (prefix.log_folder / "config.xml").exists()


def test_busy_installers_interactive_and_unattended(fresh_prefix):
    prefix = fresh_prefix
    prefix.use_temp_folder("C:\\tests\\busy\\Temp")

    holder = MutexHolder(prefix, "Global\\_MSIExecute", 3000)
    result = prefix.run(input=b"n\n")
    holder.close()
    assert result.exit_code == 4
    assert result.text == ("Windows Installer is currently running...\n" + WARNING +
                           "\nWindows Installer has finished removing MSIs.\n" + ASK)
    assert runonce(prefix) == f'"{TOOL_PATH}" -Step 0'
    log = text_log(prefix)
    assert ("\tIsOneMSIInstance : Windows Installer has finished removing MSIs, prompting user for reboot\r\n"
            in log)
    assert "\tUtils::RunReboot: User choosed to reboot system later\r\n" in log
    prefix.reg("delete", RUNONCE_KEY, "/v", "HalvoraZraCleanup", "/f")

    holder = MutexHolder(prefix, "Halvora.MetaInstaller", 3000)
    result = prefix.run("/NoReboot", input=b"\n")
    holder.close()
    assert result.exit_code == 3
    assert result.text.startswith("\nAn instance of Halvora Meta-Installer is already running...\n" + WARNING +
                                  "\nHalvora Meta-Installer has finished removing ZRA components.\n" +
                                  YOURSELF + "\n")
    assert runonce(prefix) == f'"{TOOL_PATH}" -NoReboot -Step 0'
    prefix.reg("delete", RUNONCE_KEY, "/v", "HalvoraZraCleanup", "/f")

    # Unattended: the step file instead of RunOnce; the message even though silent.
    holder = MutexHolder(prefix, "Halvora.MetaInstaller", 3000)
    result = prefix.run("/unattended")
    holder.close()
    assert result.exit_code == 3
    assert result.text == UNATTENDED
    assert runonce(prefix) is None
    info = prefix.unix_path(prefix.temp_folder + "\\halvora\\ZRACleanupTool.info")
    assert info.read_bytes() == b"step: 0\r\n"
    # The next unattended start reads the file, deletes it and cleans up.
    result = prefix.run("/unattended")
    assert result.exit_code == 0
    assert result.stdout == b""
    assert not info.exists()
    assert "\tUtils::UnattendedParamRun: Exit Unattended mode step 0\r\n" in text_log(prefix)


# -- the driver -----------------------------------------------------------

def test_banners_from_step_5_and_no_step_from_step_9(prefix):
    result = prefix.run("/Step", "5", input=b"\n")
    assert result.exit_code == 0
    assert result.text == THANKS + "Continuing cleanup\n" + banners(5, 8) + FINISHED + DONE

    result = prefix.run("/Step", "9")
    assert result.exit_code == 0
    assert result.text == THANKS + "Continuing cleanup\n" + FINISHED + DONE
    assert marker(prefix) is None


def test_full_interactive_run_and_silent_run(prefix):
    result = prefix.run(input=b"\n")
    assert result.exit_code == 0
    assert result.text.startswith(THANKS + BEFORE)
    # The shell's "pause" prints its own prompt between the two.
    assert result.text.endswith(banners(1, 8) + FINISHED + DONE)

    result = prefix.run("/silent")
    assert result.exit_code == 0
    assert result.stdout == b""
    assert "\tCleanUpProcess::BeforeRun" not in text_log(prefix)
    xml = (prefix.log_folder / "UninstallLog.xml").read_text()
    assert "<Parameter>/Silent</Parameter>" in xml
    assert marker(prefix) is None


def test_missing_configuration_fails_with_minus_one(prefix):
    result = prefix.run("/Config", "C:\\no such\\config.xml", input=b"\n")
    assert result.exit_code == -1
    assert "[Step" not in result.text
    assert "Halvora ZRA removal is complete." not in result.text
    assert marker(prefix) is None


def test_start_while_a_relaunch_is_pending(fresh_prefix):
    prefix = fresh_prefix
    prefix.use_temp_folder("C:\\tests\\pending\\Temp")
    pending = f'"{TOOL_PATH}" -Step 4'
    prefix.reg("add", RUNONCE_KEY, "/v", "HalvoraZraCleanup", "/t", "REG_SZ", "/d", pending, "/f")
    assert runonce(prefix) == pending

    result = prefix.run(input=b"n\n")
    assert (result.exit_code, result.text) == (1, THANKS + ASK)
    result = prefix.run(input=b"", timeout=60)  # end of input: no answer, no hang
    assert (result.exit_code, result.text) == (1, THANKS + ASK)
    assert text_log(prefix).count("\tUtils::RunReboot: User choosed to reboot system later\r\n") == 2

    result = prefix.run("/NoReboot")
    assert (result.exit_code, result.text) == (1, THANKS + YOURSELF + "\n")
    result = prefix.run("/NoReboot", "/ChangeExitCode1To", "3010")
    assert result.exit_code == 3010

    result = prefix.run("/silent", "/NoReboot")
    assert (result.exit_code, result.stdout) == (1, b"")
    assert f"\tCleanUpProcess::BeforeRun: {YOURSELF}\r\n" in text_log(prefix)

    result = prefix.run("/silent")
    assert (result.exit_code, result.stdout) == (1, b"")
    assert "\tUtils::RunReboot: Rebooting System\r\n" in text_log(prefix)

    result = prefix.run(input=b"  Y\n")
    assert result.exit_code == 1
    assert text_log(prefix).count("\tUtils::RunReboot: Rebooting System\r\n") == 2

    # None of these starts cleaned anything or touched the pending value.
    assert not (prefix.log_folder / "config.xml").exists()
    assert marker(prefix) is None
    assert runonce(prefix) == pending

    # A resumed start is not refused.
    result = prefix.run("/Step", "4", "/silent")
    assert (result.exit_code, result.stdout) == (0, b"")
    assert "\tCleanUpProcess::BeforeRun: Continuing cleanup.\r\n" in text_log(prefix)


# -- restart and resume ---------------------------------------------------

def test_restart_cycle_resumes_where_it_stopped(fresh_prefix):
    prefix = fresh_prefix
    prefix.use_temp_folder("C:\\tests\\cycle\\Temp")
    config = "C:\\zra\\run control\\cfg.xml"
    prefix.unix_path(config).parent.mkdir(parents=True, exist_ok=True)
    shutil.copy(CONFIG, prefix.unix_path(config))
    logs = "C:\\zra logs\\cycle"

    # Step 3 asks for the restart: exit with the changed restart code.
    result = prefix.run("/silent", "/Config", config, "/Logpath", logs, "/ChangeExitCode1To", "3010",
                        program=CYCLE)
    assert (result.exit_code, result.stdout) == (3010, b"")
    assert runonce(prefix) == (f'"{CYCLE}" -silent -Config "{config}" -Logpath "{logs}" '
                               f'-ChangeExitCode1To 3010 -Step 4')
    assert marker(prefix) is not None
    first_log = text_log(prefix)
    assert "\tUtils::RunReboot: Rebooting System\r\n" in first_log

    # The next logon: Windows deletes the value and runs the command line,
    # here with another temp folder; the run continues in the first one.
    other = "C:\\tests\\cycle\\OtherTemp"
    prefix.unix_path(other).mkdir(parents=True)
    env = {"TMP": other, "TEMP": other}
    result = prefix.run(program=RUNONCE, env=env)
    assert (result.exit_code, result.stdout) == (3010, b"")
    # The driver step asked for its second phase after the last step.
    assert runonce(prefix) == (f'"{CYCLE}" -silent -Config "{config}" -Logpath "{logs}" '
                               f'-ChangeExitCode1To 3010 -Step 6 -DriverReboot')
    log = text_log(prefix)
    assert log.startswith(first_log)
    assert "\tCleanUpProcess::BeforeRun: Continuing cleanup.\r\n" in log[len(first_log):]

    result = prefix.run(program=RUNONCE, env=env)
    assert (result.exit_code, result.stdout) == (0, b"")
    assert runonce(prefix) is None
    assert marker(prefix) is None
    assert prefix.reg_query_value(MARKER_KEY, "HalvoraTempFolder") is None
    assert text_log(prefix).count("\tVersion: ") == 3
    assert not (prefix.unix_path(other) / "halvora").exists()

    # The result log in the /Logpath folder is one document for the three runs.
    xml = (prefix.unix_path(logs) / "ZraCleanup" / "UninstallLog.xml").read_text()
    assert xml.count("<reboot ") == 2
    assert xml.count("DoneTime=") == 2
    assert "<Parameter>/Silent</Parameter>" in xml


def test_interactive_cycle_with_prompts(fresh_prefix):
    prefix = fresh_prefix
    prefix.use_temp_folder("C:\\tests\\prompts\\Temp")
    result = prefix.run("/Step", "1", input=b"y\n", program=CYCLE)
    assert result.exit_code == 1
    assert result.text == THANKS + "Continuing cleanup\n" + banners(1, 3, warned=(2,)) + ASK
    assert "\tUtils::RunReboot: Rebooting System\r\n" in text_log(prefix)
    assert runonce(prefix) == f'"{CYCLE}" -Step 4'

    result = prefix.run(program=RUNONCE, input=b"  n\n")
    assert result.exit_code == 1
    assert result.text == THANKS + "Continuing cleanup\n" + banners(4, 8) + ASK
    assert "\tUtils::RunReboot: User choosed to reboot system later\r\n" in text_log(prefix)
    assert runonce(prefix) == f'"{CYCLE}" -Step 6 -DriverReboot'

    result = prefix.run(program=RUNONCE)
    assert result.exit_code == 0
    assert result.text == THANKS + "Continuing cleanup\n" + banners(6, 8) + FINISHED + DONE
    assert marker(prefix) is None


def test_unattended_cycle_uses_the_step_file(fresh_prefix):
    prefix = fresh_prefix
    prefix.use_temp_folder("C:\\tests\\unattended\\Temp")
    info = prefix.unix_path(prefix.temp_folder + "\\halvora\\ZRACleanupTool.info")

    # Step 3 resumes at 4: no message for step 4, only the step file.
    result = prefix.run("/unattended", program=CYCLE)
    assert (result.exit_code, result.stdout) == (1, b"")
    assert info.read_bytes() == b"step: 4\r\n"
    assert runonce(prefix) is None
    assert marker(prefix) is not None

    # The saved step replaces /Step; the driver step's restart is announced.
    result = prefix.run("/unattended", "/Step", "2", program=CYCLE)
    assert (result.exit_code, result.text) == (1, UNATTENDED)
    # The driver phase is saved with the step.
    assert info.read_bytes() == b"step: 6\r\ndriverReboot: 1\r\n"
    assert runonce(prefix) is None
    assert "\tUtils::UnattendedParamRun: Exit Unattended mode step 4\r\n" in text_log(prefix)

    # The resumed run is the driver step's second phase: no new restart.
    result = prefix.run("/unattended", program=CYCLE)
    assert (result.exit_code, result.stdout) == (0, b"")
    assert not info.exists()
    assert marker(prefix) is None
    assert "\tUtils::UnattendedParamRun: Exit Unattended mode step 6\r\n" in text_log(prefix)


def test_disabled_upload_reads_no_agent_version_but_finishes(prefix):
    result = prefix.run("/DISABLEEXPERIENCEMETRICS", "/Step", "8")
    assert result.exit_code == 0
    assert result.text.endswith(banners(8, 8) + DONE)
    assert "Utils::GetZraVersionFromXmlLog" not in text_log(prefix)
    assert marker(prefix) is None

    assert prefix.run("/silent").exit_code == 0
    assert "\tUtils::GetZraVersionFromXmlLog Entry\r\n" in text_log(prefix)
