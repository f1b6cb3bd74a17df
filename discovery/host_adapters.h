// Host adapters: one PortInfo record per SCSI port, and the AdapterMap that
// numbers the ASPI host adapters (one per recorded bus, atapi ports left
// out). Filled once at load by ScanHostAdapters, read-only afterwards.
#ifndef PTASPI_DISCOVERY_HOST_ADAPTERS_H
#define PTASPI_DISCOVERY_HOST_ADAPTERS_H

#include "platform/platform.h"
#include "platform/scsi_port.h"

constexpr int MaxPorts = 10;
constexpr int MaxBusesPerPort = 4;
// Host adapters of ports without a port device (drives that only class
// devices reach, below) come after those of the scanned ports.
constexpr int MaxPortlessPorts = 8;
constexpr int MaxPortlessAdapters = 8;
constexpr int MaxAdapters = MaxPorts * MaxBusesPerPort + MaxPortlessAdapters;
constexpr int IdentifierLength = 16;  // the text and its NUL

struct PortInfo {
    BYTE BusCount;
    BYTE MaxTargets;
    BYTE InitiatorId[MaxBusesPerPort];
    char Identifier[MaxBusesPerPort][IdentifierLength];
    IO_SCSI_CAPABILITIES Capabilities;
};

struct AdapterMapEntry {
    BYTE PortNumber;
    BYTE PathId;
};

extern PortInfo PortTable[MaxPorts];
extern LONG PortCount;
extern AdapterMapEntry AdapterMap[MaxAdapters];
extern LONG AdapterCount;

// A port that has no port device and no device map key, whose units only
// their class devices and drive letters report (USB mass storage drives).
// Its record is filled from those devices' storage property answers;
// BusesSeen has bit B set for each bus B that one of its units is on.
struct PortlessPort {
    BYTE PortNumber;
    BYTE BusesSeen;
    BYTE HasLimits;  // an adapter descriptor gave Info.Capabilities
    PortInfo Info;
};

extern PortlessPort PortlessPorts[MaxPortlessPorts];
extern LONG PortlessPortCount;

// Returns the record of port `port`: a port without a port device's, else
// the port table's; null for a number beyond both.
const PortInfo* FindPortInfo(int port);

// Returns nothing: fills PortTable, PortCount, AdapterMap and AdapterCount
// from the port devices and the registry's SCSI device map.
void ScanHostAdapters();

// Returns nothing: stores in name (nameSize bytes, at least 1) the driver
// name that an "ImagePath" text gives: the part after its last backslash,
// up to the first dot, cut to nameSize - 1 characters and a NUL.
void DriverNameFromImagePath(const char* imagePath, char* name, size_t nameSize);

// Returns the low 8 bits of the number written after a subkey name's
// prefix and one separator ("Target Id 9" gives 9), or 0 when the name,
// nameLength characters long, has nothing after the prefix.
BYTE IdAfterPrefix(const char* name, size_t nameLength, size_t prefixLength);

#endif
