#!/usr/bin/env python3
"""make demo's two looks at the sandbox prefix, with the simulated agent of
tools/simulated_agent.py:

  demo_agent.py seed PREFIX PROGRAMS STATE
      lays out Windows' side, takes the "before" snapshot, installs the
      agent, takes the "seeded" snapshot and says what the agent added;
  demo_agent.py compare PREFIX STATE
      takes the "after" snapshot and shows it against "before": what is
      left of the agent, each with its reason.

STATE is a Linux folder for the snapshots and the agent's process list."""
import os
import pickle
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tools"))
sys.path.insert(0, str(REPO / "tests" / "e2e"))
import simulated_agent as agent  # noqa: E402
from snapshot import drive_difference, registry_difference, registry_of, snapshot, without_wine_noise  # noqa: E402
from winebed import WinePrefix  # noqa: E402

# The demo's logs live in the default temp folder, which is left out of the
# comparison with the tool's own files.
OWN_FOLDERS = ["users/root/temp"]
OWN_ADAPTERS = [agent.VIDEO_ADAPTER_ID]


def counts(before, after):
    """The differences; the registry ones as the 64-bit view's export shows
    them (it holds the 32-bit view's keys too, below Wow6432Node)."""
    added, removed, changed = without_wine_noise(registry_difference(before, after), OWN_ADAPTERS)
    added = [k for k in added if k[0] == 64]
    removed = [k for k in removed if k[0] == 64]
    changed = [c for c in changed if c[0] == 64]
    new = registry_of(after)
    values = sum(len(new[k]) for k in added)
    files_added, files_removed, files_changed = drive_difference(before, after)
    return added, removed, changed, values, files_added, files_removed, files_changed


def seed(prefix_dir, programs, state):
    prefix = WinePrefix(prefix_dir)
    state.mkdir(parents=True, exist_ok=True)
    agent.windows_baseline(prefix)
    before = snapshot(prefix, OWN_FOLDERS)
    summary = agent.seed_agent(prefix, programs, state / "packages", log=lambda line: print(line, flush=True))
    seeded = snapshot(prefix, OWN_FOLDERS)
    with open(state / "snapshots.pickle", "wb") as out:
        pickle.dump({"before": before, "seeded": seeded}, out)
    (state / "agent-processes.txt").write_text("".join(f"{pid} {image}\n" for pid, image in summary.running))
    for line in summary.lines():
        print("   " + line)
    added, removed, changed, values, files, _, _ = counts(before, seeded)
    print(f"   in all, the agent added {len(added)} registry keys holding {values} values, set {len(changed)} "
          f"values in keys of Windows (new ones and the lists and settings it changed) and added {len(files)} "
          f"files and folders ({summary.seconds:.0f} s to install)")


def compare(prefix_dir, state):
    prefix = WinePrefix(prefix_dir)
    with open(state / "snapshots.pickle", "rb") as stored:
        snapshots = pickle.load(stored)
    before, seeded = snapshots["before"], snapshots["seeded"]
    after = snapshot(prefix, OWN_FOLDERS)
    now = registry_of(after)
    gone_keys = len([k for k in registry_of(seeded) if k[0] == 64 and k not in now])
    _, _, _, _, seeded_files, _, _ = counts(before, seeded)
    print(f"   removed by the cleanup: {gone_keys} registry keys, "
          f"{len([f for f in seeded_files if f not in after['drive']])} files and folders; "
          f"Windows' own settings back as they were")
    added, removed, changed, _, files_added, files_removed, files_changed = counts(before, after)
    print("   compared with the machine before the agent was installed:")
    # What differs, grouped by the reason it does.
    groups = {}
    for key in added:
        reason = next((r for p, r in agent.LEFT_KEYS if p.fullmatch(key[1])), "NOT EXPECTED")
        groups.setdefault(reason, []).append(f"registry key{'' if now[key] else ' (empty)'}: {key[1]}")
    for _, key, name, old, new in changed:
        groups.setdefault("NOT EXPECTED", []).append(f"registry value: {key} : {name}: was {old}, now {new}")
    for key in removed:
        groups.setdefault("NOT EXPECTED", []).append(f"registry key of Windows missing: {key[1]}")
    for path in files_added:
        reason = next((r for p, r in agent.LEFT_FOLDERS if p.fullmatch(path)), "NOT EXPECTED")
        groups.setdefault(reason, []).append(f"folder: C:/{path}")
    for path in files_changed:
        reason = ("Wine does not write a user's hive back to NTUSER.DAT when it unloads it; the run deleted the "
                  "agent's keys from the loaded hive (see the result log)") if path == agent.OFFLINE_HIVE else \
            "NOT EXPECTED"
        groups.setdefault(reason, []).append(f"file differs: C:/{path}")
    for path in files_removed:
        groups.setdefault("NOT EXPECTED", []).append(f"file of Windows missing: C:/{path}")
    for reason, lines in groups.items():
        for line in lines:
            print("     " + line)
        print(f"       why: {reason}")
    if not groups:
        print("     no difference")


def main():
    command = sys.argv[1]
    if command == "seed":
        seed(Path(sys.argv[2]).resolve(), Path(sys.argv[3]).resolve(), Path(sys.argv[4]).resolve())
    elif command == "compare":
        compare(Path(sys.argv[2]).resolve(), Path(sys.argv[3]).resolve())
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    os.environ.setdefault("ZRA_TOOLS", str(REPO / "tools"))
    main()
