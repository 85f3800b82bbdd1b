"""The agent's installer side in a test prefix: Windows Installer packages
built with wixl at test time and installed with msiexec, the meta-installer
stand-in registered under the Uninstall key, kernel-driver services, and
configurations naming them."""
import subprocess
import uuid
import xml.etree.ElementTree as ET
from pathlib import Path

from winebed import LAUNCH, TOOL_FOLDER

SHIPPED_CONFIG = Path(__file__).resolve().parents[2] / "src" / "config" / "ZraConfig.xml"
NOTHING_CONFIG = Path(__file__).resolve().parent / "data" / "run-control-config.xml"
META_INSTALLER = TOOL_FOLDER + "\\zra-meta-installer.exe"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
UPGRADE_CODES_KEY = "HKLM\\Software\\Classes\\Installer\\UpgradeCodes"
SERVICES_KEY = "HKLM\\System\\CurrentControlSet\\Services"


def shipped_products():
    """(name, upgrade code) of the shipped configuration, in its order."""
    root = ET.parse(SHIPPED_CONFIG).getroot()
    return [(p.findtext("name"), p.findtext("GUID")) for p in root.find("UpgradeCodes").findall("Product")]


def shipped_upgrade_code(name):
    return dict(shipped_products())[name]


BROKER = "Halvora Zorander Broker Service"


def squash_guid(guid):
    """The packed form Windows Installer keys its registry entries by."""
    g = guid.strip("{}").replace("-", "")
    parts = [g[0:8], g[8:12], g[12:16]]
    packed = "".join(p[::-1] for p in parts)
    rest = g[16:]
    packed += "".join(rest[i + 1] + rest[i] for i in range(0, len(rest), 2))
    return packed.upper()


def build_msi(folder: Path, name, version, upgrade_code, product_code=None, fail_removal=False,
              reboot_on_removal=False, registry_key="Software\\ZraInstallerTest"):
    """Builds a small per-machine package; returns (msi path, product code).
    fail_removal: an error custom action in the removal, so the uninstall
    fails (1603) and is rolled back. reboot_on_removal: the removal
    schedules a restart (3010 with REBOOT=ReallySuppress). The package
    writes one value below registry_key (HKLM)."""
    product_code = product_code or "{" + str(uuid.uuid4()).upper() + "}"
    stem = "p" + product_code.strip("{}").replace("-", "")[:12]
    work = folder / stem
    work.mkdir(parents=True, exist_ok=True)
    component_guid = "{" + str(uuid.uuid4()).upper() + "}"
    actions = ""
    sequence = ""
    if fail_removal:
        # wixl cannot write an error custom action (type 19): it writes a
        # property-setting one that is turned into one after the build.
        actions = '<CustomAction Id="RefuseRemoval" Property="ZRAREFUSED" Value="1"/>'
        sequence += '<Custom Action="RefuseRemoval" Sequence="1501">REMOVE="ALL"</Custom>'
    if reboot_on_removal:
        sequence += '<ScheduleReboot After="InstallFinalize">REMOVE="ALL"</ScheduleReboot>'
    wxs = f"""<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{product_code}" Name="{name}" Language="1033" Version="{version}" Manufacturer="Halvora"
           UpgradeCode="{upgrade_code}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="p.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder">
        <Directory Id="INSTALLDIR" Name="ZraTest{stem}">
          <Component Id="Main" Guid="{component_guid}">
            <RegistryValue Root="HKLM" Key="{registry_key}\\{stem}" Name="Installed" Type="string"
                           Value="1" KeyPath="yes"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="Main"/></Feature>
    {actions}
    <InstallExecuteSequence>{sequence}</InstallExecuteSequence>
  </Product>
</Wix>
"""
    (work / "p.wxs").write_text(wxs)
    proc = subprocess.run(["wixl", "-o", "p.msi", "p.wxs"], cwd=work, capture_output=True)
    assert proc.returncode == 0, proc.stderr
    if fail_removal:
        # An error custom action ends the removal with 1603 and rolls it back.
        (work / "CustomAction.idt").write_text("Action\tType\tSource\tTarget\tExtendedType\n"
                                               "s72\ti2\tS72\tS255\tI4\nCustomAction\tAction\n"
                                               "RefuseRemoval\t19\t\tRemoval refused\t\n")
        proc = subprocess.run(["msibuild", "p.msi", "-i", "CustomAction.idt"], cwd=work, capture_output=True)
        assert proc.returncode == 0, proc.stderr
    return work / "p.msi", product_code


