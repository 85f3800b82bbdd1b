#!/usr/bin/env python3
"""The whole cleanup cycle of the simulated agent, and of an agent ten times
its size, timed end to end and per step, with the tool's own bookkeeping
(text log, registry backup, result log) shown apart from the removals.

For each agent size a fresh Wine prefix is seeded with the simulated agent
of the shipped configuration (tools/simulated_agent.py) and cleaned as an
administrator would: ZRACleanupUtility.exe /silent, then the RunOnce
re-launch after each restart (zra-runonce.exe) until a run ends with exit
code 0, at most three runs. Every run appends its figures to the
file ZRA_TIMING_REPORT names (see src/run/TimingReport.h); the table sums
them over the runs.

Goals: the bookkeeping below 20 % of the removal time (step time minus
bookkeeping), and a cost that grows linearly with the agent's size (time
ratio at most 1.5 times the data ratio).

Usage: cycle_bench.py [BUILD_TREE] [--scale N]   (run by tools/run-bench.sh)
"""
import argparse
import os
import signal
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

KINDS = ("text log", "backup", "result log")
OVERHEAD_GOAL = 0.20
LINEAR_TOLERANCE = 1.5
MAX_RUNS = 3
REPORT = "C:\\zra\\timing.tsv"


def say(text=""):
    print(text, flush=True)


# -- the simulated agent --------------------------------------------------

def seed(prefix, programs, work, scale):
    """Windows' own side first, then the simulated agent of the shipped
    configuration (tools/simulated_agent.py), scale times its files and
    registry data."""
    import simulated_agent

    simulated_agent.windows_baseline(prefix, scale)
    return simulated_agent.seed_agent(prefix, programs, work, scale=scale, log=lambda line: say("   " + line))


# -- one cycle ------------------------------------------------------------

@dataclass
class RunFigures:
    label: str
    exit_code: int
    wall: float                 # outside: launcher start to end
    process: float = 0.0        # inside: the tool's own process time
    cost: list = field(default_factory=lambda: [0.0, 0.0, 0.0])


@dataclass
class StepFigures:
    number: int
    name: str
    runs: int = 0
    wall: float = 0.0
    cost: list = field(default_factory=lambda: [0.0, 0.0, 0.0])

    @property
    def overhead(self):
        return sum(self.cost)

    @property
    def removal(self):
        return self.wall - self.overhead


@dataclass
class CycleFigures:
    scale: int
    seed_seconds: float = 0.0
    runs: list = field(default_factory=list)
    steps: dict = field(default_factory=dict)
    items: int = 0
    backup_bytes: int = 0
    backup_values: int = 0
    removed_files: int = 0
    completed: bool = False
    seeded: list = field(default_factory=list)
    seeded_data: int = 0        # files + registry values the seed laid out

    @property
    def process(self):
        return sum(r.process for r in self.runs)

    @property
    def wall(self):
        return sum(r.wall for r in self.runs)

    @property
    def overhead(self):
        return sum(sum(r.cost) for r in self.runs)

    @property
    def step_wall(self):
        return sum(s.wall for s in self.steps.values())

    @property
    def removal(self):
        return sum(s.removal for s in self.steps.values())

    @property
    def data(self):
        """What the cleanup removed: files deleted plus registry values
        exported before their deletion."""
        return self.removed_files + self.backup_values


def parse_report(text, cycle):
    """Adds the report lines of the runs (run/step/process) to the cycle."""
    run_index = -1
    for line in text.splitlines():
        fields = line.split("\t")
        if fields[0] == "run":
            run_index += 1
        elif fields[0] == "step" and len(fields) == 7:
            number = int(fields[1])
            step = cycle.steps.setdefault(number, StepFigures(number, fields[2]))
            step.runs += 1
            step.wall += float(fields[3])
            for i in range(3):
                step.cost[i] += float(fields[4 + i])
        elif fields[0] == "process" and len(fields) == 5 and 0 <= run_index < len(cycle.runs):
            run = cycle.runs[run_index]
            run.process = float(fields[1])
            run.cost = [float(v) for v in fields[2:5]]


def count_items(path):
    """Elements recorded in the result log's sections (MetaData aside)."""
    if not path.exists():
        return 0
    root = ElementTree.parse(path).getroot()
    return sum(len(list(section)) for section in root if section.tag != "MetaData")


def files_below(folder):
    found = set()
    for base, _, names in os.walk(folder):
        for name in names:
            found.add(os.path.join(base, name))
    return found


