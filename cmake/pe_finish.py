#!/usr/bin/env python3
"""Writes into a linked or stripped PE image what lld 14 and llvm-objcopy leave out, in place:

  --export-name NAME  the export directory's module name, as the module definition file spells it
                      (lld names it after the output file); NAME may differ from the present name in
                      letter case only, so no other byte of the image moves;
  always              the header checksum, which lld writes only where it has /release (14 has not)
                      and llvm-objcopy copies unchanged from its input.

The checksum is the PE format's: the file summed as 16-bit words with the carry folded back in, the
checksum field itself counted as zero, plus the file's length.

  pe_finish.py [--export-name NAME] IMAGE
"""
import argparse
import struct
import sys


def fail(message):
    sys.exit(f"pe_finish: {message}")


def sections(data, pe):
    count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + optional_size
    for i in range(count):
        at = table + 40 * i
        virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from("<IIII", data, at + 8)
        yield virtual_address, max(virtual_size, raw_size), raw_offset


def file_offset(data, pe, rva):
    for address, size, raw in sections(data, pe):
        if address <= rva < address + size:
            return raw + rva - address
    fail(f"RVA 0x{rva:x} lies in no section")


def set_export_name(data, pe, name):
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    export_rva = struct.unpack_from("<I", data, directories)[0]
    if export_rva == 0:
        fail("the image has no export directory")
    name_rva = struct.unpack_from("<I", data, file_offset(data, pe, export_rva) + 12)[0]
    at = file_offset(data, pe, name_rva)
    end = data.index(0, at)
    present = bytes(data[at:end]).decode("ascii")
    if present.lower() != name.lower():
        fail(f"the export directory names {present!r}, which {name!r} may only change in letter case")
    data[at:end] = name.encode("ascii")


def checksum(data):
    """The sum of an image whose checksum field holds zero."""
    total = 0
    padded = data + b"\0" if len(data) % 2 else data
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--export-name")
    parser.add_argument("image")
    args = parser.parse_args()
    data = bytearray(open(args.image, "rb").read())
    if data[:2] != b"MZ":
        fail(f"{args.image} is not a PE image")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        fail(f"{args.image} is not a PE image")
    if args.export_name:
        set_export_name(data, pe, args.export_name)
    field = pe + 24 + 64
    struct.pack_into("<I", data, field, 0)
    struct.pack_into("<I", data, field, checksum(bytes(data)))
    open(args.image, "wb").write(data)


if __name__ == "__main__":
    main()
