/* ptaspi32.h: what an application needs to use ptaspi32.dll through the
 * ASPI for Win32 interface: the request block layouts, the command, status
 * and flag codes, and the two exported functions. Include <windows.h> first
 * or let this header do it. Every block is byte-packed, little-endian, with
 * 32-bit pointers and handles. */
#ifndef PTASPI32_H
#define PTASPI32_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Command codes (SRB_Cmd). */
#define SC_HA_INQUIRY 0x00
#define SC_GET_DEV_TYPE 0x01
#define SC_EXEC_SCSI_CMD 0x02
#define SC_ABORT_SRB 0x03
#define SC_RESET_DEV 0x04

/* Status values (SRB_Status, and the low byte of SendASPI32Command's result). */
#define SS_PENDING 0x00
#define SS_COMP 0x01
#define SS_ABORTED 0x02
#define SS_ERR 0x04
#define SS_INVALID_HA 0x81
#define SS_NO_DEVICE 0x82
#define SS_INVALID_SRB 0xE0
#define SS_ILLEGAL_MODE 0xE2
#define SS_BUFFER_TO_BIG 0xE6

/* Host adapter status values (SRB_HaStat). */
#define HASTAT_OK 0x00
#define HASTAT_SEL_TO 0x11

/* SRB_Flags bits. Only SRB_POSTING, SRB_DIR_IN and SRB_EVENT_NOTIFY are read
 * by this library; a request without SRB_DIR_IN is sent as data-out. */
#define SRB_POSTING 0x01
#define SRB_ENABLE_RESIDUAL_COUNT 0x04
#define SRB_DIR_IN 0x08
#define SRB_DIR_OUT 0x10
#define SRB_EVENT_NOTIFY 0x40

#pragma pack(push, 1)

typedef struct {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
} SRB_Header;

typedef struct {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE HA_Count;
    BYTE HA_SCSI_ID;
    BYTE HA_ManagerId[16];
    BYTE HA_Identifier[16];
    BYTE HA_Unique[16];
    WORD HA_Rsvd1;
} SRB_HAInquiry;

typedef struct {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE SRB_Target;
    BYTE SRB_Lun;
    BYTE SRB_DeviceType;
    BYTE SRB_Rsvd1;
} SRB_GDEVBlock;

/* The sense length most programs ask for in SRB_SenseLen (the fixed-format
 * sense data up to its sense key specific bytes). */
#define SENSE_LEN 14

/* The execute block's fields take 64 bytes (SRB_EXEC_HEADER_LEN); the sense
 * area follows them directly, at SenseArea, and the library writes exactly
 * SRB_SenseLen bytes there. As declared here the area holds SENSE_LEN bytes
 * and two more (the block is 80 bytes), so a block of this type may ask
 * for up to SRB_EXEC_SENSE_ROOM bytes; a program that wants more sense
 * data (up to 255 bytes) declares a larger block that begins with this one
 * and has room for SRB_SenseLen bytes after offset 64. */
#define SRB_EXEC_HEADER_LEN 64
#define SRB_EXEC_SENSE_ROOM (SENSE_LEN + 2)
typedef struct {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE SRB_Target;
    BYTE SRB_Lun;
    WORD SRB_Rsvd1;
    DWORD SRB_BufLen;
    BYTE* SRB_BufPointer;
    BYTE SRB_SenseLen;
    BYTE SRB_CDBLen;
    BYTE SRB_HaStat;
    BYTE SRB_TargStat;
    LPVOID SRB_PostProc;
    BYTE SRB_Rsvd2[20];
    BYTE CDBByte[16];
    BYTE SenseArea[SRB_EXEC_SENSE_ROOM];
} SRB_ExecSCSICmd;

typedef struct {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    LPVOID SRB_ToAbort;
} SRB_Abort;

typedef struct {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE SRB_Target;
    BYTE SRB_Lun;
    BYTE SRB_Rsvd1[12];
    BYTE SRB_HaStat;
    BYTE SRB_TargStat;
    LPVOID SRB_PostProc;
    BYTE SRB_Rsvd2[36];
} SRB_BusDeviceReset;

#pragma pack(pop)

/* The layouts as the library reads them, checked wherever this header is
 * compiled (C11 or C++11 and later). */
#if (defined(__cplusplus) && __cplusplus >= 201103L) || \
    (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L)
#ifdef __cplusplus
#define PTASPI32_ASSERT(condition, text) static_assert(condition, text)
#else
#define PTASPI32_ASSERT(condition, text) _Static_assert(condition, text)
#endif
#include <stddef.h>
PTASPI32_ASSERT(sizeof(SRB_HAInquiry) == 60, "SRB_HAInquiry is 60 bytes");
PTASPI32_ASSERT(offsetof(SRB_HAInquiry, HA_Identifier) == 26, "HA_Identifier at 26");
PTASPI32_ASSERT(offsetof(SRB_HAInquiry, HA_Unique) == 42, "HA_Unique at 42");
PTASPI32_ASSERT(sizeof(SRB_GDEVBlock) == 12, "SRB_GDEVBlock is 12 bytes");
PTASPI32_ASSERT(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 12, "SRB_BufLen at 12");
PTASPI32_ASSERT(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16, "SRB_BufPointer at 16");
PTASPI32_ASSERT(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 20, "SRB_SenseLen at 20");
PTASPI32_ASSERT(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 24, "SRB_PostProc at 24");
PTASPI32_ASSERT(offsetof(SRB_ExecSCSICmd, CDBByte) == 48, "CDBByte at 48");
PTASPI32_ASSERT(offsetof(SRB_ExecSCSICmd, SenseArea) == SRB_EXEC_HEADER_LEN, "SenseArea at 64");
PTASPI32_ASSERT(sizeof(SRB_ExecSCSICmd) == SRB_EXEC_HEADER_LEN + SRB_EXEC_SENSE_ROOM,
                "SRB_ExecSCSICmd is 80 bytes");
PTASPI32_ASSERT(sizeof(SRB_Abort) == 12, "SRB_Abort is 12 bytes");
PTASPI32_ASSERT(sizeof(SRB_BusDeviceReset) == 64, "SRB_BusDeviceReset is 64 bytes");
#undef PTASPI32_ASSERT
#endif

/* A post routine receives the completed block's address; the caller of the
 * routine removes the argument (cdecl). */
typedef void(__cdecl* ASPI_POST_ROUTINE)(void* srb);

/* Returns SS_COMP in bits 8-15 and the number of host adapters in bits 0-7. */
DWORD __cdecl GetASPI32SupportInfo(void);
/* Returns the request block's SRB_Status after acting on it, zero-extended. */
DWORD __cdecl SendASPI32Command(void* srb);

typedef DWORD(__cdecl* GETASPI32SUPPORTINFO)(void);
typedef DWORD(__cdecl* SENDASPI32COMMAND)(void* srb);

#ifdef __cplusplus
}
#endif

#endif
