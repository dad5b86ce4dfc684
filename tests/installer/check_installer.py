#!/usr/bin/env python3
"""Checks of the add-in's Windows Installer package, each printing "ok" or "FAIL" lines.

  check_installer.py tables  MSI PLAN_TOOL SCRIPT...
      the MSI's Registry and RemoveRegistry tables say, row for row, what the parser plans for
      DllRegisterServer (PLAN_TOOL is orvane-wxs, SCRIPT the registration scripts in order)
  check_installer.py file    MSI DLL
      the File table carries the DLL's size, VERSIONINFO file version and language, and the MSI's
      cabinet holds the DLL itself
  check_installer.py host    MSI HOST_MSI
      a host product that includes the fragment holds the same component, file and registry rows
  check_installer.py install MSI DLL PLAN_TOOL WINE_RUN PREFIX SCRIPT...
      installs and removes the MSI with 64-bit msiexec in a new 64-bit Wine prefix

Exit status 0 when every check passed.
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import urllib.parse

failures = 0


def ok(text):
    print("ok    " + text)


def fail(text):
    global failures
    failures += 1
    print("FAIL  " + text)


def check(condition, text, detail=""):
    if condition:
        ok(text)
    else:
        fail(text + (": " + detail if detail else ""))


# ---- MSI tables ----------------------------------------------------------------------------------

def table(msi, name):
    """The rows of one table, as msiinfo exports it (three header lines, tab-separated)."""
    out = subprocess.run(["msiinfo", "export", msi, name], check=True, capture_output=True, text=True).stdout
    lines = out.split("\r\n") if "\r\n" in out else out.split("\n")
    columns = lines[0].split("\t")
    rows = []
    for line in lines[3:]:
        if line:
            rows.append(dict(zip(columns, line.split("\t"))))
    return rows


def tables_of(msi):
    out = subprocess.run(["msiinfo", "tables", msi], check=True, capture_output=True, text=True).stdout
    return set(out.split())


# ---- the parser's plan ---------------------------------------------------------------------------

ROOTS = {"HKCR": 0, "HKCU": 1, "HKLM": 2}
MODULE = "<the installed Orvane.dll>"
FOLDER = "<its folder>"


def plan(tool, scripts, module, folder):
    out = subprocess.run([tool, "plan", "MODULE=" + module, "MODULEFOLDER=" + folder, "--"] + scripts,
                         check=True, capture_output=True, text=True).stdout
    steps = []
    for line in out.splitlines():
        phase, action, root, path, name, data = [urllib.parse.unquote(f) for f in line.split("\t")]
        steps.append((phase, action, root, path, name, data))
    return steps


def unformat(text, value_column):
    """What Windows Installer writes for a Formatted column: [\\x] is x, and the two references the
    package may use stand for the installed file and its folder; any other bracket would be read as a
    property and is an error. In the Value column a leading ## is one #, and a single # a number."""
    if text is None:
        return None, None
    if value_column and text.startswith("#"):
        if not text.startswith("##"):
            return None, "a leading # makes Windows Installer write a number"
        text = text[1:]
    out, i = "", 0
    while i < len(text):
        if text[i] == "[":
            end = text.find("]", i + 2)
            inner = text[i + 1:end] if end != -1 else ""
            if end != -1 and len(inner) == 2 and inner[0] == "\\":
                out += inner[1]
            elif inner == "#OrvaneDll":
                out += MODULE
            elif inner == "OrvaneFolder":
                out += FOLDER
            else:
                return None, "the bracket at %d would be read as a property" % i
            i = end + 1
        elif text[i] == "]":
            return None, "a bare ] at %d" % i
        else:
            out += text[i]
            i += 1
    return out, None


