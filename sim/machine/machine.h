// The model of a simulated Windows NT machine, as a machine description
// file states it. The loader fills every default, so that nothing later has
// to know them; the live machine (devices, registry) is built from this.
#ifndef PTASPI_SIM_MACHINE_H
#define PTASPI_SIM_MACHINE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// The initiator name an iscsi unit logs in with when its file names none.
constexpr const char* DefaultIscsiInitiator = "iqn.2026-12.org.ptaspi:sim";

// Returns true when an INQUIRY peripheral byte names a CD-ROM drive (device
// type 5, whatever the qualifier): the only units that get a drive letter.
constexpr bool IsCdRomPeripheral(uint8_t peripheral) { return (peripheral & 0x1F) == 0x05; }

enum class UserKind { Administrator, Limited, Standard };
// The Windows release a machine runs. Seven, Ten and Eleven are 64-bit
// releases whose 32-bit programs run under WOW64 and whose tokens carry an
// elevation state.
enum class WindowsRelease { Nt4, W2000, Xp, Seven, Ten, Eleven };
// Returns true for the releases that run programs under WOW64 and UAC.
constexpr bool IsWow64Release(WindowsRelease release) {
    return release == WindowsRelease::Seven || release == WindowsRelease::Ten ||
           release == WindowsRelease::Eleven;
}
// What the port driver does with SCSI commands before they reach a unit:
// nothing (a SCSI or ATAPI device), or its SCSI-to-ATA or SCSI-to-NVMe
// translation, outside which it refuses them.
enum class Translation { None, Ata, Nvme };
enum class UnitAccess { ReadWrite, ReadOnly, None };
enum class BackendType { Disk, CdRom, Tape, Scanner, Processor, Scripted, Iscsi, Writer };
// The recordable media a writer unit holds, and the state they are in.
enum class WriterMedia { None, CdR, CdRw, DvdMinusR, DvdPlusR, DvdMinusRw, DvdPlusRw };
enum class WriterDiscState { Blank, Appendable, Closed };
enum class DriveKind { Fixed, Removable, Remote, CdRom, RamDisk };

struct CapabilitiesConfig {
    uint32_t MaximumTransferLength = 65536;
    uint32_t MaximumPhysicalPages = 17;  // the loader: MaximumTransferLength / 4096 + 1
    uint32_t SupportedAsynchronousEvents = 0;
    uint32_t AlignmentMask = 1;
    bool TaggedQueuing = false;
    bool AdapterScansDown = false;
    bool AdapterUsesPio = false;
};

struct ScriptedResponse {
    std::optional<uint8_t> opcode;  // none: answers any command
    uint8_t status = 0;
    std::vector<uint8_t> sense;
    std::vector<uint8_t> data;
    uint32_t error = 0;          // both pass-through controls fail with it
    uint32_t directError = 0;    // only IOCTL_SCSI_PASS_THROUGH_DIRECT fails
    uint32_t bufferedError = 0;  // only IOCTL_SCSI_PASS_THROUGH fails
    uint32_t afterError = 0;     // the command runs, then both controls fail
    uint32_t delayMs = 0;
    bool hang = false;
    std::optional<uint32_t> times;  // none: unlimited
};

struct BackendConfig {
    BackendType type = BackendType::Disk;
    uint32_t blocks = 0;      // disk: 2048; cdrom: 1024 (when no image)
    uint32_t blockSize = 0;   // disk: 512; cdrom: 2048
    std::string file;         // disk image file, read and written in place
    std::string image;        // cdrom ISO file, read-only
    bool medium = true;       // cdrom, tape
    // tape: the capacity in bytes; `image` names its file of records and
    // filemarks, `blockSize` its fixed block size (0: variable).
    uint64_t capacityBytes = uint64_t(1) << 30;
    std::vector<ScriptedResponse> responses;
    std::string url;          // iscsi: iscsi://HOST[:PORT]/TARGET-IQN/LUN
    std::string initiator;    // iscsi: the initiator name; filled by default
    uint32_t timeoutSeconds = 10;  // iscsi: login and command limit, at least 1
    std::string cue;          // cdrom: cue sheet naming a raw file (exclusive with image)
    // writer: the media, their state, their size in 2048-byte blocks (filled
    // from the media) and `image`, the file of what has been written.
    WriterMedia media = WriterMedia::CdR;
    WriterDiscState state = WriterDiscState::Blank;
    uint32_t capacityBlocks = 0;
};

// Which inquiry members the file gave; a real unit supplies the others.
struct InquiryGiven {
    bool peripheral = false;
    bool removable = false;
    bool vendor = false;
    bool product = false;
    bool revision = false;
};

