#!/usr/bin/env python3
"""The simulated Halvora Zorander agent: installs, in a Wine prefix, everything
the shipped configuration (src/config/ZraConfig.xml) names, the way a
half-removed agent leaves it on a machine. One tool for `make demo`, the
end-to-end tests and `make bench`.

What it lays out, read from the configuration:
  - a Windows Installer package (built with wixl) for every upgrade code;
  - the agent's own uninstaller under both uninstall entries;
  - a running process for every process name, a Win32 service for every
    service name (a few of them running), a kernel-driver service for every
    driver (one only as a left-over key);
  - every file and folder, with the 32/64-bit folder rules of a 32-bit
    program on 64-bit Windows, the per-user folders in every user profile;
  - every registry value and key in its view, the wildcard keys with several
    matches, the per-user keys in every user's hive, among them an offline
    user's NTUSER.DAT, the entries the searches find;
  - the agent's entries in the Windows settings the cleanup repairs, and the
    remote-desktop listener keys.

windows_baseline() first lays out the Windows side the agent hooks into
(lists and settings that hold Windows' own entries, the offline user); it is
not part of the agent and the cleanup leaves it as it was.

scale multiplies the files and the registry data: files per folder, values
per key, wildcard matches, searched entries and user profiles.

CLI: simulated_agent.py PREFIX --programs DIR [--scale N] [--work DIR]
"""
import argparse
import re
import os
import shutil
import subprocess
import sys
import time
import uuid
import xml.etree.ElementTree as ET
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
from installer_bed import build_msi, install_msi, squash_guid  # noqa: E402
from winebed import WinePrefix  # noqa: E402

SHIPPED_CONFIG = REPO / "src" / "config" / "ZraConfig.xml"
AGENT_VERSION = "24.3.1.2207"
# The agent's programs live here; the whole folder is the agent's.
BIN_FOLDER = "C:\\Program Files\\Halvora\\Zorander\\Bin"
SERVICE_PROGRAM = BIN_FOLDER + "\\NrvServiceHost.exe"
META_INSTALLER = "C:\\Program Files\\Halvora\\Zorander\\Setup\\ZoranderMetaInstaller.exe"
# What the stand-in meta-installer records of its command lines.
META_RECORD = "C:\\zra\\meta-installer-ran.txt"
OFFLINE_USER = "offlineuser"
# Its hive file, as a snapshot lists it.
OFFLINE_HIVE = f"users/{OFFLINE_USER}/ntuser.dat"
RUNNING_SERVICES = ("NrvBrokerAgent", "KpaSvc", "ZorTelemetry")
# A driver whose service is already gone; its key is left.
KEY_ONLY_DRIVER = "kpawd"
FILE_EXTENSIONS = (".sys", ".dll", ".exe", ".inf", ".pnf")

# The step-6 listener keys of the agent's remote-desktop protocol.
LISTENER_KEYS = [
    "SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Console\\Kpa",
    "SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Kpa-CGP",
    "SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Kpa-CGP-1",
    "SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Kpa-CGP-2",
    "SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Kpa-CGP-3",
    "SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Kpa-CGP-HTML5",
    "SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Kpa-SSL",
    "SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Kpa-TCP",
    "SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\Wds\\kpawd",
]
RDP_TCP = "SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\RDP-Tcp"
WINDOWS_PROTOCOL = "{5828227c-20cf-4408-b73f-73ab70b8849f}"
AGENT_PROTOCOL = "{18b726bb-6fe6-4fb9-9276-ed57ce7c7cb2}"
VIDEO_ADAPTER_ID = "7a1f5d36-2c4e-4f0b-9a1e-5d6c7b8e9f01"
VIDEO_ADAPTER = "SYSTEM\\CurrentControlSet\\Control\\Video\\{" + VIDEO_ADAPTER_ID + "}\\Video"