def check_tables(msi, tool, scripts):
    steps = plan(tool, scripts, MODULE, FOLDER)
    removed_trees = {(root, path.lower()) for phase, action, root, path, _, _ in steps
                     if phase == "unregister" and action == "DeleteTree"}
    expected, expected_removals = [], []
    for phase, action, root, path, name, data in steps:
        if phase != "register":
            continue
        # The table's way of saying each step: a key row is "*" when the uninstall must take the key
        # with everything below it, as unregistration does, and "+" when it only creates it; a key
        # deleted before it is written is a RemoveRegistry row, "-", done at install.
        if action == "CreateKey":
            expected.append((ROOTS[root], path, "*" if (root, path.lower()) in removed_trees else "+", None))
        elif action == "SetString":
            expected.append((ROOTS[root], path, name or None, data))
        else:
            expected_removals.append((ROOTS[root], path, "-"))

    rows = sorted(table(msi, "Registry"), key=lambda r: r["Registry"])
    actual, problems = [], []
    for r in rows:
        key, key_problem = unformat(r["Key"], False)
        name, name_problem = unformat(r["Name"] or None, False)
        value, value_problem = unformat(r["Value"] or None, True)
        for problem in (key_problem, name_problem, value_problem):
            if problem:
                problems.append("%s: %s" % (r["Registry"], problem))
        if r["Component_"] != "Orvane":
            problems.append("%s belongs to %s" % (r["Registry"], r["Component_"]))
        actual.append((int(r["Root"]), key, name, value))
    check(not problems, "every Registry row is plain text to Windows Installer and the add-in's",
          "; ".join(problems))
    if actual == expected:
        ok("the Registry table is the register plan, row for row (%d rows)" % len(actual))
    else:
        first = next((i for i, (a, e) in enumerate(zip(actual, expected)) if a != e), min(len(actual), len(expected)))
        fail("the Registry table differs from the register plan at row %d: %s instead of %s (%d rows, %d planned)"
             % (first + 1, actual[first] if first < len(actual) else "nothing",
                expected[first] if first < len(expected) else "nothing", len(actual), len(expected)))
    removals = []
    if "RemoveRegistry" in tables_of(msi):
        for r in sorted(table(msi, "RemoveRegistry"), key=lambda r: r["RemoveRegistry"]):
            removals.append((int(r["Root"]), unformat(r["Key"], False)[0], r["Name"]))
    check(removals == expected_removals, "the RemoveRegistry table deletes what the plan deletes before writing",
          "%s instead of %s" % (removals, expected_removals))


# ---- the file ------------------------------------------------------------------------------------

def version_resource(dll):
    """(file version text, language id) of the VERSION resource, read from the PE's own structures."""
    data = open(dll, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    rsrc_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    table_at = optional + optional_size
    for i in range(sections):
        _, vsize, va, raw_size, raw = struct.unpack_from("<8sIIII", data, table_at + 40 * i)
        if va <= rsrc_rva < va + max(vsize, raw_size):
            base = raw + rsrc_rva - va
            break
    else:
        raise ValueError("no resource section")

    def entries(offset):
        named, ids = struct.unpack_from("<12xHH", data, base + offset)
        for n in range(named + ids):
            ident, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * n)
            yield ident, target

    for ident, target in entries(0):
        if ident == 16:  # RT_VERSION
            _, by_id = next(entries(target & 0x7FFFFFFF))
            language, leaf = next(entries(by_id & 0x7FFFFFFF))
            leaf_rva, leaf_size = struct.unpack_from("<II", data, base + leaf)
            resource = data[base + leaf_rva - rsrc_rva:base + leaf_rva - rsrc_rva + leaf_size]
            at = resource.index(struct.pack("<I", 0xFEEF04BD))
            ms, ls = struct.unpack_from("<II", resource, at + 8)
            return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF), language
    raise ValueError("no VERSION resource")


def check_file(msi, dll):
    version, language = version_resource(dll)
    rows = table(msi, "File")
    check(len(rows) == 1, "the File table has one file", str(len(rows)))
    row = rows[0]
    check(row["Version"] == version, "its Version is the DLL's VERSIONINFO file version " + version,
          repr(row["Version"]))
    check(row["Language"] == str(language), "its Language is the DLL's resource language %d" % language,
          repr(row["Language"]))
    check(int(row["FileSize"]) == os.path.getsize(dll), "its FileSize is the DLL's", row["FileSize"])
    check(not [r for r in table(msi, "MsiFileHash") if r["File_"] == row["File"]],
          "no MsiFileHash row, which would mark a versioned file unversioned")
    work = tempfile.mkdtemp()
    try:
        subprocess.run(["msiextract", "-C", work, msi], check=True, capture_output=True)
        found = [os.path.join(d, f) for d, _, files in os.walk(work) for f in files]
        same = len(found) == 1 and open(found[0], "rb").read() == open(dll, "rb").read()
        check(same, "the MSI's cabinet holds exactly this DLL", ", ".join(found))
    finally:
        shutil.rmtree(work)


