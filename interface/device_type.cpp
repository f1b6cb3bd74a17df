#include "discovery/device_table.h"
#include "interface/dispatch.h"

void AnswerDeviceType(SRB_GDEVBlock* srb, const AdapterMapEntry& adapter) {
    const DeviceEntry* entry =
        FindDevice(adapter.PortNumber, adapter.PathId, srb->SRB_Target, srb->SRB_Lun);
    if (entry == nullptr) {
        srb->SRB_Status = SS_NO_DEVICE;  // SRB_DeviceType stays the caller's
        return;
    }
    srb->SRB_DeviceType = entry->DeviceType;
    srb->SRB_Status = SS_COMP;
}
