// The checks of the library as a whole: support information, each host
// adapter's inquiry, requests it must refuse, and the device type of every
// address on every adapter.
#include "check.h"

#include "../output.h"
#include "check_requests.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace aspitool {
namespace {

const uint8_t Fill = 0xA5;  // what the blocks hold before a call

// A command code far above those the interface defines (0x00-0x04) and
// above those its later revisions add (0x05-0x08, setting host adapter
// parameters among them), so that no library acts on it.
const uint8_t UndefinedCommand = 0x7F;

// Returns "0x%08X".
std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

// Returns the empty text when every byte of `block` but the status byte is
// as in `before`; otherwise the first offset that changed.
std::string ChangedBytes(const uint8_t* before, const uint8_t* block, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (i != 1 && block[i] != before[i]) {
            return "byte " + std::to_string(i) + " changed from " + std::to_string(before[i]) +
                   " to " + std::to_string(block[i]);
        }
    }
    return std::string();
}

// Returns nothing; sends a block filled with Fill, command `command` and
// host adapter `ha`, and checks that it is refused with `expected` and
// left alone otherwise.
void CheckRefused(const Session& session, uint8_t command, uint8_t ha, uint8_t expected,
                  CheckOutcome& outcome) {
    uint8_t block[64];
    std::memset(block, Fill, sizeof block);
    block[0] = command;
    block[2] = ha;
    block[1] = 0x33;  // neither a status nor Fill
    uint8_t before[sizeof block];
    std::memcpy(before, block, sizeof block);
    const uint32_t returned = session.library.sendCommand(block);
    const std::string want = "returned and stored " + StatusText(expected) + ", the rest untouched";
    if (returned != expected || block[1] != expected) {
        FailCheck(outcome, want,
                  "returned " + Hex32(returned) + ", stored " + StatusText(block[1]));
        return;
    }
    const std::string changed = ChangedBytes(before, block, sizeof block);
    if (!changed.empty()) FailCheck(outcome, want, changed);
}

// Returns true when `peripheral` names a device type whose commands this
// check knows: no qualifier, type 0 (disk) to 8 (changer).
bool KnownType(uint8_t peripheral) { return (peripheral & 0xE0) == 0 && (peripheral & 0x1F) <= 8; }

// Returns true for the types that READ CAPACITY and READ(10) serve: disk,
// write-once, CD/DVD and optical memory.
bool BlockType(uint8_t peripheral) {
    const uint8_t type = peripheral & 0x1F;
    return type == 0 || type == 4 || type == 5 || type == 7;
}

}  // namespace

