// A host with a crash reporter, as a host that ships the add-in has one. Its top-level exception filter
// records the fault as a reporter sends it home: the exception, the module it lies in, the address
// relative to the module, and the module's keys in a symbol store (its header's time stamp and image
// size, its CodeView record's PDB GUID, age and name, read from the module as it is loaded). It then
// writes a minidump with dbghelp's MiniDumpWriteDump and ends the process.
//
// The host makes the add-in fault in a known place: DllGetClassObject, given an out pointer into the
// first page of the address space, where nothing is ever mapped, faults where it writes its null.
//
//   orvane_crash_host MODULE DUMP
// MODULE is loaded by its full path, and its import, the host runtime, from this program's folder.
// Prints the record as one line, "fault code=... access=... target=... module=... rva=... stamp=...
// size=... guid=... age=... pdb=...", and then "dump written" or why not. Exit status 0 once the
// record is printed, 1 when the add-in did not fault, 2 when it could not be called, 4 when the
// reporter faulted itself.
#include <windows.h>
// These need the types of windows.h first.
#include <dbghelp.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

HANDLE g_dump = INVALID_HANDLE_VALUE;

// Copies a header out of the loaded image: its fields need not be aligned for this program's types.
template <class Header>
Header Read(const unsigned char* at) {
    Header header;
    std::memcpy(&header, at, sizeof header);
    return header;
}

void PrintRecord(const EXCEPTION_RECORD& record) {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         static_cast<LPCWSTR>(record.ExceptionAddress), &module);
    wchar_t name[MAX_PATH] = L"";
    if (module != nullptr) ::GetModuleFileNameW(module, name, MAX_PATH);
    std::printf("fault code=%08lx access=%lu target=%llx module=%ls", record.ExceptionCode,
                static_cast<unsigned long>(record.NumberParameters > 0 ? record.ExceptionInformation[0] : 0),
                static_cast<unsigned long long>(record.NumberParameters > 1 ? record.ExceptionInformation[1] : 0),
                module != nullptr ? name : L"-");
    if (module == nullptr) {
        std::printf("\n");
        return;
    }
    const auto* base = reinterpret_cast<const unsigned char*>(module);
    const auto nt = Read<IMAGE_NT_HEADERS>(base + Read<IMAGE_DOS_HEADER>(base).e_lfanew);
    std::printf(" rva=%llx stamp=%08lX size=%lx",
                static_cast<unsigned long long>(static_cast<const unsigned char*>(record.ExceptionAddress) - base),
                nt.FileHeader.TimeDateStamp, nt.OptionalHeader.SizeOfImage);
    const IMAGE_DATA_DIRECTORY debug = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
    for (DWORD at = 0; at + sizeof(IMAGE_DEBUG_DIRECTORY) <= debug.Size; at += sizeof(IMAGE_DEBUG_DIRECTORY)) {
        const auto entry = Read<IMAGE_DEBUG_DIRECTORY>(base + debug.VirtualAddress + at);
        const unsigned char* cv = base + entry.AddressOfRawData;
        if (entry.Type != IMAGE_DEBUG_TYPE_CODEVIEW || entry.SizeOfData < 25 || std::memcmp(cv, "RSDS", 4) != 0)
            continue;
        // RSDS, the GUID as it lies in memory, the age, the PDB's name.
        std::printf(" guid=");
        for (int i = 4; i < 20; ++i) std::printf("%02x", cv[i]);
        std::printf(" age=%lu pdb=%s", Read<DWORD>(cv + 20), reinterpret_cast<const char*>(cv + 24));
        break;
    }
    std::printf("\n");
}

struct DumpRequest {
    EXCEPTION_POINTERS* pointers;
    DWORD thread;
};

// The dump is written from a thread of its own, as reporters do: dbghelp, walking the faulted thread
// from that thread itself, faults in turn under Wine.
DWORD WINAPI WriteDump(void* parameter) {
    const auto* request = static_cast<const DumpRequest*>(parameter);
    // A reporter needs no symbols, and has none on a user's machine: deferred, no module's debug
    // information is read for the dump (Wine's dbghelp faults on a module whose PDB it cannot find).
    ::SymSetOptions(::SymGetOptions() | SYMOPT_DEFERRED_LOADS);
    MINIDUMP_EXCEPTION_INFORMATION exception{request->thread, request->pointers, FALSE};
    const BOOL written = ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), g_dump, MiniDumpNormal,
                                             &exception, nullptr, nullptr);
    const DWORD error = ::GetLastError();
    ::CloseHandle(g_dump);
    if (written) {
        std::printf("dump written\n");
    } else {
        std::printf("dump not written: MiniDumpWriteDump failed with %lu\n", error);
    }
    return 0;
}

LONG g_reporting = 0;

LONG WINAPI Report(EXCEPTION_POINTERS* pointers) {
    // A fault of the reporter's own must not be reported as the add-in's.
    if (::InterlockedExchange(&g_reporting, 1) != 0) {
        std::printf("the reporter faulted\n");
        std::fflush(stdout);
        ::TerminateProcess(::GetCurrentProcess(), 4);
    }
    PrintRecord(*pointers->ExceptionRecord);
    DumpRequest request{pointers, ::GetCurrentThreadId()};
    HANDLE writer = ::CreateThread(nullptr, 0, WriteDump, &request, 0, nullptr);
    if (writer == nullptr) {
        std::printf("dump not written: no thread for it: %lu\n", ::GetLastError());
    } else {
        ::WaitForSingleObject(writer, INFINITE);
        ::CloseHandle(writer);
    }
    std::fflush(stdout);
    // A reporter ends the process: the fault left the add-in's call half done.
    ::TerminateProcess(::GetCurrentProcess(), 0);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::printf("usage: orvane_crash_host MODULE DUMP\n");
        return 2;
    }
    g_dump = ::CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    // The standard search finds the module's import in this program's folder.
    HMODULE module = ::LoadLibraryW(argv[1]);
    if (g_dump == INVALID_HANDLE_VALUE || module == nullptr) {
        std::printf("cannot open the dump or load the module: %lu\n", ::GetLastError());
        return 2;
    }
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    const auto entry =
        reinterpret_cast<GetClassObject>(reinterpret_cast<void (*)()>(::GetProcAddress(module, "DllGetClassObject")));
    if (entry == nullptr) {
        std::printf("the module exports no DllGetClassObject\n");
        return 2;
    }
    ::SetUnhandledExceptionFilter(Report);
    void** const nowhere = reinterpret_cast<void**>(0x10);
    const HRESULT hr = entry(IID_IClassFactory, IID_IClassFactory, nowhere);
    std::printf("DllGetClassObject returned 0x%08lx without a fault\n", static_cast<unsigned long>(hr));
    return 1;
}
