"""Steps 4 and 5 of the real executable on a prefix where the agent's
processes run and its services are registered under the names of the
shipped configuration."""
import subprocess
import time
import xml.etree.ElementTree as ET
from pathlib import Path

from winebed import TOOL_FOLDER, WINE64

SHIPPED_CONFIG = Path(__file__).resolve().parents[2] / "src" / "config" / "ZraConfig.xml"
SLEEPER = TOOL_FOLDER + "\\zra-sleeper.exe"
SERVICE_PROGRAM = TOOL_FOLDER + "\\zra-test-service.exe"


def shipped_list(section, entry):
    root = ET.parse(SHIPPED_CONFIG).getroot()
    return [e.text for e in root.find(section).findall(entry)]


class Processes:
    """Copies of the sleeper program running under chosen image names."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.started = []

    def start(self, folder, image):
        target = self.prefix.unix_path(folder) / image
        target.parent.mkdir(parents=True, exist_ok=True)
        if not target.exists():
            target.write_bytes(self.prefix.unix_path(SLEEPER).read_bytes())
        ready = f"{TOOL_FOLDER}\\ready-{len(self.started)}-{image}.txt"
        proc = subprocess.Popen([WINE64, f"{folder}\\{image}", "900000", ready], cwd=self.prefix.path / "drive_c",
                                env=self.prefix.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        self.started.append((self.prefix.unix_path(ready), proc))
        return proc

    def wait_listed(self):
        """Waits until every started copy shows in the process list."""
        for _ in range(300):
            if all(ready.exists() for ready, _ in self.started):
                return
            time.sleep(0.2)
        raise AssertionError("the agent's simulated processes did not start")

    def stop_all(self):
        for _, proc in self.started:
            if proc.poll() is None:
                proc.kill()
                proc.wait()


def service_state(prefix, name):
    out = prefix.wine("sc", "query", name).stdout.decode("cp1252", "replace")
    for line in out.splitlines():
        if "STATE" in line:
            return line.split(":", 1)[1].split()[1]
    return None


def wait_state(prefix, name, state, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if service_state(prefix, name) == state:
            return True
        time.sleep(0.2)
    return False


def create_service(prefix, name, start=True):
    proc = prefix.wine("sc", "create", name, "binPath=", f"{SERVICE_PROGRAM} {name}", "start=", "demand")
    assert proc.returncode == 0, proc.stdout
    if start:
        prefix.wine("sc", "start", name)
        assert wait_state(prefix, name, "RUNNING"), name


def result_items(prefix, section):
    root = ET.parse(prefix.log_folder / "UninstallLog.xml").getroot()
    return [(e.tag, e.text, e.get("Status"), e.get("ErrorID")) for e in root.find(section)]


def text_log(prefix):
    return (prefix.log_folder / "CleanupToolLog.txt").read_bytes().decode("cp1252")


def test_step_4_ends_the_agent_processes_and_removes_its_services(fresh_prefix):
    processes = shipped_list("Processes", "Process")
    services = shipped_list("Services", "Service")
    agent_folder = "C:\\Program Files\\Halvora\\Zorander\\Broker"
    running = Processes(fresh_prefix)
    try:
        broker = [running.start(agent_folder, processes[0]) for _ in range(2)]
        others = [running.start(agent_folder, name) for name in processes[4:7]]
        bystander = running.start("C:\\other", "bystander.exe")
        running.wait_listed()
        for name in services[:3]:
            create_service(fresh_prefix, name)
        create_service(fresh_prefix, services[3], start=False)
        create_service(fresh_prefix, "BystanderService")

        result = fresh_prefix.run("/silent", "/Step", "4", "/DISABLEEXPERIENCEMETRICS", timeout=300)
        assert result.exit_code == 0

        # Terminated by the tool (exit code 0), not ended by themselves (77).
        for proc in broker + others:
            assert proc.wait(timeout=20) == 0
        assert bystander.poll() is None
        for name in services[:4]:
            assert service_state(fresh_prefix, name) is None, name
        assert service_state(fresh_prefix, "BystanderService") == "RUNNING"

        assert result_items(fresh_prefix, "Processes") == [
            ("process", name, "Succeeded", None) for name in [processes[0]] + processes[4:7]]
        assert result_items(fresh_prefix, "Services") == [
            ("service", name, "Succeeded", None) for name in services[:4]]
        log = text_log(fresh_prefix)
        for line in ("\tProcessStep::TerminateProcesses Entry\r\n", "\tProcessStep::TerminateProcesses Exit\r\n",
                     "\tServiceStep::RemoveServices Entry\r\n", "\tServiceStep::RemoveServices Exit\r\n"):
            assert line in log
        assert "Error" not in log[log.index("ProcessStep::TerminateProcesses Entry"):
                                  log.index("ServiceStep::RemoveServices Exit")]
    finally:
        running.stop_all()


def test_a_pattern_matching_the_tool_and_its_launcher_ends_neither(prefix):
    config = prefix.unix_path(TOOL_FOLDER) / "self-config.xml"
    document = SHIPPED_CONFIG.read_text(encoding="utf-8")
    start = document.index("<Processes>")
    end = document.index("</Processes>") + len("</Processes>")
    document = (document[:start] + "<Processes><Process>ZRACleanupUtility.exe</Process>"
                "<Process>zra-launch.exe</Process><Process>ZRA*.exe</Process><Process>zra-*.exe</Process>"
                "</Processes>" + document[end:])
    config.write_text(document, encoding="utf-8")
    result = prefix.run("/silent", "/Step", "4", "/Config", f"{TOOL_FOLDER}\\self-config.xml",
                        "/DISABLEEXPERIENCEMETRICS", timeout=300)
    # The launcher is the tool's parent: both lived to report the exit code.
    assert result.exit_code == 0
    assert result_items(prefix, "Processes") == []