void CheckLibrary(CheckRun& run, const UnitAddress* only, std::vector<UnitUnderTest>& units) {
    const Session& session = *run.session;
    // What a check finds is shared with its thread, which may outlive this
    // function when it hangs.
    auto reported = std::make_shared<uint8_t>(0);
    const SystemFacts facts = ReadSystemFacts();
    run.listedUnits = facts.listed;
    PerformCheck(run, "library", "library.support_info", "support information",
                 [&session, reported, facts](const Deadline&, CheckOutcome& outcome) {
        const DWORD support = session.library.getSupportInfo();
        if ((support & 0xFFFF0000u) != 0 || ((support >> 8) & 0xFF) != SS_COMP) {
            FailCheck(outcome, "SS_COMP in bits 8-15, 0 in bits 16-31", Hex32(support));
            return;
        }
        *reported = static_cast<uint8_t>(support & 0xFF);
        outcome.note = std::to_string(*reported) + " host adapter" + (*reported == 1 ? "" : "s");
        outcome.figures.push_back({"device_map_ports", facts.portsListed});
        if (*reported == 0 && facts.portsListed > 0) {
            FailCheck(outcome,
                      "host adapters for the " + std::to_string(facts.portsListed) +
                          " SCSI port" + (facts.portsListed == 1 ? "" : "s") +
                          " that the registry's device map lists and that open",
                      "0 host adapters");
        }
    });
    // A failed check leaves `count` at 0, so nothing below runs; a check
    // that timed out is skipped below it.
    if (!run.stopReason.empty()) return;
    const uint8_t count = *reported;
    if (only != nullptr && only->ha >= count) {
        CheckOutcome outcome;
        FailCheck(outcome, "host adapter " + std::to_string(only->ha),
                  "the library reports " + std::to_string(count));
        AddRecord(run, UnitSubject(*only), "unit.host_adapter", "host adapter", outcome);
        return;
    }
    for (unsigned ha = 0; ha < count; ++ha) {
        if (only != nullptr && only->ha != ha) continue;
        const std::string subject = "ha " + std::to_string(ha);
        auto adapter = std::make_shared<HostAdapterInfo>();
        const CheckOutcome inquiry = PerformCheck(
            run, subject, "ha.inquiry", "host adapter inquiry",
            [&session, adapter, ha, count](const Deadline&, CheckOutcome& outcome) {
                HostAdapterInfo& info = *adapter;
                const uint8_t status = InquireHostAdapter(session.library, static_cast<uint8_t>(ha), info);
                if (status != SS_COMP) {
                    FailCheck(outcome, StatusText(SS_COMP), StatusText(status));
                    return;
                }
                if (info.count != count) {
                    FailCheck(outcome, "HA_Count " + std::to_string(count),
                              "HA_Count " + std::to_string(info.count));
                }
                if ((info.alignmentMask & (info.alignmentMask + 1u)) != 0) {
                    FailCheck(outcome, "an alignment mask one less than a power of two",
                              "alignment mask " + std::to_string(info.alignmentMask));
                }
                if (info.maxTransfer == 0) {
                    FailCheck(outcome, "a maximum transfer length above 0", "0");
                }
                outcome.note = "'" + info.identifier + "', alignment mask " +
                               std::to_string(info.alignmentMask) + ", maximum transfer " +
                               std::to_string(info.maxTransfer) + " bytes, " +
                               std::to_string(info.maxTargets) + " targets";
            });
        if (inquiry.verdict != Verdict::Pass) continue;
        const HostAdapterInfo info = *adapter;
        // A bus never has more than 16 targets, nor an address more than 8
        // logical units that a device-type request can name.
        const unsigned targets = info.maxTargets == 0 || info.maxTargets > 16 ? 16 : info.maxTargets;
        auto unitsFound = std::make_shared<std::vector<UnitUnderTest>>();
        const UnitAddress wanted = only != nullptr ? *only : UnitAddress();
        const bool one = only != nullptr;
        PerformCheck(run, subject, "ha.device_types", "device types",
                     [&session, unitsFound, ha, targets, info, one, wanted](const Deadline&, CheckOutcome& outcome) {
            std::vector<UnitUnderTest>& found = *unitsFound;
            for (unsigned target = 0; target < targets; ++target) {
                for (unsigned lun = 0; lun < 8; ++lun) {
                    UnitUnderTest unit;
                    unit.unit.address = UnitAddress{static_cast<uint8_t>(ha),
                                                    static_cast<uint8_t>(target),
                                                    static_cast<uint8_t>(lun)};
                    if (one && (wanted.target != target || wanted.lun != lun)) continue;
                    const uint8_t status = GetDeviceType(session.library, unit.unit.address,
                                                         unit.unit.deviceType);
                    if (status == SS_NO_DEVICE) continue;
                    if (status != SS_COMP) {
                        FailCheck(outcome, "SS_COMP or SS_NO_DEVICE at " +
                                               FormatAddress(unit.unit.address),
                                  StatusText(status));
                        continue;
                    }
                    unit.unit.adapter = info;
                    unit.known = KnownType(unit.unit.deviceType);
                    unit.blockDevice = unit.known && BlockType(unit.unit.deviceType);
                    found.push_back(unit);
                }
            }
            outcome.note = std::to_string(found.size()) + " unit" + (found.size() == 1 ? "" : "s");
            if (one && found.empty()) {
                FailCheck(outcome, "a unit at " + FormatAddress(wanted), "SS_NO_DEVICE");
            }
        });
        if (run.stopReason.empty()) units.insert(units.end(), unitsFound->begin(), unitsFound->end());
    }
    if (only != nullptr) return;
    PerformCheck(run, "library", "library.invalid_ha", "host adapter past the count",
                 [&session, count](const Deadline&, CheckOutcome& outcome) {
        if (count == 0xFF) {
            SkipCheck(outcome, "255 host adapters leave no number past the count");
            return;
        }
        CheckRefused(session, SC_HA_INQUIRY, count, SS_INVALID_HA, outcome);
    });
    PerformCheck(run, "library", "library.unknown_command", "unknown command code",
                 [&session, count](const Deadline&, CheckOutcome& outcome) {
        if (count == 0) {
            SkipCheck(outcome, "no host adapter to send it to");
            return;
        }
        CheckRefused(session, UndefinedCommand, 0, SS_INVALID_SRB, outcome);
    });
}

}  // namespace aspitool
