#include "bench_support.h"

#include "sim/kernel/teb.h"
#include "sim/kernel/threads.h"
#include "sim/sim.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

constexpr BYTE AdapterId = 7;
constexpr DWORD DiskBlocks = 256;  // 128 KiB: room for the largest read

}  // namespace

DiskAddress DiskAt(int ports, int buses, int unit) {
    const int slot = unit % (ports * buses);
    int target = unit / (ports * buses);
    if (target >= AdapterId) ++target;
    return DiskAddress{static_cast<BYTE>(slot / buses), static_cast<BYTE>(slot % buses),
                       static_cast<BYTE>(target)};
}

std::string DiskMachine(int ports, int buses, int units) {
    std::vector<std::vector<std::string>> busUnits(static_cast<size_t>(ports * buses));
    for (int unit = 0; unit < units; ++unit) {
        const DiskAddress at = DiskAt(ports, buses, unit);
        char text[160];
        std::snprintf(text, sizeof text,
                      R"({"target": %d, "lun": 0, "class_device": "PhysicalDrive%d",)"
                      R"( "backend": {"type": "disk", "blocks": %lu}})",
                      at.Target, unit, static_cast<unsigned long>(DiskBlocks));
        busUnits[static_cast<size_t>(at.Port * buses + at.Bus)].push_back(text);
    }
    std::string json = R"({"ports": [)";
    for (int port = 0; port < ports; ++port) {
        json += port == 0 ? "" : ", ";
        json += R"({"buses": [)";
        for (int bus = 0; bus < buses; ++bus) {
            json += bus == 0 ? R"({"units": [)" : R"(, {"units": [)";
            const auto& list = busUnits[static_cast<size_t>(port * buses + bus)];
            for (size_t i = 0; i < list.size(); ++i) json += (i == 0 ? "" : ", ") + list[i];
            json += "]}";
        }
        json += "]}";
    }
    return json + "]}";
}

void InstallMachineText(const std::string& json) {
    sim::Machine parsed;
    std::string error;
    if (!sim::ParseMachine(json, parsed, error) || !sim::InstallMachine(parsed, error)) {
        std::fprintf(stderr, "bench machine: %s\n", error.c_str());
        std::abort();
    }
}

bool LoadPtaspi(Library& library) {
#ifdef PTASPI_LIBRARY_PATH
    // A thread that calls into the library needs its environment block.
    sim::CurrentThreadEnvironment();
    library.Module = LoadLibraryA(PTASPI_LIBRARY_PATH);
    if (library.Module == nullptr) return false;
    library.Send = reinterpret_cast<SENDASPI32COMMAND>(reinterpret_cast<void (*)(void)>(
        GetProcAddress(library.Module, "SendASPI32Command")));
    library.SupportInfo = reinterpret_cast<GETASPI32SUPPORTINFO>(reinterpret_cast<void (*)(void)>(
        GetProcAddress(library.Module, "GetASPI32SupportInfo")));
    return library.Send != nullptr && library.SupportInfo != nullptr;
#else
    (void)library;
    return false;
#endif
}

void UnloadPtaspi(Library& library) {
    if (library.Module != nullptr) FreeLibrary(library.Module);
    library = Library();
    sim::WaitForThreadsToEnd(5000);
}

Command TestUnitReady() { return Command{{0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 6, 0}; }

Command Read10(DWORD bytes) {
    const DWORD blocks = bytes / 512;
    return Command{{0x28, 0, 0, 0, 0, 0, 0, static_cast<BYTE>(blocks >> 8),
                    static_cast<BYTE>(blocks), 0},
                   10,
                   bytes};
}

const NamedCommand RoundTripCommands[3] = {
    {"TestUnitReady/0", TestUnitReady()},
    {"Read/4096", Read10(4096)},
    {"Read/65536", Read10(65536)},
};

void PrepareExec(ExecRequest& request, BYTE ha, BYTE target, const Command& command, BYTE* buffer,
                 BYTE flags, void* postProc) {
    std::memset(&request, 0, sizeof request);
    request.Srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    request.Srb.SRB_HaId = ha;
    request.Srb.SRB_Flags = static_cast<BYTE>(flags | SRB_DIR_IN);
    request.Srb.SRB_Target = target;
    request.Srb.SRB_BufLen = command.Bytes;
    request.Srb.SRB_BufPointer = command.Bytes != 0 ? buffer : nullptr;
    request.Srb.SRB_SenseLen = sizeof request.Sense;
    request.Srb.SRB_CDBLen = command.CdbLength;
    request.Srb.SRB_PostProc = postProc;
    std::memcpy(request.Srb.CDBByte, command.Cdb, command.CdbLength);
}

HANDLE CompletionEvent = nullptr;

void __cdecl SignalCompletion(void*) { SetEvent(CompletionEvent); }

BYTE CompletionFlags(Completion completion) {
    return completion == Completion::Event  ? SRB_EVENT_NOTIFY
           : completion == Completion::Post ? SRB_POSTING
                                            : 0;
}

void* CompletionTarget(Completion completion) {
    return completion == Completion::Event  ? static_cast<void*>(CompletionEvent)
           : completion == Completion::Post ? reinterpret_cast<void*>(&SignalCompletion)
                                            : nullptr;
}

void AwaitCompletion(Completion completion, const SRB_ExecSCSICmd& srb) {
    if (completion != Completion::Poll) {
        WaitForSingleObject(CompletionEvent, INFINITE);
        return;
    }
    while (__atomic_load_n(&srb.SRB_Status, __ATOMIC_ACQUIRE) == SS_PENDING) Sleep(0);
}

bool SendDirect(HANDLE device, DirectRequest& request, BYTE pathId, BYTE target,
                const Command& command, BYTE* buffer) {
    std::memset(&request, 0, sizeof request);
    SCSI_PASS_THROUGH_DIRECT& header = request.Header;
    header.Length = sizeof header;
    header.PathId = pathId;
    header.TargetId = target;
    header.CdbLength = command.CdbLength;
    header.SenseInfoLength = sizeof request.Sense;
    header.DataIn = SCSI_IOCTL_DATA_IN;
    header.DataTransferLength = command.Bytes;
    header.TimeOutValue = 300;
    header.DataBuffer = command.Bytes != 0 ? buffer : nullptr;
    header.SenseInfoOffset = sizeof header;
    std::memcpy(header.Cdb, command.Cdb, command.CdbLength);
    DWORD returned = 0;
    return DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof header,
                           &request, sizeof request, &returned, nullptr) &&
           header.ScsiStatus == 0;
}

std::string DiskPath(int unit) { return "\\\\.\\PhysicalDrive" + std::to_string(unit); }

HANDLE OpenDisk(int unit) {
    return CreateFileA(DiskPath(unit).c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

BYTE* PageAlignedBuffer(std::vector<BYTE>& storage, DWORD bytes) {
    constexpr uintptr_t page = 4096;
    storage.assign(bytes + page, 0);
    const uintptr_t start = reinterpret_cast<uintptr_t>(storage.data());
    return storage.data() + ((page - start % page) % page);
}

}  // namespace bench
