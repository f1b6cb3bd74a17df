#include "sim/devices/disk_class.h"

#include "sim/devices/port_driver.h"
#include "sim/units/unit.h"

#include <cstring>
#include <vector>

namespace sim {

namespace {

constexpr DWORD FixedMedia = 12;
constexpr DWORD RemovableMedia = 11;
constexpr DWORD FileDeviceDisk = 7;
// The translated geometry disk.sys reports for a disk it cannot ask for
// one: 255 heads of 63 sectors, the cylinders what the capacity holds.
constexpr DWORD TracksPerCylinder = 255;
constexpr DWORD SectorsPerTrack = 63;
constexpr DWORD DiskGeometryLength = 24;
constexpr DWORD DiskGeometryExLength = 32;  // geometry and DiskSize, before Data
constexpr DWORD PartitionInfoLength = 24;   // DISK_PARTITION_INFO
constexpr DWORD DetectionInfoLength = 56;   // DISK_DETECTION_INFO
constexpr DWORD PartitionStyleMbr = 0;
constexpr DWORD PartitionStyleRaw = 2;
constexpr uint32_t LargestTransfer = 65536;  // bytes per SCSI command ReadFile sends

struct Capacity {
    uint64_t blocks = 0;
    uint32_t blockSize = 0;
};

void PutLe32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutLe64(uint8_t* out, uint64_t value) {
    PutLe32(out, static_cast<uint32_t>(value));
    PutLe32(out + 4, static_cast<uint32_t>(value >> 32));
}

// Returns the Win32 error the class driver gives for a failed command:
// not ready (no medium, or becoming ready) is 21, a range outside the
// medium 27, write protection 19, anything else an I/O device error.
DWORD ErrorOfSense(const ScsiOutcome& outcome) {
    if (outcome.platformError != 0) return outcome.platformError;
    const uint8_t key = outcome.sense.size() > 2 ? outcome.sense[2] & 0x0F : 0;
    const uint8_t asc = outcome.sense.size() > 12 ? outcome.sense[12] : 0;
    if (key == 0x02) return ERROR_NOT_READY;
    if (key == 0x05 && asc == 0x21) return 27;  // ERROR_SECTOR_NOT_FOUND
    if (key == 0x07) return 19;                 // ERROR_WRITE_PROTECT
    return ERROR_IO_DEVICE;
}

// Returns 0 or the error, with the outcome of one command on the unit.
DWORD Send(const DeviceFile& file, const uint8_t* cdb, uint8_t cdbLength, DataDirection direction,
           uint8_t* data, uint32_t length, ScsiOutcome& outcome) {
    ScsiCommand command;
    std::memcpy(command.cdb, cdb, cdbLength);
    command.cdbLength = cdbLength;
    command.direction = direction;
    command.data = length != 0 ? data : nullptr;
    command.dataLength = length;
    command.timeoutSeconds = 30;
    command.senseLength = 18;
    const DWORD error = ExecuteOnUnit(file, command, outcome);
    if (error != 0) return error;
    return outcome.status == 0 ? 0 : ErrorOfSense(outcome);
}

// Returns 0 or the error of READ CAPACITY(10), with the capacity.
DWORD ReadCapacity(const DeviceFile& file, Capacity& capacity) {
    const uint8_t cdb[10] = {0x25};
    uint8_t reply[8] = {};
    ScsiOutcome outcome;
    const DWORD error = Send(file, cdb, sizeof cdb, DataDirection::In, reply, sizeof reply, outcome);
    if (error != 0) return error;
    if (outcome.bytesMoved < sizeof reply) return ERROR_IO_DEVICE;
    const uint32_t last = static_cast<uint32_t>(reply[0]) << 24 | reply[1] << 16 | reply[2] << 8 | reply[3];
    capacity.blocks = static_cast<uint64_t>(last) + 1;
    capacity.blockSize = static_cast<uint32_t>(reply[4]) << 24 | reply[5] << 16 | reply[6] << 8 | reply[7];
    return capacity.blockSize == 0 ? ERROR_IO_DEVICE : 0;
}

// Returns nothing: the DISK_GEOMETRY of `capacity` at `out`.
void PutGeometry(const DeviceFile& file, const Capacity& capacity, uint8_t* out) {
    PutLe64(out, capacity.blocks / (TracksPerCylinder * SectorsPerTrack));
    PutLe32(out + 8, file.Target.Unit->Config.inquiry.removable ? RemovableMedia : FixedMedia);
    PutLe32(out + 12, TracksPerCylinder);
    PutLe32(out + 16, SectorsPerTrack);
    PutLe32(out + 20, capacity.blockSize);
}

// Returns 0 or the error, with the DISK_GEOMETRY_EX answer: the geometry,
// the size, and (where the buffer holds them) the partition information,
// MBR with its signature when sector 0 ends in 55 AA, else raw, and
// detection information of type none.
DWORD GeometryEx(const DeviceFile& file, const Capacity& capacity, uint8_t* system,
                 DWORD outputLength, DWORD& information) {
    if (outputLength < DiskGeometryExLength) return ERROR_INSUFFICIENT_BUFFER;
    std::vector<uint8_t> answer(DiskGeometryExLength + PartitionInfoLength + DetectionInfoLength, 0);
    PutGeometry(file, capacity, answer.data());
    PutLe64(&answer[24], capacity.blocks * capacity.blockSize);
    uint8_t* partition = &answer[DiskGeometryExLength];
    PutLe32(partition, PartitionInfoLength);
    PutLe32(partition + 4, PartitionStyleRaw);
    std::vector<uint8_t> first(capacity.blockSize);
    const uint8_t cdb[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    ScsiOutcome outcome;
    if (capacity.blockSize >= 512 &&
        Send(file, cdb, sizeof cdb, DataDirection::In, first.data(), capacity.blockSize, outcome) == 0 &&
        first[510] == 0x55 && first[511] == 0xAA) {
        PutLe32(partition + 4, PartitionStyleMbr);
        std::memcpy(partition + 8, &first[440], 4);  // the disk signature
    }
    PutLe32(&answer[DiskGeometryExLength + PartitionInfoLength], DetectionInfoLength);
    information = outputLength < answer.size() ? outputLength : static_cast<DWORD>(answer.size());
    std::memcpy(system, answer.data(), information);
    return 0;
}

// Returns the unit's class device number N of PhysicalDriveN.
DWORD DeviceNumber(const DeviceFile& file) {
    return static_cast<DWORD>(std::strtoul(file.Name.c_str() + std::strlen("physicaldrive"), nullptr, 10));
}

// Returns 0 or the error of a transfer's range: whole sectors (87
// otherwise), on the disk (27 otherwise).
DWORD CheckTransfer(const DeviceFile& file, DWORD length, Capacity& capacity) {
    DWORD error = ReadCapacity(file, capacity);
    if (error != 0) return error;
    if (file.FilePointer % capacity.blockSize != 0 || length % capacity.blockSize != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    const uint64_t size = capacity.blocks * capacity.blockSize;
    if (file.FilePointer > size || length > size - file.FilePointer) return 27;
    return 0;
}

// Returns 0 or the error of moving `length` bytes at the file pointer, in
// READ(10) or WRITE(10) commands of at most LargestTransfer bytes.
DWORD Transfer(DeviceFile& file, uint8_t opcode, uint8_t* buffer, DWORD length, DWORD& moved) {
    moved = 0;
    Capacity capacity;
    DWORD error = CheckTransfer(file, length, capacity);
    if (error != 0) return error;
    const uint32_t chunkBlocks = LargestTransfer / capacity.blockSize > 0 ? LargestTransfer / capacity.blockSize : 1;
    while (moved < length) {
        const uint64_t lba = (file.FilePointer + moved) / capacity.blockSize;
        uint32_t blocks = (length - moved) / capacity.blockSize;
        if (blocks > chunkBlocks) blocks = chunkBlocks;
        const uint8_t cdb[10] = {opcode, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8),
                                 uint8_t(lba), 0, uint8_t(blocks >> 8), uint8_t(blocks), 0};
        ScsiOutcome outcome;
        error = Send(file, cdb, sizeof cdb, opcode == 0x28 ? DataDirection::In : DataDirection::Out,
                     buffer + moved, blocks * capacity.blockSize, outcome);
        if (error != 0) break;
        moved += blocks * capacity.blockSize;
    }
    file.FilePointer += moved;
    return error;
}

}  // namespace

bool IsDiskClassControl(const DeviceFile& file, DWORD code) {
    if (file.Target.Kind != DeviceKind::Unit || file.Name.rfind("physicaldrive", 0) != 0) return false;
    return code == IoctlDiskGetDriveGeometry || code == IoctlDiskGetDriveGeometryEx ||
           code == IoctlDiskGetLengthInfo || code == IoctlStorageGetDeviceNumber ||
           code == IoctlStorageReadCapacity;
}

DWORD HandleDiskClassControl(const DeviceFile& file, DWORD code, uint8_t* system,
                             DWORD outputLength, DWORD& information) {
    if (code == IoctlStorageGetDeviceNumber) {
        if (outputLength < 12) return ERROR_INSUFFICIENT_BUFFER;
        PutLe32(system, FileDeviceDisk);
        PutLe32(system + 4, DeviceNumber(file));
        PutLe32(system + 8, 0);  // the whole disk, not a partition
        information = 12;
        return 0;
    }
    // The buffer is checked before the unit is asked, as the class driver
    // does.
    const DWORD needed = code == IoctlDiskGetDriveGeometry     ? DiskGeometryLength
                         : code == IoctlDiskGetDriveGeometryEx ? DiskGeometryExLength
                         : code == IoctlDiskGetLengthInfo      ? 8
                                                               : 32;
    if (outputLength < needed) return ERROR_INSUFFICIENT_BUFFER;
    Capacity capacity;
    const DWORD error = ReadCapacity(file, capacity);
    if (error != 0) return error;
    const uint64_t size = capacity.blocks * capacity.blockSize;
    switch (code) {
    case IoctlDiskGetDriveGeometry:
        PutGeometry(file, capacity, system);
        information = DiskGeometryLength;
        return 0;
    case IoctlDiskGetDriveGeometryEx:
        return GeometryEx(file, capacity, system, outputLength, information);
    case IoctlDiskGetLengthInfo:
        PutLe64(system, size);
        information = 8;
        return 0;
    default:  // IOCTL_STORAGE_READ_CAPACITY: STORAGE_READ_CAPACITY, version 32
        std::memset(system, 0, 32);
        PutLe32(system, 32);
        PutLe32(system + 4, 32);
        PutLe32(system + 8, capacity.blockSize);
        PutLe64(system + 16, capacity.blocks);
        PutLe64(system + 24, size);
        information = 32;
        return 0;
    }
}

DWORD DiskClassRead(DeviceFile& file, uint8_t* buffer, DWORD length, DWORD& moved) {
    moved = 0;
    if (!file.CanRead) return ERROR_ACCESS_DENIED;
    return Transfer(file, 0x28, buffer, length, moved);
}

DWORD DiskClassWrite(DeviceFile& file, const uint8_t* buffer, DWORD length, DWORD& moved) {
    moved = 0;
    if (!file.CanWrite) return ERROR_ACCESS_DENIED;
    // The unit only reads from the buffer of a WRITE.
    return Transfer(file, 0x2A, const_cast<uint8_t*>(buffer), length, moved);
}

DWORD DiskClassSeek(DeviceFile& file, int64_t distance, DWORD method, uint64_t& position) {
    int64_t base = 0;
    if (method == 1) {
        base = static_cast<int64_t>(file.FilePointer);
    } else if (method == 2) {
        Capacity capacity;
        const DWORD error = ReadCapacity(file, capacity);
        if (error != 0) return error;
        base = static_cast<int64_t>(capacity.blocks * capacity.blockSize);
    } else if (method != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    // Overflow-safe: the sum is formed only when it cannot wrap.
    if ((distance < 0 && base < -distance) || (distance > 0 && base > INT64_MAX - distance)) {
        return distance < 0 ? 131 : ERROR_INVALID_PARAMETER;  // ERROR_NEGATIVE_SEEK
    }
    file.FilePointer = static_cast<uint64_t>(base + distance);
    position = file.FilePointer;
    return 0;
}

}  // namespace sim
