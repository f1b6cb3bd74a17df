#include "vpd_pages.h"

#include "output.h"

#include <cstdio>

namespace aspitool {
namespace {

const struct {
    uint8_t page;
    const char* name;
} PageNames[] = {
    {0x00, "supported pages"},
    {0x80, "unit serial number"},
    {0x83, "device identification"},
    {0x84, "software interface identification"},
    {0x85, "management network addresses"},
    {0x86, "extended inquiry data"},
    {0x87, "mode page policy"},
    {0x88, "scsi ports"},
    {0x89, "ata information"},
    {0x8A, "power condition"},
    {0xB0, "block limits"},
    {0xB1, "block device characteristics"},
    {0xB2, "logical block provisioning"},
};

const char* const CodeSetNames[16] = {"reserved", "binary", "ascii", "utf-8"};
const char* const AssociationNames[4] = {"logical unit", "target port", "target device",
                                         "reserved"};
const char* const DesignatorTypeNames[16] = {
    "vendor specific",      "t10 vendor id",         "eui-64",
    "naa",                  "relative target port",  "target port group",
    "logical unit group",   "md5 logical unit id",   "scsi name string",
    "protocol specific port id", "uuid"};

// Returns `table[index]`, or "reserved" where the table has no name.
const char* NameOr(const char* const* table, size_t size, size_t index) {
    return index < size && table[index] != nullptr ? table[index] : "reserved";
}

// Returns the printable text of `length` bytes at `bytes`, without the
// spaces and NULs that pad it at either end.
std::string TrimmedText(const uint8_t* bytes, size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        const char c = static_cast<char>(bytes[i]);
        text += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? c : bytes[i] == 0 ? ' ' : '.';
    }
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Returns the value of one designator as fits its type and code set: a
// port or group number in decimal, text for ASCII and UTF-8, hex otherwise.
std::string DesignatorValue(uint8_t codeSet, uint8_t type, const uint8_t* value, size_t length) {
    if ((type == 4 || type == 5 || type == 6) && length == 4) {
        return std::to_string((value[2] << 8) | value[3]);
    }
    if (codeSet == 2 || codeSet == 3) return TrimmedText(value, length);
    std::string hex = HexCompact(value, length);
    if (type == 3 && length > 0) hex += " (NAA " + std::to_string(value[0] >> 4) + ")";
    return hex;
}

// Returns nothing; the designators of a device identification page.
void DecodeIdentification(const uint8_t* data, size_t end, std::string& text, Json& document) {
    Json list = Json::Array();
    size_t at = 4;
    while (at + 4 <= end) {
        const uint8_t* d = data + at;
        const uint8_t codeSet = d[0] & 0x0F;
        const uint8_t association = static_cast<uint8_t>((d[1] >> 4) & 0x03);
        const uint8_t type = d[1] & 0x0F;
        const size_t length = d[3];
        if (at + 4 + length > end) {
            text += "designator at byte " + std::to_string(at) + " runs past the page's end\n";
            document.Set("designators_cut", Json::Boolean(true));
            break;
        }
        const std::string value = DesignatorValue(codeSet, type, d + 4, length);
        const char* typeName = NameOr(DesignatorTypeNames, 16, type);
        Json entry = Json::Object();
        entry.Set("code_set", NamedValueJson(NameOr(CodeSetNames, 16, codeSet), codeSet));
        entry.Set("association", NamedValueJson(AssociationNames[association], association));
        entry.Set("type", NamedValueJson(typeName, type));
        entry.Set("value", Json::Text(value));
        list.Push(entry);
        text += "designator:      " + std::string(typeName) + ", " +
                AssociationNames[association] + ", " + NameOr(CodeSetNames, 16, codeSet) + "\n";
        text += "  value:         " + value + "\n";
        at += 4 + length;
    }
    document.Set("designators", list);
}

}  // namespace

const char* VpdPageName(uint8_t page) {
    for (const auto& entry : PageNames) {
        if (entry.page == page) return entry.name;
    }
    return nullptr;
}

size_t VpdPageBytes(const uint8_t* data, size_t length) {
    if (length < 4) return length;
    const size_t stated = 4 + static_cast<size_t>((data[2] << 8) | data[3]);
    return stated < length ? stated : length;
}

void DecodeVpdPage(const uint8_t* data, size_t length, std::string& text, Json& document) {
    const size_t end = VpdPageBytes(data, length);
    if (end < 4) {
        text += "the page is shorter than its header\n";
        return;
    }
    const uint8_t page = data[1];
    if (page == 0x00) {
        Json list = Json::Array();
        text += "supported pages:\n";
        for (size_t i = 4; i < end; ++i) {
            const char* name = VpdPageName(data[i]);
            Json entry = Json::Object();
            entry.Set("code", Json::Number(data[i]));
            entry.Set("name", name != nullptr ? Json::Text(name) : Json::Null());
            list.Push(entry);
            char line[80];
            std::snprintf(line, sizeof line, "  0x%02X  %s\n", data[i], name != nullptr ? name : "");
            text += line;
        }
        document.Set("pages", list);
    } else if (page == 0x80) {
        const std::string serial = TrimmedText(data + 4, end - 4);
        document.Set("serial", Json::Text(serial));
        text += "serial number:   " + serial + "\n";
    } else if (page == 0x83) {
        DecodeIdentification(data, end, text, document);
    }
}

}  // namespace aspitool
