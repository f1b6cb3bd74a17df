#include "sim/machine/machine_warnings.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <map>

namespace sim {
namespace {

// The class device names the library probes, each from number 0 up to the
// first that does not open, passing over numbers that do not exist until
// MissingNumbersInARow of them come in a row (the library's
// MaxMissingClassNumbers). CD-ROM drives it finds by drive letter only.
const char* const ProbedPrefixes[] = {"physicaldrive", "scanner", "tape"};
const long MissingNumbersInARow = 8;

struct ClassName {
    std::string prefix;  // lower case
    long number = -1;    // -1: no number after the prefix
};

// Returns `name` split into its lower-case prefix and trailing number.
ClassName SplitName(const std::string& name) {
    ClassName split;
    size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
    for (size_t i = 0; i < digits; ++i) {
        split.prefix += static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
    }
    if (digits < name.size() && name.size() - digits < 9) split.number = std::stol(name.substr(digits));
    return split;
}

// Returns "PhysicalDrive" for "physicaldrive", as the names are written.
std::string ShownPrefix(const std::string& prefix) {
    if (prefix == "physicaldrive") return "PhysicalDrive";
    if (prefix == "scanner") return "Scanner";
    return "Tape";
}

bool IsProbed(const std::string& prefix) {
    for (const char* probed : ProbedPrefixes) {
        if (prefix == probed) return true;
    }
    return false;
}

struct Place {
    size_t port, bus;
    const UnitConfig* unit;
};

std::string Where(const Place& place) {
    char text[96];
    std::snprintf(text, sizeof text, "port %zu bus %zu target %u lun %u", place.port, place.bus,
                  place.unit->target, place.unit->lun);
    return text;
}

// Returns the reason the library cannot reach the claimed unit at `place`,
// or the empty text when it can. `opens` maps each probed class device
// name to whether an open for reading succeeds.
std::string Unreachable(const Place& place, const std::map<std::string, bool>& opens) {
    const UnitConfig& unit = *place.unit;
    if (unit.access == UnitAccess::None && (unit.drive || !unit.classDevices.empty())) {
        return "its class device refuses every open (access \"none\")";
    }
    if (unit.addressError != 0 && (unit.drive || !unit.classDevices.empty())) {
        return "its class device fails IOCTL_SCSI_GET_ADDRESS with error " +
               std::to_string(unit.addressError) + ", so the library cannot tell which unit it reaches";
    }
    if (unit.drive) return std::string();
    if (unit.classDevices.empty()) return "it has neither a class_device nor a drive";
    std::string reason;
    for (const std::string& name : unit.classDevices) {
        const ClassName split = SplitName(name);
        if (split.prefix == "cdrom") {
            reason = "the library finds CD-ROM drives by their drive letter, not by " + name +
                     ": give the unit a drive";
            continue;
        }
        if (!IsProbed(split.prefix) || split.number < 0) {
            reason = "the library does not look for a class device named " + name;
            continue;
        }
        long missing = 0;
        for (long n = 0; n <= split.number; ++n) {
            const std::string earlier = split.prefix + std::to_string(n);
            const auto found = opens.find(earlier);
            const std::string looks = "the library looks for " + ShownPrefix(split.prefix) + "0, " +
                                      ShownPrefix(split.prefix) + "1, ... ";
            if (found == opens.end()) {
                if (++missing < MissingNumbersInARow) continue;
                reason = looks + "and stops after " + std::to_string(MissingNumbersInARow) +
                         " numbers in a row that do not exist: " + ShownPrefix(split.prefix) +
                         std::to_string(n - MissingNumbersInARow + 1) + " to " +
                         ShownPrefix(split.prefix) + std::to_string(n) + " do not";
                break;
            }
            missing = 0;
            if (!found->second) {
                reason = looks + "up to the first that does not open, and " +
                         ShownPrefix(split.prefix) + std::to_string(n) + " does not open";
                break;
            }
            if (n == split.number) return std::string();
        }
    }
    return reason;
}

// Returns the warning for a disk whose file and size disagree, or "".
std::string DiskFileWarning(const Place& place) {
    const BackendConfig& backend = place.unit->backend;
    if (backend.type != BackendType::Disk || backend.file.empty() || backend.blockSize == 0) return "";
    struct stat info;
    if (::stat(backend.file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return "";
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    const uint64_t diskBytes = static_cast<uint64_t>(backend.blocks) * backend.blockSize;
    if (size == diskBytes) return "";
    const std::string head = Where(place) + ": the disk has " + std::to_string(backend.blocks) +
                             " blocks of " + std::to_string(backend.blockSize) + " bytes (\"blocks\"), but '" +
                             backend.file + "' holds " + std::to_string(size) + " bytes";
    const std::string fit = "; \"blocks\": " + std::to_string(size / backend.blockSize) +
                            " makes the disk the size of the file";
    if (size < diskBytes) {
        return head + ": blocks past its end read as zeros, and a write there lengthens the file" + fit;
    }
    return head + ": the bytes past block " + std::to_string(backend.blocks - 1) + " are not reached" + fit;
}

// Returns a warning that concerns no unreachable unit.
MachineWarning Plain(const std::string& text) {
    MachineWarning warning;
    warning.text = text;
    return warning;
}

}  // namespace

std::vector<MachineWarning> MachineWarnings(const Machine& machine) {
    std::vector<MachineWarning> warnings;
    if (machine.user == UserKind::Limited) {
        warnings.push_back(Plain(
            "the user is limited: opens that ask for write access fail with error 5 on every port "
            "and class device, so commands sent through the library end with SS_ERR"));
    }
    std::vector<Place> places;
    std::map<std::string, bool> opens;
    for (size_t p = 0; p < machine.ports.size(); ++p) {
        for (size_t b = 0; b < machine.ports[p].buses.size(); ++b) {
            for (const UnitConfig& unit : machine.ports[p].buses[b].units) {
                places.push_back({p, b, &unit});
                for (const std::string& name : unit.classDevices) {
                    const ClassName split = SplitName(name);
                    opens[split.prefix + (split.number < 0 ? "" : std::to_string(split.number))] =
                        unit.access != UnitAccess::None;
                }
            }
        }
    }
    // With \\.\aspidrv0 the library reaches every unit through it and looks
    // for no class device at all.
    const bool driverPresent = !machine.ports.empty() && machine.ports[0].aspidrv;
    for (const Place& place : places) {
        if (place.unit->claimed && !driverPresent) {
            const std::string reason = Unreachable(place, opens);
            if (!reason.empty()) {
                MachineWarning warning;
                warning.text = Where(place) +
                               " is claimed by a class driver through which the library cannot "
                               "reach it (" + reason + "); its commands end with SS_NO_DEVICE";
                warning.unreachable = true;
                warning.target = place.unit->target;
                warning.lun = place.unit->lun;
                warning.reason = reason;
                warnings.push_back(warning);
            }
        }
        const std::string disk = DiskFileWarning(place);
        if (!disk.empty()) warnings.push_back(Plain(disk));
    }
    return warnings;
}

}  // namespace sim