// Standard INQUIRY identity, defaults filled from the backend type.
struct InquiryConfig {
    uint8_t peripheral = 0;   // byte 0 whole, qualifier included
    bool removable = false;
    std::string vendor;       // exactly 8 characters, space padded
    std::string product;      // exactly 16
    std::string revision;     // exactly 4
    InquiryGiven given;
};

struct UnitConfig {
    uint8_t target = 0;
    uint8_t lun = 0;
    bool claimed = false;
    bool claimedGiven = false;  // the file gave `claimed`
    InquiryConfig inquiry;
    // The 36 bytes of standard INQUIRY data the port driver reports, taken
    // from a real unit when the machine is installed; empty: generated from
    // `inquiry`.
    std::vector<uint8_t> inquiryData;
    std::vector<std::string> classDevices;   // "PhysicalDrive0", "CdRom1", ...; may be empty
    std::optional<char> drive;               // upper-case letter
    uint32_t addressError = 0;
    bool registry = true;
    UnitAccess access = UnitAccess::ReadWrite;
    Translation translation = Translation::None;
    // The caller name under which another program holds the CD-ROM's
    // exclusive access (IOCTL_CDROM_EXCLUSIVE_ACCESS); none: unlocked.
    std::optional<std::string> exclusiveLock;
    bool autosense = true;
    BackendConfig backend;
    // The LUNs of every unit at this unit's bus and target, ascending, this
    // one's among them: the target's inventory that REPORT LUNS returns.
    // Filled when the machine is installed; empty: the unit's own LUN.
    std::vector<uint8_t> targetLuns;
};

struct BusConfig {
    bool deviceMap = true;
    std::optional<int64_t> initiatorId = 7;
    std::vector<std::string> extraSubkeys;
    std::vector<UnitConfig> units;
};

struct PortConfig {
    bool device = true;
    uint32_t openError = 0;
    CapabilitiesConfig capabilities;
    uint32_t capabilitiesError = 0;
    uint32_t inquiryError = 0;
    // The exact IOCTL_SCSI_GET_INQUIRY_DATA answer; none: generated.
    std::optional<std::vector<uint8_t>> inquiryAnswer;
    bool deviceMap = true;
    std::optional<std::string> driver = std::string("hba");
    bool service = true;
    std::optional<std::string> imagePath;  // filled: "System32\DRIVERS\<driver>.sys"
    bool aspidrv = false;
    // STORAGE_BUS_TYPE reported for the adapter and its units; none: ATAPI
    // for the driver "atapi", SCSI for any other (PortBusType).
    std::optional<uint8_t> busType;
    std::vector<BusConfig> buses;
};

// Returns the STORAGE_BUS_TYPE value the port's adapter reports.
uint8_t PortBusType(const PortConfig& port);

struct DriveConfig {
    char letter = 'C';  // upper case
    DriveKind kind = DriveKind::Fixed;
};

struct RegistryEdit {
    enum class Kind { SetValue, CreateKey, DeleteKey, DeleteValue };
    Kind kind = Kind::CreateKey;
    std::string key;    // relative to HKEY_LOCAL_MACHINE
    std::string value;  // value name for SetValue and DeleteValue
    uint32_t type = 1;  // REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY
    std::vector<uint8_t> data;  // as stored: text with its NUL, DWORD little-endian
};

struct Machine {
    std::string name;
    WindowsRelease windows = WindowsRelease::W2000;
    UserKind user = UserKind::Administrator;
    // For a standard user: what opens of CD-ROM class devices and drives
    // may ask for.
    UnitAccess opticalAccess = UnitAccess::ReadWrite;
    std::vector<PortConfig> ports;
    std::vector<DriveConfig> drives;
    std::vector<RegistryEdit> registry;
};

// Parses a machine description. Returns false with a message that names the
// member and its path in the file (for instance "ports[1].buses[0].units[2]:
// unknown member 'taget'") when the text is not a valid description.
bool ParseMachine(const std::string& text, Machine& machine, std::string& error);
// Reads and parses a machine file; the message names the file too.
// Returns the empty text when `path` is a file that can be read, else why
// it cannot be a machine file (missing, a folder, not a regular file), in
// the words the tools print.
std::string MachineFileProblem(const std::string& path);
bool LoadMachineFile(const std::string& path, Machine& machine, std::string& error);
// The built-in default machine (the same text as machines/default.json).
const char* DefaultMachineText();
Machine DefaultMachine();

}  // namespace sim

#endif
