#include "sim/machine/live_machine.h"

#include "sim/sim.h"
#include "sim/kernel/threads.h"
#include "sim/units/iscsi_session.h"

#include "platform/scsi_port.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/registry/registry.h"

namespace sim {
namespace {

struct MachineState {
    std::mutex Lock;
    std::shared_ptr<LiveMachine> Current;
    BackendFactory Factory;
};

// Returns the one machine state of the process.
MachineState& State() {
    static MachineState* state = new MachineState;  // outlives every thread
    return *state;
}

// Returns the units of `machine` that execute commands, for releasing them.
std::vector<std::shared_ptr<LiveUnit>> UnitsOf(const std::shared_ptr<LiveMachine>& machine) {
    if (!machine) return {};
    return machine->Units;
}

// Returns nothing: ends every hang in the units, so their callers return.
void ReleaseUnits(const std::vector<std::shared_ptr<LiveUnit>>& units) {
    for (const auto& unit : units) {
        if (unit->Backend) unit->Backend->Release();
    }
}

// Returns the previous machine after marking it ended, so that handles to
// its devices stop working; the caller drops it outside the lock.
std::shared_ptr<LiveMachine> TakeCurrent(std::shared_ptr<LiveMachine> replacement) {
    MachineState& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    std::shared_ptr<LiveMachine> old = std::move(state.Current);
    if (old) old->Ended = true;
    state.Current = std::move(replacement);
    return old;
}

// Returns nothing: writes `text` into a field of `width`, padded with
// spaces as INQUIRY data pads its texts.
void CopyPadded(uint8_t* to, size_t width, const std::string& text) {
    memset(to, ' ', width);
    memcpy(to, text.data(), text.size() < width ? text.size() : width);
}

// Returns nothing: stores a little-endian 32-bit value at `at`.
void PutUlong(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    bytes[at] = static_cast<uint8_t>(value);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
    bytes[at + 2] = static_cast<uint8_t>(value >> 16);
    bytes[at + 3] = static_cast<uint8_t>(value >> 24);
}

// Returns `value` rounded up to a multiple of 4, where the port driver
// starts each record.
size_t AlignUp4(size_t value) { return (value + 3) & ~static_cast<size_t>(3); }

// Returns the LUNs of the units at `target` on `bus`, ascending and each
// once.
std::vector<uint8_t> TargetLuns(const BusConfig& bus, uint8_t target) {
    std::vector<uint8_t> luns;
    for (const UnitConfig& unit : bus.units) {
        if (unit.target == target) luns.push_back(unit.lun);
    }
    std::sort(luns.begin(), luns.end());
    luns.erase(std::unique(luns.begin(), luns.end()), luns.end());
    return luns;
}

}  // namespace

std::mutex& MachineLock() { return State().Lock; }

std::shared_ptr<LiveMachine> CurrentMachineLocked() { return State().Current; }

std::string LowerDeviceName(const std::string& name) {
    std::string lower = name;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

std::vector<uint8_t> StandardInquiryData(const InquiryConfig& inquiry) {
    std::vector<uint8_t> data(StandardInquiryLength, 0);
    data[0] = inquiry.peripheral;
    data[1] = inquiry.removable ? 0x80 : 0x00;
    data[2] = 0x05;  // the version of the command set standard claimed
    data[3] = 0x02;  // response data format 2
    data[4] = static_cast<uint8_t>(StandardInquiryLength - 5);  // additional length
    CopyPadded(&data[8], 8, inquiry.vendor);
    CopyPadded(&data[16], 16, inquiry.product);
    CopyPadded(&data[32], 4, inquiry.revision);
    return data;
}

std::vector<uint8_t> BuildInquiryData(const PortConfig& port) {
    // PathId and NumberOfBuses are bytes: buses past 255 cannot be named.
    const size_t buses = port.buses.size() < 255 ? port.buses.size() : 255;
    const size_t busDataAt = offsetof(SCSI_ADAPTER_BUS_INFO, BusData);
    size_t size = AlignUp4(busDataAt + buses * sizeof(SCSI_BUS_DATA));
    // NT's port driver gives each record sizeof(SCSI_INQUIRY_DATA) - 1 bytes
    // of its own (the structure's one-byte InquiryData array counted out)
    // plus the inquiry data, and starts the next on a 4-byte boundary: 52
    // bytes for 36 bytes of data, the last 4 of them padding.
    const size_t recordSize = AlignUp4(sizeof(SCSI_INQUIRY_DATA) - 1 + StandardInquiryLength);
    for (size_t b = 0; b < buses; ++b) size += port.buses[b].units.size() * recordSize;

    std::vector<uint8_t> bytes(size, 0);
    bytes[0] = static_cast<uint8_t>(buses);
    size_t next = AlignUp4(busDataAt + buses * sizeof(SCSI_BUS_DATA));
    for (size_t b = 0; b < buses; ++b) {
        const BusConfig& bus = port.buses[b];
        const size_t busAt = busDataAt + b * sizeof(SCSI_BUS_DATA);
        const size_t count = bus.units.size();
        bytes[busAt + offsetof(SCSI_BUS_DATA, NumberOfLogicalUnits)] =
            static_cast<uint8_t>(count < 255 ? count : 255);
        bytes[busAt + offsetof(SCSI_BUS_DATA, InitiatorBusId)] =
            bus.initiatorId ? static_cast<uint8_t>(*bus.initiatorId & 0xFF) : 0xFF;
        PutUlong(bytes, busAt + offsetof(SCSI_BUS_DATA, InquiryDataOffset),
                 count == 0 ? 0 : static_cast<uint32_t>(next));
        for (size_t u = 0; u < count; ++u) {
            const UnitConfig& unit = bus.units[u];
            const size_t at = next;
            next += recordSize;
            bytes[at + offsetof(SCSI_INQUIRY_DATA, PathId)] = static_cast<uint8_t>(b);
            bytes[at + offsetof(SCSI_INQUIRY_DATA, TargetId)] = unit.target;
            bytes[at + offsetof(SCSI_INQUIRY_DATA, Lun)] = unit.lun;
            bytes[at + offsetof(SCSI_INQUIRY_DATA, DeviceClaimed)] = unit.claimed ? 1 : 0;
            PutUlong(bytes, at + offsetof(SCSI_INQUIRY_DATA, InquiryDataLength),
                     StandardInquiryLength);
            PutUlong(bytes, at + offsetof(SCSI_INQUIRY_DATA, NextInquiryDataOffset),
                     u + 1 < count ? static_cast<uint32_t>(next) : 0);
            const std::vector<uint8_t> inquiry =
                unit.inquiryData.empty() ? StandardInquiryData(unit.inquiry) : unit.inquiryData;
            memcpy(&bytes[at + ScsiInquiryRecordHeaderLength], inquiry.data(), inquiry.size());
        }
    }
    return bytes;
}

void AdoptRealInquiry(const std::vector<uint8_t>& real, UnitConfig& unit) {
    std::vector<uint8_t> data = real;
    data.resize(StandardInquiryLength, 0);
    InquiryConfig& inquiry = unit.inquiry;
    if (!inquiry.given.peripheral) inquiry.peripheral = data[0];
    if (!inquiry.given.removable) inquiry.removable = (data[1] & 0x80) != 0;
    if (!inquiry.given.vendor) inquiry.vendor.assign(data.begin() + 8, data.begin() + 16);
    if (!inquiry.given.product) inquiry.product.assign(data.begin() + 16, data.begin() + 32);
    if (!inquiry.given.revision) inquiry.revision.assign(data.begin() + 32, data.begin() + 36);
    if (!unit.claimedGiven) unit.claimed = units::ClaimedByClassDriver(inquiry.peripheral);
    data[0] = inquiry.peripheral;
    data[1] = static_cast<uint8_t>((data[1] & 0x7F) | (inquiry.removable ? 0x80 : 0x00));
    CopyPadded(&data[8], 8, inquiry.vendor);
    CopyPadded(&data[16], 16, inquiry.product);
    CopyPadded(&data[32], 4, inquiry.revision);
    unit.inquiryData = std::move(data);
}

std::shared_ptr<LiveUnit> FindUnitLocked(const LiveMachine& machine, int port, int bus,
                                         int target, int lun) {
    for (const auto& unit : machine.Units) {
        if (unit->Port == port && unit->Bus == bus && unit->Config.target == target &&
            unit->Config.lun == lun) {
            return unit;
        }
    }
    return nullptr;
}

void SetBackendFactoryForTesting(BackendFactory factory) {
    MachineState& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Factory = std::move(factory);
}

// Returns false, with the running machine unchanged, when a unit's backend
// cannot be built; the message names the unit's place in the machine.
bool InstallMachine(const Machine& machine, std::string& error) {
    BackendFactory factory;
    {
        std::lock_guard<std::mutex> guard(State().Lock);
        factory = State().Factory;
    }
    // Every backend is built before anything changes, so that a machine
    // that cannot be built leaves the running one as it was.
    auto live = std::make_shared<LiveMachine>();
    live->Config = machine;
    for (size_t p = 0; p < machine.ports.size(); ++p) {
        const PortConfig& port = machine.ports[p];
        for (size_t b = 0; b < port.buses.size(); ++b) {
            const BusConfig& bus = port.buses[b];
            for (size_t u = 0; u < bus.units.size(); ++u) {
                auto unit = std::make_shared<LiveUnit>();
                unit->Config = bus.units[u];
                unit->Config.targetLuns = TargetLuns(bus, unit->Config.target);
                unit->Port = static_cast<int>(p);
                unit->Bus = static_cast<int>(b);
                std::string why;
                unit->Backend = factory ? factory(unit->Config, why) : CreateBackend(unit->Config, why);
                char where[96];
                snprintf(where, sizeof where, "ports[%zu].buses[%zu].units[%zu]: ", p, b, u);
                if (!unit->Backend) {
                    error = where + (why.empty() ? std::string("backend not built") : why);
                    return false;
                }
                // A real unit's identity fills what the file left out,
                // before the registry and the port's inquiry answer use it.
                if (const std::vector<uint8_t>* real = unit->Backend->RealInquiry()) {
                    // Only the CD-ROM class driver gives a unit a drive letter.
                    const uint8_t type = real->empty() ? 0x1F : (*real)[0] & 0x1F;
                    if (unit->Config.drive && !IsCdRomPeripheral(type)) {
                        error = where + ("drive " + std::string(1, *unit->Config.drive) +
                                         ": the unit is no CD-ROM (it reports peripheral device "
                                         "type " + std::to_string(type) + ")");
                        return false;
                    }
                    if (unit->Config.exclusiveLock && !IsCdRomPeripheral(type)) {
                        error = where + ("exclusive_lock: the unit is no CD-ROM (it reports "
                                         "peripheral device type " + std::to_string(type) + ")");
                        return false;
                    }
                    AdoptRealInquiry(*real, unit->Config);
                    live->Config.ports[p].buses[b].units[u] = unit->Config;
                }
                live->Units.push_back(std::move(unit));
            }
        }
    }
    std::shared_ptr<LiveMachine> old = TakeCurrent(live);
    ReleaseUnits(UnitsOf(old));
    BuildRegistry(live->Config);
    error.clear();
    return true;  // `old` dies here, outside the lock
}

void InstallDefaultMachine() {
    std::string error;
    if (!InstallMachine(DefaultMachine(), error)) {
        fprintf(stderr, "the default machine cannot be installed: %s\n", error.c_str());
        abort();
    }
}

void UninstallMachine() {
    std::shared_ptr<LiveMachine> old = TakeCurrent(nullptr);
    ReleaseUnits(UnitsOf(old));
    ClearRegistry();
}

void RemoveDevice(const std::string& name) {
    std::lock_guard<std::mutex> guard(State().Lock);
    if (State().Current) State().Current->Removed.insert(LowerDeviceName(name));
}

size_t HangingCommandCount() {
    std::vector<std::shared_ptr<LiveUnit>> units;
    {
        std::lock_guard<std::mutex> guard(State().Lock);
        units = UnitsOf(State().Current);
    }
    size_t count = 0;
    for (const auto& unit : units) {
        if (unit->Backend) count += unit->Backend->HangingCommands();
    }
    return count;
}

void ReleaseHangs() {
    std::vector<std::shared_ptr<LiveUnit>> units;
    {
        std::lock_guard<std::mutex> guard(State().Lock);
        units = UnitsOf(State().Current);
    }
    ReleaseUnits(units);
}

}  // namespace sim
