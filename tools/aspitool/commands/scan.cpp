// aspitool scan: the support information, every host adapter and every
// unit that answers a device-type request, with its INQUIRY identity.
#include "commands.h"

#include "../output.h"
#include "../registry_calls.h"
#include "../release.h"

#include <cstdio>
#include <vector>

namespace aspitool {
namespace {

struct ScannedUnit {
    uint8_t target = 0;
    uint8_t lun = 0;
    uint8_t type = 0;
    bool identified = false;     // INQUIRY completed with SS_COMP
    std::string vendor, product, revision;
    ExecResult inquiry;
    std::string failure;         // why INQUIRY gave no identity
};

struct ScannedAdapter {
    uint8_t ha = 0;
    uint8_t status = SS_PENDING;
    HostAdapterInfo info;
    std::vector<ScannedUnit> units;
};

// Returns why INQUIRY of a unit that answered its device-type request
// failed, in a line's room: the statuses and, where the interface leaves
// the user guessing, what they mean.
std::string ScanFailureText(const Session& session, const Unit& unit, const ExecResult& result) {
    const std::string status = NamedValue(AspiStatusName(result.status), result.status);
    if (result.status == SS_NO_DEVICE && LacksElevation(CurrentRelease())) {
        return status + ": the library cannot open the unit's device for commands; this process "
                        "runs without elevation";
    }
    if (result.status == SS_NO_DEVICE) {
        std::string text = status + ": the unit is claimed by a class driver, but the library "
                                    "found no class device to reach it through";
        // The simulated machine knows why; its units are named by port and
        // bus, so the reason is given only where the target and LUN alone
        // tell which unit this is.
        const MachineNotes::Unreachable* known = nullptr;
        size_t matches = 0;
        for (const MachineNotes::Unreachable& entry : session.machine.unreachable) {
            if (entry.target != unit.address.target || entry.lun != unit.address.lun) continue;
            known = &entry;
            ++matches;
        }
        if (matches == 1) text += " (" + known->reason + ")";
        return text;
    }
    if (result.status == SS_ERR && result.haStat == HASTAT_OK && result.targStat == 0 &&
        result.sense.empty()) {
        return status + " with target status GOOD: the port driver refused or failed the request "
                        "(no administrator rights, a time-out, or a unit that is gone)";
    }
    return ExecFailureText(result);
}

// Returns nothing; reads the INQUIRY identity of `scanned` into it, or the
// reason why there is none.
void Identify(const Session& session, const Unit& unit, ScannedUnit& scanned) {
    const uint32_t length = InquiryLength(unit);
    const uint8_t cdb[6] = {0x12, 0, 0, 0, static_cast<uint8_t>(length), 0};
    AlignedBuffer data;
    if (!data.Allocate(length, unit.adapter.alignmentMask)) {
        scanned.failure = "out of memory";
        return;
    }
    std::string error;
    if (!SendCdb(session, unit, cdb, sizeof cdb, DataDirection::In, data.data(), length,
                 scanned.inquiry, error)) {
        scanned.failure = error;
        return;
    }
    if (scanned.inquiry.status != SS_COMP) {
        scanned.failure = "INQUIRY failed: " + ScanFailureText(session, unit, scanned.inquiry);
        return;
    }
    scanned.identified = true;
    scanned.vendor = InquiryText(data.data(), length, 8, 8);
    scanned.product = InquiryText(data.data(), length, 16, 16);
    scanned.revision = InquiryText(data.data(), length, 32, 4);
}

// Returns nothing; fills `adapter.units` with every unit over the targets
// the adapter reports and LUNs 0 to 7.
void ScanUnits(const Session& session, ScannedAdapter& adapter) {
    Unit unit;
    unit.adapter = adapter.info;
    unit.address.ha = adapter.ha;
    for (unsigned target = 0; target < adapter.info.maxTargets; ++target) {
        for (unsigned lun = 0; lun < 8; ++lun) {
            unit.address.target = static_cast<uint8_t>(target);
            unit.address.lun = static_cast<uint8_t>(lun);
            uint8_t type = 0;
            if (GetDeviceType(session.library, unit.address, type) != SS_COMP) continue;
            ScannedUnit scanned;
            scanned.target = unit.address.target;
            scanned.lun = unit.address.lun;
            scanned.type = type;
            Identify(session, unit, scanned);
            adapter.units.push_back(scanned);
        }
    }
}

Json UnitJson(const ScannedUnit& unit) {
    Json json = Json::Object();
    json.Set("target", Json::Number(unit.target));
    json.Set("lun", Json::Number(unit.lun));
    json.Set("type", Json::Number(unit.type));
    json.Set("type_name", Json::Text(DeviceTypeName(unit.type)));
    json.Set("vendor", unit.identified ? Json::Text(unit.vendor) : Json::Null());
    json.Set("product", unit.identified ? Json::Text(unit.product) : Json::Null());
    json.Set("revision", unit.identified ? Json::Text(unit.revision) : Json::Null());
    if (!unit.identified) {
        Json failure = ExecResultJson(unit.inquiry);
        failure.Set("message", Json::Text(unit.failure));
        json.Set("inquiry_error", failure);
    }
    return json;
}

Json AdapterJson(const ScannedAdapter& adapter) {
    Json json = Json::Object();
    json.Set("ha", Json::Number(adapter.ha));
    json.Set("status", NamedValueJson(AspiStatusName(adapter.status), adapter.status));
    if (adapter.status != SS_COMP) return json;
    json.Set("manager", Json::Text(adapter.info.manager));
    json.Set("identifier", Json::Text(adapter.info.identifier));
    json.Set("scsi_id", Json::Number(adapter.info.scsiId));
    json.Set("max_targets", Json::Number(adapter.info.maxTargets));
    json.Set("max_transfer", Json::Number(adapter.info.maxTransfer));
    json.Set("alignment_mask", Json::Number(adapter.info.alignmentMask));
    Json units = Json::Array();
    for (const ScannedUnit& unit : adapter.units) units.Push(UnitJson(unit));
    json.Set("units", units);
    return json;
}

// Returns `text` padded with spaces to `width` characters.
std::string Pad(const std::string& text, size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// Returns true when `unit` gave no identity because its device refused the
// process: SS_NO_DEVICE, or SS_ERR before the unit said anything.
bool Refused(const ScannedUnit& unit) {
    const ExecResult& result = unit.inquiry;
    return !unit.identified &&
           (result.status == SS_NO_DEVICE ||
            (result.status == SS_ERR && result.haStat == HASTAT_OK && result.targStat == 0 &&
             result.sense.empty()));
}

// What a process without elevation could not reach: how many units, and
// the host adapters they are on.
struct Unreached {
    size_t units = 0;
    std::vector<uint8_t> adapters;
};

Unreached UnreachedUnits(const std::vector<ScannedAdapter>& adapters) {
    Unreached unreached;
    for (const ScannedAdapter& adapter : adapters) {
        bool counted = false;
        for (const ScannedUnit& unit : adapter.units) {
            if (!Refused(unit)) continue;
            ++unreached.units;
            if (!counted) unreached.adapters.push_back(adapter.ha);
            counted = true;
        }
    }
    return unreached;
}

// Returns "3 units on host adapters 0, 2 and 5".
std::string UnreachedText(const Unreached& unreached) {
    std::string list;
    for (size_t i = 0; i < unreached.adapters.size(); ++i) {
        if (i > 0) list += i + 1 == unreached.adapters.size() ? " and " : ", ";
        list += std::to_string(unreached.adapters[i]);
    }
    return Plural(unreached.units, "unit") + " on host adapter" +
           (unreached.adapters.size() == 1 ? " " : "s ") + list;
}

std::string ScanText(const Session& session, DWORD support, unsigned atapiPorts,
                     const std::vector<ScannedAdapter>& adapters) {
    std::string text;
    if (!session.machine.name.empty()) text += "machine: " + session.machine.name + "\n";
    const ReleaseFacts& release = CurrentRelease();
    text += "windows: " + ReleaseText(release) + "\n";
    if (!ElevationText(release).empty()) text += "elevation: " + ElevationText(release) + "\n";
    char line[160];
    const uint8_t supportStatus = static_cast<uint8_t>(support >> 8);
    std::snprintf(line, sizeof line, "support info: 0x%08lX: %s, %lu host adapter%s\n",
                  static_cast<unsigned long>(support),
                  NamedValue(AspiStatusName(supportStatus), supportStatus).c_str(),
                  static_cast<unsigned long>(support & 0xFF), (support & 0xFF) == 1 ? "" : "s");
    text += line;
    if (atapiPorts > 0) {
        text += std::to_string(atapiPorts) + " IDE/ATAPI port" + (atapiPorts == 1 ? "" : "s") +
                " skipped: the ports of IDE and ATAPI drivers get no host adapter number\n";
    }
    if (adapters.empty()) return text;

    text += "\nHA  MANAGER          IDENTIFIER        SCSI ID  TARGETS  MAX TRANSFER  ALIGNMENT\n";
    for (const ScannedAdapter& adapter : adapters) {
        if (adapter.status != SS_COMP) {
            std::snprintf(line, sizeof line, "%-3u inquiry failed: %s\n", adapter.ha,
                          NamedValue(AspiStatusName(adapter.status), adapter.status).c_str());
            text += line;
            continue;
        }
        std::snprintf(line, sizeof line, "%-3u %-16s %-17s %-8u %-8u %-13lu 0x%04X\n", adapter.ha,
                      adapter.info.manager.c_str(), adapter.info.identifier.c_str(),
                      adapter.info.scsiId, adapter.info.maxTargets,
                      static_cast<unsigned long>(adapter.info.maxTransfer),
                      adapter.info.alignmentMask);
        text += line;
    }

    text += "\nADDRESS    TYPE        VENDOR    PRODUCT           REVISION\n";
    size_t units = 0;
    for (const ScannedAdapter& adapter : adapters) {
        for (const ScannedUnit& unit : adapter.units) {
            ++units;
            const UnitAddress address = {adapter.ha, unit.target, unit.lun};
            text += Pad(FormatAddress(address), 11) + Pad(DeviceTypeName(unit.type), 12);
            if (unit.identified) {
                text += Pad(unit.vendor, 10) + Pad(unit.product, 18) + unit.revision + "\n";
            } else {
                text += "(" + unit.failure + ")\n";
            }
        }
    }
    if (units == 0) text += "(no units)\n";
    const Unreached unreached = UnreachedUnits(adapters);
    if (unreached.units > 0 && LacksElevation(release)) {
        text += "\n" + UnreachedText(unreached) + " cannot be reached: " + ElevationAdvice() + "\n";
    }
    return text;
}

}  // namespace

int RunScan(Session& session) {
    Json document = Json::Object();
    std::string error;
    if (!ExpectOperands(session, 0, "scan", error)) return Fail(session, document, ExitUsage, error);

    const DWORD support = session.library.getSupportInfo();
    const uint8_t supportStatus = static_cast<uint8_t>(support >> 8);
    if (!session.machine.name.empty()) document.Set("machine", Json::Text(session.machine.name));
    Json supportJson = Json::Object();
    supportJson.Set("value", Json::Number(support));
    supportJson.Set("status", NamedValueJson(AspiStatusName(supportStatus), supportStatus));
    supportJson.Set("adapter_count", Json::Number(support & 0xFF));
    document.Set("support_info", supportJson);
    document.Set("windows", ReleaseJson(CurrentRelease()));
    const unsigned atapiPorts = CountAtapiPorts();
    document.Set("atapi_ports_skipped", Json::Number(atapiPorts));

    std::vector<ScannedAdapter> adapters;
    int code = ExitOk;
    if (supportStatus == SS_COMP) {
        const unsigned count = support & 0xFF;
        for (unsigned ha = 0; ha < count; ++ha) {
            ScannedAdapter adapter;
            adapter.ha = static_cast<uint8_t>(ha);
            adapter.status = InquireHostAdapter(session.library, adapter.ha, adapter.info);
            if (adapter.status == SS_COMP) {
                ScanUnits(session, adapter);
            } else {
                code = ExitFailure;
            }
            adapters.push_back(adapter);
        }
    } else {
        code = ExitFailure;
    }
    Json adaptersJson = Json::Array();
    for (const ScannedAdapter& adapter : adapters) adaptersJson.Push(AdapterJson(adapter));
    document.Set("adapters", adaptersJson);
    const Unreached unreached = UnreachedUnits(adapters);
    const bool elevationWouldReach = unreached.units > 0 && LacksElevation(CurrentRelease());
    Json unreachedJson = Json::Object();
    Json unreachedAdapters = Json::Array();
    for (uint8_t ha : unreached.adapters) unreachedAdapters.Push(Json::Number(ha));
    unreachedJson.Set("units", Json::Number(static_cast<int64_t>(unreached.units)));
    unreachedJson.Set("adapters", unreachedAdapters);
    unreachedJson.Set("elevation_would_reach", Json::Boolean(elevationWouldReach));
    document.Set("unreached", unreachedJson);

    Show(session, document, ScanText(session, support, atapiPorts, adapters));
    if (supportStatus != SS_COMP) PrintError("the support information does not report SS_COMP");
    size_t unitsFailed = 0;
    for (const ScannedAdapter& adapter : adapters) {
        if (adapter.status != SS_COMP) {
            PrintError("host adapter inquiry of " + std::to_string(adapter.ha) + " failed: " +
                       NamedValue(AspiStatusName(adapter.status), adapter.status));
        }
        for (const ScannedUnit& unit : adapter.units) unitsFailed += unit.identified ? 0 : 1;
    }
    // Every status other than SS_COMP ends the tool with 1, a unit's failed
    // INQUIRY in a scan as much as any command's.
    if (unitsFailed > 0) {
        PrintError(std::to_string(unitsFailed) + (unitsFailed == 1 ? " unit" : " units") +
                   " did not answer INQUIRY" +
                   (elevationWouldReach ? "; " + ElevationAdvice() : std::string()));
        code = ExitFailure;
    }
    return code;
}

}  // namespace aspitool
