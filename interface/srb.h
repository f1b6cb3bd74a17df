// Request blocks as the library handles them: the application's layouts
// from the public header, checked byte for byte, and the completion rule.
#ifndef PTASPI_INTERFACE_SRB_H
#define PTASPI_INTERFACE_SRB_H

#include "platform/platform.h"
#include "ptaspi32.h"

#include <stddef.h>

constexpr BYTE TargetStatusMask = 0x1E;
constexpr size_t ManagerIdLength = 16;
constexpr const char ManagerIdText[] = "ASPI for WIN32";

// Stores the final status and posts completion as SRB_Flags ask: the event
// in SRB_PostProc when SRB_EVENT_NOTIFY is set, else the post routine when
// SRB_POSTING is set, else nothing. The flags and SRB_PostProc are read
// before finalStatus is stored, and the block is not read after that store,
// since a polling caller may reuse it as soon as it sees a final status.
// srb must be an SRB_ExecSCSICmd or an SRB_BusDeviceReset.
void PostCompletion(void* srb, BYTE finalStatus);

static_assert(sizeof(SRB_Header) == 8, "SRB_Header size");
static_assert(offsetof(SRB_Header, SRB_Cmd) == 0, "");
static_assert(offsetof(SRB_Header, SRB_Status) == 1, "");
static_assert(offsetof(SRB_Header, SRB_HaId) == 2, "");
static_assert(offsetof(SRB_Header, SRB_Flags) == 3, "");
static_assert(offsetof(SRB_Header, SRB_Hdr_Rsvd) == 4, "");

static_assert(sizeof(SRB_HAInquiry) == 60, "SRB_HAInquiry size");
static_assert(offsetof(SRB_HAInquiry, SRB_Cmd) == 0, "");
static_assert(offsetof(SRB_HAInquiry, SRB_Status) == 1, "");
static_assert(offsetof(SRB_HAInquiry, SRB_HaId) == 2, "");
static_assert(offsetof(SRB_HAInquiry, SRB_Flags) == 3, "");
static_assert(offsetof(SRB_HAInquiry, SRB_Hdr_Rsvd) == 4, "");
static_assert(offsetof(SRB_HAInquiry, HA_Count) == 8, "");
static_assert(offsetof(SRB_HAInquiry, HA_SCSI_ID) == 9, "");
static_assert(offsetof(SRB_HAInquiry, HA_ManagerId) == 10, "");
static_assert(offsetof(SRB_HAInquiry, HA_Identifier) == 26, "");
static_assert(offsetof(SRB_HAInquiry, HA_Unique) == 42, "");
static_assert(offsetof(SRB_HAInquiry, HA_Rsvd1) == 58, "");

static_assert(sizeof(SRB_GDEVBlock) == 12, "SRB_GDEVBlock size");
static_assert(offsetof(SRB_GDEVBlock, SRB_Cmd) == 0, "");
static_assert(offsetof(SRB_GDEVBlock, SRB_Status) == 1, "");
static_assert(offsetof(SRB_GDEVBlock, SRB_HaId) == 2, "");
static_assert(offsetof(SRB_GDEVBlock, SRB_Flags) == 3, "");
static_assert(offsetof(SRB_GDEVBlock, SRB_Hdr_Rsvd) == 4, "");
static_assert(offsetof(SRB_GDEVBlock, SRB_Target) == 8, "");
static_assert(offsetof(SRB_GDEVBlock, SRB_Lun) == 9, "");
static_assert(offsetof(SRB_GDEVBlock, SRB_DeviceType) == 10, "");
static_assert(offsetof(SRB_GDEVBlock, SRB_Rsvd1) == 11, "");

// The fields take 64 bytes; the sense area that follows is the caller's,
// SRB_SenseLen bytes long whatever the declared type holds.
static_assert(SRB_EXEC_HEADER_LEN == 64, "SRB_ExecSCSICmd fields");
static_assert(sizeof(SRB_ExecSCSICmd) == 64 + SRB_EXEC_SENSE_ROOM, "SRB_ExecSCSICmd size");
static_assert(SRB_EXEC_SENSE_ROOM >= SENSE_LEN, "the customary sense length fits");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Cmd) == 0, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Status) == 1, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_HaId) == 2, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Flags) == 3, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Hdr_Rsvd) == 4, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Target) == 8, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Lun) == 9, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Rsvd1) == 10, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 12, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 20, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_CDBLen) == 21, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_HaStat) == 22, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_TargStat) == 23, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 24, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Rsvd2) == 28, "");
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 48, "");
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 64, "");

static_assert(sizeof(SRB_Abort) == 12, "SRB_Abort size");
static_assert(offsetof(SRB_Abort, SRB_Cmd) == 0, "");
static_assert(offsetof(SRB_Abort, SRB_Status) == 1, "");
static_assert(offsetof(SRB_Abort, SRB_HaId) == 2, "");
static_assert(offsetof(SRB_Abort, SRB_Flags) == 3, "");
static_assert(offsetof(SRB_Abort, SRB_Hdr_Rsvd) == 4, "");
static_assert(offsetof(SRB_Abort, SRB_ToAbort) == 8, "");

static_assert(sizeof(SRB_BusDeviceReset) == 64, "SRB_BusDeviceReset size");
static_assert(offsetof(SRB_BusDeviceReset, SRB_Cmd) == 0, "");
static_assert(offsetof(SRB_BusDeviceReset, SRB_Status) == 1, "");
static_assert(offsetof(SRB_BusDeviceReset, SRB_HaId) == 2, "");
static_assert(offsetof(SRB_BusDeviceReset, SRB_Flags) == 3, "");
static_assert(offsetof(SRB_BusDeviceReset, SRB_Hdr_Rsvd) == 4, "");
static_assert(offsetof(SRB_BusDeviceReset, SRB_Target) == 8, "");
static_assert(offsetof(SRB_BusDeviceReset, SRB_Lun) == 9, "");
static_assert(offsetof(SRB_BusDeviceReset, SRB_Rsvd1) == 10, "");
static_assert(offsetof(SRB_BusDeviceReset, SRB_HaStat) == 22, "");
static_assert(offsetof(SRB_BusDeviceReset, SRB_TargStat) == 23, "");
static_assert(offsetof(SRB_BusDeviceReset, SRB_PostProc) == 24, "");
static_assert(offsetof(SRB_BusDeviceReset, SRB_Rsvd2) == 28, "");

// PostCompletion reads both posting layouts at the same offsets.
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) ==
                  offsetof(SRB_BusDeviceReset, SRB_PostProc), "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Flags) == offsetof(SRB_BusDeviceReset, SRB_Flags),
              "");

#endif