# Windows' lists and the agent's entry in each: (key, value, type, Windows'
# own data, the agent's entry). The cleanup takes the agent's entry out.
LIST_SETTINGS = [
    ("SYSTEM\\CurrentControlSet\\Control\\Session Manager", "BootExecute", "multi", ["autocheck autochk *"],
     "NrvVmBoot"),
    ("SYSTEM\\CurrentControlSet\\Control\\NetworkProvider\\Order", "ProviderOrder", "sz", "RDPNP,LanmanWorkstation",
     "PKpaClientNetwork"),
    ("SYSTEM\\CurrentControlSet\\Control\\NetworkProvider\\HwOrder", "ProviderOrder", "sz", "RDPNP,LanmanWorkstation",
     "PKpaClientNetwork"),
    ("SYSTEM\\CurrentControlSet\\Control\\Lsa", "Security Packages", "multi", ["kerberos", "schannel"],
     "C:\\Program Files (x86)\\Halvora\\system32\\hvrauth"),
    ("SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e967-e325-11ce-bfc1-08002be10318}", "UpperFilters", "multi",
     ["partmgr"], "HvrQdsFlt"),
    ("SYSTEM\\CurrentControlSet\\Services\\LanmanServer", "DependOnService", "multi", ["SamSS", "Srv2"], "NrvVmAgent"),
    ("SYSTEM\\CurrentControlSet\\Services\\LanmanWorkstation", "DependOnService", "multi", ["Bowser", "MRxSmb20"],
     "NrvVmAgent"),
    ("SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96B-E325-11CE-BFC1-08002BE10318}", "UpperFilters", "multi",
     ["kbdclass"], "zkbdflt"),
    ("SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96F-E325-11CE-BFC1-08002BE10318}", "UpperFilters", "multi",
     ["mouclass"], "zmouflt"),
]
# Keys every Windows machine has, below which the agent puts its own (both
# views where Windows has both).
WINDOWS_KEYS = [
    ("HKLM\\SOFTWARE\\Classes\\Installer\\Features", True),
    ("HKLM\\SOFTWARE\\Classes\\Installer\\Products", True),
    ("HKLM\\SOFTWARE\\Classes\\Installer\\UpgradeCodes", True),
    ("HKLM\\SOFTWARE\\Classes\\CLSID\\{860BB310-5D01-11d0-BD3B-00A0C911CE86}\\Instance", True),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes", True),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components", True),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products", True),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced", True),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects", True),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects", False),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs", False),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{65e8773d-8f56-11d0-a3b9-00a0c9223196}", True),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{6994ad05-93ef-11d0-a3cc-00a0c9223196}", True),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\GraphicsDrivers", True),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\Wds\\rdpwd", True),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Console", True),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\WMI\\Autologger", True),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\SWD", True),
    ("HKU\\S-1-5-18\\Software", True),
]
# Below HKLM\SOFTWARE\Classes, Windows 7 and later keep only these apart for
# 32-bit programs; the rest of the classes is one key in both views.
REDIRECTED_CLASSES = ("clsid", "interface", "directshow", "media type", "mediafoundation")
APPINIT_KEY = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows"
APPINIT_WINDOWS = "shimeng.dll"
APPINIT_AGENT = "QUILLHOOK.dll"


# What the cleanup leaves of this agent on purpose, with the reason: keys
# and folders (paths as a snapshot lists them) that stay, empty.
LEFT_KEYS = [
    (re.compile(r"hkey_local_machine\\software\\(wow6432node\\)?(policies\\)?halvora(\\(install|secure|versions))?"),
     "the maker's keys above the agent's own: other Halvora products share them, the configuration names "
     "only the agent's keys below them; they are left empty"),
    (re.compile(r"hkey_users\\[^\\]+\\software\\halvora"),
     "each user's key of the maker, shared with other Halvora products; the agent's keys below it are gone"),
]
LEFT_FOLDERS = [
    (re.compile(r"program files \(x86\)/halvora(/zorander)?"),
     "the maker's and the product's 32-bit program folders: the configuration names the agent's folders "
     "below them there (the 64-bit Halvora folder is named and goes); left empty"),
    (re.compile(r"programdata/halvora"), "the maker's data folder above the agent's folders; left empty"),
    (re.compile(r"users/[^/]+/appdata/(local|roaming)/halvora"),
     "each user's folder of the maker above the agent's per-user folders; left empty"),
]


