"""/Preview of the real executable: on a prefix where the agent's processes
run, its services are registered, its files lie and its listener keys
exist, the run lists what the cleanup would change, step by step, and
changes nothing at all."""
import re
import xml.etree.ElementTree as ET

from test_file_step import KEPT, LISTENERS, PERSISTENT, SEEDED, seed_file
from test_process_service_steps import Processes, create_service, service_state, shipped_list
from snapshot import snapshot

NOTHING_FOUND = "Nothing of the ZRA was found on this machine: there is nothing to remove."


def console_by_step(text):
    """The console lines below each step banner, by step number."""
    steps = {}
    current = None
    for line in text.split("\n"):
        banner = re.match(r"\[Step (\d)/8\] ", line)
        if banner:
            current = int(banner.group(1))
            steps[current] = []
        elif line.startswith("\t") and current is not None:
            steps[current].append(line)
    return steps


def test_preview_lists_every_change_and_changes_nothing(fresh_prefix):
    prefix = fresh_prefix
    prefix.use_temp_folder("C:\\previewtemp")
    processes = shipped_list("Processes", "Process")
    services = shipped_list("Services", "Service")
    running = Processes(prefix)
    try:
        agent_folder = "C:\\Program Files\\Halvora\\Zorander\\Broker"
        agents = [running.start(agent_folder, processes[0]), running.start(agent_folder, processes[4])]
        running.wait_listed()
        create_service(prefix, services[0])
        create_service(prefix, services[1])
        create_service(prefix, services[2], start=False)
        files = [p for p in SEEDED if not p.startswith(PERSISTENT)][:6] + [PERSISTENT + "\\links.dat"]
        for path in files + KEPT:
            seed_file(prefix, path)
        for key in LISTENERS[1:3]:
            assert prefix.reg("add", key, "/v", "Port", "/t", "REG_DWORD", "/d", "2598", "/f").returncode == 0

        own = ["previewtemp"]
        before = snapshot(prefix, own)
        result = prefix.run("/Preview", "/DISABLEEXPERIENCEMETRICS", input=b"\n", timeout=300)
        after = snapshot(prefix, own)

        assert result.exit_code == 0, result.text
        for key in before:
            if key == "drive":
                assert after[key] == before[key]
            else:
                assert after[key] == before[key], f"registry {key} changed"
        for proc in agents:
            assert proc.poll() is None
        assert service_state(prefix, services[0]) == "RUNNING"
        assert service_state(prefix, services[2]) == "STOPPED"

        steps = console_by_step(result.text)
        assert sorted(steps) == list(range(1, 9))
        assert steps[1] == steps[2] == steps[3] == steps[7] == []
        # The preview sees the machine as it is: the service keys step 5 would
        # already have taken with the services are listed again by step 8.
        assert steps[8] == ["\tDelete registry key: HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + name
                            for name in services[:3]]
        assert [re.sub(r"\(process id \d+\)", "(process id N)", line) for line in steps[4]] == [
            f"\tTerminate process: {processes[0]} (process id N)",
            f"\tTerminate process: {processes[4]} (process id N)"]
        assert steps[5] == [f"\tStop service: {services[0]}", f"\tDelete service: {services[0]}",
                            f"\tStop service: {services[1]}", f"\tDelete service: {services[1]}",
                            f"\tDelete service: {services[2]}"]
        file_lines = steps[6]
        persistent_parent = PERSISTENT.rsplit("\\", 1)[0]
        assert file_lines[:3] == [f"\tTake ownership: {persistent_parent}", f"\tTake ownership: {PERSISTENT}",
                                  f"\tDelete folder: {PERSISTENT}"]
        assert file_lines[3:5] == ["\tDelete registry key: HKEY_LOCAL_MACHINE\\" + key[5:] for key in LISTENERS[1:3]]
        deleted = [line.split(": ", 1)[1] for line in file_lines[5:]]
        assert all(line.startswith(("\tDelete file: ", "\tDelete folder: ")) for line in file_lines[5:])
        assert len(deleted) == len(set(deleted)) and len(deleted) >= 4
        for kept in KEPT:
            assert kept not in deleted
        total = sum(len(lines) for lines in steps.values())
        assert f"Preview complete: the cleanup would make {total} changes. Nothing was changed." in result.text

        logs = prefix.log_folder
        assert sorted(p.name for p in logs.iterdir()) == ["CleanupToolLog.txt", "Preview.xml", "config.xml"]
        log = (logs / "CleanupToolLog.txt").read_bytes().decode("cp1252")
        for number, lines in steps.items():
            for line in lines:
                assert f"\tPreview: [Step {number}] {line[1:]}\r\n" in log
        root = ET.parse(logs / "Preview.xml").getroot()
        assert root.find("MetaData/Parameter").text == "/Preview"
        recorded = [(e.tag, e.get("Status")) for section in ("Processes", "Services", "Files", "Registries")
                    for e in root.find(section)]
        assert len(recorded) == 2 + 3 + len(deleted) + 1 + 2 + len(steps[8])
        assert all(status == "Preview" for _, status in recorded)
        assert prefix.reg_query_value("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion",
                                      "HvrZraCleanupOverwriteLog") is None
        assert not prefix.unix_path("C:\\previewtemp\\halvora\\ZRACleanupTool.info").exists()
    finally:
        running.stop_all()