def check_host(msi, host_msi):
    own = {r["Component"]: r for r in table(msi, "Component")}
    host = {r["Component"]: r for r in table(host_msi, "Component")}
    check("Orvane" in host and host["Orvane"]["ComponentId"] == own["Orvane"]["ComponentId"],
          "the host's product holds the component Orvane with its fixed GUID",
          str(host.get("Orvane")))
    check(len(host) > 1, "beside the host's own components", str(sorted(host)))
    check([r for r in table(host_msi, "Registry") if r["Component_"] == "Orvane"] == table(msi, "Registry"),
          "with the same Registry rows")
    def files(path):
        return [(r["File"], r["FileName"], r["FileSize"]) for r in table(path, "File") if r["Component_"] == "Orvane"]
    check(files(host_msi) == files(msi), "and the same file", str(files(host_msi)))


# ---- install and uninstall under Wine --------------------------------------------------------------

def read_registry(path):
    """A Wine .reg file as {key: {value name: data}}, names lowered, time stamps left out."""
    keys, key, pending = {}, None, ""
    for raw in open(path, encoding="utf-8", errors="replace"):
        line = pending + raw.rstrip("\n")
        if line.endswith("\\") and not line.endswith("\\\\"):
            pending = line[:-1]
            continue
        pending = ""
        match = re.match(r"^\[(.*)\] \d+$", line)
        if match:
            key = match.group(1).lower()
            keys.setdefault(key, {})
        elif key is not None and line and not line.startswith("#") and "=" in line:
            name, _, data = line.partition("=")
            if name.startswith('"'):
                name = name[1:-1]
            keys[key][name.lower()] = data.strip()
    return keys


# Keys Wine rewrites by itself at every start, whatever ran: hardware, fonts, its own version.
VOLATILE = ("system\\\\currentcontrolset\\\\", "software\\\\wine\\\\", "software\\\\microsoft\\\\windows nt\\\\currentversion")
# Where msiexec keeps its own books; it leaves some of those keys behind, empty.
INSTALLER = ("software\\\\classes\\\\installer\\\\", "software\\\\microsoft\\\\windows\\\\currentversion\\\\installer",
             "software\\\\wow6432node\\\\microsoft\\\\windows\\\\currentversion\\\\uninstall",
             "software\\\\microsoft\\\\windows\\\\currentversion\\\\uninstall")


def registry_left(before, after):
    problems = []
    for key, values in after.items():
        if key.startswith(VOLATILE):
            continue
        if key not in before:
            if values or not key.startswith(INSTALLER):
                problems.append("left: [%s] %s" % (key, values or ""))
            continue
        for name, data in values.items():
            if before[key].get(name) != data:
                problems.append("changed: [%s] %s=%s" % (key, name, data))
    for key, values in before.items():
        if key.startswith(VOLATILE):
            continue
        # Wine removes a parent key that the removal emptied, such as the empty 32-bit CLSID root of a
        # new prefix; on Windows those roots are never empty. Values of anyone else must stay.
        if key not in after and values:
            problems.append("removed: [%s]" % key)
        elif key in after:
            for name in values:
                if name not in after[key]:
                    problems.append("removed: [%s] %s" % (key, name))
    return problems