@dataclass
class AgentConfig:
    installers: list
    products: list            # (name, upgrade code)
    processes: list
    services: list
    drivers: list
    files: list               # (path, wow64Redir: None / True / False)
    values: list              # (key, value name, 32-bit view)
    keys: list                # (key, 32-bit view)
    searches: list            # (key, pattern, trailing, 32-bit view)
    upgrade_code_keys: list   # full key names

    @classmethod
    def load(cls, path=SHIPPED_CONFIG):
        root = ET.parse(path).getroot()
        reg = root.find("Registry")

        def flag(element, name):
            text = element.get(name)
            return None if text is None else text.lower() == "yes"

        upgrade = reg.find("UpgradeCodes")
        return cls(
            installers=[n.text for n in root.find("Installer")],
            products=[(p.findtext("name"), p.findtext("GUID")) for p in root.find("UpgradeCodes")],
            processes=[p.text for p in root.find("Processes")],
            services=[s.text for s in root.find("Services")],
            drivers=[d.text for d in root.find("Drivers")],
            files=[(f.text, flag(f, "Wow64Redir")) for f in root.find("Files")],
            values=[(v.findtext("KeyName"), v.findtext("ValueName"), bool(flag(v, "Wow6432node")))
                    for v in reg.find("Values")],
            keys=[(k.text, bool(flag(k, "Wow6432node"))) for k in reg.find("Keys")],
            searches=[(s.findtext("Key"), s.findtext("Pattern"), s.findtext("Trailing") or "",
                       bool(flag(s.find("Key"), "Wow6432node"))) for s in reg.find("SearchAndRemove")],
            upgrade_code_keys=[
                upgrade.get("key") + "\\" + c.text for c in upgrade.findall("upgradeCode")],
        )


@dataclass
class SeedSummary:
    packages: int = 0
    processes: int = 0
    services: int = 0
    drivers: int = 0
    files: int = 0
    folders: int = 0
    registry_keys: int = 0
    registry_values: int = 0
    user_profiles: list = field(default_factory=list)
    # The running agent processes: (Linux process id, image name).
    running: list = field(default_factory=list)
    seconds: float = 0.0

    def lines(self):
        return [
            f"Windows Installer packages: {self.packages} (one per upgrade code)",
            f"processes running: {self.processes}; services: {self.services} "
            f"({len(RUNNING_SERVICES)} running); kernel drivers: {self.drivers}",
            f"files: {self.files} in {self.folders} folders (user profiles: {', '.join(self.user_profiles)})",
            f"registry: {self.registry_keys} keys, {self.registry_values} values (both views, every user's hive)",
        ]


# -- registry text ------------------------------------------------------------
HIVES = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER", "HKU": "HKEY_USERS",
         "HKCR": "HKEY_CLASSES_ROOT"}


def reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_data(kind, data):
    if kind == "sz":
        return reg_string(data)
    if kind == "dword":
        return f"dword:{data:08x}"
    raw = ("\0".join(data) + "\0\0").encode("utf-16-le") if kind == "multi" else (data + "\0").encode("utf-16-le")
    code = {"multi": 7, "expand": 2}[kind]
    return f"hex({code}):" + ",".join(f"{b:02x}" for b in raw)


class RegFile:
    """Registry text for one import in one view."""

    def __init__(self):
        self.keys = {}

    def key(self, path):
        hive, _, rest = path.partition("\\")
        full = HIVES.get(hive.upper(), hive) + ("\\" + rest if rest else "")
        return self.keys.setdefault(full, [])

    def value(self, path, name, kind, data):
        self.key(path).append((name, kind, data))

    def text(self):
        out = ["Windows Registry Editor Version 5.00", ""]
        for path, values in self.keys.items():
            out.append(f"[{path}]")
            for name, kind, data in values:
                label = "@" if name is None else reg_string(name)
                out.append(f"{label}={reg_data(kind, data)}")
            out.append("")
        return "\r\n".join(out) + "\r\n"

    def count(self):
        return len(self.keys), sum(len(v) for v in self.keys.values())


