// The medium behind an emulated block device: bytes addressed with 64-bit
// offsets, either in memory (allocated only where written, so that a unit of
// 2^32 blocks costs nothing until used) or in an image file read and written
// in place.
#ifndef PTASPI_SIM_UNITS_STORAGE_H
#define PTASPI_SIM_UNITS_STORAGE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

namespace sim::units {

class BlockStorage {
public:
    virtual ~BlockStorage() = default;
    // Returns false when the bytes could not be read; `out` then holds
    // nothing meaningful.
    virtual bool Read(uint64_t offset, uint8_t* out, size_t length) = 0;
    // Returns false when the bytes could not all be written.
    virtual bool Write(uint64_t offset, const uint8_t* in, size_t length) = 0;
    // Returns false when what was written could not be made durable.
    virtual bool Flush() { return true; }
    // Returns true when every write fails (a read-only image).
    virtual bool ReadOnly() const { return false; }
};

// Zero-filled memory, allocated a page at a time on first write.
class MemoryStorage : public BlockStorage {
public:
    bool Read(uint64_t offset, uint8_t* out, size_t length) override;
    bool Write(uint64_t offset, const uint8_t* in, size_t length) override;

private:
    static constexpr size_t PageSize = 65536;
    std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>> pages_;
};

// An image file. Bytes past its end read as zeros; writes past its end
// extend it.
class FileStorage : public BlockStorage {
public:
    ~FileStorage() override;
    // Returns the storage, or null with a message naming the file. With
    // `readOnly` the file is opened for reading only; otherwise it is opened
    // for reading and writing, falling back to reading only when the file
    // may not be written (every write then fails).
    static std::unique_ptr<FileStorage> Open(const std::string& path, bool readOnly,
                                             std::string& error);
    bool Read(uint64_t offset, uint8_t* out, size_t length) override;
    bool Write(uint64_t offset, const uint8_t* in, size_t length) override;
    bool Flush() override;
    bool ReadOnly() const override { return readOnly_; }
    // Returns the file's size in bytes when it was opened.
    uint64_t SizeAtOpen() const { return sizeAtOpen_; }

private:
    FileStorage(int fd, bool readOnly, uint64_t size)
        : fd_(fd), readOnly_(readOnly), sizeAtOpen_(size) {}
    int fd_;
    bool readOnly_;
    uint64_t sizeAtOpen_;
};

}  // namespace sim::units

#endif
