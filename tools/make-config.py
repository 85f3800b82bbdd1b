#!/usr/bin/env python3
"""Writes src/config/ZraConfig.xml, the configuration document carried in
ZRACleanupUtility.exe: what the cleanup removes of the Halvora Zorander agent.

The rows are kept here as data; the document is generated from them so that
the packed upgrade codes always follow the product upgrade codes. Run it after
editing a row and commit the regenerated document with it:

    tools/make-config.py [OUTPUT]
"""
import sys
import uuid
from pathlib import Path

NAMESPACE = uuid.UUID("6f1c2d0e-8a4b-5c3d-9e7f-a1b2c3d4e5f6")


def guid(name):
    """A fixed braced upgrade-code GUID for a name."""
    return "{" + str(uuid.uuid5(NAMESPACE, name)).upper() + "}"


def packed(braced):
    """Windows Installer's packed registry form of a braced GUID."""
    hex_digits = braced.strip("{}").replace("-", "")
    out = hex_digits[0:8][::-1] + hex_digits[8:12][::-1] + hex_digits[12:16][::-1]
    rest = hex_digits[16:]
    for i in range(0, 16, 2):
        out += rest[i + 1] + rest[i]
    return out.upper()


AGENT = "Halvora Zorander"
PRODUCT_CODE = guid("Halvora Zorander product 2407")

# Uninstall order: plug-ins and optional parts first, the broker and the core last.
PRODUCTS = [
    "Halvora Zorander Plug-in x64",
    "Halvora Zorander Plug-in x86",
    "Halvora Zorander Browser Content Redirection",
    "Halvora Zorander Webcam Redirection",
    "Halvora Zorander USB Redirection x64",
    "Halvora Zorander USB Redirection x86",
    "Halvora Zorander Smart Card Support",
    "Halvora Zorander Scanner Redirection",
    "Halvora Zorander Multimedia Redirection",
    "Halvora Zorander HDX Audio",
    "Halvora Zorander Client Drive Mapping",
    "Halvora Zorander Universal Print Client",
    "Halvora Zorander Universal Print Server",
    "Halvora Zorander Session Recording Agent",
    "Halvora Zorander Session Recording Player",
    "Halvora Zorander Remote Assistance",
    "Halvora Zorander Workspace Environment Agent",
    "Halvora Zorander Workspace Environment Console",
    "Halvora Zorander Profile Management",
    "Halvora Zorander Profile Management WMI Plug-in",
    "Halvora Zorander Personal vDisk",
    "Halvora Zorander App Layering Agent",
    "Halvora Zorander App Protection",
    "Halvora Zorander Group Policy Extension x64",
    "Halvora Zorander Group Policy Extension x86",
    "Halvora Zorander Policy Engine",
    "Halvora Zorander Telemetry Service",
    "Halvora Zorander Diagnostics Facility",
    "Halvora Zorander Diagnostics Facility COM Server",
    "Halvora Zorander Supportability Tools",
    "Halvora Zorander Monitor Service Agent",
    "Halvora Zorander Performance Counters",
    "Halvora Zorander Backup and Restore",
    "Halvora Zorander Virtual Apps Client",
    "Halvora Zorander Virtual Apps Server Components",
    "Halvora Zorander Desktop Viewer",
    "Halvora Zorander Display Driver",
    "Halvora Zorander Display Driver x86",
    "Halvora Zorander Input Drivers",
    "Halvora Zorander Network Provider",
    "Halvora Zorander Network Provider x86",
    "Halvora Zorander Authentication Package",
    "Halvora Zorander Credential Provider",
    "Halvora Zorander Session Listener",
    "Halvora Zorander Session Host",
    "Halvora Zorander Storage Filter",
    "Halvora Zorander Boot Services",
    "Halvora Zorander Machine Identity Service",
    "Halvora Zorander Desktop Service",
    "Halvora Zorander Machine Policy Service",
    "Halvora Zorander Update Service",
    "Halvora Zorander Meta-Installer Support",
    "Halvora Zorander Core Components x86",
    "Halvora Zorander Core Components",
    "Halvora Zorander Broker Service",
    "Halvora Zorander",
]

