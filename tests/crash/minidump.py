"""What a debugger reads first in a minidump: the exception and the list of modules, each with the
keys a symbol store is asked by. Only the streams this needs are read (the format's exception and
module list streams); everything else in the dump is left alone.

  dump = Minidump(open(path, "rb").read())
  dump.exception        Exception(code, address, parameters)
  dump.modules          [Module(base, size, time_stamp, name, pdb_guid, pdb_age, pdb_name)]
  dump.module_at(address)
"""
import struct
from dataclasses import dataclass

MODULE_LIST_STREAM = 4
EXCEPTION_STREAM = 6


@dataclass
class Exception:
    code: int
    address: int
    parameters: list


@dataclass
class Module:
    base: int
    size: int
    time_stamp: int
    name: str
    # From the module's CodeView (RSDS) record, as the dump copied it; None where it has none.
    pdb_guid: bytes
    pdb_age: int
    pdb_name: str

    @property
    def file_name(self):
        return self.name.replace("\\", "/").rsplit("/", 1)[-1]

    def store_paths(self):
        """The module's and its PDB's paths in a symbol store (pdb None without a CodeView record)."""
        binary = f"{self.file_name}/{self.time_stamp:08X}{self.size:x}/{self.file_name}"
        if self.pdb_guid is None:
            return binary, None
        data1, data2, data3 = struct.unpack_from("<IHH", self.pdb_guid)
        guid = f"{data1:08X}{data2:04X}{data3:04X}{self.pdb_guid[8:].hex().upper()}"
        return binary, f"{self.pdb_name}/{guid}{self.pdb_age:x}/{self.pdb_name}"


class Minidump:
    def __init__(self, data):
        if data[:4] != b"MDMP":
            raise ValueError("not a minidump")
        self.data = data
        count, directory = struct.unpack_from("<II", data, 8)
        self.streams = {}
        for i in range(count):
            kind, size, rva = struct.unpack_from("<III", data, directory + 12 * i)
            self.streams[kind] = (rva, size)
        self.exception = self._exception()
        self.modules = self._modules()

    def _exception(self):
        if EXCEPTION_STREAM not in self.streams:
            return None
        rva, _ = self.streams[EXCEPTION_STREAM]
        # ThreadId, alignment, then the record: code, flags, record (64-bit), address (64-bit),
        # parameter count, alignment, fifteen 64-bit parameters.
        code, _, _, address, count, _ = struct.unpack_from("<IIQQII", self.data, rva + 8)
        parameters = list(struct.unpack_from("<15Q", self.data, rva + 8 + 32))[:count]
        return Exception(code, address, parameters)

    def _text(self, rva):
        length = struct.unpack_from("<I", self.data, rva)[0]
        return self.data[rva + 4:rva + 4 + length].decode("utf-16-le")

    def _modules(self):
        if MODULE_LIST_STREAM not in self.streams:
            return []
        rva, _ = self.streams[MODULE_LIST_STREAM]
        count = struct.unpack_from("<I", self.data, rva)[0]
        modules = []
        for i in range(count):
            # base (64-bit), size, checksum, time stamp, name; the 52-byte version record; then the
            # CodeView record's size and place.
            at = rva + 4 + 108 * i
            base, size, _, time_stamp, name_rva = struct.unpack_from("<QIIII", self.data, at)
            cv_size, cv_rva = struct.unpack_from("<II", self.data, at + 24 + 52)
            guid = age = pdb = None
            record = self.data[cv_rva:cv_rva + cv_size]
            if cv_size >= 24 and record[:4] == b"RSDS":
                guid, age = record[4:20], struct.unpack_from("<I", record, 20)[0]
                pdb = record[24:].split(b"\0")[0].decode("utf-8")
            modules.append(Module(base, size, time_stamp, self._text(name_rva), guid, age, pdb))
        return modules

    def module_at(self, address):
        return next((m for m in self.modules if m.base <= address < m.base + m.size), None)