def import_reg(prefix, reg, name, view64):
    windows = f"C:\\zra\\seed-{name}.reg"
    path = prefix.unix_path(windows)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"\xff\xfe" + reg.text().encode("utf-16-le"))
    proc = prefix.reg("import", windows, view64=view64)
    path.unlink()
    if proc.returncode != 0:
        raise RuntimeError(f"reg import {name}: {proc.stderr.decode(errors='replace')[-500:]}")


# -- the Windows side ----------------------------------------------------------
def user_profiles(prefix):
    """The profile folders below C:\\users (as the cleanup's wildcard sees them)."""
    users = prefix.path / "drive_c" / "users"
    return sorted(p.name for p in users.iterdir() if p.is_dir() and not p.is_symlink())


def windows_baseline(prefix, scale=1):
    """Windows' own side of the machine: the lists and settings the agent
    adds its entries to, and user profiles (an offline user with a hive of
    its own, and more profiles on a scaled machine). Not the agent."""
    reg = RegFile()
    for key, name, kind, data, _ in LIST_SETTINGS:
        reg.value("HKLM\\" + key, name, kind, data)
    reg.value("HKLM\\" + RDP_TCP, "LoadableProtocol_Object", "sz", WINDOWS_PROTOCOL)
    reg.value("HKLM\\" + VIDEO_ADAPTER, "Service", "sz", "vga")
    reg.value("HKLM\\" + APPINIT_KEY, "AppInit_DLLs", "sz", APPINIT_WINDOWS)
    reg32 = RegFile()
    config = AgentConfig.load()
    for key, view64 in WINDOWS_KEYS + windows_containers(config):
        (reg if view64 else reg32).key(key)
    import_reg(prefix, reg, "windows", True)
    reg32.value("HKLM\\" + APPINIT_KEY, "AppInit_DLLs", "sz", APPINIT_WINDOWS)
    import_reg(prefix, reg32, "windows32", False)
    # The offline user: a profile whose hive is not loaded; the user's own
    # data in it stays.
    make_hive(prefix, OFFLINE_USER, {"Software\\Halvora\\Other": [("Stay", "sz", "yes")],
                                     "Control Panel\\Desktop": [("Wallpaper", "sz", "")]})
    for i in range(2, scale + 1):
        (prefix.path / "drive_c" / "users" / f"user{i:02d}" / "Documents").mkdir(parents=True, exist_ok=True)
    # Every profile has its application-data folders, and Windows its
    # installer cache.
    for user in user_profiles(prefix):
        for part in ("Local", "Roaming"):
            linux_path(prefix, f"C:\\users\\{user}\\AppData\\{part}").mkdir(parents=True, exist_ok=True)
    linux_path(prefix, "C:\\windows\\Installer").mkdir(parents=True, exist_ok=True)
    for path, redir in config.files:
        folder = file_target(path, redir).rsplit("\\", 1)[0]
        if "*" not in folder and "halvora" not in folder.lower():
            linux_path(prefix, folder).mkdir(parents=True, exist_ok=True)


def windows_containers(config):
    """The Windows keys the configured agent keys and values lie in: (key,
    64-bit view). Keys of the maker (a "Halvora" in the path) and the
    agent's own keys are not Windows'."""
    own = [k.lower() for k, _ in config.keys] + ["hklm\\" + k.lower() for k in LISTENER_KEYS]

    def is_agents(key):
        lower = key.lower()
        return "halvora" in lower or any(lower == o or lower.startswith(o + "\\") for o in own)

    result = []
    for key, _, view32 in config.values:
        if not is_agents(key):
            result.append((key, not view32))
    for key, view32 in config.keys:
        hive = key.split("\\", 1)[0].upper()
        if hive in ("HKU", "HKCU") or (view32 and is_shared_class(key)):
            continue
        parent = key.split("*", 1)[0].rsplit("\\", 1)[0]
        if not is_agents(parent):
            result.append((parent, not view32))
    for key, _, _, view32 in config.searches:
        result.append((key.replace("*", "S-1-5-18"), not view32))
    return result


