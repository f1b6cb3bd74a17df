#include "iscsi/tgt_oracle.h"

#include "sim/machine/machine.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace iscsitest {

namespace {

// The parts of sense data the comparison looks at, from fixed or
// descriptor format.
struct SenseSummary {
    uint8_t key = 0, asc = 0, ascq = 0;
    uint8_t flags = 0;  // FILEMARK, EOM, ILI (fixed format)
    bool infoValid = false;
    uint32_t info = 0;
    bool operator==(const SenseSummary& o) const {
        return key == o.key && asc == o.asc && ascq == o.ascq && flags == o.flags &&
               infoValid == o.infoValid && (!infoValid || info == o.info);
    }
};

// Returns the summary of `sense`; no sense summarises as all zero.
SenseSummary Summarise(const std::vector<uint8_t>& sense) {
    SenseSummary s;
    if (sense.size() < 3) return s;
    const uint8_t code = sense[0] & 0x7F;
    if (code == 0x72 || code == 0x73) {
        s.key = sense[1] & 0x0F;
        s.asc = sense[2];
        if (sense.size() > 3) s.ascq = sense[3];
        return s;
    }
    s.key = sense[2] & 0x0F;
    s.flags = sense[2] & 0xE0;
    if (sense.size() > 13) {
        s.asc = sense[12];
        s.ascq = sense[13];
    }
    if (sense.size() > 6 && (sense[0] & 0x80) != 0) {
        s.infoValid = true;
        s.info = static_cast<uint32_t>(sense[3]) << 24 | static_cast<uint32_t>(sense[4]) << 16 |
                 static_cast<uint32_t>(sense[5]) << 8 | sense[6];
    }
    return s;
}

std::string Hex(const uint8_t* bytes, size_t count) {
    std::string text;
    char two[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        text += two;
    }
    return text;
}

// Returns the first byte index where the moved data differ, or the shorter
// count when one is a prefix of the other.
size_t FirstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return i;
}

// Returns true when every byte where `a` and `b` differ lies in the range
// of one of `entries` (Data differences of the command), and the counts
// agree unless one of them lets them differ; `used` marks the entries that
// covered something.
bool DataDifferenceCovered(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                           const std::vector<const AllowedDifference*>& entries, std::vector<bool>& used,
                           const std::vector<AllowedDifference>& all) {
    bool countCovered = a.size() == b.size();
    std::vector<bool> covering(entries.size(), false);
    for (size_t e = 0; e < entries.size(); ++e) {
        if (a.size() != b.size() && entries[e]->countMayDiffer) {
            countCovered = true;
            covering[e] = true;
        }
    }
    if (!countCovered) return false;
    const size_t common = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < common; ++i) {
        if (a[i] == b[i]) continue;
        bool covered = false;
        for (size_t e = 0; e < entries.size(); ++e) {
            if (i >= entries[e]->firstByte && i < entries[e]->endByte) {
                covered = true;
                covering[e] = true;
            }
        }
        if (!covered) return false;
    }
    for (size_t e = 0; e < entries.size(); ++e) {
        if (covering[e]) used[static_cast<size_t>(entries[e] - all.data())] = true;
    }
    return true;
}

}  // namespace

OracleCommand NoData(const std::string& name, std::vector<uint8_t> cdb) {
    OracleCommand command;
    command.name = name;
    command.cdb = std::move(cdb);
    return command;
}

OracleCommand DataIn(const std::string& name, std::vector<uint8_t> cdb, uint32_t length) {
    OracleCommand command = NoData(name, std::move(cdb));
    command.direction = sim::DataDirection::In;
    command.length = length;
    return command;
}

OracleCommand DataOut(const std::string& name, std::vector<uint8_t> cdb, std::vector<uint8_t> bytes) {
    OracleCommand command = NoData(name, std::move(cdb));
    command.direction = sim::DataDirection::Out;
    command.length = static_cast<uint32_t>(bytes.size());
    command.dataOut = std::move(bytes);
    return command;
}

std::string TgtUnitUrl(int target, std::string& folder) {
    const char* path = std::getenv("PTASPI_ISCSI_MACHINE");
    if (path == nullptr || *path == '\0') return "";
    std::ifstream file(path);
    const nlohmann::json machine = nlohmann::json::parse(file, nullptr, false);
    if (!machine.is_object()) return "";
    const std::string whole(path);
    folder = whole.substr(0, whole.find_last_of('/'));
    for (const auto& unit : machine["ports"][0]["buses"][0]["units"]) {
        if (unit["target"] == target) return unit["backend"]["url"].get<std::string>();
    }
    return "";
}

std::unique_ptr<sim::UnitBackend> OracleBackend(const std::string& unitJson, std::string& error) {
    nlohmann::json unit = nlohmann::json::parse(unitJson, nullptr, false);
    if (!unit.is_object()) {
        error = "not a unit object: " + unitJson;
        return nullptr;
    }
    unit["target"] = 0;
    unit["lun"] = 0;
    nlohmann::json whole;
    whole["ports"][0]["buses"][0]["units"][0] = unit;
    const std::string text = whole.dump();
    sim::Machine machine;
    if (!sim::ParseMachine(text, machine, error)) return nullptr;
    return sim::CreateBackend(machine.ports[0].buses[0].units[0], error);
}

