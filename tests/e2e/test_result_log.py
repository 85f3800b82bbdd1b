"""The result log stays a well-formed XML 1.0 document whatever the names it
records hold: registry names can carry control characters, lone
surrogates and bytes that are not UTF-8. xmllog-writer.exe writes such
items through the product's result log; a strict parser reads the file."""
import shutil
import xml.etree.ElementTree as ET

from winebed import LAUNCH, TOOL_FOLDER


def test_hostile_names_leave_a_well_formed_document(prefix):
    writer = LAUNCH.parent / "xmllog-writer.exe"
    shutil.copy2(writer, prefix.unix_path(TOOL_FOLDER) / "xmllog-writer.exe")
    folder = prefix.temp_folder + "\\hostile"
    result = prefix.run(folder, "hostile", program=TOOL_FOLDER + "\\xmllog-writer.exe")
    assert result.exit_code == 0, result.stderr

    path = prefix.unix_path(folder + "\\ZraCleanup\\UninstallLog.xml")
    root = ET.fromstring(path.read_bytes())  # raises on anything not well-formed
    registries = [e.text for e in root.find("Registries")]
    assert registries[0] == "ctl\ufffdone\ufffdend"
    assert registries[1].startswith("lone") and registries[1].endswith("high")
    assert "\ufffd" in registries[1] and "\ufffd" in registries[2]
    assert registries[3] == "nul\ufffdinside"
    assert registries[4] == "pair\U0001F600ok"
    assert root.find("Registries")[-1].get("Message") == "msg\ufffd\ufffd"
    files = [e.text for e in root.find("Files")]
    assert files == ["C:\\bad\ufffd\ufffdbytes", "C:\\cut\ufffd\ufffd", "C:\\overlong\ufffd\ufffd",
                     "C:\\surrogate\ufffd", "C:\\del\x7f<&>\"'"]
    msi = root.find("MsiProducts")
    assert msi[0].get("UpgradeCode") == "{bad\ufffd\ufffdbytes}"
    assert msi[0].get("Version") == "bad\ufffd\ufffdbytes\ufffd"
    assert root.find("MetaData").find("Parameter").text == "/Silent\ufffd\ufffd"
    # The continued document was read back and saved again.
    assert [e.text for e in root.find("Services")] == ["after\ufffdcontinue"]