def make_hive(prefix, user, keys):
    """Writes C:\\users\\<user>\\NTUSER.DAT holding the keys (path below the
    user's root: [(value name, kind, data)])."""
    scratch = "Software\\ZraSeedHive"
    reg = RegFile()
    for path, values in keys.items():
        reg.key(f"HKCU\\{scratch}\\{path}")
        for name, kind, data in values:
            reg.value(f"HKCU\\{scratch}\\{path}", name, kind, data)
    import_reg(prefix, reg, "hive", True)
    folder = prefix.unix_path(f"C:\\users\\{user}")
    folder.mkdir(parents=True, exist_ok=True)
    hive = folder / "NTUSER.DAT"
    if hive.exists():
        hive.unlink()
    proc = prefix.wine("C:\\zra\\zra-hive.exe", "save", scratch, f"C:\\users\\{user}\\NTUSER.DAT")
    prefix.reg("delete", "HKCU\\" + scratch, "/f")
    if proc.returncode != 0:
        raise RuntimeError(f"zra-hive save failed: {proc.returncode}")


# -- the agent -------------------------------------------------------------------
def agent_values(i, scale, owner):
    """The values an agent key holds: a few kinds, scale times."""
    values = [("InstallDir", "sz", "C:\\Program Files\\Halvora\\Zorander"),
              ("Version", "sz", AGENT_VERSION), ("LogLevel", "dword", 3),
              ("Home", "expand", "%ProgramFiles%\\Halvora"), ("Relays", "multi", ["relay1.halvora.example",
                                                                                 "relay2.halvora.example"])]
    for n in range(5 * (scale - 1)):
        values.append((f"Setting{n:03d}", "sz", f"{owner} setting {n}"))
    return values


