// A tape cartridge: records and filemarks in the order written, then end of
// data, with the position between two of them. Kept in memory, and, with
// an image file, in that file as well (the format is in docs/machine-format.md):
// every write goes to the file at once, cutting off what followed.
#ifndef PTASPI_SIM_UNITS_TAPE_MEDIUM_H
#define PTASPI_SIM_UNITS_TAPE_MEDIUM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::units {

struct TapeObject {
    bool filemark = false;
    std::vector<uint8_t> data;  // a record's bytes; empty for a filemark
};

struct TapeMedium {
    std::vector<TapeObject> objects;
    size_t position = 0;         // objects before the head; objects.size(): end of data
    uint64_t capacityBytes = 0;  // records' bytes the cartridge holds
    uint64_t usedBytes = 0;
    uint32_t blockSize = 0;      // fixed block length; 0: variable
    bool loaded = true;          // false after LOAD UNLOAD unloaded it
    std::string imagePath;       // empty: memory only
    std::vector<uint64_t> fileOffsets;  // where each object starts in the image

    ~TapeMedium();
    TapeMedium() = default;
    TapeMedium(const TapeMedium&) = delete;
    TapeMedium& operator=(const TapeMedium&) = delete;

    // Returns false with `error` when the image file cannot be read,
    // created or is not a tape image.
    bool Open(const std::string& path, std::string& error);
    // Returns false when the file could not be written. Both cut the tape
    // at the position, append there and move past what was appended.
    bool AppendRecord(const uint8_t* bytes, size_t length);
    bool AppendFilemark();
    // Returns false when the file could not be cut: end of data at the
    // position.
    bool EraseFromPosition();

private:
    int fd_ = -1;
    // Returns false when the image could not be cut at the position and
    // the object written there.
    bool WriteObject(const TapeObject& object);
};

// The image file's first eight bytes.
extern const char TapeImageMagic[8];

}  // namespace sim::units

#endif
