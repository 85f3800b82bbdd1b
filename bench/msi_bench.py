#!/usr/bin/env python3
"""Removing 20 installed Windows Installer packages through step 3 of the
tool, against msiexec /x for the same packages.

In a fresh Wine prefix, 20 small packages (wixl, one under each of the
first 20 upgrade codes of the shipped configuration) are installed with
msiexec /i, removed by ZRACleanupUtility.exe started at step 3 (the time is
read from its text log: "MSIStep::CallMSI Entry" to "Exit"), installed
again and removed one by one with "msiexec /x {code} /qn" (wall time of
each msiexec run). Prints the time per package of both.

Usage: msi_bench.py BUILD_TREE   (run by tools/run-bench.sh)
"""
import os
import sys
import tempfile
import time
from datetime import datetime
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
TREE = Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else ROOT / "build" / "win32"
os.environ.setdefault("ZRA_EXE", str(TREE / "ZRACleanupUtility.exe"))
os.environ.setdefault("ZRA_LAUNCH", str(TREE / "tests" / "zra-launch.exe"))
os.environ.setdefault("ZRA_WINE_ROOT", str(TREE / "wine"))
os.environ.setdefault("ZRA_TOOLS", str(ROOT / "tools"))
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from installer_bed import build_msi, install_msi, related_products, shipped_products, write_config  # noqa: E402
from winebed import WinePrefix  # noqa: E402

COUNT = 20


def log_time(line):
    return datetime.strptime(line.split("\t", 1)[0], "%Y-%m-%d %H:%M:%S:%f")


def main():
    products = shipped_products()[:COUNT]
    with tempfile.TemporaryDirectory(prefix="zra-msi-bench-") as temp:
        temp = Path(temp)
        prefix = WinePrefix.create(temp / "prefix")
        try:
            packages = [build_msi(temp / "msi", name, "24.3.1.2207", code) for name, code in products]
            for msi, _ in packages:
                install_msi(prefix, msi)
            config = write_config(prefix, products=products)
            result = prefix.run("/silent", "/NoReboot", "/Config", config, "/Step", "3", timeout=900)
            assert result.exit_code == 0, result.exit_code
            assert all(related_products(prefix, code) == [] for _, code in products), "not every package went"
            log = (prefix.log_folder / "CleanupToolLog.txt").read_bytes().decode("cp1252").splitlines()
            entry = next(log_time(line) for line in log if line.endswith("\tMSIStep::CallMSI Entry"))
            leave = next(log_time(line) for line in log if line.endswith("\tMSIStep::CallMSI Exit"))
            tool = (leave - entry).total_seconds()

            for msi, _ in packages:
                install_msi(prefix, msi)
            started = time.monotonic()
            for _, code in packages:
                proc = prefix.wine("msiexec", "/x", code, "/qn", timeout=300)
                assert proc.returncode == 0, proc.returncode
            msiexec = time.monotonic() - started
            assert all(related_products(prefix, code) == [] for _, code in products), "msiexec left packages"
        finally:
            prefix.close()
    print(f"{COUNT} packages through step 3 (MsiConfigureProductExW): {tool:7.2f} s, "
          f"{tool / COUNT * 1000:6.0f} ms per package")
    print(f"{COUNT} packages with msiexec /x {{code}} /qn:             {msiexec:7.2f} s, "
          f"{msiexec / COUNT * 1000:6.0f} ms per package")
    print(f"step 3 per package / msiexec per package: {tool / msiexec:.2f} (goal: at most 1)")


if __name__ == "__main__":
    main()
