"""Log folders, the configuration copy and the re-launch, through the real
executable: /Logpath refuses folders that cannot take the logs; a
"config.xml" in the log folder that cannot be replaced is never what the run
reads; relative /Config and /Logpath values still reach their files when
Windows re-launches the tool after a restart from another current folder
(replayed by zra-runonce.exe, which starts the stored command line in the
system folder)."""
import shutil
import subprocess
import time
from pathlib import Path

from winebed import TOOL_FOLDER, TOOL_PATH, WINE64

RUNONCE = TOOL_FOLDER + "\\zra-runonce.exe"
RUNONCE_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
CONFIG = Path(__file__).resolve().parent / "data" / "run-control-config.xml"


def test_logpath_that_cannot_take_files_is_refused(prefix):
    plain = prefix.temp_folder + "\\plain file"
    prefix.unix_path(plain).write_bytes(b"not a folder")
    for value in (plain, plain + "\\below", "\\\\zra-no-such-host.invalid\\share\\logs"):
        result = prefix.run("/silent", "/Logpath", value)
        assert result.exit_code == 0, value
        assert result.text == f"Can't set a directory to the path:{value}\n"
        # Nothing was cleaned: no configuration was read or written.
        assert not (prefix.log_folder / "config.xml").exists()
        assert not (prefix.log_folder / "UninstallLog.xml").exists()
    assert prefix.unix_path(plain).read_bytes() == b"not a folder"

    # A usable folder is taken, and the probe leaves nothing behind.
    good = prefix.temp_folder + "\\good logs"
    result = prefix.run("/silent", "/Logpath", good, "/Step", "9")
    assert (result.exit_code, result.stdout) == (0, b"")
    assert sorted(p.name for p in prefix.unix_path(good).iterdir()) == ["ZraCleanup"]
    assert (prefix.unix_path(good) / "ZraCleanup" / "UninstallLog.xml").exists()


class MutexHolder:
    def __init__(self, prefix, name, milliseconds):
        self.proc = subprocess.Popen([WINE64, f"{TOOL_FOLDER}\\zra-mutex-holder.exe", name, str(milliseconds)],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     cwd=prefix.path / "drive_c", env=prefix.env)
        assert self.proc.stdout.readline().strip() == b"holding"

    def close(self):
        self.proc.wait(timeout=60)


def test_relative_paths_survive_the_relaunch(fresh_prefix):
    prefix = fresh_prefix
    prefix.use_temp_folder("C:\\tests\\relative\\Temp")
    # The tool is started from C:\ (the launcher's current folder).
    prefix.unix_path("C:\\work\\cfg").mkdir(parents=True)
    shutil.copy(CONFIG, prefix.unix_path("C:\\work\\cfg\\run.xml"))

    # Windows Installer is busy: the tool waits, registers its re-launch and
    # asks for the restart.
    holder = MutexHolder(prefix, "Global\\_MSIExecute", 2000)
    result = prefix.run("/silent", "/Config", "work\\cfg\\run.xml", "/Logpath", "work\\logs")
    holder.close()
    assert (result.exit_code, result.stdout) == (4, b"")
    stored = prefix.reg_query_value(RUNONCE_KEY, "HalvoraZraCleanup")
    assert stored == f'"{TOOL_PATH}" -silent -Config C:\\work\\cfg\\run.xml -Logpath C:\\work\\logs -Step 0'

    # The logon runs the command line from the system folder.
    result = prefix.run(program=RUNONCE)
    assert (result.exit_code, result.stdout) == (0, b"")
    assert prefix.reg_query_value(RUNONCE_KEY, "HalvoraZraCleanup") is None
    assert prefix.reg_query_value("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion",
                                  "HvrZraCleanupOverwriteLog") is None
    xml = prefix.unix_path("C:\\work\\logs\\ZraCleanup\\UninstallLog.xml").read_text()
    assert "<Parameter>/Silent</Parameter>" in xml
    assert not prefix.unix_path("C:\\windows\\system32\\work").exists()
    assert not prefix.unix_path("C:\\windows\\syswow64\\work").exists()


class FileHolder:
    """zra-file-holder.exe keeping a file open (readable by others, not
    writable) for a while."""

    def __init__(self, prefix, path, milliseconds):
        self.proc = subprocess.Popen([WINE64, f"{TOOL_FOLDER}\\zra-file-holder.exe", path, str(milliseconds)],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     cwd=prefix.path / "drive_c", env=prefix.env)
        assert self.proc.stdout.readline().strip() == b"holding"

    def close(self):
        self.proc.wait(timeout=60)


def test_config_copy_that_cannot_be_written_is_not_read(prefix):
    # Someone else's document in a shared log folder, held open so that the
    # run cannot replace it. It names nothing the run could use: parsed, it
    # would fail the run.
    shared = prefix.temp_folder + "\\shared logs"
    planted = prefix.unix_path(shared + "\\ZraCleanup\\config.xml")
    planted.parent.mkdir(parents=True)
    planted.write_bytes(b"<config><Installer><Name>planted</Name></Installer></config>")
    holder = FileHolder(prefix, shared + "\\ZraCleanup\\config.xml", 6000)
    try:
        result = prefix.run("/silent", "/Logpath", shared, "/Step", "9")
    finally:
        holder.close()
    assert (result.exit_code, result.stdout) == (0, b"")
    assert planted.read_bytes() == b"<config><Installer><Name>planted</Name></Installer></config>"
    log = (prefix.log_folder / "CleanupToolLog.txt").read_bytes().decode("cp1252")
    assert (f"\tExtractConfigFile: Error: {shared}\\ZraCleanup\\config.xml could not be written, error 32; the "
            "configuration carried in the program is used, the file is not read\r\n") in log
    assert "Check the config file" not in log
    assert "\tCConfiguration::ParseRegistry Succeeded\r\n" in log

    # Once it can be written, the copy is the carried document again.
    result = prefix.run("/silent", "/Logpath", shared, "/Step", "9")
    assert (result.exit_code, result.stdout) == (0, b"")
    assert planted.read_bytes() == (Path(__file__).resolve().parents[2] / "src" / "config" / "ZraConfig.xml").read_bytes()