def wildcard_names(pattern_name, count):
    """Names a wildcard's prefix matches: prefix + a suffix."""
    prefix = pattern_name.rstrip("*")
    suffixes = ["Agent", "Session", "Print", "Usb", "Audio", "Telemetry", "Policy", "Profile", "Update", "Webcam"]
    return [prefix + (suffixes[n % len(suffixes)] + (str(n // len(suffixes)) if n >= len(suffixes) else ""))
            for n in range(count)]


def expand_key_pattern(key, hku_hives, scale):
    """The concrete key paths an agent key entry stands for."""
    hive, _, path = key.partition("\\")
    if "*" not in path:
        return [key]
    star = path.index("*")
    before, after = path[:star], path[star + 1:]
    parent, _, name_prefix = before.rpartition("\\")
    rest = after[1:] if after.startswith("\\") else ""
    if hive.upper() == "HKU" and parent == "" and name_prefix == "":
        names = hku_hives
    else:
        names = wildcard_names(name_prefix + "*", 2 * scale)
        if name_prefix == "RDP":
            names = ["RDP-Tcp"]
    result = []
    for name in names:
        p = (parent + "\\" if parent else "") + name + ("\\" + rest if rest else "")
        result.append(hive + "\\" + p)
    return result


def file_target(path, wow64_redir):
    """Where a configured file path lands for a 32-bit program on 64-bit
    Windows (C: paths)."""
    p = path
    if "%programfiles%" in p:
        base = "C:\\Program Files (x86)" if wow64_redir else "C:\\Program Files"
        p = p.replace("%programfiles%", base, 1)
    p = p.replace("%systemroot%", "C:\\windows").replace("%programdata%", "C:\\ProgramData")
    p = p.replace("%systemdrive%", "C:")
    # Wine keeps the 32-bit system folder as syswow64, the profiles as users.
    p = p.replace("\\SysWOW64\\", "\\syswow64\\").replace("C:\\Users\\", "C:\\users\\")
    return p


def linux_path(prefix, windows_path):
    """The Linux path of a C: path, following the letter case of the folders
    that already exist (Wine finds names in any case; Linux does not)."""
    path = prefix.path / "drive_c"
    for part in windows_path[3:].split("\\"):
        if not part:
            continue
        exact = path / part
        if not exact.exists() and path.is_dir():
            match = [p for p in path.iterdir() if p.name.lower() == part.lower()]
            exact = match[0] if match else exact
        path = exact
    return path


def seed_file_tree(prefix, windows_path, scale, summary, program=None):
    path = linux_path(prefix, windows_path)
    if windows_path.lower().endswith(FILE_EXTENSIONS):
        path.parent.mkdir(parents=True, exist_ok=True)
        if program is not None:
            shutil.copyfile(program, path)
        else:
            path.write_bytes(b"MZ simulated agent file: " + windows_path.encode() + b"\n")
        summary.files += 1
        return
    for sub in ("", "data", "data\\cache"):
        folder = path / sub.replace("\\", "/") if sub else path
        folder.mkdir(parents=True, exist_ok=True)
        summary.folders += 1
        for n in range(3 * scale):
            (folder / f"item{n:03d}.dat").write_bytes((f"{windows_path} {sub} {n}\n" * 20).encode())
            summary.files += 1


def seed_msi_packages(prefix, config, work, summary, log):
    work.mkdir(parents=True, exist_ok=True)
    for index, (name, code) in enumerate(config.products):
        # The plug-in's removal asks for a restart, as the real one does.
        msi, _ = build_msi(work, name, AGENT_VERSION, code, reboot_on_removal=name.endswith("Plug-in x64"),
                           registry_key="Software\\Halvora\\Install\\Zorander")
        install_msi(prefix, msi)
        summary.packages += 1
        if (index + 1) % 10 == 0:
            log(f"   {index + 1} of {len(config.products)} packages installed")
    shutil.rmtree(prefix.unix_path("C:\\msi"), ignore_errors=True)


def start_processes(prefix, config, programs, summary):
    folder = linux_path(prefix, BIN_FOLDER)
    folder.mkdir(parents=True, exist_ok=True)
    ready_folder = prefix.unix_path("C:\\zra\\ready")
    ready_folder.mkdir(parents=True, exist_ok=True)
    started = []
    # Names that differ only in letter case name the same program.
    images = list({image.lower(): image for image in reversed(config.processes)}.values())[::-1]
    for image in images:
        target = folder / image
        if not target.exists():
            shutil.copyfile(programs / "zra-sleeper.exe", target)
        ready = f"C:\\zra\\ready\\{image}.txt"
        proc = subprocess.Popen(["/usr/lib/wine/wine64", f"{BIN_FOLDER}\\{image}", "3600000", ready],
                                cwd=prefix.path / "drive_c", env=prefix.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        started.append((proc.pid, image))
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and len(list(ready_folder.iterdir())) < len(started):
        time.sleep(0.2)
    summary.processes = len(list(ready_folder.iterdir()))
    shutil.rmtree(ready_folder)
    summary.running = started


def create_services(prefix, config, programs, summary):
    linux_path(prefix, BIN_FOLDER).mkdir(parents=True, exist_ok=True)
    shutil.copyfile(programs / "zra-test-service.exe", linux_path(prefix, SERVICE_PROGRAM))

    def sc(*args):
        proc = prefix.wine("sc", *args)
        if proc.returncode != 0:
            raise RuntimeError(f"sc {' '.join(args)}: {proc.stdout.decode(errors='replace')[-300:]}")

    for name in config.services:
        sc("create", name, "binPath=", f"{SERVICE_PROGRAM} {name}", "start=", "demand",
           "DisplayName=", f"Halvora Zorander {name}")
    for name in config.drivers:
        if name != KEY_ONLY_DRIVER:
            sc("create", name, "type=", "kernel", "start=", "demand",
               "binPath=", f"C:\\windows\\system32\\drivers\\{name}.sys")
    for name in RUNNING_SERVICES:
        sc("start", name)
    summary.services = len(config.services)
    summary.drivers = len(config.drivers)
    # The driver whose service is gone: only its key is left.
    reg = RegFile()
    key = f"HKLM\\SYSTEM\\CurrentControlSet\\Services\\{KEY_ONLY_DRIVER}"
    reg.value(key, "Start", "dword", 1)
    reg.value(key, "Type", "dword", 1)
    reg.value(key, "ImagePath", "expand", f"system32\\drivers\\{KEY_ONLY_DRIVER}.sys")
    import_reg(prefix, reg, "driverkey", True)


def seed_files(prefix, config, programs, scale, summary):
    profiles = user_profiles(prefix)
    summary.user_profiles = profiles
    for path, redir in config.files:
        target = file_target(path, redir)
        if "*" in target:
            head, _, tail = target.partition("*")
            targets = [head + user + tail for user in profiles]
        else:
            targets = [target]
        for t in targets:
            seed_file_tree(prefix, t, scale, summary)
    # The agent's own uninstaller.
    seed_file_tree(prefix, META_INSTALLER, scale, summary, program=programs / "zra-meta-installer.exe")


def seed_registry(prefix, config, scale, summary):
    """Values, keys, per-user keys, searched entries, the agent's side of
    the repaired settings and the listener keys; returns the per-user keys
    written into the offline user's hive."""
    views = {True: RegFile(), False: RegFile()}  # 64-bit view, 32-bit view
    hku_hives = [h for h in registry_subkeys(prefix, "HKU") if not h.lower().endswith("_classes")]
    user_keys = []
    owner = 0
    for key, value, view32 in config.values:
        owner += 1
        if value == "HalvoraBackupRdpTcpLoadableProtocol_Object":
            data = WINDOWS_PROTOCOL
        else:
            data = f"agent value {owner}"
        views[not view32].value(key, value, "sz", data)
    for key, view32 in config.keys:
        if view32 and is_shared_class(key):
            continue
        if key.upper().startswith("HKU\\*\\"):
            user_keys.append(key[len("HKU\\*\\"):])
        for concrete in expand_key_pattern(key, hku_hives, scale):
            owner += 1
            reg = views[not view32]
            for name, kind, data in agent_values(owner, scale, concrete):
                reg.value(concrete, name, kind, data)
            for n in range(max(1, scale // 2)):
                reg.value(concrete + f"\\Component{n}", "State", "dword", n)
    # What a failed uninstall leaves for the searches to find.
    for key, pattern, trailing, view32 in config.searches:
        hive, _, path = key.partition("\\")
        base = hive + "\\" + path.replace("*", "S-1-5-18")
        for n in range(scale):
            owner += 1
            code = squash_guid("{" + str(uuid.uuid5(uuid.NAMESPACE_URL, f"{key}|{pattern}|{n}")).upper() + "}")
            # The key holding the found value: below the entry when the
            # search cuts a trailing key name off.
            holder = base + "\\" + code + ("\\" + trailing if trailing else "")
            name = "FriendlyName" if "Instance" in key or "DeviceClasses" in key else "DisplayName"
            views[not view32].value(holder, name, "sz", f"{pattern} {n + 1}")
            views[not view32].value(holder, "Version", "sz", AGENT_VERSION)
    # The agent's entries in Windows' lists and settings.
    reg = views[True]
    for key, name, kind, data, entry in LIST_SETTINGS:
        reg.value("HKLM\\" + key, name, kind, data + [entry] if kind == "multi" else data + "," + entry)
    reg.value("HKLM\\" + RDP_TCP, "LoadableProtocol_Object", "sz", AGENT_PROTOCOL)
    reg.value("HKLM\\" + VIDEO_ADAPTER, "Service", "sz", "zgfx")
    for view64 in (True, False):
        views[view64].value("HKLM\\" + APPINIT_KEY, "AppInit_DLLs", "sz", APPINIT_WINDOWS + " " + APPINIT_AGENT)
    for key in LISTENER_KEYS:
        reg.value("HKLM\\" + key, "PortNumber", "dword", 2598)
        reg.value("HKLM\\" + key, "WdName", "sz", "Kpa Listener")
    # The version the special-release pre-step reads, and the agent's
    # uninstaller under both uninstall entries.
    reg.value("HKLM\\SOFTWARE\\Halvora\\Versions\\Halvora Zorander", "Halvora Zorander", "sz", AGENT_VERSION)
    uninstall = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    for name in config.installers:
        view = views[not name.startswith("{")]
        view.value(uninstall + name, "DisplayName", "sz", "Halvora Zorander")
        view.value(uninstall + name, "DisplayVersion", "sz", AGENT_VERSION)
        view.value(uninstall + name, "UninstallString", "sz", f"{META_INSTALLER} {META_RECORD} 0")
    for view64, reg in views.items():
        import_reg(prefix, reg, f"agent{64 if view64 else 32}", view64)
        keys, values = reg.count()
        summary.registry_keys += keys
        summary.registry_values += values
    return user_keys


def is_shared_class(key):
    """Whether the key lies in the part of HKLM\\SOFTWARE\\Classes that both
    registry views share (so its 32-bit view entry names the same key)."""
    lower = key.lower()
    start = "hklm\\software\\classes\\"
    return lower.startswith(start) and lower[len(start):].split("\\")[0] not in REDIRECTED_CLASSES


def registry_subkeys(prefix, key):
    proc = prefix.reg("query", key)
    names = []
    for line in proc.stdout.decode("cp1252", "replace").splitlines():
        line = line.strip()
        if line.upper().startswith("HKEY_USERS\\"):
            names.append(line.split("\\", 1)[1])
    return names


def seed_offline_user(prefix, user_keys, scale, summary):
    """The offline user's hive: the user's own data and the agent's keys."""
    keys = {"Software\\Halvora\\Other": [("Stay", "sz", "yes")], "Control Panel\\Desktop": [("Wallpaper", "sz", "")]}
    for key in user_keys:
        keys[key] = agent_values(0, scale, key)
    make_hive(prefix, OFFLINE_USER, keys)
    summary.registry_keys += len(user_keys)


def seed_agent(prefix, programs, work, scale=1, log=print):
    """Installs the simulated agent named by the shipped configuration."""
    started = time.monotonic()
    config = AgentConfig.load()
    programs = Path(programs)
    summary = SeedSummary()
    for tool in ("zra-hive.exe",):
        target = prefix.unix_path("C:\\zra\\" + tool)
        if not target.exists():
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(programs / tool, target)
    log(f"   Windows Installer packages for {len(config.products)} upgrade codes (wixl, msiexec /i)")
    seed_msi_packages(prefix, config, Path(work), summary, log)
    log("   files and folders")
    seed_files(prefix, config, programs, scale, summary)
    log("   registry values and keys")
    user_keys = seed_registry(prefix, config, scale, summary)
    seed_offline_user(prefix, user_keys, scale, summary)
    log("   services and kernel drivers")
    create_services(prefix, config, programs, summary)
    log("   processes")
    start_processes(prefix, config, programs, summary)
    summary.seconds = time.monotonic() - started
    return summary


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("prefix", type=Path)
    parser.add_argument("--programs", type=Path, required=True, help="folder of zra-sleeper.exe and the others")
    parser.add_argument("--scale", type=int, default=1)
    parser.add_argument("--work", type=Path, help="scratch folder for the package builds")
    parser.add_argument("--baseline", action="store_true", help="lay out Windows' side first")
    parser.add_argument("--processes-file", type=Path, help="write the running processes' ids here")
    args = parser.parse_args()
    prefix = WinePrefix(args.prefix)
    work = args.work or args.prefix.parent / "seed-work"
    if args.baseline:
        windows_baseline(prefix, args.scale)
    summary = seed_agent(prefix, args.programs, work, args.scale)
    for line in summary.lines():
        print("   " + line)
    if args.processes_file:
        args.processes_file.write_text("".join(f"{pid} {image}\n" for pid, image in summary.running))


if __name__ == "__main__":
    main()
