#include "sim/units/tape_medium.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim::units {

const char TapeImageMagic[8] = {'P', 'T', 'A', 'P', 'E', '0', '0', '1'};

namespace {

constexpr uint32_t FilemarkHeader = 0xFFFFFFFFu;
constexpr uint32_t LargestRecord = 0x00FFFFFFu;

void PutLittle32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLittle32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

// Returns true when `length` bytes were read at `offset`.
bool ReadAt(int fd, uint64_t offset, uint8_t* out, size_t length) {
    while (length > 0) {
        const ssize_t got = ::pread(fd, out, length, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        out += got;
        offset += static_cast<uint64_t>(got);
        length -= static_cast<size_t>(got);
    }
    return true;
}

bool WriteAt(int fd, uint64_t offset, const uint8_t* in, size_t length) {
    while (length > 0) {
        const ssize_t put = ::pwrite(fd, in, length, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        in += put;
        offset += static_cast<uint64_t>(put);
        length -= static_cast<size_t>(put);
    }
    return true;
}

}  // namespace

TapeMedium::~TapeMedium() {
    if (fd_ >= 0) ::close(fd_);
}

bool TapeMedium::Open(const std::string& path, std::string& error) {
    imagePath = path;
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error = "tape image '" + path + "': " + std::strerror(errno);
        return false;
    }
    const off_t size = ::lseek(fd_, 0, SEEK_END);
    if (size == 0) {
        if (!WriteAt(fd_, 0, reinterpret_cast<const uint8_t*>(TapeImageMagic), sizeof TapeImageMagic)) {
            error = "tape image '" + path + "': cannot be written";
            return false;
        }
        return true;
    }
    uint8_t magic[sizeof TapeImageMagic];
    if (size < 0 || !ReadAt(fd_, 0, magic, sizeof magic) ||
        std::memcmp(magic, TapeImageMagic, sizeof magic) != 0) {
        error = "tape image '" + path + "': not a tape image (it must start with \"PTAPE001\")";
        return false;
    }
    uint64_t offset = sizeof TapeImageMagic;
    const uint64_t end = static_cast<uint64_t>(size);
    while (offset < end) {
        uint8_t header[4];
        if (end - offset < sizeof header || !ReadAt(fd_, offset, header, sizeof header)) {
            error = "tape image '" + path + "': cut short at byte " + std::to_string(offset);
            return false;
        }
        TapeObject object;
        const uint32_t length = GetLittle32(header);
        if (length == FilemarkHeader) {
            object.filemark = true;
        } else if (length == 0 || length > LargestRecord || end - offset - sizeof header < length) {
            error = "tape image '" + path + "': bad record length at byte " + std::to_string(offset);
            return false;
        } else {
            object.data.resize(length);
            if (!ReadAt(fd_, offset + sizeof header, object.data.data(), length)) {
                error = "tape image '" + path + "': cannot be read";
                return false;
            }
            usedBytes += length;
        }
        fileOffsets.push_back(offset);
        offset += sizeof header + object.data.size();
        objects.push_back(std::move(object));
    }
    return true;
}

bool TapeMedium::WriteObject(const TapeObject& object) {
    if (fd_ < 0) return true;
    const uint64_t offset =
        position < fileOffsets.size() ? fileOffsets[position]
        : position == 0                ? sizeof TapeImageMagic
                                       : fileOffsets[position - 1] + 4 + objects[position - 1].data.size();
    std::vector<uint8_t> bytes(4 + object.data.size());
    PutLittle32(bytes.data(), object.filemark ? FilemarkHeader : static_cast<uint32_t>(object.data.size()));
    if (!object.data.empty()) std::memcpy(&bytes[4], object.data.data(), object.data.size());
    if (::ftruncate(fd_, static_cast<off_t>(offset)) != 0) return false;
    if (!WriteAt(fd_, offset, bytes.data(), bytes.size())) return false;
    fileOffsets.resize(position);
    fileOffsets.push_back(offset);
    return true;
}

bool TapeMedium::EraseFromPosition() {
    if (fd_ >= 0) {
        const uint64_t offset =
            position < fileOffsets.size() ? fileOffsets[position]
            : position == 0                ? sizeof TapeImageMagic
                                           : fileOffsets[position - 1] + 4 + objects[position - 1].data.size();
        if (::ftruncate(fd_, static_cast<off_t>(offset)) != 0) return false;
        if (fileOffsets.size() > position) fileOffsets.resize(position);
    }
    for (size_t i = position; i < objects.size(); ++i) usedBytes -= objects[i].data.size();
    objects.resize(position);
    return true;
}

bool TapeMedium::AppendRecord(const uint8_t* bytes, size_t length) {
    TapeObject object;
    object.data.assign(bytes, bytes + length);
    if (!EraseFromPosition() || !WriteObject(object)) return false;
    usedBytes += length;
    objects.push_back(std::move(object));
    ++position;
    return true;
}

bool TapeMedium::AppendFilemark() {
    TapeObject object;
    object.filemark = true;
    if (!EraseFromPosition() || !WriteObject(object)) return false;
    objects.push_back(std::move(object));
    ++position;
    return true;
}

}  // namespace sim::units
