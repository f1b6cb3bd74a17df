// The running machine: what InstallMachine builds from a Machine. It owns
// the units with their backends and answers the device namespace's
// questions (which device a name reaches, who holds it open). Every piece
// of its state is guarded by MachineLock(); units execute commands outside
// that lock, one command at a time per unit.
#ifndef PTASPI_SIM_LIVE_MACHINE_H
#define PTASPI_SIM_LIVE_MACHINE_H

#include "sim/kernel/dispatcher.h"
#include "sim/machine/machine.h"
#include "sim/units/unit.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace sim {

struct ThreadRecord;

// One logical unit of the running machine.
struct LiveUnit {
    UnitConfig Config;
    int Port = 0;
    int Bus = 0;
    std::unique_ptr<UnitBackend> Backend;
    // True while a command executes on the unit, with the thread that runs
    // it; guarded by StateLock(), so that a caller waiting for the unit
    // waits as every simulated wait does. A terminated holder's command is
    // cancelled, as NT cancels a thread's I/O when it ends, and frees the unit.
    bool Busy = false;
    std::shared_ptr<ThreadRecord> Holder;
    WaitQueue ClaimWaiters;  // callers waiting for the unit, woken when it is free
    // The CD-ROM's exclusive access taken through IOCTL_CDROM_EXCLUSIVE_ACCESS
    // by one of this process's files (null: none; the machine's
    // `exclusive_lock` is another program's and never ends), with its caller
    // name; guarded by MachineLock().
    const void* LockHolder = nullptr;
    std::string LockCaller;
    // The media changes the class driver has seen (CHECK VERIFY's count).
    unsigned long MediaChangeCount = 0;
};

// What a device name reaches.
enum class DeviceKind {
    Port,     // \\.\scsiN:
    AspiDrv,  // \\.\aspidrvN
    Unit,     // a unit's class device or drive letter
    Volume,   // a listed drive that no unit declares
};

struct DeviceTarget {
    DeviceKind Kind = DeviceKind::Port;
    int Port = -1;                    // Port, AspiDrv: the port index
    std::shared_ptr<LiveUnit> Unit;   // Unit: the unit reached
    char Letter = 0;                  // Volume: the drive letter
    // Identifies the device for the sharing rules: a unit's class device
    // and its drive letter are one device.
    std::string ShareKey;
};

// The sharing state of one device, as NT keeps it per device.
struct ShareState {
    unsigned OpenCount = 0;
    unsigned Readers = 0;
    unsigned Writers = 0;
    unsigned SharedRead = 0;
    unsigned SharedWrite = 0;
};

struct LiveMachine {
    Machine Config;
    std::vector<std::shared_ptr<LiveUnit>> Units;  // in the machine's order
    std::set<std::string> Removed;                 // lower-case device names
    std::map<std::string, ShareState> Sharing;     // by ShareKey
    bool Ended = false;
};

// The lock that guards the current machine and every LiveMachine's
// Removed, Sharing and Ended. Never held while a unit executes a command.
std::mutex& MachineLock();
// Returns the running machine, or null; call with MachineLock() held.
std::shared_ptr<LiveMachine> CurrentMachineLocked();

// Returns the port driver's IOCTL_SCSI_GET_INQUIRY_DATA answer for the
// port: adapter bus info, one bus data record per bus, then each bus's
// chain of inquiry records with offsets counted from the buffer start.
std::vector<uint8_t> BuildInquiryData(const PortConfig& port);
// Returns the 36 bytes of standard INQUIRY data that the port driver
// reports for a unit.
std::vector<uint8_t> StandardInquiryData(const InquiryConfig& inquiry);

// Returns nothing: fills the inquiry members the file did not give (and
// `claimed`, from the peripheral type, unless given) from a real unit's
// standard INQUIRY data, and stores the data the port driver reports: the
// real bytes with the unit's identity written over them.
void AdoptRealInquiry(const std::vector<uint8_t>& real, UnitConfig& unit);

// Returns the first unit at that address on the port (the one routing
// reaches when two share an address), or null; call with MachineLock().
std::shared_ptr<LiveUnit> FindUnitLocked(const LiveMachine& machine, int port, int bus,
                                         int target, int lun);

// Returns the lower-case form of a device name (ASCII letters only).
std::string LowerDeviceName(const std::string& name);

// Builds backends for InstallMachine; tests without real backends set
// their own. An empty factory restores CreateBackend.
using BackendFactory =
    std::function<std::unique_ptr<UnitBackend>(const UnitConfig& unit, std::string& error)>;
void SetBackendFactoryForTesting(BackendFactory factory);

}  // namespace sim

#endif
