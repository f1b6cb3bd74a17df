#include "discovery/host_adapters.h"
#include "interface/dispatch.h"

namespace {

// Stores value little-endian at bytes, whatever the host's byte order.
void StoreLittleEndian(BYTE* bytes, DWORD value, int width) {
    for (int i = 0; i < width; ++i) {
        bytes[i] = static_cast<BYTE>(value >> (8 * i));
    }
}

}  // namespace

void AnswerHostAdapterInquiry(SRB_HAInquiry* srb, const AdapterMapEntry& adapter) {
    // Every mapped adapter's port has a record; the empty one stands in
    // should a number ever come without.
    static const PortInfo NoPort = {};
    const PortInfo* record = FindPortInfo(adapter.PortNumber);
    const PortInfo& port = record != nullptr ? *record : NoPort;
    const int bus = adapter.PathId;

    srb->HA_Count = static_cast<BYTE>(AdapterCount);
    srb->HA_SCSI_ID = port.InitiatorId[bus];

    // The manager text and its NUL fill offsets 10-24; offset 25 is the
    // caller's.
    memcpy(srb->HA_ManagerId, ManagerIdText, sizeof(ManagerIdText));

    // The identifier and its NUL; the bytes after the NUL stay the caller's.
    const char* identifier = port.Identifier[bus];
    size_t length = 0;
    while (length < IdentifierLength - 1 && identifier[length] != '\0') {
        ++length;
    }
    memcpy(srb->HA_Identifier, identifier, length);
    srb->HA_Identifier[length] = 0;

    BYTE* unique = srb->HA_Unique;
    StoreLittleEndian(unique + 0, port.Capabilities.AlignmentMask & 0xFFFF, 2);
    unique[2] = 0;  // residual byte counts are not supported
    unique[3] = port.MaxTargets;
    StoreLittleEndian(unique + 4, port.Capabilities.MaximumTransferLength, 4);
    memset(unique + 8, 0, 7);  // byte 15 stays the caller's

    srb->SRB_Status = SS_COMP;
}
