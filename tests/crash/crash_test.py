#!/usr/bin/env python3
"""A crash in the field, read back the way a debugger reads it.

The shipped module, taken from the symbols ZIP, faults in a host whose crash reporter records the
fault and writes a minidump (crash_host.cpp, under Wine). What the reporter sent then leads to the
answer: the exception's address relative to the module it lies in, the keys of that module and of
its PDB in the symbol store, and from the two files found under those keys, llvm-symbolizer's
function, file and line for the address. They must be DllGetClassObject and the line of
addin/module.cpp where it writes through its out pointer.

The minidump is read (minidump.py) wherever Wine's dbghelp writes one, and must tell what the
reporter's record tells. Wine writes no CodeView record into a dump's module list; the PDB's key then
comes from the module that the store holds under the dump's time stamp and size, as a debugger finds
it. A 32-bit process in Wine's WoW64 mode gets no dump at all (dbghelp cannot set itself up for it,
error 87): the test then says so and reads the record alone.

  crash_test.py --symbols ZIP --host CRASH_HOST_EXE --source SOURCE_DIR --work DIR -- EMULATOR...
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from minidump import Minidump, Module  # noqa: E402

ACCESS_VIOLATION = 0xC0000005
WRITE = 1


def fail(message):
    print(f"FAIL  {message}")
    sys.exit(1)


def ok(message):
    print(f"ok    {message}")


def fault_line(source_dir):
    """The line of DllGetClassObject's body that writes through its out pointer."""
    lines = open(os.path.join(source_dir, "addin", "module.cpp"), encoding="utf-8").read().splitlines()
    start = next(i for i, line in enumerate(lines) if re.match(r'extern "C" HRESULT WINAPI DllGetClassObject\(', line))
    for number in range(start, len(lines)):
        if lines[number].strip() == "*out = nullptr;":
            return number + 1
        if lines[number].startswith("}"):
            break
    fail("addin/module.cpp: DllGetClassObject writes no '*out = nullptr;' for this test to fault at")


def codeview_record(path):
    """(GUID bytes, age, PDB name) of a module's CodeView record, as llvm-readobj reads it."""
    text = subprocess.run(["llvm-readobj", "--coff-debug-directory", path], stdout=subprocess.PIPE, text=True,
                          check=True).stdout
    found = re.search(r"PDBGUID: \(([0-9A-F ]+)\)\s*PDBAge: (\d+)\s*PDBFileName: (\S+)", text)
    if not found:
        fail(f"{path} has no CodeView record")
    return bytes.fromhex(found.group(1)), int(found.group(2)), found.group(3)


