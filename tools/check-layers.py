#!/usr/bin/env python3
"""Checks the include structure of src: the layers include only downwards.

    system   includes nothing of logs, run, steps, net or config
    steps    includes nothing of run
and no two folders of src reach each other through their includes.

Usage: check-layers.py [SRC_DIR]   (default: the src folder beside tools/)
Prints every offending include and exits 1 when there is one.
"""
import os
import re
import sys

FORBIDDEN = {
    "system": {"logs", "run", "steps", "net", "config"},
    "steps": {"run"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"')


def folder_includes(src):
    """{(folder, included folder): [(file, line number, text)]} for every
    quoted include of another folder of src."""
    found = {}
    folders = {name for name in os.listdir(src) if os.path.isdir(os.path.join(src, name))}
    for folder in sorted(folders):
        for base, _, files in os.walk(os.path.join(src, folder)):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp", ".rc", ".in")):
                    continue
                path = os.path.join(base, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        match = INCLUDE.match(line)
                        if match and match.group(1) in folders and match.group(1) != folder:
                            found.setdefault((folder, match.group(1)), []).append(
                                (os.path.relpath(path, src), number, line.strip()))
    return folders, found


def reachable(graph, start):
    seen, todo = set(), [start]
    while todo:
        for nxt in graph.get(todo.pop(), ()):
            if nxt not in seen:
                seen.add(nxt)
                todo.append(nxt)
    return seen


def main():
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
    folders, found = folder_includes(src)
    problems = []
    for (folder, target), places in sorted(found.items()):
        if target in FORBIDDEN.get(folder, ()):
            for path, number, text in places:
                problems.append(f"{path}:{number}: {folder} must not include {target}: {text}")

    graph = {}
    for folder, target in found:
        graph.setdefault(folder, set()).add(target)
    for folder in sorted(folders):
        for target in sorted(graph.get(folder, ())):
            if folder < target and folder in reachable(graph, target):
                problems.append(f"folders {folder} and {target} include each other "
                                f"(through {found[(folder, target)][0][0]} and a path back)")

    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} layer problem(s)")
        return 1
    order = ", ".join(f"{f} -> {'/'.join(sorted(graph.get(f, ()))) or '-'}" for f in sorted(folders))
    print(f"layers in order: {order}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