def install_msi(prefix, msi: Path):
    target = f"C:\\msi\\{msi.parent.name}.msi"
    path = prefix.unix_path(target)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(msi.read_bytes())
    proc = prefix.wine("msiexec", "/i", target, "/qn", timeout=300)
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])


def add_package(prefix, folder, name, version, upgrade_code, **options):
    msi, code = build_msi(folder, name, version, upgrade_code, **options)
    install_msi(prefix, msi)
    return code


def related_products(prefix, upgrade_code):
    """The product codes (packed) Windows Installer lists for the code."""
    out = prefix.reg("query", UPGRADE_CODES_KEY + "\\" + squash_guid(upgrade_code))
    if out.returncode != 0:
        return []
    names = []
    for line in out.stdout.decode("cp1252", "replace").splitlines():
        parts = line.split()
        if len(parts) >= 2 and parts[1] == "REG_SZ" and len(parts[0]) == 32:
            names.append(parts[0])
    return names


def is_installed(prefix, product_code):
    """Whether the product's uninstall entry exists (a 32-bit package is
    registered in the 32-bit view)."""
    return any(prefix.reg("query", UNINSTALL_KEY + "\\" + product_code, view64=v).returncode == 0
               for v in (True, False))


def register_meta_installer(prefix, entry, record, code, view64=True, program=META_INSTALLER):
    """An Uninstall entry whose UninstallString runs the stand-in, which
    records its command line and exits with code."""
    command = f"{program} {record} {code}"
    proc = prefix.reg("add", UNINSTALL_KEY + "\\" + entry, "/v", "UninstallString", "/t", "REG_SZ", "/d", command,
                      "/f", view64=view64)
    assert proc.returncode == 0, proc.stderr


def recorded_lines(prefix, record):
    path = prefix.unix_path(record)
    if not path.exists():
        return []
    return [line for line in path.read_text("utf-8").splitlines() if line]


def create_driver(prefix, name, start=None):
    """A kernel-driver service (it cannot be started under Wine); start
    None removes the "Start" value afterwards."""
    proc = prefix.wine("sc", "create", name, "type=", "kernel", "start=", "demand", "binPath=",
                       f"C:\\windows\\system32\\drivers\\{name}.sys")
    assert proc.returncode == 0, proc.stdout
    key = SERVICES_KEY + "\\" + name
    if start is None:
        prefix.reg("delete", key, "/v", "Start", "/f")
    else:
        prefix.reg("add", key, "/v", "Start", "/t", "REG_DWORD", "/d", str(start), "/f")


def driver_start(prefix, name):
    value = prefix.reg_query_value(SERVICES_KEY + "\\" + name, "Start")
    return None if value is None else int(value, 16)


def service_exists(prefix, name):
    out = prefix.wine("sc", "query", name).stdout.decode("cp1252", "replace")
    return "SERVICE_NAME" in out


def write_config(prefix, installers=(), products=(), drivers=(), windows_path="C:\\tests\\config.xml"):
    """The run-control configuration (which names nothing that exists) with
    the given installer names, products and drivers in place of its own
    (a list left empty keeps the file's entry, which names nothing that
    exists); returns its path in the prefix."""
    root = ET.parse(NOTHING_CONFIG).getroot()

    def replace(section, make):
        element = root.find(section)
        items = list(element)
        made = make()
        if not made:
            return
        for item in items:
            element.remove(item)
        for item in made:
            element.append(item)

    def names(tag, values):
        result = []
        for value in values:
            item = ET.Element(tag)
            item.text = value
            result.append(item)
        return result

    def product_items():
        result = []
        for i, (name, code) in enumerate(products, 1):
            item = ET.Element("Product", uninstallOrder=str(i))
            ET.SubElement(item, "name").text = name
            ET.SubElement(item, "GUID").text = code
            result.append(item)
        return result

    replace("Installer", lambda: names("Name", installers))
    replace("UpgradeCodes", product_items)
    replace("Drivers", lambda: names("Driver", drivers))
    path = prefix.unix_path(windows_path)
    path.parent.mkdir(parents=True, exist_ok=True)
    ET.ElementTree(root).write(path, encoding="utf-8", xml_declaration=True)
    return windows_path