def reported(output):
    """The reporter's record: (code, access, target, rva, the module as a Module at base 0)."""
    line = next((line for line in output.splitlines() if line.startswith("fault ")), None)
    if line is None:
        fail("the crash host printed no record of a fault")
    fields = dict(re.findall(r"(\w+)=(\S+)", line))
    if "guid" not in fields:
        fail(f"the record names no module with a CodeView record: {line}")
    module = Module(0, int(fields["size"], 16), int(fields["stamp"], 16), fields["module"],
                    bytes.fromhex(fields["guid"]), int(fields["age"]), fields["pdb"])
    return int(fields["code"], 16), int(fields["access"]), int(fields["target"], 16), int(fields["rva"], 16), module


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--symbols", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("emulator", nargs="+")
    args = parser.parse_args()

    shutil.rmtree(args.work, ignore_errors=True)
    store = os.path.join(args.work, "store")
    zipfile.ZipFile(args.symbols).extractall(store)
    (top,) = os.listdir(store)
    store = os.path.join(store, top)
    (key,) = os.listdir(os.path.join(store, "Orvane.dll"))
    shipped = os.path.join(store, "Orvane.dll", key, "Orvane.dll")
    dump_path = os.path.join(args.work, "orvane.dmp")

    run = subprocess.run(args.emulator + [args.host, "Z:" + shipped.replace("/", "\\"), "Z:" + dump_path],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=300)
    print(run.stdout, end="")
    if run.returncode != 0:
        fail(f"the crash host ended with status {run.returncode}")

    code, access, target, rva, module = reported(run.stdout)
    if code != ACCESS_VIOLATION or access != WRITE or target != 0x10:
        fail(f"the reporter saw exception {code:08x}, access {access} to 0x{target:x}, not a write to 0x10")
    if module.file_name.lower() != "orvane.dll":
        fail(f"the fault lies in {module.name}, not Orvane.dll")
    ok(f"the reporter saw an access violation writing to 0x10, in {module.file_name} at +0x{rva:x}")

    image = open(shipped, "rb").read()
    machine = struct.unpack_from("<H", image, struct.unpack_from("<I", image, 0x3C)[0] + 4)[0]
    if "dump written" in run.stdout:
        dump = Minidump(open(dump_path, "rb").read())
        exception, faulting = dump.exception, dump.module_at(dump.exception.address if dump.exception else 0)
        if exception is None or exception.code != ACCESS_VIOLATION or exception.parameters[:2] != [WRITE, 0x10]:
            fail(f"the dump's exception is {exception}, not a write to 0x10")
        if faulting is None or faulting.file_name.lower() != "orvane.dll" or exception.address - faulting.base != rva:
            fail(f"the dump puts the fault in {faulting.name if faulting else 'no module'} at "
                 f"0x{exception.address:x}; the reporter saw {module.name} at +0x{rva:x}")
        how = "its CodeView record"
        if faulting.pdb_guid is None:
            # A dump without the record (Wine's dbghelp writes none): a debugger fetches the module by
            # its time stamp and size, and reads the record there.
            binary_key, _ = faulting.store_paths()
            faulting.pdb_guid, faulting.pdb_age, faulting.pdb_name = codeview_record(os.path.join(store, binary_key))
            how = "the record of the module the store holds under its time stamp and size (the dump holds none)"
        if faulting.store_paths() != module.store_paths():
            fail(f"the dump leads to {faulting.store_paths()}, the reporter's record to {module.store_paths()}")
        ok(f"the minidump tells the same: {faulting.file_name} at +0x{rva:x}, its keys and, from {how}, its PDB's")
    elif machine == 0x14C and re.search(r"dump not written: MiniDumpWriteDump failed with 87$", run.stdout, re.M):
        print("note  minidump: not written: Wine's dbghelp cannot set itself up for a 32-bit process in WoW64 "
              "mode (error 87); the reporter's record alone is read")
    else:
        fail("the crash host wrote no minidump")

    binary_key, pdb_key = module.store_paths()
    binary, pdb = os.path.join(store, binary_key), os.path.join(store, pdb_key)
    for path in (binary, pdb):
        if not os.path.isfile(path):
            fail(f"the store has no {os.path.relpath(path, store)}")
    ok(f"the store holds {binary_key} and {pdb_key}")

    # The module's record names the PDB alone; llvm-symbolizer opens that name where it runs.
    answer = subprocess.run(["llvm-symbolizer", f"--obj={binary}", "--relative-address", f"0x{rva:x}"],
                            cwd=os.path.dirname(pdb), stdout=subprocess.PIPE, text=True, check=True).stdout.split("\n")
    function, place = answer[0], answer[1]
    found = re.match(r"(.*):(\d+):\d+$", place)
    wanted = fault_line(args.source)
    if function != "DllGetClassObject" or not found or not found.group(1).endswith("addin/module.cpp") \
            or int(found.group(2)) != wanted:
        fail(f"llvm-symbolizer reads +0x{rva:x} as {function} at {place}, not DllGetClassObject at "
             f"addin/module.cpp:{wanted}")
    ok(f"+0x{rva:x} is {function} at {place}")


if __name__ == "__main__":
    main()
