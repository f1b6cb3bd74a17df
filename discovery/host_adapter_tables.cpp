// The host adapter tables themselves, apart from the scan that fills them,
// so that code which only reads them need not bring the scan along.
#include "discovery/host_adapters.h"

PortInfo PortTable[MaxPorts];
LONG PortCount;
AdapterMapEntry AdapterMap[MaxAdapters];
LONG AdapterCount;