OracleAnswer Ask(sim::UnitBackend& unit, const OracleCommand& command) {
    sim::ScsiCommand scsi;
    for (size_t i = 0; i < command.cdb.size() && i < sizeof scsi.cdb; ++i) scsi.cdb[i] = command.cdb[i];
    scsi.cdbLength = static_cast<uint8_t>(command.cdb.size());
    scsi.direction = command.direction;
    scsi.timeoutSeconds = 30;
    scsi.senseLength = 32;
    std::vector<uint8_t> buffer = command.direction == sim::DataDirection::Out
                                      ? command.dataOut
                                      : std::vector<uint8_t>(command.length, 0);
    scsi.data = buffer.empty() ? nullptr : buffer.data();
    scsi.dataLength = static_cast<uint32_t>(buffer.size());
    sim::ScsiOutcome outcome;
    unit.Execute(scsi, outcome);
    OracleAnswer answer;
    answer.status = outcome.status;
    answer.sense = outcome.sense;
    answer.platformError = outcome.platformError;
    if (command.direction == sim::DataDirection::In) {
        const size_t moved = outcome.bytesMoved < buffer.size() ? outcome.bytesMoved : buffer.size();
        answer.data.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(moved));
    }
    return answer;
}

std::string DescribeAnswer(const OracleAnswer& answer) {
    std::ostringstream out;
    const SenseSummary s = Summarise(answer.sense);
    char text[96];
    std::snprintf(text, sizeof text, "status %02x sense %x/%02x/%02x flags %02x", answer.status, s.key,
                  s.asc, s.ascq, s.flags);
    out << text;
    if (s.infoValid) out << " info " << s.info;
    if (answer.platformError != 0) out << " error " << answer.platformError;
    out << ", " << answer.data.size() << " bytes";
    if (!answer.data.empty()) {
        out << " " << Hex(answer.data.data(), answer.data.size() < 24 ? answer.data.size() : 24);
    }
    return out.str();
}

OracleReport CompareUnits(sim::UnitBackend& emulated, sim::UnitBackend& reference,
                          const std::vector<OracleCommand>& commands,
                          const std::vector<AllowedDifference>& allowed) {
    OracleReport report;
    std::vector<bool> used(allowed.size(), false);
    for (const OracleCommand& command : commands) {
        const OracleAnswer mine = Ask(emulated, command);
        const OracleAnswer theirs = Ask(reference, command);
        ++report.compared;
        const bool senseDiffers = mine.status != theirs.status ||
                                  mine.platformError != theirs.platformError ||
                                  !(Summarise(mine.sense) == Summarise(theirs.sense));
        // With CHECK CONDITION the sense tells what was transferred (the
        // information field's residue); the bytes a target leaves in the
        // buffer then, and the count iSCSI reports without a residual, are
        // not part of the answer.
        const bool bothChecked = mine.status == sim::StatusCheckCondition &&
                                 theirs.status == sim::StatusCheckCondition;
        const bool dataDiffers = !bothChecked && mine.data != theirs.data;
        if (!senseDiffers && !dataDiffers) {
            ++report.agreed;
            continue;
        }
        const std::string both = command.name + ": emulated " + DescribeAnswer(mine) + "; tgt " +
                                 DescribeAnswer(theirs);
        bool senseCovered = !senseDiffers;
        std::string clauses;
        std::vector<const AllowedDifference*> dataEntries;
        for (size_t i = 0; i < allowed.size(); ++i) {
            const AllowedDifference& a = allowed[i];
            if (a.command != command.name) continue;
            if (a.field == OracleField::Sense && senseDiffers) {
                senseCovered = true;
                used[i] = true;
                clauses += " [" + a.clause + "]";
            }
            if (a.field == OracleField::Data) dataEntries.push_back(&a);
        }
        bool dataCovered = !dataDiffers;
        if (dataDiffers) {
            std::vector<bool> dataUsed(allowed.size(), false);
            dataCovered = DataDifferenceCovered(mine.data, theirs.data, dataEntries, dataUsed, allowed);
            for (size_t i = 0; i < allowed.size(); ++i) {
                if (!dataUsed[i]) continue;
                used[i] = true;
                clauses += " [" + allowed[i].clause + "]";
            }
        }
        if (senseCovered && dataCovered) {
            report.allowed.push_back(both + clauses);
        } else {
            std::string where;
            if (dataDiffers) {
                where = " (data differ from byte " + std::to_string(FirstDifference(mine.data, theirs.data)) + ")";
            }
            report.failures.push_back(both + where);
        }
    }
    for (size_t i = 0; i < allowed.size(); ++i) {
        if (!used[i]) report.unused.push_back(allowed[i].command + " [" + allowed[i].clause + "]");
    }
    return report;
}

}  // namespace iscsitest
