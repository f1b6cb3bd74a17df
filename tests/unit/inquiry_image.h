// Builds answers to IOCTL_SCSI_GET_INQUIRY_DATA byte by byte, for the tests
// of the inquiry walk and the fuzz target's seeds: the adapter bus info,
// the per-bus data and chained inquiry records at chosen offsets.
#ifndef PTASPI_TESTS_UNIT_INQUIRY_IMAGE_H
#define PTASPI_TESTS_UNIT_INQUIRY_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace inquiry_image {

constexpr size_t BusListOffset = 4;
constexpr size_t BusDataLength = 8;
constexpr size_t RecordHeaderLength = 12;
constexpr size_t InquiryLength = 36;
constexpr size_t RecordLength = RecordHeaderLength + InquiryLength;  // 48, a multiple of 4

struct Unit {
    uint8_t pathId;
    uint8_t targetId;
    uint8_t lun;
    uint8_t claimed;
    uint8_t type;
};

inline void PutDword(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    if (bytes.size() < offset + 4) bytes.resize(offset + 4);
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Returns the bytes of an answer with `buses` bus entries, all offsets 0.
inline std::vector<uint8_t> Header(uint8_t buses) {
    std::vector<uint8_t> bytes(BusListOffset + BusDataLength * buses, 0);
    bytes[0] = buses;
    return bytes;
}

inline void SetBusOffset(std::vector<uint8_t>& bytes, size_t bus, uint32_t offset) {
    PutDword(bytes, BusListOffset + BusDataLength * bus + 4, offset);
}

// Writes a full record (header and 36 bytes of inquiry data) at offset.
inline void PutRecord(std::vector<uint8_t>& bytes, size_t offset, const Unit& unit,
                      uint32_t next) {
    if (bytes.size() < offset + RecordLength) bytes.resize(offset + RecordLength);
    bytes[offset + 0] = unit.pathId;
    bytes[offset + 1] = unit.targetId;
    bytes[offset + 2] = unit.lun;
    bytes[offset + 3] = unit.claimed;
    PutDword(bytes, offset + 4, InquiryLength);
    PutDword(bytes, offset + 8, next);
    bytes[offset + 12] = unit.type;
}

// Returns an answer laid out as a port driver does: the bus list, then
// each bus's records in chain order, one after another.
inline std::vector<uint8_t> Laid(const std::vector<std::vector<Unit>>& buses) {
    std::vector<uint8_t> bytes = Header(static_cast<uint8_t>(buses.size()));
    size_t offset = bytes.size();
    for (size_t bus = 0; bus < buses.size(); ++bus) {
        if (buses[bus].empty()) continue;
        SetBusOffset(bytes, bus, static_cast<uint32_t>(offset));
        for (size_t i = 0; i < buses[bus].size(); ++i) {
            const bool last = i + 1 == buses[bus].size();
            PutRecord(bytes, offset, buses[bus][i],
                      last ? 0 : static_cast<uint32_t>(offset + RecordLength));
            offset += RecordLength;
        }
    }
    return bytes;
}

}  // namespace inquiry_image

#endif