# Products registered per machine by their upgrade code in the installer's
# upgrade-code table (the older per-machine packages).
PACKED_PRODUCTS = [p for p in PRODUCTS if p not in (
    "Halvora Zorander Plug-in x86", "Halvora Zorander Browser Content Redirection",
    "Halvora Zorander Webcam Redirection", "Halvora Zorander USB Redirection x86",
    "Halvora Zorander Scanner Redirection", "Halvora Zorander Session Recording Player",
    "Halvora Zorander Workspace Environment Console", "Halvora Zorander App Layering Agent",
    "Halvora Zorander App Protection", "Halvora Zorander Group Policy Extension x86",
    "Halvora Zorander Telemetry Service", "Halvora Zorander Diagnostics Facility COM Server",
    "Halvora Zorander Supportability Tools", "Halvora Zorander Performance Counters",
    "Halvora Zorander Backup and Restore", "Halvora Zorander Virtual Apps Client",
    "Halvora Zorander Desktop Viewer", "Halvora Zorander Display Driver x86",
    "Halvora Zorander Network Provider x86", "Halvora Zorander Credential Provider",
    "Halvora Zorander Machine Policy Service", "Halvora Zorander Update Service",
    "Halvora Zorander Meta-Installer Support", "Halvora Zorander Core Components x86",
    "Halvora Zorander Session Host")]

PROCESSES = [
    "NrvBrokerAgent.exe", "NrvSessionAgent.exe", "NrvMachineIdentity.exe", "NrvDesktopService.exe",
    "KpaSvc.exe", "KpaSession.exe", "KpaSessionLauncher.exe", "zshell.exe", "zlogon.exe",
    "zgfxsvc.exe", "ZorPrintSvc.exe", "ZorPrintClient.exe", "ZorUsbAgent.exe", "ZorAudioSvc.exe",
    "ZorCdmSvc.exe", "ZorScardSvc.exe", "ZorTwainSvc.exe", "ZorWebcamSvc.exe", "ZorMmrSvc.exe",
    "ZorBcrSvc.exe", "ZorProfileSvc.exe", "ZorPvdSvc.exe", "ZorPolicyEngine.exe", "ZorTelemetry.exe",
    "ZorDiagFacility.exe", "ZorMonitorAgent.exe", "ZorRecordingAgent.exe", "ZorRemoteAssist.exe",
    "ZorWemAgent.exe", "ZorUpdateSvc.exe", "ZorAppLayering.exe", "ZorAppProtect.exe",
    "ZShell.exe", "HvrCredProv.exe", "HvrAuthHelper.exe", "QuillHookHost.exe", "QuillHookHost64.exe",
]

SERVICES = [
    "NrvBrokerAgent", "NrvSessionAgent", "NrvMachineIdentity", "NrvDesktopService",
    "NrvMachinePolicy", "KpaSvc", "KpaSessionLauncher", "PKpaClientNetwork", "zgfxsvc",
    "ZorPrintSvc", "ZorPrintManager", "ZorUsbAgent", "ZorAudioSvc", "ZorCdmSvc", "ZorScardSvc",
    "ZorTwainSvc", "ZorWebcamSvc", "ZorMmrSvc", "ZorBcrSvc", "ZorProfileSvc", "ZorProfileWmi",
    "ZorPvdSvc", "ZorPvdAgent", "ZorPolicyEngine", "ZorTelemetry", "ZorDiagFacility",
    "ZorDiagCom", "ZorMonitorAgent", "ZorPerfCounters", "ZorRecordingAgent", "ZorRecordingStore",
    "ZorRemoteAssist", "ZorWemAgent", "ZorWemCache", "ZorUpdateSvc", "ZorAppLayering",
    "ZorAppProtect", "ZorBackupSvc", "ZorSupportTools", "ZorVappsSvc", "ZorVappsLauncher",
    "HvrCredProv", "HvrAuthHelper", "QuillHookSvc", "ZorMetaInstallSvc",
]

