// The machine file's members for today's releases: which Windows the
// machine runs and who runs the program, what a standard user may do with
// CD and DVD drives, the bus a port's adapter reports, and what a port
// driver does with the commands of an ATA or NVMe unit.
#include "sim/machine/machine_releases.h"

#include <cstdint>
#include <cstring>

namespace sim {

namespace {

struct BusTypeName {
    const char* name;
    uint8_t value;  // STORAGE_BUS_TYPE
};

// The bus names a file may give, with the STORAGE_BUS_TYPE values that
// winioctl.h assigns them.
const BusTypeName busTypes[] = {
    {"scsi", 0x01}, {"atapi", 0x02}, {"ata", 0x03},   {"1394", 0x04},
    {"fibre", 0x06}, {"usb", 0x07},  {"raid", 0x08},  {"iscsi", 0x09},
    {"sas", 0x0A},  {"sata", 0x0B},  {"nvme", 0x11},
};

struct ReleaseName {
    const char* name;
    WindowsRelease release;
};

const ReleaseName releases[] = {
    {"nt4", WindowsRelease::Nt4},  {"2000", WindowsRelease::W2000}, {"xp", WindowsRelease::Xp},
    {"7", WindowsRelease::Seven}, {"10", WindowsRelease::Ten},     {"11", WindowsRelease::Eleven},
};

// Returns false unless the member is absent or one of the access words.
bool ReadAccessWord(const reader::Json& object, const char* member, const std::string& path,
                    UnitAccess& out, std::string& error) {
    const reader::Json* value = reader::Find(object, member);
    if (value == nullptr) return true;
    const std::string text = value->is_string() ? value->get<std::string>() : std::string();
    if (text == "read-write") {
        out = UnitAccess::ReadWrite;
    } else if (text == "read-only") {
        out = UnitAccess::ReadOnly;
    } else if (text == "none") {
        out = UnitAccess::None;
    } else {
        return reader::Fail(error, reader::Member(path, member),
                            "expected \"read-write\", \"read-only\" or \"none\"");
    }
    return true;
}

}  // namespace

uint8_t PortBusType(const PortConfig& port) {
    if (port.busType) return *port.busType;
    return port.driver && *port.driver == "atapi" ? 0x02 : 0x01;
}

namespace reader {

bool ReadReleaseAndUser(const Json& document, Machine& machine, std::string& error) {
    if (const Json* windows = Find(document, "windows")) {
        bool known = false;
        for (const ReleaseName& entry : releases) {
            if (windows->is_string() && windows->get_ref<const std::string&>() == entry.name) {
                machine.windows = entry.release;
                known = true;
            }
        }
        if (!known) {
            return Fail(error, "windows",
                        "expected \"nt4\", \"2000\", \"xp\", \"7\", \"10\" or \"11\"");
        }
    }
    if (const Json* user = Find(document, "user")) {
        const std::string text = user->is_string() ? user->get<std::string>() : std::string();
        if (text == "administrator") {
            machine.user = UserKind::Administrator;
        } else if (text == "limited") {
            machine.user = UserKind::Limited;
        } else if (text == "standard") {
            // Standard users and filtered administrators came with UAC.
            if (!IsWow64Release(machine.windows)) {
                return Fail(error, "user",
                            "\"standard\" needs a release with UAC (windows \"7\", \"10\" or "
                            "\"11\")");
            }
            machine.user = UserKind::Standard;
        } else {
            return Fail(error, "user", "expected \"administrator\", \"limited\" or \"standard\"");
        }
    }
    return ReadAccessWord(document, "optical_access", "", machine.opticalAccess, error);
}

bool ReadBusType(const Json& port, const std::string& path, PortConfig& out, std::string& error) {
    const Json* value = Find(port, "bus_type");
    if (value == nullptr) return true;
    for (const BusTypeName& entry : busTypes) {
        if (value->is_string() && value->get_ref<const std::string&>() == entry.name) {
            out.busType = entry.value;
            return true;
        }
    }
    return Fail(error, Member(path, "bus_type"),
                "expected \"scsi\", \"atapi\", \"ata\", \"sata\", \"sas\", \"usb\", \"nvme\", "
                "\"iscsi\", \"raid\", \"fibre\" or \"1394\"");
}

bool ReadUnitTranslationAndLock(const Json& unit, const std::string& path, bool cdrom,
                                UnitConfig& out, std::string& error) {
    if (const Json* value = Find(unit, "translation")) {
        const std::string text = value->is_string() ? value->get<std::string>() : std::string();
        if (text == "none") {
            out.translation = Translation::None;
        } else if (text == "ata") {
            out.translation = Translation::Ata;
        } else if (text == "nvme") {
            out.translation = Translation::Nvme;
        } else {
            return Fail(error, Member(path, "translation"), "expected \"none\", \"ata\" or \"nvme\"");
        }
    }
    if (!ReadNullableText(unit, "exclusive_lock", path, out.exclusiveLock, error)) return false;
    if (!out.exclusiveLock) return true;
    const std::string where = Member(path, "exclusive_lock");
    // CDROM_EXCLUSIVE_LOCK holds the caller name in 64 bytes, its NUL among them.
    bool valid = !out.exclusiveLock->empty() && out.exclusiveLock->size() <= 63;
    for (char c : *out.exclusiveLock) {
        const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        valid = valid && (alnum || std::strchr(" .,:;-_", c) != nullptr);
    }
    if (!valid) {
        return Fail(error, where,
                    "expected a caller name of 1 to 63 letters, digits, spaces and .,:;-_ "
                    "(as the CD-ROM class driver accepts), or null");
    }
    if (!cdrom) {
        return Fail(error, where,
                    "exclusive access is a CD-ROM's (a cdrom backend, or a scripted or iscsi "
                    "unit of peripheral device type 5)");
    }
    return true;
}

}  // namespace reader
}  // namespace sim
