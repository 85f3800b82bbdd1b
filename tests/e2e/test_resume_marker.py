"""The resume marker and the remembered cleanup temp folder, seen from the
real program: a start while the marker is set continues in the folder the
first run recorded; without the marker the program records its own. /help
ends the program before any cleanup but after the text log was opened."""

KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion"


def test_fresh_start_records_its_temp_folder(fresh_prefix):
    prefix = fresh_prefix
    result = prefix.run("/help")
    assert result.exit_code == 0
    assert (prefix.log_folder / "CleanupToolLog.txt").exists()
    assert prefix.reg_query_value(KEY, "HalvoraTempFolder") == prefix.temp_folder + "\\halvora\\"
    assert prefix.reg_query_value(KEY, "HvrZraCleanupOverwriteLog") is None
    # Only the 64-bit view holds the program's own values.
    assert prefix.reg_query_value(KEY, "HalvoraTempFolder", view64=False) is None


def test_resumed_start_continues_in_the_recorded_folder(fresh_prefix):
    prefix = fresh_prefix
    first = "C:\\first run\\halvora\\"
    prefix.unix_path(first).mkdir(parents=True)
    assert prefix.reg("add", KEY, "/v", "HvrZraCleanupOverwriteLog", "/t", "REG_DWORD", "/d", "0", "/f").returncode == 0
    assert prefix.reg("add", KEY, "/v", "HalvoraTempFolder", "/t", "REG_SZ", "/d", first, "/f").returncode == 0
    result = prefix.run("/help")
    assert result.exit_code == 0
    log = prefix.unix_path(first + "ZraCleanup\\CleanupToolLog.txt")
    assert b"\tVersion: " in log.read_bytes()
    assert not (prefix.log_folder / "CleanupToolLog.txt").exists()
    assert prefix.reg_query_value(KEY, "HalvoraTempFolder") == first