# Kernel drivers, by the agent release that introduced them.
DRIVERS = [
    ("Zorander 7.0", ["NrvVmAgent", "kpawd", "zgfx", "zkbdflt", "zmouflt", "HvrQdsFlt", "ZorDd",
                      "ZorTdi", "ZorWfp"]),
    ("Zorander 7.5", ["HvrVmic", "HvrUsbHub", "HvrUsbPort", "HvrUsbFlt", "HvrCdm", "HvrCdmFsd",
                      "HvrAudio", "HvrAudioFlt"]),
    ("Zorander 7.7", ["HvrScard", "HvrScardFlt", "HvrTwain", "HvrWebcam", "HvrMmr", "HvrComPort",
                      "HvrLpt", "HvrPicaSer"]),
    ("Zorander 7.9", ["ZorPvdFlt", "ZorPvdBus", "ZorProfFlt", "ZorStorFlt", "ZorVdisk", "ZorVdiskBus",
                      "ZorIcaFs"]),
    ("Zorander 7.11", ["ZorBcrFlt", "ZorPrintFlt", "ZorVhidMini", "ZorVhidKbd", "ZorVhidMou",
                       "ZorTouch", "ZorPen", "ZorGpuMon"]),
    ("Zorander 7.15", ["ZorAppProtFlt", "ZorAppLayerFlt", "ZorNetFlt", "ZorNetMux", "ZorRdpHook",
                       "ZorSessFlt", "ZorKeyGuard", "ZorFsRedir"]),
]

# The five drivers the special-version pre-step disables before the
# uninstall of the affected releases (it writes them in upper case).
PRESTEP_DRIVERS = ["HvrVmic", "HvrUsbHub", "HvrCdm", "HvrScard", "HvrTwain"]

ALL_DRIVERS = [d for _, group in DRIVERS for d in group]

# (path, Wow64Redir or None)
FILES = []
for d in ALL_DRIVERS:
    FILES.append(("%systemroot%\\System32\\drivers\\" + d + ".sys", None))
