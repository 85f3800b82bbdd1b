"""A snapshot of a test prefix as a cleanup could change it: HKLM and HKU in
both registry views, as reg.exe exports them, and a listing of drive C:
with the size and hash of every file."""
import hashlib
import re

SNAPSHOT_FOLDER = "C:\\snapshot"


def registry_export(prefix, root, view64):
    """The registry tree as reg.exe exports it, in one view."""
    name = f"{root}-{64 if view64 else 32}.reg"
    target = prefix.unix_path(SNAPSHOT_FOLDER) / name
    target.parent.mkdir(parents=True, exist_ok=True)
    if target.exists():
        target.unlink()
    proc = prefix.reg("export", root, f"{SNAPSHOT_FOLDER}\\{name}", "/y", view64=view64)
    assert proc.returncode == 0, proc.stderr
    text = target.read_bytes().decode("utf-16", "replace")
    target.unlink()
    return text


def parse_export(text):
    """{key: {value name: data as exported}} of a registry export; long
    data continued over several lines is joined."""
    keys = {}
    current = None
    pending = None
    for raw in text.replace("\r\n", "\n").split("\n"):
        line = raw if pending is None else pending + raw.lstrip()
        if current is not None and not line.startswith("[") and line.endswith("\\"):
            pending = line[:-1]
            continue
        pending = None
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
        elif current is not None and line and "=" in line:
            name, data = split_value_line(line)
            current[name] = data
    return keys


def split_value_line(line):
    if line.startswith("@="):
        return "@", line[2:]
    # "name"=data, with \" and \\ escaped in the name
    i = 1
    while i < len(line):
        if line[i] == "\\":
            i += 2
            continue
        if line[i] == '"':
            break
        i += 1
    return line[1:i].replace('\\"', '"').replace("\\\\", "\\"), line[i + 2:]


def drive_listing(prefix, skipped):
    """Every file and folder of drive C: with the size and hash of each file,
    without the folders named in skipped (lower-case paths below drive_c)."""
    drive = prefix.path / "drive_c"
    listing = {}
    for path in sorted(drive.rglob("*")):
        relative = path.relative_to(drive).as_posix().lower()
        if any(relative == s or relative.startswith(s + "/") for s in skipped):
            continue
        if path.is_symlink():
            listing[relative] = ("link", str(path.readlink()))
        elif path.is_dir():
            listing[relative] = ("folder",)
        else:
            data = path.read_bytes()
            listing[relative] = ("file", len(data), hashlib.sha256(data).hexdigest())
    return listing


def snapshot(prefix, own_folders):
    """The machine as a cleanup could change it: HKLM and HKU in both views
    (each export as reg.exe wrote it, and all of them parsed, see
    registry_of) and drive C:, except the test's own and the tool's own
    folders."""
    state = {}
    for root in ("HKLM", "HKU"):
        for view64 in (True, False):
            state[(root, view64)] = registry_export(prefix, root, view64)
    state["registry"] = merge_exports(state)
    skipped = ["snapshot", "zra"] + [f.lower() for f in own_folders]
    state["drive"] = drive_listing(prefix, skipped)
    return state


def merge_exports(exports):
    """{(view, key lower-case): {value name lower-case: data}} of the
    exports, keyed by (root, 64-bit view)."""
    merged = {}
    for (_, view64), text in exports.items():
        for key, values in parse_export(text).items():
            merged[(64 if view64 else 32, key.lower())] = {name.lower(): data for name, data in values.items()}
    return merged


def registry_of(state):
    """The parsed registry of a snapshot, as merge_exports gives it."""
    return state["registry"]


def registry_difference(before, after):
    """What changed between two snapshots' registries: (added keys, removed
    keys, changed values as (view, key, name, before data, after data))."""
    old, new = registry_of(before), registry_of(after)
    added = sorted(set(new) - set(old))
    removed = sorted(set(old) - set(new))
    changed = []
    for key in sorted(set(old) & set(new)):
        for name in sorted(set(old[key]) | set(new[key])):
            if old[key].get(name) != new[key].get(name):
                changed.append((key[0], key[1], name, old[key].get(name), new[key].get(name)))
    return added, removed, changed


def drive_difference(before, after):
    """(added paths, removed paths, changed files) between two listings."""
    old, new = before["drive"], after["drive"]
    added = sorted(set(new) - set(old))
    removed = sorted(set(old) - set(new))
    changed = sorted(p for p in set(old) & set(new) if old[p] != new[p])
    return added, removed, changed


# Changes Wine makes by itself while programs run: neither the agent's nor
# the tool's.
# Wine registers its display adapter anew, under a new name, whenever a
# program starts the display driver.
WINE_ADAPTER = re.compile(r"hkey_local_machine\\system\\currentcontrolset\\control\\video\\\{([^}]+)\}(\\.*)?")
WINE_NOISE_VALUES = [
    # The service manager's own count of control sets in use.
    ("hkey_local_machine\\system\\currentcontrolset\\control\\servicecurrent", "@"),
]


def is_wine_noise(key, own_adapters=()):
    """Whether a (view, key) of registry_of is one of Wine's display adapter
    keys (adapters named in own_adapters are not)."""
    match = WINE_ADAPTER.fullmatch(key[1])
    return match is not None and match.group(1) not in [a.lower() for a in own_adapters]


def without_wine_noise(difference, own_adapters=()):
    """A registry_difference without Wine's own changes."""
    added, removed, changed = difference
    return ([k for k in added if not is_wine_noise(k, own_adapters)],
            [k for k in removed if not is_wine_noise(k, own_adapters)],
            [c for c in changed
             if (c[1], c[2]) not in WINE_NOISE_VALUES and not is_wine_noise(c[:2], own_adapters)])
