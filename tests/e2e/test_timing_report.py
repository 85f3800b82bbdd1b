"""The timing report of the benchmarks: with ZRA_TIMING_REPORT set, every
way out of the program appends the process's figures (the usage text, a
run that completes, a start refused while a restart is pending); without
it nothing is written."""
RUNONCE_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
REPORT = "C:\\zra\\timing report.tsv"


def report_lines(prefix):
    path = prefix.unix_path(REPORT)
    return path.read_bytes().decode("utf-8").split("\r\n") if path.exists() else []


def check_figures(fields, count):
    assert len(fields) == count, fields
    assert all(float(value) >= 0 for value in fields), fields


def test_every_exit_appends_the_report_only_when_asked(fresh_prefix):
    prefix = fresh_prefix
    env = {"ZRA_TIMING_REPORT": REPORT}

    result = prefix.run("/silent", "/Step", "9")
    assert result.exit_code == 0
    assert not prefix.unix_path(REPORT).exists()

    result = prefix.run("/Help", env=env)
    assert result.exit_code == 0
    lines = report_lines(prefix)
    assert lines[-1] == ""
    run, process = lines[0].split("\t"), lines[1].split("\t")
    assert run[0] == "run" and int(run[1]) > 0 and run[2:] == ["0", "/Help"]
    assert process[0] == "process"
    check_figures(process[1:], 4)

    # A completed run without steps (step 9 is past the last).
    result = prefix.run("/silent", "/NoReboot", "/Step", "9", env=env)
    assert result.exit_code == 0
    lines = report_lines(prefix)
    assert lines[2].split("\t")[2:] == ["0", "/silent /NoReboot /Step 9"]
    assert lines[3].startswith("process\t")

    # A pending re-launch refuses a fresh start: the restart exit code.
    prefix.reg("add", RUNONCE_KEY, "/v", "HalvoraZraCleanup", "/d", "C:\\zra\\ZRACleanupUtility.exe -Step 4", "/f")
    result = prefix.run("/silent", "/NoReboot", "/ChangeExitCode1To", "3010", env=env)
    assert result.exit_code == 3010
    lines = report_lines(prefix)
    assert lines[4].split("\t")[2:] == ["3010", "/silent /NoReboot /ChangeExitCode1To 3010"]
    assert lines[5].startswith("process\t") and lines[6:] == [""]
    prefix.reg("delete", RUNONCE_KEY, "/v", "HalvoraZraCleanup", "/f")