FILES += [(p, None) for p in [
    "%systemroot%\\System32\\NrvVmBoot.exe",
    "%systemroot%\\System32\\pkpanp.dll",
    "%systemroot%\\System32\\zgfxdisp.dll",
    "%systemroot%\\System32\\zgfxum.dll",
    "%systemroot%\\System32\\zgfxum64.dll",
    "%systemroot%\\system32\\kpawdapi.dll",
    "%systemroot%\\system32\\kpawdcfg.dll",
    "%systemroot%\\system32\\KpaSessionHook.dll",
    "%systemroot%\\System32\\QUILLHOOK64.dll",
    "%systemroot%\\System32\\HvrCredProv.dll",
    "%systemroot%\\System32\\HvrAuthPkg.dll",
    "%systemroot%\\System32\\ZorPrintMon.dll",
    "%systemroot%\\System32\\ZorPrintProc.dll",
    "%systemroot%\\System32\\spool\\drivers\\x64\\3\\ZorUpd.dll",
    "%systemroot%\\System32\\spool\\drivers\\x64\\3\\ZorUpdUi.dll",
    "%systemroot%\\System32\\DriverStore\\Temp\\Halvora",
    "%systemroot%\\SysWOW64\\QUILLHOOK.dll",
    "%systemroot%\\SysWOW64\\pkpanp.dll",
    "%systemroot%\\SysWOW64\\zgfxum.dll",
    "%systemroot%\\SysWOW64\\KpaSessionHook.dll",
    "%systemroot%\\SysWOW64\\HvrCredProv.dll",
    "%systemroot%\\Temp\\Halvora",
    "%systemroot%\\Logs\\Halvora",
    "%systemroot%\\inf\\ZorPrint.inf",
    "%systemroot%\\inf\\ZorPrint.PNF",
    "%systemroot%\\Installer\\Halvora",
]]
PROGRAM_FILES = [
    ("Halvora\\Zorander", "no"), ("Halvora\\Zorander\\Broker", "yes"),
    ("Halvora\\Zorander\\Session", "yes"), ("Halvora\\Zorander\\Plug-in", "no"),
    ("Halvora\\Zorander\\Plug-in", "yes"), ("Halvora\\Zorander\\Printing", None),
    ("Halvora\\Zorander\\Printing", "yes"), ("Halvora\\Zorander\\USB", None),
    ("Halvora\\Zorander\\USB", "yes"), ("Halvora\\Zorander\\Audio", None),
    ("Halvora\\Zorander\\Multimedia", None), ("Halvora\\Zorander\\Multimedia", "yes"),
    ("Halvora\\Zorander\\Webcam", None), ("Halvora\\Zorander\\Scanner", "yes"),
    ("Halvora\\Zorander\\SmartCard", None), ("Halvora\\Zorander\\SmartCard", "yes"),
    ("Halvora\\Zorander\\BrowserContent", None), ("Halvora\\Zorander\\SessionRecording", None),
    ("Halvora\\Zorander\\SessionRecording", "yes"), ("Halvora\\Zorander\\RemoteAssistance", "yes"),
    ("Halvora\\Workspace Environment", None), ("Halvora\\Workspace Environment", "yes"),
    ("Halvora\\Profile Management", None), ("Halvora\\Profile Management", "yes"),
    ("Halvora\\Personal vDisk", None), ("Halvora\\App Layering", None),
    ("Halvora\\App Protection", "yes"), ("Halvora\\Group Policy", None),
    ("Halvora\\Group Policy", "yes"), ("Halvora\\Policy Engine", None),
    ("Halvora\\Telemetry", None), ("Halvora\\Diagnostics", None), ("Halvora\\Diagnostics", "yes"),
    ("Halvora\\Supportability", "yes"), ("Halvora\\Monitor Agent", None),
    ("Halvora\\Virtual Apps", "yes"), ("Halvora\\Virtual Apps Server", None),
    ("Halvora\\Update Service", "no"), ("Halvora\\Meta-Installer", "yes"),
    ("Halvora\\system32\\QUILLHOOK64.dll", None), ("Halvora\\system32\\hvrauth.dll", "no"),
    ("Halvora\\system32", "yes"), ("Halvora\\Common", "yes"), ("Halvora", None),
]
FILES += [("%programfiles%\\" + p, r) for p, r in PROGRAM_FILES]
FILES += [(p, None) for p in [
    "%programdata%\\Halvora\\NrvAgent",
    "%programdata%\\Halvora\\Zorander",
    "%programdata%\\Halvora\\KpaSession",
    "%programdata%\\Halvora\\Profile Management",
    "%programdata%\\Halvora\\Telemetry",
    "%programdata%\\Halvora\\Diagnostics",
    "%programdata%\\Halvora\\Logs",
    "%systemdrive%\\Users\\*\\AppData\\Local\\Halvora\\Zorander",
    "%systemdrive%\\Users\\*\\AppData\\Roaming\\Halvora\\Zorander",
    "%systemdrive%\\HvrTemp",
    "C:\\Program Files (x86)\\Halvora\\system32\\hvrauth.dll",
    "C:\\Program Files (x86)\\Halvora\\system32\\QUILLHOOK.dll",
]]

