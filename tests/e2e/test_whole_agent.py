"""The whole simulated agent, installed from the shipped configuration by
tools/simulated_agent.py, cleaned by the real executable through its
restarts. Snapshots of the prefix (HKLM and HKU in both views, drive C: with
sizes and hashes) show:
  - a preview changes nothing;
  - after the cleanup cycle the machine is as it was before the agent was
    installed, except for what is listed below, each with its reason;
  - importing the run's RegBackup.reg brings every removed key and value
    back as it was."""
import os
import re
import sys
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

from snapshot import (drive_difference, is_wine_noise, parse_export, registry_difference, registry_of, snapshot,
                      without_wine_noise)
from winebed import LAUNCH, TOOL_FOLDER

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import simulated_agent as agent  # noqa: E402

PROGRAMS = LAUNCH.parent
RUNONCE = TOOL_FOLDER + "\\zra-runonce.exe"
TEMP = "C:\\tests\\Temp"
# The test's temp folder holds the tool's logs, its uploaded archive's
# manifest and site identity (which stay there by design).
OWN_FOLDERS = ["tests"]
OWN_ADAPTERS = [agent.VIDEO_ADAPTER_ID]

CLASSES_32 = ("hkey_local_machine\\software\\classes\\wow6432node\\",
              "hkey_local_machine\\software\\wow6432node\\classes\\")
CLASSES = "hkey_local_machine\\software\\classes\\"
SOFTWARE_32 = "hkey_local_machine\\software\\wow6432node\\"
SOFTWARE = "hkey_local_machine\\software\\"


def backup_name(key, backed_up):
    """The name under which the backup holds a key (an export's name), or
    None. Wine links HKLM\\Software\\Classes\\Wow6432Node to the 32-bit
    view's classes, so those keys have two names; and a key that both views
    share (an AppID or ProgID class, and in Wine the policies and the image
    file execution options) shows under the 32-bit names too while it is
    backed up once, under its own name."""
    names = [key]
    for alias in CLASSES_32:
        if key.startswith(alias):
            rest = key[len(alias):]
            names += [a + rest for a in CLASSES_32] + [CLASSES + rest]
    if key.startswith(SOFTWARE_32):
        names.append(SOFTWARE + key[len(SOFTWARE_32):])
    return next((n for n in names if n in backed_up), None)


# Wine does not write a loaded user hive back to its file when it is
# unloaded: the offline user's NTUSER.DAT keeps the agent's key on disk,
# although the run deleted it from the loaded hive (checked in the result
# log below). On Windows the file changes.


def process_alive(pid):
    """A Wine process ended by the tool leaves Linux a moment later; a
    zombie nobody has reaped yet is gone too."""
    for _ in range(25):
        try:
            state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
        except (FileNotFoundError, IndexError):
            return False
        if state == "Z":
            return False
        time.sleep(0.2)
    return True


# The driver step disables each agent driver (start type 4) before the
# restart and backs its key up when it deletes it after the restart: the
# backup holds the disabled start type.
DISABLED_DRIVER = re.compile(r"hkey_local_machine\\system\\currentcontrolset\\services\\[^\\]+")


def as_backed_up(key, values):
    """The seeded values of a key as the backup holds them."""
    if DISABLED_DRIVER.fullmatch(key) and "start" in values:
        return dict(values, start="dword:00000004")
    return values


def widened(data):
    """hex(2)/hex(7) data with every byte made a 16-bit unit, as Wine's
    importer reads the hex bytes of an 8-bit .reg file."""
    kind, _, body = data.partition(":")
    return kind + ":" + ",".join(f"{b},00" for b in body.split(",")) if body else data


def same_value(seeded, restored, in_backup):
    """Whether an imported value is the seeded one. Wine's reg import takes
    the hex(2) and hex(7) bytes of an 8-bit .reg file for 8-bit text and
    widens each byte (Windows' importers take a version 5 file's bytes as
    they stand): for those two types the backup itself must hold the exact
    bytes, and the import gives them widened."""
    if restored == seeded:
        return True
    return (seeded.startswith(("hex(2):", "hex(7):")) and in_backup is not None
            and in_backup.replace(" ", "") == seeded and restored == widened(seeded))


def result_items(prefix, name="UninstallLog.xml"):
    root = ET.parse(prefix.log_folder / name).getroot()
    return {section.tag: [(e.tag, e.get("Status"), e.text) for e in section] for section in root}


@pytest.fixture
def seeded(fresh_prefix, tmp_path):
    prefix = fresh_prefix
    prefix.use_temp_folder(TEMP)
    agent.windows_baseline(prefix)
    before = snapshot(prefix, OWN_FOLDERS)
    summary = agent.seed_agent(prefix, PROGRAMS, tmp_path / "packages", log=lambda line: None)
    try:
        yield prefix, before, summary
    finally:
        for pid, _ in summary.running:
            try:
                os.kill(pid, 9)
            except ProcessLookupError:
                pass


