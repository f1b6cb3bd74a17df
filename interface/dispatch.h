// The handlers behind SendASPI32Command, one per command code.
#ifndef PTASPI_INTERFACE_DISPATCH_H
#define PTASPI_INTERFACE_DISPATCH_H

#include "discovery/host_adapters.h"
#include "interface/srb.h"

// Each returns nothing; the status it settles is in the block's SRB_Status.
void AnswerHostAdapterInquiry(SRB_HAInquiry* srb, const AdapterMapEntry& adapter);
void AnswerDeviceType(SRB_GDEVBlock* srb, const AdapterMapEntry& adapter);
void AnswerAbort(SRB_Abort* srb);
void AnswerReset(SRB_BusDeviceReset* srb);

#endif