def test_preview_silent_prints_nothing_and_nothing_found_is_said(prefix):
    silent = prefix.run("/preview", "-silent", "/DISABLEEXPERIENCEMETRICS", timeout=300)
    assert silent.exit_code == 0
    assert silent.stdout == b""
    log = (prefix.log_folder / "CleanupToolLog.txt").read_bytes().decode("cp1252")
    assert NOTHING_FOUND in log
    assert (prefix.log_folder / "Preview.xml").exists()
    assert not (prefix.log_folder / "UninstallLog.xml").exists()

    shown = prefix.run("-PREVIEW", "/DISABLEEXPERIENCEMETRICS", input=b"\n", timeout=300)
    assert shown.exit_code == 0
    assert NOTHING_FOUND + "\n" in shown.text
    assert not any(line.startswith("\t") for line in shown.text.split("\n") if "Step" not in line)
    assert "Before you can continue" not in shown.text


def test_preview_after_an_interrupted_cleanup_leaves_its_state_and_lists_the_restarts(fresh_prefix):
    """The restart cycle's harness (its steps 3 and 7 ask for restarts): a
    real run stops for its first restart; a preview then neither refuses nor
    restarts, lists both restarts, and leaves the interrupted run's marker,
    re-launch, result log and backup exactly as they were."""
    from test_run_control import CYCLE, THANKS, banners, marker, runonce

    prefix = fresh_prefix
    prefix.use_temp_folder("C:\\tests\\cycle\\Temp")
    first = prefix.run("/noreboot", "/DISABLEEXPERIENCEMETRICS", input=b"\n\n", program=CYCLE)
    assert first.exit_code == 1
    pending, marked = runonce(prefix), marker(prefix)
    assert pending is not None and marked is not None
    logs = prefix.log_folder
    kept = {p.name: p.read_bytes() for p in logs.iterdir() if p.name != "CleanupToolLog.txt"}
    assert "UninstallLog.xml" in kept

    result = prefix.run("/Preview", "/DISABLEEXPERIENCEMETRICS", input=b"\n", program=CYCLE)
    assert result.exit_code == 0
    pending_text = ("A restart requested by an earlier cleanup run is still pending; the preview shows the whole "
                    "cleanup.\n")
    assert result.text == (THANKS + pending_text + banners(1, 3, warned=(2,))
                           + "\tRestart the machine: the cleanup would continue with step 4 after the restart\n"
                           + banners(4, 8)
                           + "\tRestart the machine: the cleanup would continue with step 6 after the restart\n"
                           + "\nPreview complete: the cleanup would make 2 changes. Nothing was changed.\n"
                           + "Press any key to exit...")
    assert (runonce(prefix), marker(prefix)) == (pending, marked)
    for name, data in kept.items():
        assert (logs / name).read_bytes() == data, name
    root = ET.parse(logs / "Preview.xml").getroot()
    assert [e.text for e in root.find("Reboots")] == ["test step asks for a restart",
                                                      "test driver step asks for a restart"]
    log = (logs / "CleanupToolLog.txt").read_bytes().decode("cp1252")
    assert "\tPreview: [Step 3] Restart the machine: the cleanup would continue with step 4" in log
    assert "\tPreview: Restart the machine: the cleanup would continue with step 6" in log
    assert "Utils::SetRebootParamRun: Preview: no re-launch is registered" in log


def test_preview_unattended_keeps_the_step_file_and_logpath_takes_the_files(prefix):
    info = prefix.unix_path(prefix.temp_folder + "\\halvora\\ZRACleanupTool.info")
    info.parent.mkdir(parents=True, exist_ok=True)
    info.write_bytes(b"step: 6\r\n")
    result = prefix.run("/unattended", "/Preview", "/DISABLEEXPERIENCEMETRICS", timeout=300)
    assert (result.exit_code, result.stdout) == (0, b"")
    assert info.read_bytes() == b"step: 6\r\n"
    log = (prefix.log_folder / "CleanupToolLog.txt").read_bytes().decode("cp1252")
    assert "\tUtils::UnattendedParamRun: Exit Unattended mode step 6\r\n" in log
    root = ET.parse(prefix.log_folder / "Preview.xml").getroot()
    assert root.find("MetaData/Parameter").text == "/Unattended/Preview"
    info.unlink()

    logpath = prefix.temp_folder + "\\chosen"
    result = prefix.run("/Preview", "/silent", "/Logpath", logpath, "/Step", "5", "/DISABLEEXPERIENCEMETRICS",
                        timeout=300)
    assert (result.exit_code, result.stdout) == (0, b"")
    chosen = prefix.unix_path(logpath + "\\ZraCleanup")
    assert (chosen / "Preview.xml").exists()
    assert not (chosen / "UninstallLog.xml").exists() and not (chosen / "RegBackup.reg").exists()