def run_cycle(scale, programs, work):
    from winebed import TOOL_FOLDER, WinePrefix

    cycle = CycleFigures(scale)
    running = []
    say(f"-- agent scale {scale}: creating a fresh prefix")
    prefix = WinePrefix.create(work / f"prefix-{scale}")
    try:
        say(f"-- agent scale {scale}: seeding the simulated agent (installs its packages; this takes a while)")
        seed_work = work / f"seed-{scale}"
        seed_work.mkdir(parents=True, exist_ok=True)
        started = time.monotonic()
        summary = seed(prefix, programs, seed_work, scale)
        cycle.seed_seconds = time.monotonic() - started
        cycle.seeded = list(summary.lines())
        cycle.seeded_data = summary.files + summary.registry_values
        running = list(summary.running)
        say(f"   seeded in {cycle.seed_seconds:.0f} s")
        before = files_below(prefix.path / "drive_c")

        env = {"ZRA_TIMING_REPORT": REPORT}
        runonce = TOOL_FOLDER + "\\zra-runonce.exe"
        for attempt in range(MAX_RUNS):
            if attempt == 0:
                label, args, program = "/silent", ("/silent",), None
            else:
                label, args, program = f"RunOnce replay {attempt}", (), runonce
            say(f"-- agent scale {scale}: run {attempt + 1}: {label}")
            started = time.monotonic()
            if program is None:
                result = prefix.run(*args, env=env, timeout=3600)
            else:
                result = prefix.run(*args, env=env, timeout=3600, program=program)
            wall = time.monotonic() - started
            cycle.runs.append(RunFigures(label, result.exit_code, wall))
            say(f"   exit code {result.exit_code} after {wall:.1f} s")
            if result.exit_code == 0:
                cycle.completed = True
                break

        report = prefix.unix_path(REPORT)
        text = report.read_text("utf-8") if report.exists() else ""
        reported = sum(1 for line in text.splitlines() if line.startswith("run\t"))
        if reported != len(cycle.runs):
            say(f"   WARNING: {reported} of {len(cycle.runs)} runs wrote a timing report; the figures are incomplete")
        parse_report(text, cycle)
        cycle.items = count_items(prefix.log_folder / "UninstallLog.xml")
        backup = prefix.log_folder / "RegBackup.reg"
        if backup.exists():
            data = backup.read_bytes()
            cycle.backup_bytes = len(data)
            cycle.backup_values = sum(1 for line in data.split(b"\r\n") if line.startswith((b'"', b"@=")))
        cycle.removed_files = len(before - files_below(prefix.path / "drive_c"))
    finally:
        # The agent's processes the seed started and the cleanup did not end.
        for pid, _ in running:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        prefix.close()
    return cycle


# -- the tables -----------------------------------------------------------

def share(part, whole):
    return part / whole if whole > 0 else 0.0


def print_cycle(cycle):
    say()
    say(f"== Agent scale {cycle.scale}: {len(cycle.runs)} runs, "
        f"{'completed' if cycle.completed else 'NOT completed'}; seeding took {cycle.seed_seconds:.0f} s")
    for line in cycle.seeded:
        say("   seeded: " + line)
    header = (f"{'step':<52} {'runs':>4} {'time s':>8} {'text s':>7} {'backup s':>8} {'result s':>8} "
              f"{'overhead':>8} {'of removal':>10}")
    say(header)
    say("-" * len(header))
    for number in sorted(cycle.steps):
        step = cycle.steps[number]
        say(f"{number} {step.name:<50} {step.runs:>4} {step.wall:>8.2f} {step.cost[0]:>7.3f} {step.cost[1]:>8.3f} "
            f"{step.cost[2]:>8.3f} {step.overhead:>8.3f} {share(step.overhead, step.removal):>9.1%}")
    outside = cycle.process - cycle.step_wall
    # Rounded to the report's microseconds, so that nothing shows as -0.000.
    outside_cost = [max(0.0, round(sum(r.cost[i] for r in cycle.runs) - sum(s.cost[i] for s in cycle.steps.values()),
                                   6)) for i in range(3)]
    say(f"{'  outside the steps (start, configuration, finish)':<52} {'':>4} {outside:>8.2f} "
        f"{outside_cost[0]:>7.3f} {outside_cost[1]:>8.3f} {outside_cost[2]:>8.3f} {sum(outside_cost):>8.3f}")
    totals = [sum(r.cost[i] for r in cycle.runs) for i in range(3)]
    say(f"{'  all runs (inside the tool)':<52} {'':>4} {cycle.process:>8.2f} {totals[0]:>7.3f} {totals[1]:>8.3f} "
        f"{totals[2]:>8.3f} {cycle.overhead:>8.3f} {share(cycle.overhead, cycle.removal):>9.1%}")
    say()
    for index, run in enumerate(cycle.runs, 1):
        say(f"run {index} ({run.label}): exit code {run.exit_code}, end to end {run.wall:.2f} s "
            f"(the tool's process {run.process:.2f} s, bookkeeping {sum(run.cost):.3f} s)")
    say(f"end to end in total: {cycle.wall:.2f} s (the tool's processes {cycle.process:.2f} s; "
        f"the rest is starting Wine and the programs)")
    say(f"UninstallLog.xml: {cycle.items} items; RegBackup.reg: {cycle.backup_bytes:,} bytes "
        f"({cycle.backup_values:,} values); files removed: {cycle.removed_files:,}")


