#!/usr/bin/env python3
"""Packs a module and its PDB in a symbol store's layout, under one top folder of a ZIP:

  TOP/NAME.pdb/<GUID><age>/NAME.pdb            GUID: 32 uppercase hex digits, as the GUID is written
                                               but without its dashes; age in hex
  TOP/NAME.dll/<TimeDateStamp><SizeOfImage>/NAME.dll    time stamp: 8 uppercase hex digits; size in hex

These are the keys a debugger asks a symbol store by: for the PDB the GUID and age of the module's
CodeView record, for the module its header's time stamp and image size, as a crash dump records them.
The packing stops, and writes nothing, where the PDB is not the module's (its own GUID and age differ
from the record's), or where the record names the PDB by more than its file name.

  symbol_store.py --module DLL --pdb PDB --top TOP --zip OUT.zip
"""
import argparse
import os
import struct
import sys
import zipfile


def fail(message):
    sys.exit(f"symbol_store: {message}")


def module_keys(path):
    """(TimeDateStamp, SizeOfImage, GUID bytes, age, PDB name) of a PE image."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        fail(f"{path} is not a PE image")
    stamp = struct.unpack_from("<I", data, pe + 8)[0]
    section_count = struct.unpack_from("<H", data, pe + 6)[0]
    optional = pe + 24
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    size_of_image = struct.unpack_from("<I", data, optional + 56)[0]
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    debug_rva, debug_size = struct.unpack_from("<II", data, directories + 6 * 8)
    if debug_rva == 0:
        fail(f"{path} has no debug directory")
    table = optional + optional_size

    def offset(rva):
        for i in range(section_count):
            size, address, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        fail(f"{path}: RVA 0x{rva:x} lies in no section")

    at = offset(debug_rva)
    for entry in range(debug_size // 28):
        kind, size, _, raw = struct.unpack_from("<IIII", data, at + 28 * entry + 12)
        if kind == 2 and data[raw:raw + 4] == b"RSDS":
            guid = data[raw + 4:raw + 20]
            age = struct.unpack_from("<I", data, raw + 20)[0]
            name = data[raw + 24:raw + size].split(b"\0")[0].decode("utf-8")
            return stamp, size_of_image, guid, age, name
    fail(f"{path} has no CodeView (RSDS) record")


def pdb_identity(path):
    """(GUID bytes, age) from a PDB's information stream (stream 1 of its multi-stream file)."""
    data = open(path, "rb").read()
    if not data.startswith(b"Microsoft C/C++ MSF 7.00\r\n\x1aDS\0\0\0"):
        fail(f"{path} is not a PDB")
    block_size, _, _, directory_bytes, _, block_map = struct.unpack_from("<IIIIII", data, 32)

    def blocks(count, at):
        return struct.unpack_from(f"<{count}I", data, at)

    directory_blocks = blocks((directory_bytes + block_size - 1) // block_size, block_map * block_size)
    directory = b"".join(data[b * block_size:(b + 1) * block_size] for b in directory_blocks)
    stream_count = struct.unpack_from("<I", directory, 0)[0]
    # A stream of size 0xFFFFFFFF is absent and has no blocks.
    sizes = [0 if size == 0xFFFFFFFF else size for size in struct.unpack_from(f"<{stream_count}I", directory, 4)]
    first = 4 + 4 * stream_count + 4 * ((sizes[0] + block_size - 1) // block_size)
    info_blocks = struct.unpack_from(f"<{(sizes[1] + block_size - 1) // block_size}I", directory, first)
    info = b"".join(data[b * block_size:(b + 1) * block_size] for b in info_blocks)
    _, _, age = struct.unpack_from("<III", info, 0)
    return info[12:28], age


def guid_text(raw):
    """A GUID as written ({8-4-4-4-12} for its fields, the first three little-endian), without dashes."""
    data1, data2, data3 = struct.unpack_from("<IHH", raw)
    return f"{data1:08X}{data2:04X}{data3:04X}{raw[8:].hex().upper()}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--module", required=True)
    parser.add_argument("--pdb", required=True)
    parser.add_argument("--top", required=True)
    parser.add_argument("--zip", required=True)
    args = parser.parse_args()

    stamp, size_of_image, guid, age, pdb_name = module_keys(args.module)
    if pdb_name != os.path.basename(args.pdb):
        fail(f"{args.module}'s CodeView record names {pdb_name!r}, not the file name {os.path.basename(args.pdb)!r}")
    pdb_guid, pdb_age = pdb_identity(args.pdb)
    if (pdb_guid, pdb_age) != (guid, age):
        fail(f"{args.pdb} is GUID {guid_text(pdb_guid)} age {pdb_age}, but {args.module} names "
             f"{guid_text(guid)} age {age}")

    module_name = os.path.basename(args.module)
    entries = [
        (f"{args.top}/{pdb_name}/{guid_text(guid)}{age:x}/{pdb_name}", args.pdb),
        (f"{args.top}/{module_name}/{stamp:08X}{size_of_image:x}/{module_name}", args.module),
    ]
    partial = args.zip + ".part"
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, source in entries:
            # A fixed date keeps the ZIP the same for the same two files.
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, open(source, "rb").read())
    os.replace(partial, args.zip)


if __name__ == "__main__":
    main()
