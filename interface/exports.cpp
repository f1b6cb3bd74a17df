// The library's two exports. Both use the caller-pops convention.
#include "discovery/host_adapters.h"
#include "execution/request_queue.h"
#include "interface/dispatch.h"

extern "C" DWORD __cdecl GetASPI32SupportInfo(void) {
    return (static_cast<DWORD>(SS_COMP) << 8) | (static_cast<DWORD>(AdapterCount) & 0xFF);
}

extern "C" DWORD __cdecl SendASPI32Command(void* request) {
    // A null block cannot carry a status; refuse it without touching memory.
    if (request == nullptr) {
        return SS_INVALID_SRB;
    }
    SRB_Header* header = static_cast<SRB_Header*>(request);

    // The host adapter is checked before the command code, for every code.
    if (header->SRB_HaId >= AdapterCount) {
        header->SRB_Status = SS_INVALID_HA;
        return SS_INVALID_HA;
    }
    const AdapterMapEntry adapter = AdapterMap[header->SRB_HaId];

    switch (header->SRB_Cmd) {
    case SC_HA_INQUIRY:
        AnswerHostAdapterInquiry(static_cast<SRB_HAInquiry*>(request), adapter);
        break;
    case SC_GET_DEV_TYPE:
        AnswerDeviceType(static_cast<SRB_GDEVBlock*>(request), adapter);
        break;
    case SC_EXEC_SCSI_CMD:
        return SubmitExecuteRequest(request);
    case SC_ABORT_SRB:
        AnswerAbort(static_cast<SRB_Abort*>(request));
        break;
    case SC_RESET_DEV:
        // The post routine may already have reused the block: do not read
        // it back.
        AnswerReset(static_cast<SRB_BusDeviceReset*>(request));
        return SS_COMP;
    default:
        header->SRB_Status = SS_INVALID_SRB;
        break;
    }
    return __atomic_load_n(&header->SRB_Status, __ATOMIC_ACQUIRE);
}