def ratio(a, b):
    return a / b if b else float("nan")


def print_comparison(normal, scaled):
    say()
    say(f"== Scaled ({scaled.scale}x) against normal agent")
    data = ratio(scaled.data, normal.data)
    say(f"data removed (files + registry values): {normal.data:,} -> {scaled.data:,}: {data:.2f}x")
    say(f"data seeded (files + registry values): {normal.seeded_data:,} -> {scaled.seeded_data:,}: "
        f"{ratio(scaled.seeded_data, normal.seeded_data):.2f}x")
    say(f"result-log items: {normal.items} -> {scaled.items}: {ratio(scaled.items, normal.items):.2f}x; "
        f"backup bytes: {normal.backup_bytes:,} -> {scaled.backup_bytes:,}: "
        f"{ratio(scaled.backup_bytes, normal.backup_bytes):.2f}x")
    say(f"time inside the tool: {normal.process:.2f} s -> {scaled.process:.2f} s: "
        f"{ratio(scaled.process, normal.process):.2f}x; end to end: {normal.wall:.2f} s -> {scaled.wall:.2f} s: "
        f"{ratio(scaled.wall, normal.wall):.2f}x; bookkeeping: {normal.overhead:.3f} s -> {scaled.overhead:.3f} s: "
        f"{ratio(scaled.overhead, normal.overhead):.2f}x")
    for number in sorted(set(normal.steps) | set(scaled.steps)):
        a, b = normal.steps.get(number), scaled.steps.get(number)
        if a and b:
            say(f"  step {number}: {a.wall:.2f} s -> {b.wall:.2f} s: {ratio(b.wall, a.wall):.2f}x "
                f"(bookkeeping {a.overhead:.3f} s -> {b.overhead:.3f} s)")


def verdicts(cycles):
    say()
    for cycle in cycles:
        part = share(cycle.overhead, cycle.removal)
        met = "met" if cycle.completed and part < OVERHEAD_GOAL else "not met"
        say(f"agent scale {cycle.scale}: overhead {part:.1%} of removal time: goal < {OVERHEAD_GOAL:.0%} {met}")
    if len(cycles) == 2:
        normal, scaled = cycles
        data = ratio(scaled.data, normal.data)
        time_ratio = ratio(scaled.process, normal.process)
        linear = normal.completed and scaled.completed and time_ratio <= LINEAR_TOLERANCE * data
        say(f"scaled agent: {data:.1f}x data, {time_ratio:.1f}x time: "
            f"{'linear' if linear else 'NOT linear'} (goal: time ratio at most {LINEAR_TOLERANCE} x data ratio)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tree", nargs="?", default=str(ROOT / "build" / "win32"))
    parser.add_argument("--scale", type=int, default=10, help="size of the scaled agent (0: normal agent only)")
    options = parser.parse_args()
    tree = Path(options.tree).resolve()
    os.environ.setdefault("ZRA_EXE", str(tree / "ZRACleanupUtility.exe"))
    os.environ.setdefault("ZRA_LAUNCH", str(tree / "tests" / "zra-launch.exe"))
    os.environ.setdefault("ZRA_WINE_ROOT", str(tree / "wine"))
    os.environ.setdefault("ZRA_TOOLS", str(ROOT / "tools"))
    sys.path.insert(0, str(ROOT / "tests" / "e2e"))

    sys.path.insert(0, str(ROOT / "tools"))
    scales = [1] + ([options.scale] if options.scale > 1 else [])
    cycles = []
    with tempfile.TemporaryDirectory(prefix="zra-cycle-bench-") as temp:
        for scale in scales:
            cycles.append(run_cycle(scale, tree / "tests", Path(temp)))
    for cycle in cycles:
        print_cycle(cycle)
    if len(cycles) == 2:
        print_comparison(*cycles)
    verdicts(cycles)
    # A cycle that did not complete is a fault, not a figure.
    return 0 if all(cycle.completed for cycle in cycles) else 1


if __name__ == "__main__":
    sys.exit(main())