def check_install(msi, dll, tool, wine_run, prefix, scripts):
    env = dict(os.environ, ORVANE_WINEPREFIX=prefix)

    def wine(*args):
        return subprocess.run([wine_run] + list(args), env=env, capture_output=True, text=True)

    def settle():
        wine("--wineserver", "-w")

    def snapshot():
        settle()
        return read_registry(os.path.join(prefix, "system.reg")), read_registry(os.path.join(prefix, "user.reg"))

    def winpath(path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    shutil.rmtree(prefix, ignore_errors=True)
    wine("reg", "query", "HKCR", "/ve")
    before = snapshot()
    # What an older registration of another tool may have left: under the class key, which the install
    # deletes before it writes it, and under a ProgID, which it only writes into. The removal takes
    # both keys with everything below them, as unregistration does.
    steps = plan(tool, scripts, MODULE, FOLDER)
    clsid = next(path for phase, action, _, path, _, _ in steps
                 if phase == "unregister" and action == "DeleteTree" and path.upper().startswith("CLSID\\"))
    progid = next(path for phase, action, _, path, _, _ in steps
                  if phase == "unregister" and action == "DeleteTree" and path.lower().startswith("orvane.addin"))
    for key, value in ((clsid + "\\InprocServer32", ["/v", "Stray"]), (clsid + "\\Stray\\Deeper", []),
                       (progid, ["/v", "Stray"])):
        planted = wine("reg", "add", "HKCR\\" + key, *value, "/d", "older", "/f", "/reg:32")
        check(planted.returncode == 0, "a stray value of an older registration is planted under " + key)

    result = wine("msiexec", "/i", winpath(msi), "/qn")
    check(result.returncode == 0, "msiexec /i answers 0", "%d %s" % (result.returncode, result.stderr[-400:]))

    folder = "C:\\Program Files (x86)\\Orvane\\"
    installed = os.path.join(prefix, "drive_c", "Program Files (x86)", "Orvane", "Orvane.dll")
    check(os.path.isfile(installed) and open(installed, "rb").read() == open(dll, "rb").read(),
          "Orvane.dll is in Program Files (x86)\\Orvane, byte for byte")
    check(not os.path.exists(os.path.join(prefix, "drive_c", "Program Files", "Orvane")),
          "and not in the 64-bit Program Files")

    # What the 32-bit view shows under each key that unregistration removes, against the plan with
    # the installed file's path (its folder as Windows Installer gives folders, with a backslash).
    steps = plan(tool, scripts, folder + "Orvane.dll", folder)
    trees = [path for phase, action, _, path, _, _ in steps if phase == "unregister" and action == "DeleteTree"]
    expected = {(path.lower(), name.lower(), data) for phase, action, _, path, name, data in steps
                if phase == "register" and action == "SetString"}
    expected.add((progid.lower(), "stray", "older"))
    shown = set()
    for tree in trees:
        out = wine("reg", "query", "HKCR\\" + tree, "/s", "/reg:32").stdout
        key = None
        for line in out.splitlines():
            if line.startswith("HKEY_CLASSES_ROOT\\"):
                key = line[len("HKEY_CLASSES_ROOT\\"):].lower()
            elif line.startswith("    ") and key is not None:
                match = re.match(r"^    (.*?)    (REG_\w+)    ?(.*)$", line)
                if match:
                    name = "" if match.group(1) == "(Default)" else match.group(1).lower()
                    shown.add((key, name, match.group(3) if match.group(2) == "REG_SZ" else match.group(2)))
    check(shown == expected, "the 32-bit view holds exactly the plan's values and the ProgID's stray one",
          "missing %s; unplanned %s" % (sorted(expected - shown), sorted(shown - expected)))
    server = wine("reg", "query", "HKCR\\" + clsid + "\\InprocServer32", "/ve", "/reg:32").stdout
    check(folder + "Orvane.dll" in server, "the class's InprocServer32 in /reg:32 names the installed file")
    check(wine("reg", "query", "HKCR\\" + clsid, "/reg:64").returncode != 0, "the 64-bit view has no such class")

    result = wine("msiexec", "/x", winpath(msi), "/qn")
    check(result.returncode == 0, "msiexec /x answers 0", "%d %s" % (result.returncode, result.stderr[-400:]))
    after = snapshot()
    check(not os.path.exists(os.path.dirname(installed)), "the removal takes the folder and the file")
    problems = registry_left(before[0], after[0]) + registry_left(before[1], after[1])
    check(not problems, "the registry after /x is the new prefix's, but msiexec's own empty keys",
          "; ".join(problems[:12]))


def main():
    args = sys.argv[1:]
    if not args:
        print(__doc__, file=sys.stderr)
        return 2
    command, rest = args[0], args[1:]
    if command == "tables" and len(rest) >= 3:
        check_tables(rest[0], rest[1], rest[2:])
    elif command == "file" and len(rest) == 2:
        check_file(*rest)
    elif command == "host" and len(rest) == 2:
        check_host(*rest)
    elif command == "install" and len(rest) >= 6:
        check_install(rest[0], rest[1], rest[2], rest[3], rest[4], rest[5:])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
