// The CD-ROM class driver's own controls on CD-ROM class devices and
// drives: the table of contents, the drive's configuration, the medium's
// presence and changes, eject, load and removal prevention. Each sends the
// unit the MMC command the class driver sends and maps the outcome to the
// status Microsoft documents; the structures are laid out as ntddcdrm.h
// and ntddstor.h declare them for 32-bit Windows and checked below.
#ifndef PTASPI_SIM_DEVICES_CDROM_CONTROLS_H
#define PTASPI_SIM_DEVICES_CDROM_CONTROLS_H

#include "sim/devices/device_files.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace sim {

// CTL_CODE(device type, function, METHOD_BUFFERED, access).
constexpr DWORD ClassControlCode(DWORD deviceType, DWORD function, DWORD access) {
    return (deviceType << 16) | (access << 14) | (function << 2);
}
constexpr DWORD FileDeviceCdRom = 0x02;
constexpr DWORD StorageBase = 0x2D;
constexpr DWORD FileAnyAccess = 0;
constexpr DWORD FileReadAccess = 1;

constexpr DWORD IOCTL_CDROM_READ_TOC = ClassControlCode(FileDeviceCdRom, 0x0000, FileReadAccess);
constexpr DWORD IOCTL_CDROM_READ_TOC_EX = ClassControlCode(FileDeviceCdRom, 0x0015, FileReadAccess);
constexpr DWORD IOCTL_CDROM_GET_CONFIGURATION =
    ClassControlCode(FileDeviceCdRom, 0x0016, FileReadAccess);
constexpr DWORD IOCTL_CDROM_CHECK_VERIFY = ClassControlCode(FileDeviceCdRom, 0x0200, FileReadAccess);
constexpr DWORD IOCTL_CDROM_MEDIA_REMOVAL = ClassControlCode(FileDeviceCdRom, 0x0201, FileReadAccess);
constexpr DWORD IOCTL_CDROM_EJECT_MEDIA = ClassControlCode(FileDeviceCdRom, 0x0202, FileReadAccess);
constexpr DWORD IOCTL_CDROM_LOAD_MEDIA = ClassControlCode(FileDeviceCdRom, 0x0203, FileReadAccess);
constexpr DWORD IOCTL_STORAGE_CHECK_VERIFY = ClassControlCode(StorageBase, 0x0200, FileReadAccess);
constexpr DWORD IOCTL_STORAGE_CHECK_VERIFY2 = ClassControlCode(StorageBase, 0x0200, FileAnyAccess);
constexpr DWORD IOCTL_STORAGE_MEDIA_REMOVAL = ClassControlCode(StorageBase, 0x0201, FileReadAccess);
constexpr DWORD IOCTL_STORAGE_EJECT_MEDIA = ClassControlCode(StorageBase, 0x0202, FileReadAccess);
constexpr DWORD IOCTL_STORAGE_LOAD_MEDIA = ClassControlCode(StorageBase, 0x0203, FileReadAccess);
constexpr DWORD IOCTL_STORAGE_LOAD_MEDIA2 = ClassControlCode(StorageBase, 0x0203, FileAnyAccess);
static_assert(IOCTL_CDROM_READ_TOC == 0x24000, "IOCTL_CDROM_READ_TOC");
static_assert(IOCTL_CDROM_READ_TOC_EX == 0x24054, "IOCTL_CDROM_READ_TOC_EX");
static_assert(IOCTL_CDROM_GET_CONFIGURATION == 0x24058, "IOCTL_CDROM_GET_CONFIGURATION");
static_assert(IOCTL_CDROM_CHECK_VERIFY == 0x24800, "IOCTL_CDROM_CHECK_VERIFY");
static_assert(IOCTL_STORAGE_CHECK_VERIFY == 0x2D4800, "IOCTL_STORAGE_CHECK_VERIFY");
static_assert(IOCTL_STORAGE_CHECK_VERIFY2 == 0x2D0800, "IOCTL_STORAGE_CHECK_VERIFY2");
static_assert(IOCTL_STORAGE_MEDIA_REMOVAL == 0x2D4804, "IOCTL_STORAGE_MEDIA_REMOVAL");
static_assert(IOCTL_STORAGE_EJECT_MEDIA == 0x2D4808, "IOCTL_STORAGE_EJECT_MEDIA");
static_assert(IOCTL_STORAGE_LOAD_MEDIA == 0x2D480C, "IOCTL_STORAGE_LOAD_MEDIA");

constexpr size_t MaximumNumberTracks = 100;

struct TRACK_DATA {
    UCHAR Reserved;
    UCHAR ControlAdr;  // Control in the low nibble, Adr in the high one
    UCHAR TrackNumber;
    UCHAR Reserved1;
    UCHAR Address[4];
};
static_assert(sizeof(TRACK_DATA) == 8, "TRACK_DATA");

struct CDROM_TOC {
    UCHAR Length[2];
    UCHAR FirstTrack;
    UCHAR LastTrack;
    TRACK_DATA TrackData[MaximumNumberTracks];
};
static_assert(sizeof(CDROM_TOC) == 804, "CDROM_TOC");
static_assert(offsetof(CDROM_TOC, TrackData) == 4, "CDROM_TOC.TrackData");

struct CDROM_READ_TOC_EX {
    UCHAR FormatMsf;  // Format in bits 0-3, Msf in bit 7
    UCHAR SessionTrack;
    UCHAR Reserved2;
    UCHAR Reserved3;
};
static_assert(sizeof(CDROM_READ_TOC_EX) == 4, "CDROM_READ_TOC_EX");
constexpr DWORD MinimumCdromReadTocExSize = 2;

// GET_CONFIGURATION_IOCTL_INPUT of a 32-bit process: the feature, the
// request type and two reserved pointers.
struct GET_CONFIGURATION_IOCTL_INPUT {
    DWORD Feature;
    DWORD RequestType;
    DWORD Reserved[2];
};
static_assert(sizeof(GET_CONFIGURATION_IOCTL_INPUT) == 16, "GET_CONFIGURATION_IOCTL_INPUT");
static_assert(offsetof(GET_CONFIGURATION_IOCTL_INPUT, RequestType) == 4, "RequestType");
constexpr DWORD GetConfigurationHeaderSize = 8;

// Returns true when `code` is one of the CD-ROM class controls and `file`
// is a CD-ROM class device or drive, which then answers it.
bool IsCdRomClassControl(const DeviceFile& file, DWORD code);

// Returns 0 or the error of the CD-ROM class control `code`, with the
// bytes to copy back in `information`.
DWORD CdRomClassControl(const DeviceFile& file, DWORD code, uint8_t* system, DWORD inputLength,
                        DWORD outputLength, DWORD& information);

}  // namespace sim

#endif
