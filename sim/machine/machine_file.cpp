// Machine description files: JSON text to the Machine model, with every
// default filled and every rule checked, so that the rest of the simulator
// can take a Machine as it is. Nothing is thrown out of here: every problem
// becomes a message that names the member and its path in the file.
#include "sim/machine/machine.h"

#include "sim/machine/machine_reader.h"
#include "sim/machine/machine_releases.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

namespace sim {
namespace {

using namespace reader;

// Returns the path resolved against the machine file's folder: relative
// paths in a file mean paths beside it, wherever the reader runs.
std::string Resolve(const std::string& baseDir, const std::string& path) {
    if (baseDir.empty() || path.empty() || path[0] == '/') return path;
    if (baseDir.back() == '/') return baseDir + path;
    return baseDir + "/" + path;
}

// Returns false unless the member is present as a non-empty ASCII path.
bool ReadPath(const Json& object, const char* member, const std::string& path,
              const std::string& baseDir, std::string& out, std::string& error) {
    const Json* value = Find(object, member);
    if (value == nullptr) return true;
    std::string text;
    if (!ReadTextValue(*value, Member(path, member), text, error)) return false;
    if (text.empty()) return Fail(error, Member(path, member), "expected a file path");
    out = Resolve(baseDir, text);
    return true;
}

// What the loader remembers across the file to find names declared twice
// and drivers described two ways.
struct Declarations {
    std::map<char, std::string> driveLetters;        // letter -> path of declaration
    std::map<std::string, std::string> classDevices;  // upper-cased name -> path
    struct Driver {
        std::string path;
        bool service;
        std::optional<std::string> imagePath;
    };
    std::map<std::string, Driver> drivers;  // upper-cased driver -> first port
};

// Returns false unless `value` is one drive letter; stores it upper case.
bool ReadDriveLetter(const Json& value, const std::string& path, char& out, std::string& error) {
    if (!value.is_string()) return Fail(error, path, "expected a drive letter such as \"E\"");
    const std::string& text = value.get_ref<const std::string&>();
    if (text.size() != 1 || !((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'))) {
        return Fail(error, path, "expected a drive letter such as \"E\"");
    }
    out = Upper(text)[0];
    return true;
}

// Returns false when the letter was declared before.
bool DeclareDrive(Declarations& declared, char letter, const std::string& path,
                  std::string& error) {
    auto found = declared.driveLetters.find(letter);
    if (found != declared.driveLetters.end()) {
        return Fail(error, path,
                    std::string("drive letter ") + letter + " declared twice (also at " +
                        found->second + ")");
    }
    declared.driveLetters[letter] = path;
    return true;
}

struct BackendDefaults {
    const char* name;
    BackendType type;
    bool claimed;
    uint8_t peripheral;
    bool removable;
    const char* product;
};

const BackendDefaults backendTable[] = {
    {"disk", BackendType::Disk, true, 0x00, false, "VIRTUAL DISK"},
    {"cdrom", BackendType::CdRom, true, 0x05, true, "VIRTUAL CD-ROM"},
    {"tape", BackendType::Tape, true, 0x01, true, "VIRTUAL TAPE"},
    {"scanner", BackendType::Scanner, true, 0x06, false, "VIRTUAL SCANNER"},
    {"processor", BackendType::Processor, false, 0x03, false, "VIRTUAL PROCESS"},
    {"scripted", BackendType::Scripted, false, 0x00, false, "SCRIPTED UNIT"},
    {"iscsi", BackendType::Iscsi, false, 0x00, false, "ISCSI UNIT"},
    {"writer", BackendType::Writer, true, 0x05, true, "VIRTUAL DVD-RW"},
};

// Returns false unless `value` is one scripted response.
bool ReadResponse(const Json& value, const std::string& path, ScriptedResponse& response,
                  std::string& error) {
    if (!CheckObject(value, path,
                     {"opcode", "status", "sense", "data", "error", "direct_error",
                      "buffered_error", "after_error", "delay_ms", "hang", "times"},
                     error)) {
        return false;
    }
    if (const Json* opcode = Find(value, "opcode")) {
        uint64_t number = 0;
        if (!ReadUnsignedValue(*opcode, Member(path, "opcode"), 0, 255, number, error)) return false;
        response.opcode = static_cast<uint8_t>(number);
    }
    if (const Json* sense = Find(value, "sense")) {
        if (!ReadHexBytes(*sense, Member(path, "sense"), response.sense, error)) return false;
    }
    if (const Json* data = Find(value, "data")) {
        if (!ReadHexBytes(*data, Member(path, "data"), response.data, error)) return false;
    }
    if (const Json* times = Find(value, "times")) {
        uint64_t number = 0;
        if (!ReadUnsignedValue(*times, Member(path, "times"), 0, UINT32_MAX, number, error)) {
            return false;
        }
        response.times = static_cast<uint32_t>(number);
    }
    return ReadUnsigned(value, "status", path, response.status, error) &&
           ReadUnsigned(value, "error", path, response.error, error) &&
           ReadUnsigned(value, "direct_error", path, response.directError, error) &&
           ReadUnsigned(value, "buffered_error", path, response.bufferedError, error) &&
           ReadUnsigned(value, "after_error", path, response.afterError, error) &&
           ReadUnsigned(value, "delay_ms", path, response.delayMs, error) &&
           ReadBool(value, "hang", path, response.hang, error);
}

// Returns false unless `value` is a writer backend's members; fills the
// capacity of its media when the file gives none.
bool ReadWriterBackend(const Json& value, const std::string& path, const std::string& baseDir,
                       BackendConfig& backend, std::string& error) {
    static const struct {
        const char* name;
        WriterMedia media;
    } mediaNames[] = {{"cd-r", WriterMedia::CdR},         {"cd-rw", WriterMedia::CdRw},
                      {"dvd-r", WriterMedia::DvdMinusR},  {"dvd+r", WriterMedia::DvdPlusR},
                      {"dvd-rw", WriterMedia::DvdMinusRw}, {"dvd+rw", WriterMedia::DvdPlusRw},
                      {"none", WriterMedia::None}};
    static const struct {
        const char* name;
        WriterDiscState state;
    } stateNames[] = {{"blank", WriterDiscState::Blank},
                      {"appendable", WriterDiscState::Appendable},
                      {"closed", WriterDiscState::Closed}};
    if (!CheckObject(value, path, {"type", "media", "state", "capacity_blocks", "image"}, error)) {
        return false;
    }
    if (const Json* media = Find(value, "media")) {
        bool known = false;
        for (const auto& entry : mediaNames) {
            if (media->is_string() && media->get_ref<const std::string&>() == entry.name) {
                backend.media = entry.media;
                known = true;
            }
        }
        if (!known) {
            return Fail(error, Member(path, "media"),
                        "expected \"cd-r\", \"cd-rw\", \"dvd-r\", \"dvd+r\", \"dvd-rw\", "
                        "\"dvd+rw\" or \"none\"");
        }
    }
    if (const Json* state = Find(value, "state")) {
        bool known = false;
        for (const auto& entry : stateNames) {
            if (state->is_string() && state->get_ref<const std::string&>() == entry.name) {
                backend.state = entry.state;
                known = true;
            }
        }
        if (!known) {
            return Fail(error, Member(path, "state"),
                        "expected \"blank\", \"appendable\" or \"closed\"");
        }
    }
    const bool cd = backend.media == WriterMedia::CdR || backend.media == WriterMedia::CdRw;
    backend.capacityBlocks = cd ? 359846 : 2295104;
    backend.blockSize = 2048;
    backend.medium = backend.media != WriterMedia::None;
    return ReadUnsigned(value, "capacity_blocks", path, backend.capacityBlocks, error, 1,
                        0x7FFFFFFF) &&
           ReadPath(value, "image", path, baseDir, backend.image, error);
}

// Returns false unless `value` is a backend; fills its defaults and
// returns the defaults of its type in `defaults`.
bool ReadBackend(const Json& value, const std::string& path, const std::string& baseDir,
                 BackendConfig& backend, const BackendDefaults*& defaults, std::string& error) {
    if (!value.is_object()) return Fail(error, path, "expected an object");
    const Json* type = Find(value, "type");
    if (type == nullptr) return Fail(error, Member(path, "type"), "required member missing");
    defaults = nullptr;
    if (type->is_string()) {
        for (const BackendDefaults& entry : backendTable) {
            if (type->get_ref<const std::string&>() == entry.name) defaults = &entry;
        }
    }
    if (defaults == nullptr) {
        return Fail(error, Member(path, "type"),
                    "expected \"disk\", \"cdrom\", \"writer\", \"tape\", \"scanner\", "
                    "\"processor\", \"scripted\" or \"iscsi\"");
    }
    backend = BackendConfig();
    backend.type = defaults->type;
    switch (backend.type) {
    case BackendType::Disk:
        backend.blocks = 2048;
        backend.blockSize = 512;
        return CheckObject(value, path, {"type", "blocks", "block_size", "file"}, error) &&
               ReadUnsigned(value, "blocks", path, backend.blocks, error) &&
               ReadUnsigned(value, "block_size", path, backend.blockSize, error, 1, 65536) &&
               ReadPath(value, "file", path, baseDir, backend.file, error);
    case BackendType::CdRom:
        if (!CheckObject(value, path, {"type", "image", "cue", "blocks", "medium"}, error)) {
            return false;
        }
        if (Find(value, "image") != nullptr && Find(value, "blocks") != nullptr) {
            return Fail(error, Member(path, "blocks"), "not allowed together with 'image'");
        }
        if (Find(value, "cue") != nullptr &&
            (Find(value, "image") != nullptr || Find(value, "blocks") != nullptr)) {
            return Fail(error, Member(path, "cue"), "not allowed together with 'image' or 'blocks'");
        }
        backend.blocks =
            Find(value, "image") != nullptr || Find(value, "cue") != nullptr ? 0 : 1024;
        backend.blockSize = 2048;
        return ReadUnsigned(value, "blocks", path, backend.blocks, error) &&
               ReadPath(value, "image", path, baseDir, backend.image, error) &&
               ReadPath(value, "cue", path, baseDir, backend.cue, error) &&
               ReadBool(value, "medium", path, backend.medium, error);
    case BackendType::Writer:
        return ReadWriterBackend(value, path, baseDir, backend, error);
    case BackendType::Tape:
        return CheckObject(value, path, {"type", "medium", "image", "capacity_bytes", "block_size"},
                           error) &&
               ReadBool(value, "medium", path, backend.medium, error) &&
               ReadPath(value, "image", path, baseDir, backend.image, error) &&
               ReadUnsigned(value, "capacity_bytes", path, backend.capacityBytes, error, 1) &&
               ReadUnsigned(value, "block_size", path, backend.blockSize, error, 0, 0xFFFFFF);
    case BackendType::Scanner:
    case BackendType::Processor:
        return CheckObject(value, path, {"type"}, error);
    case BackendType::Scripted: {
        if (!CheckObject(value, path, {"type", "responses"}, error)) return false;
        const Json* responses = nullptr;
        if (!FindArray(value, "responses", path, responses, error)) return false;
        if (responses == nullptr) return true;
        for (size_t i = 0; i < responses->size(); ++i) {
            ScriptedResponse response;
            if (!ReadResponse((*responses)[i], Element(Member(path, "responses"), i), response,
                              error)) {
                return false;
            }
            backend.responses.push_back(response);
        }
        return true;
    }
    case BackendType::Iscsi:
        if (!CheckObject(value, path, {"type", "url", "initiator", "timeout_s"}, error)) {
            return false;
        }
        if (Find(value, "url") == nullptr) {
            return Fail(error, Member(path, "url"), "required member missing");
        }
        if (!ReadText(value, "url", path, backend.url, error)) return false;
        if (backend.url.empty()) return Fail(error, Member(path, "url"), "expected a URL");
        backend.initiator = DefaultIscsiInitiator;
        if (!ReadText(value, "initiator", path, backend.initiator, error)) return false;
        if (backend.initiator.empty()) {
            return Fail(error, Member(path, "initiator"), "expected an initiator name");
        }
        return ReadUnsigned(value, "timeout_s", path, backend.timeoutSeconds, error, 1);
    }
    return Fail(error, path, "unknown backend type");
}

// Returns false unless the inquiry text fits `width`; stores it padded.
bool ReadInquiryText(const Json& inquiry, const char* member, const std::string& path,
                     size_t width, std::string& out, std::string& error) {
    std::string text = out;
    if (!ReadText(inquiry, member, path, text, error)) return false;
    if (text.size() > width) {
        return Fail(error, Member(path, member),
                    "text longer than " + std::to_string(width) + " characters");
    }
    text.resize(width, ' ');
    out = text;
    return true;
}

// Returns false unless `value` is the unit's inquiry object (or absent);
// fills the defaults of the backend type.
bool ReadInquiry(const Json* value, const std::string& path, const BackendDefaults& defaults,
                 InquiryConfig& inquiry, std::string& error) {
    inquiry.peripheral = defaults.peripheral;
    inquiry.removable = defaults.removable;
    inquiry.vendor = "PTASPI";
    inquiry.product = defaults.product;
    inquiry.revision = "1.0";
    const bool scripted = defaults.type == BackendType::Scripted;
    if (value == nullptr) {
        if (scripted) {
            return Fail(error, Member(path, "peripheral"), "required for scripted units");
        }
        static const Json empty = Json::object();
        value = &empty;
    }
    if (!CheckObject(*value, path, {"peripheral", "removable", "vendor", "product", "revision"},
                     error)) {
        return false;
    }
    if (scripted && Find(*value, "peripheral") == nullptr) {
        return Fail(error, Member(path, "peripheral"), "required for scripted units");
    }
    inquiry.given.peripheral = Find(*value, "peripheral") != nullptr;
    inquiry.given.removable = Find(*value, "removable") != nullptr;
    inquiry.given.vendor = Find(*value, "vendor") != nullptr;
    inquiry.given.product = Find(*value, "product") != nullptr;
    inquiry.given.revision = Find(*value, "revision") != nullptr;
    return ReadUnsigned(*value, "peripheral", path, inquiry.peripheral, error) &&
           ReadBool(*value, "removable", path, inquiry.removable, error) &&
           ReadInquiryText(*value, "vendor", path, 8, inquiry.vendor, error) &&
           ReadInquiryText(*value, "product", path, 16, inquiry.product, error) &&
           ReadInquiryText(*value, "revision", path, 4, inquiry.revision, error);
}

// Returns false unless the unit's `class_device` is absent, null, one name
// or an array of names (a unit that answers to several class devices).
bool ReadClassDevices(const Json& unit, const std::string& path, std::vector<std::string>& names,
                      std::string& error) {
    const Json* value = Find(unit, "class_device");
    if (value == nullptr || value->is_null()) return true;
    const std::string where = Member(path, "class_device");
    if (!value->is_array()) {
        names.emplace_back();
        return ReadTextValue(*value, where, names.back(), error);
    }
    for (size_t i = 0; i < value->size(); ++i) {
        names.emplace_back();
        if (!ReadTextValue((*value)[i], where + "[" + std::to_string(i) + "]", names.back(), error)) {
            return false;
        }
    }
    return true;
}

// Returns false unless `value` is one unit.
bool ReadUnit(const Json& value, const std::string& path, const std::string& baseDir,
              Declarations& declared, UnitConfig& unit, std::string& error) {
    if (!CheckObject(value, path,
                     {"target", "lun", "claimed", "inquiry", "class_device", "drive",
                      "address_error", "registry", "access", "autosense", "backend",
                      "translation", "exclusive_lock"},
                     error)) {
        return false;
    }
    for (const char* member : {"target", "lun", "backend"}) {
        if (Find(value, member) == nullptr) {
            return Fail(error, Member(path, member), "required member missing");
        }
    }
    const BackendDefaults* defaults = nullptr;
    if (!ReadBackend(*Find(value, "backend"), Member(path, "backend"), baseDir, unit.backend,
                     defaults, error)) {
        return false;
    }
    unit.claimed = defaults->claimed;
    unit.claimedGiven = Find(value, "claimed") != nullptr;
    if (!ReadUnsigned(value, "target", path, unit.target, error) ||
        !ReadUnsigned(value, "lun", path, unit.lun, error) ||
        !ReadBool(value, "claimed", path, unit.claimed, error) ||
        !ReadInquiry(Find(value, "inquiry"), Member(path, "inquiry"), *defaults, unit.inquiry,
                     error) ||
        !ReadUnsigned(value, "address_error", path, unit.addressError, error) ||
        !ReadBool(value, "registry", path, unit.registry, error) ||
        !ReadBool(value, "autosense", path, unit.autosense, error) ||
        !ReadClassDevices(value, path, unit.classDevices, error)) {
        return false;
    }
    // Only a unit that may be a CD-ROM has exclusive access to lock; an
    // iscsi unit's type is known once its real unit answers.
    const BackendType type = unit.backend.type;
    const bool mayBeCdRom = type != BackendType::Disk && type != BackendType::Tape &&
                            type != BackendType::Scanner && type != BackendType::Processor &&
                            (type != BackendType::Scripted || IsCdRomPeripheral(unit.inquiry.peripheral));
    if (!ReadUnitTranslationAndLock(value, path, mayBeCdRom, unit, error)) return false;
    if (const Json* access = Find(value, "access")) {
        const std::string text = access->is_string() ? access->get<std::string>() : std::string();
        if (text == "read-write") {
            unit.access = UnitAccess::ReadWrite;
        } else if (text == "read-only") {
            unit.access = UnitAccess::ReadOnly;
        } else if (text == "none") {
            unit.access = UnitAccess::None;
        } else {
            return Fail(error, Member(path, "access"),
                        "expected \"read-write\", \"read-only\" or \"none\"");
        }
    }
    for (size_t i = 0; i < unit.classDevices.size(); ++i) {
        const std::string where = Member(path, "class_device") +
                                  (unit.classDevices.size() > 1 ? "[" + std::to_string(i) + "]" : "");
        const std::string& name = unit.classDevices[i];
        if (name.empty() || name.find('\\') != std::string::npos) {
            return Fail(error, where, "expected a device name such as \"CdRom0\"");
        }
        auto found = declared.classDevices.find(Upper(name));
        if (found != declared.classDevices.end()) {
            return Fail(error, where,
                        "class device '" + name + "' declared twice (also at " + found->second + ")");
        }
        declared.classDevices[Upper(name)] = where;
    }
    if (const Json* drive = Find(value, "drive")) {
        const std::string where = Member(path, "drive");
        if (!drive->is_null()) {
            char letter = 0;
            if (!ReadDriveLetter(*drive, where, letter, error)) return false;
            // An iscsi unit's type is known only once its real unit answers:
            // the install checks it.
            const bool cdrom = unit.backend.type == BackendType::CdRom ||
                               unit.backend.type == BackendType::Writer ||
                               unit.backend.type == BackendType::Iscsi ||
                               (unit.backend.type == BackendType::Scripted &&
                                IsCdRomPeripheral(unit.inquiry.peripheral));
            if (!cdrom) {
                return Fail(error, where,
                            "a drive letter needs a CD-ROM unit (a cdrom or writer backend, or a scripted "
                            "or iscsi unit of peripheral device type 5)");
            }
            if (!DeclareDrive(declared, letter, where, error)) return false;
            unit.drive = letter;
        }
    }
    return true;
}

// Returns false unless `value` is one bus.
bool ReadBus(const Json& value, const std::string& path, const std::string& baseDir,
             Declarations& declared, BusConfig& bus, std::string& error) {
    if (!CheckObject(value, path, {"device_map", "initiator_id", "extra_subkeys", "units"},
                     error) ||
        !ReadBool(value, "device_map", path, bus.deviceMap, error)) {
        return false;
    }
    if (const Json* initiator = Find(value, "initiator_id")) {
        const std::string where = Member(path, "initiator_id");
        if (initiator->is_null()) {
            bus.initiatorId.reset();
        } else if (initiator->is_number_integer() && !initiator->is_number_unsigned()) {
            bus.initiatorId = initiator->get<int64_t>();
        } else {
            uint64_t number = 0;
            std::string ignored;
            if (!ReadUnsignedValue(*initiator, where, 0, INT64_MAX, number, ignored)) {
                return Fail(error, where, "expected a whole number or null");
            }
            bus.initiatorId = static_cast<int64_t>(number);
        }
    }
    const Json* extra = nullptr;
    if (!FindArray(value, "extra_subkeys", path, extra, error)) return false;
    for (size_t i = 0; extra != nullptr && i < extra->size(); ++i) {
        const std::string where = Element(Member(path, "extra_subkeys"), i);
        std::string name;
        if (!ReadTextValue((*extra)[i], where, name, error)) return false;
        if (name.empty() || name.find('\\') != std::string::npos) {
            return Fail(error, where, "expected a key name without backslashes");
        }
        bus.extraSubkeys.push_back(name);
    }
    const Json* units = nullptr;
    if (!FindArray(value, "units", path, units, error)) return false;
    if (units == nullptr) return true;
    // The inquiry data counts a bus's units in one byte.
    if (units->size() > 255) return Fail(error, Member(path, "units"), "more than 255 units");
    for (size_t i = 0; i < units->size(); ++i) {
        UnitConfig unit;
        if (!ReadUnit((*units)[i], Element(Member(path, "units"), i), baseDir, declared, unit,
                      error)) {
            return false;
        }
        bus.units.push_back(unit);
    }
    return true;
}

// Returns false unless `value` is a port's capabilities object.
bool ReadCapabilities(const Json& value, const std::string& path, CapabilitiesConfig& caps,
                      std::string& error) {
    if (!CheckObject(value, path,
                     {"MaximumTransferLength", "MaximumPhysicalPages",
                      "SupportedAsynchronousEvents", "AlignmentMask", "TaggedQueuing",
                      "AdapterScansDown", "AdapterUsesPio"},
                     error) ||
        !ReadUnsigned(value, "MaximumTransferLength", path, caps.MaximumTransferLength, error)) {
        return false;
    }
    // A port that states no page limit can map its largest transfer at any
    // offset in a page: one page more than the transfer fills.
    caps.MaximumPhysicalPages = caps.MaximumTransferLength / 4096 + 1;
    return ReadUnsigned(value, "MaximumPhysicalPages", path, caps.MaximumPhysicalPages, error) &&
           ReadUnsigned(value, "SupportedAsynchronousEvents", path,
                        caps.SupportedAsynchronousEvents, error) &&
           ReadUnsigned(value, "AlignmentMask", path, caps.AlignmentMask, error) &&
           ReadBool(value, "TaggedQueuing", path, caps.TaggedQueuing, error) &&
           ReadBool(value, "AdapterScansDown", path, caps.AdapterScansDown, error) &&
           ReadBool(value, "AdapterUsesPio", path, caps.AdapterUsesPio, error);
}

// Returns false unless ports naming the same driver describe its service
// key the same way.
bool DeclareDriver(Declarations& declared, const PortConfig& port, const std::string& path,
                   std::string& error) {
    if (!port.driver) return true;
    const std::string key = Upper(*port.driver);
    auto found = declared.drivers.find(key);
    if (found == declared.drivers.end()) {
        declared.drivers[key] = Declarations::Driver{path, port.service, port.imagePath};
        return true;
    }
    const char* differs = nullptr;
    if (found->second.service != port.service) {
        differs = "service";
    } else if (found->second.imagePath.has_value() != port.imagePath.has_value() ||
               (port.imagePath && Upper(*found->second.imagePath) != Upper(*port.imagePath))) {
        // Paths compare without case, as the file system they name does.
        differs = "image_path";
    }
    if (differs == nullptr) return true;
    return Fail(error, Member(path, differs),
                "driver '" + *port.driver + "' is described differently at " + found->second.path);
}

// Returns false unless `value` is one port.
bool ReadPort(const Json& value, const std::string& path, const std::string& baseDir,
              Declarations& declared, PortConfig& port, std::string& error) {
    if (!CheckObject(value, path,
                     {"device", "open_error", "capabilities", "capabilities_error",
                      "inquiry_error", "inquiry_answer", "device_map", "driver", "service",
                      "image_path", "aspidrv", "buses", "bus_type"},
                     error) ||
        !ReadBusType(value, path, port, error) ||
        !ReadBool(value, "device", path, port.device, error) ||
        !ReadUnsigned(value, "open_error", path, port.openError, error) ||
        !ReadUnsigned(value, "capabilities_error", path, port.capabilitiesError, error) ||
        !ReadUnsigned(value, "inquiry_error", path, port.inquiryError, error) ||
        !ReadBool(value, "device_map", path, port.deviceMap, error) ||
        !ReadNullableText(value, "driver", path, port.driver, error) ||
        !ReadBool(value, "service", path, port.service, error) ||
        !ReadBool(value, "aspidrv", path, port.aspidrv, error)) {
        return false;
    }
    if (const Json* answer = Find(value, "inquiry_answer")) {
        std::vector<uint8_t> bytes;
        if (!ReadHexBytes(*answer, Member(path, "inquiry_answer"), bytes, error)) return false;
        port.inquiryAnswer = bytes;
    }
    if (const Json* caps = Find(value, "capabilities")) {
        if (!ReadCapabilities(*caps, Member(path, "capabilities"), port.capabilities, error)) {
            return false;
        }
    }
    if (port.driver) {
        const std::string& driver = *port.driver;
        if (driver.empty() || driver.find('\\') != std::string::npos) {
            return Fail(error, Member(path, "driver"),
                        "expected a driver name without backslashes, or null");
        }
        port.imagePath = "System32\\DRIVERS\\" + driver + ".sys";
    }
    if (!ReadNullableText(value, "image_path", path, port.imagePath, error)) return false;
    if (!port.driver) port.imagePath.reset();
    const Json* buses = nullptr;
    if (!FindArray(value, "buses", path, buses, error)) return false;
    if (buses != nullptr) {
        // The inquiry data counts a port's buses in one byte.
        if (buses->size() > 255) return Fail(error, Member(path, "buses"), "more than 255 buses");
        for (size_t i = 0; i < buses->size(); ++i) {
            BusConfig bus;
            if (!ReadBus((*buses)[i], Element(Member(path, "buses"), i), baseDir, declared, bus,
                         error)) {
                return false;
            }
            port.buses.push_back(bus);
        }
    }
    return DeclareDriver(declared, port, path, error);
}

// Returns false unless `value` is one entry of the top-level drives.
bool ReadDrive(const Json& value, const std::string& path, Declarations& declared,
               DriveConfig& drive, std::string& error) {
    if (!CheckObject(value, path, {"letter", "type"}, error)) return false;
    const Json* letter = Find(value, "letter");
    if (letter == nullptr) return Fail(error, Member(path, "letter"), "required member missing");
    if (!ReadDriveLetter(*letter, Member(path, "letter"), drive.letter, error) ||
        !DeclareDrive(declared, drive.letter, Member(path, "letter"), error)) {
        return false;
    }
    const Json* type = Find(value, "type");
    if (type == nullptr) return true;
    static const struct {
        const char* name;
        DriveKind kind;
    } kinds[] = {{"fixed", DriveKind::Fixed},   {"removable", DriveKind::Removable},
                 {"remote", DriveKind::Remote}, {"cdrom", DriveKind::CdRom},
                 {"ramdisk", DriveKind::RamDisk}};
    for (const auto& entry : kinds) {
        if (type->is_string() && type->get_ref<const std::string&>() == entry.name) {
            drive.kind = entry.kind;
            return true;
        }
    }
    return Fail(error, Member(path, "type"),
                "expected \"fixed\", \"removable\", \"remote\", \"cdrom\" or \"ramdisk\"");
}


// Returns false unless the document is a machine; fills `machine`.
bool ReadMachine(const Json& document, const std::string& baseDir, Machine& machine,
                 std::string& error) {
    if (!CheckObject(document, "",
                     {"name", "windows", "user", "optical_access", "ports", "drives", "registry"},
                     error) ||
        !ReadText(document, "name", "", machine.name, error) ||
        !ReadReleaseAndUser(document, machine, error)) {
        return false;
    }
    Declarations declared;
    const Json* ports = nullptr;
    if (!FindArray(document, "ports", "", ports, error)) return false;
    for (size_t i = 0; ports != nullptr && i < ports->size(); ++i) {
        PortConfig port;
        if (!ReadPort((*ports)[i], Element("ports", i), baseDir, declared, port, error)) {
            return false;
        }
        machine.ports.push_back(port);
    }
    const Json* drives = nullptr;
    if (!FindArray(document, "drives", "", drives, error)) return false;
    for (size_t i = 0; drives != nullptr && i < drives->size(); ++i) {
        DriveConfig drive;
        if (!ReadDrive((*drives)[i], Element("drives", i), declared, drive, error)) return false;
        machine.drives.push_back(drive);
    }
    const Json* edits = nullptr;
    if (!FindArray(document, "registry", "", edits, error)) return false;
    for (size_t i = 0; edits != nullptr && i < edits->size(); ++i) {
        RegistryEdit edit;
        if (!ReadRegistryEdit((*edits)[i], Element("registry", i), edit, error)) return false;
        machine.registry.push_back(edit);
    }
    return true;
}


// Returns false with a message when `text` is not a valid machine.
bool ParseMachineIn(const std::string& text, const std::string& baseDir, Machine& machine,
                    std::string& error) {
    try {
        Json document;
        if (!ParseJson(text, document, error)) return false;
        Machine parsed;
        if (!ReadMachine(document, baseDir, parsed, error)) return false;
        machine = parsed;
        return true;
    } catch (const std::exception& problem) {
        error = std::string("cannot read the machine: ") + problem.what();
    } catch (...) {
        error = "cannot read the machine";
    }
    return false;
}

}  // namespace

bool ParseMachine(const std::string& text, Machine& machine, std::string& error) {
    return ParseMachineIn(text, std::string(), machine, error);
}

bool LoadMachineFile(const std::string& path, Machine& machine, std::string& error) {
    std::string text;
    try {
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            error = path + ": cannot open the file (" + std::strerror(errno) + ")";
            return false;
        }
        std::ostringstream contents;
        contents << file.rdbuf();
        if (file.bad()) {
            error = path + ": cannot read the file";
            return false;
        }
        text = contents.str();
    } catch (...) {
        error = path + ": cannot read the file";
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string baseDir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    if (!ParseMachineIn(text, baseDir, machine, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

std::string MachineFileProblem(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? "machine file '" + path + "' does not exist"
                               : "machine file '" + path + "': " + std::strerror(errno);
    }
    if (S_ISDIR(info.st_mode)) return "'" + path + "' is a folder, not a machine file";
    if (!S_ISREG(info.st_mode)) return "'" + path + "' is not a regular file";
    return std::string();
}

}  // namespace sim
