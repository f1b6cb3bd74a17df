// Builds answers to IOCTL_SCSI_GET_INQUIRY_DATA byte by byte: the bus list
// and inquiry records at chosen offsets, well-formed or not.
#ifndef PTASPI_TESTS_UNIT_INQUIRY_IMAGE_H
#define PTASPI_TESTS_UNIT_INQUIRY_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace inquiry_image {

constexpr size_t BusListOffset = 4;
constexpr size_t BusDataLength = 8;
constexpr uint32_t InquiryLength = 36;
constexpr uint32_t RecordLength = 12 + InquiryLength;  // header and inquiry data

struct Unit {
    uint8_t pathId, targetId, lun, claimed, type;
};

// A record, where it lies and the offset of its successor.
struct Placed {
    uint32_t offset;
    Unit unit;
    uint32_t next;
};

inline void PutDword(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    if (bytes.size() < offset + 4) bytes.resize(offset + 4);
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Returns an answer claiming `buses` buses, with one bus entry per offset
// in busOffsets and the given records.
inline std::vector<uint8_t> Image(uint8_t buses, const std::vector<uint32_t>& busOffsets,
                                  const std::vector<Placed>& records) {
    std::vector<uint8_t> bytes(BusListOffset + BusDataLength * busOffsets.size(), 0);
    bytes[0] = buses;
    for (size_t bus = 0; bus < busOffsets.size(); ++bus) {
        PutDword(bytes, BusListOffset + BusDataLength * bus + 4, busOffsets[bus]);
    }
    for (const Placed& record : records) {
        const size_t at = record.offset;
        if (bytes.size() < at + RecordLength) bytes.resize(at + RecordLength);
        bytes[at + 0] = record.unit.pathId;
        bytes[at + 1] = record.unit.targetId;
        bytes[at + 2] = record.unit.lun;
        bytes[at + 3] = record.unit.claimed;
        PutDword(bytes, at + 4, InquiryLength);
        PutDword(bytes, at + 8, record.next);
        bytes[at + 12] = record.unit.type;
    }
    return bytes;
}

// Returns an answer laid out as a port driver does: the bus list, then
// each bus's records in chain order, one after another.
inline std::vector<uint8_t> Laid(const std::vector<std::vector<Unit>>& buses) {
    std::vector<uint32_t> busOffsets;
    std::vector<Placed> records;
    uint32_t offset = static_cast<uint32_t>(BusListOffset + BusDataLength * buses.size());
    for (const std::vector<Unit>& units : buses) {
        busOffsets.push_back(units.empty() ? 0 : offset);
        for (size_t i = 0; i < units.size(); ++i, offset += RecordLength) {
            records.push_back({offset, units[i], i + 1 == units.size() ? 0 : offset + RecordLength});
        }
    }
    return Image(static_cast<uint8_t>(buses.size()), busOffsets, records);
}

}  // namespace inquiry_image

#endif
