// The host adapter tables themselves, apart from the scan that fills them,
// so that code which only reads them need not bring the scan along.
#include "discovery/host_adapters.h"

PortInfo PortTable[MaxPorts];
LONG PortCount;
AdapterMapEntry AdapterMap[MaxAdapters];
LONG AdapterCount;
PortlessPort PortlessPorts[MaxPortlessPorts];
LONG PortlessPortCount;

const PortInfo* FindPortInfo(int port) {
    for (LONG i = 0; i < PortlessPortCount && i < MaxPortlessPorts; ++i) {
        if (PortlessPorts[i].PortNumber == port) return &PortlessPorts[i].Info;
    }
    if (port < 0 || port >= MaxPorts) return nullptr;
    return &PortTable[port];
}
