#include "mode_data.h"

#include "output.h"

#include <cstdio>

namespace aspitool {
namespace {

const int AnyType = -1;

const struct {
    uint8_t page;
    int deviceType;  // AnyType, or the one type whose standard names it so
    const char* name;
} PageNames[] = {
    {0x01, AnyType, "read-write error recovery"},
    {0x02, AnyType, "disconnect-reconnect"},
    {0x03, 0x00, "format device"},
    {0x04, 0x00, "rigid disk geometry"},
    {0x05, 0x00, "flexible disk"},
    {0x07, AnyType, "verify error recovery"},
    {0x08, AnyType, "caching"},
    {0x0A, AnyType, "control"},
    {0x0D, 0x05, "cd device parameters"},
    {0x0E, 0x05, "cd audio control"},
    {0x0F, 0x01, "data compression"},
    {0x10, 0x01, "device configuration"},
    {0x11, 0x01, "medium partition"},
    {0x18, AnyType, "protocol specific logical unit"},
    {0x19, AnyType, "protocol specific port"},
    {0x1A, AnyType, "power condition"},
    {0x1C, AnyType, "informational exceptions control"},
    {0x2A, 0x05, "mm capabilities and mechanical status"},
};

// Return the big-endian field of 2, 3, 4 or 8 bytes at `b`.
uint32_t Big16(const uint8_t* b) { return static_cast<uint32_t>((b[0] << 8) | b[1]); }
uint32_t Big24(const uint8_t* b) { return (static_cast<uint32_t>(b[0]) << 16) | Big16(b + 1); }
uint32_t Big32(const uint8_t* b) { return (static_cast<uint32_t>(b[0]) << 24) | Big24(b + 1); }
uint64_t Big64(const uint8_t* b) { return (static_cast<uint64_t>(Big32(b)) << 32) | Big32(b + 4); }

// Returns "0xVV".
std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

// Returns nothing; the block descriptors in bytes [at, end): 8 bytes each,
// or 16 in the long LBA form. A direct-access unit's short descriptor
// counts blocks in four bytes; other types keep a density code in the
// first.
void DecodeBlockDescriptors(const uint8_t* data, size_t at, size_t end, bool longLba,
                            uint8_t deviceType, std::string& text, Json& document) {
    const size_t size = longLba ? 16 : 8;
    Json list = Json::Array();
    for (; at + size <= end; at += size) {
        const uint8_t* d = data + at;
        Json entry = Json::Object();
        uint64_t blocks = 0;
        uint32_t blockLength = 0;
        if (longLba) {
            blocks = Big64(d);
            blockLength = Big32(d + 12);
        } else {
            blocks = deviceType == 0x00 ? Big32(d) : Big24(d + 1);
            blockLength = Big24(d + 5);
            if (deviceType != 0x00) entry.Set("density", Json::Number(d[0]));
        }
        entry.Set("blocks", Json::Number(static_cast<int64_t>(blocks)));
        entry.Set("block_length", Json::Number(blockLength));
        list.Push(entry);
        text += "block descriptor: " + std::to_string(blocks) + " blocks of " +
                std::to_string(blockLength) + " bytes" +
                (longLba || deviceType == 0x00 ? "" : ", density " + Hex(d[0])) + "\n";
    }
    document.Set("block_descriptors", list);
}

// Returns nothing; every page in bytes [at, end), the last cut short where
// the data ends.
void DecodePages(const uint8_t* data, size_t at, size_t end, uint8_t deviceType,
                 std::string& text, Json& document) {
    Json list = Json::Array();
    while (at + 2 <= end) {
        const uint8_t* d = data + at;
        const uint8_t code = d[0] & 0x3F;
        // SPF: the sub-page form, with a subpage code and a 2-byte length.
        const bool subpageForm = (d[0] & 0x40) != 0;
        if (subpageForm && at + 4 > end) break;
        const uint8_t subpage = subpageForm ? d[1] : 0;
        const size_t header = subpageForm ? 4 : 2;
        const size_t length = subpageForm ? Big16(d + 2) : d[1];
        const size_t present = at + header + length <= end ? header + length : end - at;
        // The names belong to the pages themselves; a subpage is another
        // page that the tool does not name.
        const char* name = subpage == 0 ? ModePageName(code, deviceType) : nullptr;
        Json entry = Json::Object();
        entry.Set("code", Json::Number(code));
        entry.Set("subpage", Json::Number(subpage));
        entry.Set("length", Json::Number(static_cast<int64_t>(length)));
        entry.Set("name", name != nullptr ? Json::Text(name) : Json::Null());
        entry.Set("savable", Json::Boolean((d[0] & 0x80) != 0));
        entry.Set("data", Json::Text(HexCompact(d, present)));
        list.Push(entry);
        text += "page " + Hex(code) + (subpageForm ? " subpage " + Hex(subpage) : "") + ", " +
                std::to_string(length) + " bytes" + (name != nullptr ? ": " + std::string(name) : "") +
                (present < header + length ? " (cut short)" : "") + "\n";
        text += HexDump(d, present, 0);
        at += present;
    }
    document.Set("pages", list);
}

}  // namespace

const char* ModePageName(uint8_t page, uint8_t deviceType) {
    for (const auto& entry : PageNames) {
        if (entry.page == page && (entry.deviceType == AnyType || entry.deviceType == deviceType)) {
            return entry.name;
        }
    }
    return nullptr;
}

void DecodeModeData(const uint8_t* data, size_t length, bool tenByte, uint8_t deviceType,
                    std::string& text, Json& document) {
    const size_t header = tenByte ? 8 : 4;
    if (length < header) {
        text += "mode data:       shorter than its header\n";
        return;
    }
    // The mode data length counts the bytes after itself.
    const size_t stated = tenByte ? Big16(data) + 2 : data[0] + 1u;
    const size_t end = stated < length ? stated : length;
    const uint8_t mediumType = tenByte ? data[2] : data[1];
    const uint8_t deviceSpecific = tenByte ? data[3] : data[2];
    const bool longLba = tenByte && (data[4] & 0x01) != 0;
    const size_t descriptors = tenByte ? Big16(data + 6) : data[3];
    document.Set("mode_data_length", Json::Number(static_cast<int64_t>(stated)));
    document.Set("medium_type", Json::Number(mediumType));
    document.Set("device_specific", Json::Number(deviceSpecific));
    // Bit 7 is write protection for disks, tapes and optical drives alike.
    document.Set("write_protected", Json::Boolean((deviceSpecific & 0x80) != 0));
    text += "mode data:       " + std::to_string(stated) + " bytes" +
            (end < stated ? " (" + std::to_string(end) + " arrived)" : "") + "\n";
    text += "medium type:     " + Hex(mediumType) + "\n";
    text += "device-specific: " + Hex(deviceSpecific) +
            ((deviceSpecific & 0x80) != 0 ? " (write protected)" : "") + "\n";
    const size_t pagesAt = header + descriptors < end ? header + descriptors : end;
    DecodeBlockDescriptors(data, header, pagesAt, longLba, deviceType, text, document);
    DecodePages(data, pagesAt, end, deviceType, text, document);
}

}  // namespace aspitool