def test_the_whole_agent_is_removed_and_the_machine_is_as_before(seeded):
    prefix, before, summary = seeded
    config = agent.AgentConfig.load()
    assert summary.packages == len(config.products)
    assert summary.processes == len({p.lower() for p in config.processes})
    seeded_state = snapshot(prefix, OWN_FOLDERS)

    # The preview lists and changes nothing: byte for byte the seeded state.
    preview = prefix.run("/Preview", "/silent", timeout=900)
    assert (preview.exit_code, preview.stdout) == (0, b"")
    previewed = snapshot(prefix, OWN_FOLDERS)
    assert without_wine_noise(registry_difference(seeded_state, previewed), OWN_ADAPTERS) == ([], [], [])
    assert drive_difference(seeded_state, previewed) == ([], [], [])
    assert all(process_alive(pid) for pid, _ in summary.running)
    planned = result_items(prefix, "Preview.xml")
    assert len(planned["MsiProducts"]) == len(config.products)
    # Every listed change names what it changes.
    log = (prefix.log_folder / "CleanupToolLog.txt").read_bytes().decode("cp1252")
    listed = re.findall(r"\tPreview: \[Step (\d)\] ([^:\r]+): ([^\r]*)\r\n", log)
    assert len(listed) > 900
    assert [line for line in listed if not line[2].strip()] == []

    # The cleanup through its two restarts.
    first = prefix.run("/silent", timeout=900)
    assert (first.exit_code, first.stdout) == (1, b"")
    second = prefix.run(program=RUNONCE, timeout=900)
    assert (second.exit_code, second.stdout) == (1, b"")
    third = prefix.run(program=RUNONCE, timeout=900)
    assert (third.exit_code, third.stdout) == (0, b"")
    after = snapshot(prefix, OWN_FOLDERS)

    assert [image for pid, image in summary.running if process_alive(pid)] == []
    items = result_items(prefix)
    assert [i for section in items.values() for i in section if i[1] not in (None, "Succeeded")] == []
    assert len(items["MsiProducts"]) == len(config.products)
    assert f"HKU\\{agent.OFFLINE_USER}\\Software\\Halvora\\Zorander" in [i[2] for i in items["Registries"]]

    # The registry: nothing of the agent is left, every repaired setting is
    # back to Windows' own, and only the listed keys stay (empty).
    added, removed, changed = without_wine_noise(registry_difference(before, after), OWN_ADAPTERS)
    assert removed == [] and changed == []
    unexplained = [k for k in added if not any(p.fullmatch(k[1]) for p, _ in agent.LEFT_KEYS)]
    assert unexplained == [], unexplained
    now = registry_of(after)
    assert [k for k in added if now[k]] == [], "a key left behind holds values"

    # The files: only the listed empty folders, and the offline hive.
    added, removed, changed = drive_difference(before, after)
    assert removed == []
    assert changed == [agent.OFFLINE_HIVE]
    unexplained = [f for f in added if not any(p.fullmatch(f) for p, _ in agent.LEFT_FOLDERS)]
    assert unexplained == [], unexplained

    # The backup: importing RegBackup.reg brings back every key and value
    # the run removed through the registry as it was. What the run removed
    # otherwise is Windows Installer's registration of the packages (the
    # uninstall takes it) and the services' keys (the service manager
    # deletes them with the service).
    backup_text = (prefix.log_folder / "RegBackup.reg").read_bytes().decode("cp1252")
    backup = backup_text.lower()
    backed_up = {k.lower(): {n.lower(): d for n, d in v.items()} for k, v in parse_export(backup_text).items()}
    proc = prefix.reg("import", f"{TEMP}\\halvora\\ZraCleanup\\RegBackup.reg")
    assert proc.returncode == 0, proc.stderr
    restored = registry_of(snapshot(prefix, OWN_FOLDERS))
    services = "|".join(re.escape(n.lower()) for n in config.services + config.drivers)
    removed_otherwise = re.compile(
        r"hkey_local_machine\\(software\\(wow6432node\\)?(classes\\installer|microsoft\\windows\\currentversion"
        r"\\(installer|uninstall\\\{[0-9a-f-]+\}))|software\\(wow6432node\\)?halvora\\install\\zorander"
        r"|system\\currentcontrolset\\services\\(" + services + r"))(\\.*)?")
    not_restored, unexplained = [], []
    for key, values in registry_of(seeded_state).items():
        if key[0] != 64 or is_wine_noise(key, OWN_ADAPTERS):
            continue
        if key in now:
            # A key that stays: the values the run deleted from it are back.
            for name in set(values) - set(now[key]):
                if not same_value(values[name], restored.get(key, {}).get(name), backed_up.get(key[1], {}).get(name)):
                    not_restored.append(f"{key[1]} : {name}")
            continue
        name = backup_name(key[1], backed_up)
        if name is not None:
            values = as_backed_up(key[1], values)
            back = restored.get(key, {})
            if set(back) != set(values) or not all(
                    same_value(values[n], back[n], backed_up[name].get(n)) for n in values):
                not_restored.append(key[1])
        elif not removed_otherwise.fullmatch(key[1]):
            unexplained.append(key[1])
    assert not_restored == []
    assert unexplained == [], unexplained