# (key, value name, Wow6432node)
VALUES = [
    ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "NrvSessionAgent", False),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "ZorUsbTray", False),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "ZorUsbTray", True),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "ZorRemoteAssist", True),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "ZorMmrTray", False),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", "ZorShell", False),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", "ZorLogonHook", False),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", "HvrCredentialReuse", False),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows", "QuillHookVersion", False),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows", "QuillHookVersion", True),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", "HvrSessionPolicy", False),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced", "ZorTaskbarHook", False),
    ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs",
     "C:\\Program Files (x86)\\Halvora\\system32\\hvrauth.dll", True),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server", "HvrStackDll", False),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server", "KpaListenerEnabled", False),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\RDP-Tcp",
     "HalvoraBackupRdpTcpLoadableProtocol_Object", False),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\RDP-Tcp", "KpaPortNumber", False),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\Wds\\rdpwd", "KpaStartupPrograms", False),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Lsa", "HvrAuthPackageVersion", False),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager", "NrvVmBootResult", False),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", "ZORANDER_HOME", False),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Zorander Print Monitor", "Driver", False),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Parameters", "HvrNullSessionShares", False),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters", "KpaKeepAliveTime", False),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\GraphicsDrivers", "ZgfxTdrDelay", False),
]

# Software keys present in both registry views.
SOFTWARE_KEYS = [
    "SOFTWARE\\Halvora\\Zorander", "SOFTWARE\\Halvora\\Zorander Broker", "SOFTWARE\\Halvora\\NrvAgent",
    "SOFTWARE\\Halvora\\KpaSession", "SOFTWARE\\Halvora\\Plug-in", "SOFTWARE\\Halvora\\Printing",
    "SOFTWARE\\Halvora\\USB", "SOFTWARE\\Halvora\\Audio", "SOFTWARE\\Halvora\\Multimedia",
    "SOFTWARE\\Halvora\\Webcam", "SOFTWARE\\Halvora\\Scanner", "SOFTWARE\\Halvora\\SmartCard",
    "SOFTWARE\\Halvora\\BrowserContent", "SOFTWARE\\Halvora\\SessionRecording",
    "SOFTWARE\\Halvora\\RemoteAssistance", "SOFTWARE\\Halvora\\Workspace Environment",
    "SOFTWARE\\Halvora\\Profile Management", "SOFTWARE\\Halvora\\Personal vDisk",
    "SOFTWARE\\Halvora\\App Layering", "SOFTWARE\\Halvora\\App Protection",
    "SOFTWARE\\Halvora\\Group Policy", "SOFTWARE\\Halvora\\Policy Engine", "SOFTWARE\\Halvora\\Telemetry",
    "SOFTWARE\\Halvora\\Diagnostics", "SOFTWARE\\Halvora\\Supportability", "SOFTWARE\\Halvora\\Monitor Agent",
    "SOFTWARE\\Halvora\\Virtual Apps", "SOFTWARE\\Halvora\\Update Service", "SOFTWARE\\Halvora\\MetaInstall",
    "SOFTWARE\\Halvora\\Versions\\Halvora Zorander", "SOFTWARE\\Halvora\\Install\\Zorander",
    "SOFTWARE\\Halvora\\Secure\\Zorander", "SOFTWARE\\Halvora\\Zorander Display Driver",
    "SOFTWARE\\Halvora\\Zorander Network Provider", "SOFTWARE\\Halvora\\Machine Identity",
    "SOFTWARE\\Policies\\Halvora\\Zorander", "SOFTWARE\\Policies\\Halvora\\Profile Management",
    "SOFTWARE\\Classes\\AppID\\NrvBrokerAgent.exe", "SOFTWARE\\Classes\\AppID\\ZorDiagFacility.exe",
    "SOFTWARE\\Classes\\Halvora.Zorander*", "SOFTWARE\\Classes\\Halvora.Diagnostics*",
    "SOFTWARE\\Classes\\TypeLib\\{" + str(uuid.uuid5(NAMESPACE, "typelib diag")).upper() + "}",
    "SOFTWARE\\Classes\\Interface\\{" + str(uuid.uuid5(NAMESPACE, "iface broker")).upper() + "}",
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Halvora Zorander",
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + PRODUCT_CODE,
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\{"
    + str(uuid.uuid5(NAMESPACE, "bho bcr")).upper() + "}",
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\zshell.exe",
]

EVENT_SOURCES = ["NrvBrokerAgent", "NrvSessionAgent", "NrvMachineIdentity", "NrvDesktopService",
                 "KpaSvc", "ZorPrintSvc", "ZorUsbAgent", "ZorProfileSvc"]

OTHER_HKLM_KEYS = [
    "SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Kpa-CGP\\Halvora",
    "SYSTEM\\CurrentControlSet\\Control\\NetworkProvider\\PKpaClientNetwork",
    "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Zorander Print Monitor",
    "SYSTEM\\CurrentControlSet\\Control\\Print\\Environments\\Windows x64\\Print Processors\\ZorPrintProc",
    "SYSTEM\\CurrentControlSet\\Control\\Lsa\\HvrAuth",
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\NrvVmBoot",
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Halvora",
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Zor*",
    "SYSTEM\\CurrentControlSet\\Enum\\Root\\HVRVMIC",
    "SYSTEM\\CurrentControlSet\\Enum\\SWD\\ZorTouch*",
    "SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\RDP*\\Halvora",
    "SYSTEM\\CurrentControlSet\\Control\\WMI\\Autologger\\ZorDiagFacility",
]


def keys():
    out = []
    for name in SERVICES:
        out.append(("HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + name, False))
    for name in ALL_DRIVERS:
        out.append(("HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + name, False))
    for name in EVENT_SOURCES:
        out.append(("HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + name, False))
    for path in OTHER_HKLM_KEYS:
        out.append(("HKLM\\" + path, False))
    for path in SOFTWARE_KEYS:
        out.append(("HKLM\\" + path, False))
        out.append(("HKLM\\" + path, True))
    out += [("HKU\\*\\Software\\Halvora\\Zorander", False), ("HKU\\*\\Software\\Halvora\\KpaSession", False),
            ("HKU\\.DEFAULT\\Software\\Halvora\\Zorander", False),
            ("HKU\\S-1-5-18\\Software\\Halvora\\Zorander", False),
            ("HKCU\\Software\\Halvora\\Zorander", False), ("HKCU\\Software\\Halvora\\KpaSession", False)]
    return out


SEARCH_PATTERNS = ["Halvora Zorander", "Zorander Plug-in", "Zorander Broker", "Zorander Profile Management",
                   "Zorander Personal vDisk", "Zorander Universal Print", "Zorander USB Redirection",
                   "Zorander Session Recording", "Zorander Workspace Environment", "Zorander Diagnostics",
                   "Zorander Telemetry", "Zorander Virtual Apps", "Zorander Group Policy", "Zorander Display Driver"]

USERDATA_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\*\\Products"
UNINSTALL_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
OTHER_SEARCHES = [
    ("HKLM\\SOFTWARE\\Classes\\Installer\\Products", "Halvora Zorander", None),
    ("HKLM\\SOFTWARE\\Classes\\CLSID\\{860BB310-5D01-11d0-BD3B-00A0C911CE86}\\Instance", "Zorander", None),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{65e8773d-8f56-11d0-a3b9-00a0c9223196}",
     "Zorander", None),
    ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{6994ad05-93ef-11d0-a3cc-00a0c9223196}",
     "Zorander", None),
]

UPGRADE_TABLE_KEY = "HKLM\\SOFTWARE\\Classes\\Installer\\UpgradeCodes"


def esc(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def build():
    lines = []
    add = lines.append
    add("<!-- Halvora Zorander agent: everything ZRACleanupUtility removes. -->")
    add("<!-- Generated by tools/make-config.py; edit the rows there. -->")
    add("<config>")
    add("\t<Installer>")
    add("\t\t<!-- Uninstall entry of the agent: display name, then product code -->")
    add("\t\t<Name>" + AGENT + "</Name>")
    add("\t\t<Name>" + PRODUCT_CODE + "</Name>")
    add("\t</Installer>")
    add("\t<UpgradeCodes>")
    for i, name in enumerate(PRODUCTS, 1):
        add('\t\t<Product uninstallOrder="%d">' % i)
        add("\t\t\t<name>" + esc(name) + "</name>")
        add("\t\t\t<GUID>" + guid(name) + "</GUID>")
        add("\t\t</Product>")
    add("\t</UpgradeCodes>")
    add("\t<Processes>")
    add("\t\t<!-- The broker agent first: it restarts several of the others -->")
    for p in PROCESSES:
        add("\t\t<Process>" + p + "</Process>")
    add("\t</Processes>")
    add("\t<Services>")
    for s in SERVICES:
        add("\t\t<Service>" + s + "</Service>")
    add("\t</Services>")
    add("\t<Drivers>")
    for release, group in DRIVERS:
        add("\t\t<!-- " + release + " -->")
        for d in group:
            add("\t\t<Driver>" + d + "</Driver>")
    add("\t</Drivers>")
    add("\t<Files>")
    for path, redir in FILES:
        attr = '' if redir is None else ' Wow64Redir="%s"' % redir
        add("\t\t<File%s>%s</File>" % (attr, esc(path)))
    add("\t</Files>")
    add("\t<Registry>")
    add("\t\t<Values>")
    for key, name, wow in VALUES:
        add('\t\t\t<Value Wow6432node="yes">' if wow else "\t\t\t<Value>")
        add("\t\t\t\t<KeyName>" + esc(key) + "</KeyName>")
        add("\t\t\t\t<ValueName>" + esc(name) + "</ValueName>")
        add("\t\t\t</Value>")
    add("\t\t</Values>")
    add("\t\t<Keys>")
    for path, wow in keys():
        attr = ' Wow6432node="yes"' if wow else ''
        add("\t\t\t<Key%s>%s</Key>" % (attr, esc(path)))
    add("\t\t</Keys>")
    add("\t\t<SearchAndRemove>")
    searches = [(USERDATA_KEY, p, "InstallProperties", None) for p in SEARCH_PATTERNS]
    searches += [(UNINSTALL_KEY, p, None, "no") for p in SEARCH_PATTERNS]
    searches += [(UNINSTALL_KEY, p, None, "yes") for p in SEARCH_PATTERNS]
    searches += [(k, p, t, None) for k, p, t in OTHER_SEARCHES]
    for key, pattern, trailing, wow in searches:
        add("\t\t\t<Search>")
        attr = '' if wow is None else ' Wow6432node="%s"' % wow
        add("\t\t\t\t<Key%s>%s</Key>" % (attr, esc(key)))
        add("\t\t\t\t<Pattern>" + esc(pattern) + "</Pattern>")
        if trailing:
            add("\t\t\t\t<Trailing>" + trailing + "</Trailing>")
        add("\t\t\t</Search>")
    add("\t\t</SearchAndRemove>")
    add('\t\t<UpgradeCodes key="' + UPGRADE_TABLE_KEY + '">')
    for name in PACKED_PRODUCTS:
        add("\t\t\t<!-- " + name + " -->")
        add("\t\t\t<upgradeCode>" + packed(guid(name)) + "</upgradeCode>")
    add("\t\t</UpgradeCodes>")
    add("\t</Registry>")
    add("</config>")
    return "\r\n".join(lines) + "\r\n"


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "src/config/ZraConfig.xml"
    text = build()
    text.encode("ascii")
    out.write_bytes(text.encode("ascii"))
    print("%s: %d bytes, %d products, %d packed codes, %d files, %d keys" % (
        out, len(text), len(PRODUCTS), len(PACKED_PRODUCTS), len(FILES), len(keys())))
    print("broker upgrade code:", guid("Halvora Zorander Broker Service"))


if __name__ == "__main__":
    main()
