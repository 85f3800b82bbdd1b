"""The registry backup across a restart, as an administrator restores it: a
run stopped for a restart before any registry work, resumed through the
RunOnce replay, backs up keys of both registry views and of the current
user and removes them; one `reg import` of RegBackup.reg, without a view
switch, brings every key and value back into the view it was taken from.

zra-cycle.exe is the product's run sequence with restart-asking steps 3
and 7 and a step 8 that exports and deletes the configured registry
entries through the product's registry wrapper and backup file."""
import shutil
from pathlib import Path

from winebed import TOOL_FOLDER

CYCLE = TOOL_FOLDER + "\\zra-cycle.exe"
RUNONCE = TOOL_FOLDER + "\\zra-runonce.exe"
CONFIG = Path(__file__).resolve().parent / "data" / "backup-config.xml"
HEADER = b"Windows Registry Editor Version 5.00\r\n\r\n"

MACHINE_KEY = "HKLM\\SOFTWARE\\Halvora\\ZraBackupTest"
USER_KEY = "HKCU\\Software\\Halvora\\ZraBackupTest"
VALUES_KEY = "HKLM\\SOFTWARE\\Halvora\\ZraBackupValues"


def add(prefix, key, name, kind, data, view64):
    args = ["add", key, "/f"] if name is None else ["add", key, "/v", name, "/t", kind, "/d", data, "/f"]
    assert prefix.reg(*args, view64=view64).returncode == 0, (key, name)


def seed(prefix):
    """The same paths in both views with different contents, a user key and
    one value in each view."""
    for view64, label in ((True, "64"), (False, "32")):
        add(prefix, MACHINE_KEY, "View", "REG_SZ", f"seen in the {label}-bit view", view64)
        add(prefix, MACHINE_KEY, "Count", "REG_DWORD", label, view64)
        add(prefix, MACHINE_KEY + "\\Sub " + label, "Data", "REG_BINARY", "0102" + label, view64)
        add(prefix, VALUES_KEY, "Setting", "REG_SZ", label, view64)
        add(prefix, VALUES_KEY, "Keep", "REG_SZ", "stays", view64)
    add(prefix, USER_KEY, "User", "REG_SZ", "the current user", True)


def snapshot(prefix):
    """What the seeded keys hold, per view."""
    seen = {}
    for view64 in (True, False):
        for key in (MACHINE_KEY, VALUES_KEY, USER_KEY):
            proc = prefix.reg("query", key, "/s", view64=view64)
            lines = proc.stdout.decode("cp1252", "replace").replace("\r\n", "\n").strip().splitlines()
            seen[(key, view64)] = (proc.returncode, sorted(line.strip() for line in lines if line.strip()))
    return seen


def test_backup_written_across_a_restart_restores_both_views_exactly(fresh_prefix):
    prefix = fresh_prefix
    prefix.use_temp_folder("C:\\tests\\backup\\Temp")
    config = "C:\\zra\\backup\\cfg.xml"
    prefix.unix_path(config).parent.mkdir(parents=True, exist_ok=True)
    shutil.copy(CONFIG, prefix.unix_path(config))
    seed(prefix)
    before = snapshot(prefix)
    assert before[(MACHINE_KEY, True)] != before[(MACHINE_KEY, False)]
    assert all(code == 0 for code, _ in before.values())

    # The first run stops for a restart at step 3: nothing was exported yet.
    result = prefix.run("/silent", "/Config", config, program=CYCLE)
    assert (result.exit_code, result.stdout) == (1, b"")
    backup = prefix.log_folder / "RegBackup.reg"
    assert not backup.exists()

    # The resumed run backs up and removes the entries at step 8, then asks
    # for the driver restart; the last run finishes.
    assert prefix.run(program=RUNONCE).exit_code == 1
    assert prefix.run(program=RUNONCE).exit_code == 0
    for view64 in (True, False):
        assert prefix.reg("query", MACHINE_KEY, view64=view64).returncode != 0
        assert prefix.reg_query_value(VALUES_KEY, "Setting", view64=view64) is None
        assert prefix.reg_query_value(VALUES_KEY, "Keep", view64=view64) == "stays"
    assert prefix.reg("query", USER_KEY, view64=True).returncode != 0

    content = backup.read_bytes()
    assert content.startswith(HEADER), content[:80]
    text = content.decode("ascii")
    # Each key is named where it lives; the user's key keeps its own root.
    assert "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvora\\ZraBackupTest]\r\n" in text
    assert "[HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Halvora\\ZraBackupTest]\r\n".lower() in text.lower()
    assert "[HKEY_CURRENT_USER\\Software\\Halvora\\ZraBackupTest]\r\n" in text

    # One import of the file as it is, without a view switch.
    restore = prefix.wine("reg", "import", prefix.temp_folder + "\\halvora\\ZraCleanup\\RegBackup.reg")
    assert restore.returncode == 0, restore.stderr
    assert snapshot(prefix) == before
