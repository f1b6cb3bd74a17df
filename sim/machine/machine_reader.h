// Internal to the machine file loader: JSON parsing and member readers.
// Every reader returns false after storing a message that names the
// member's path ("ports[1].buses[0].units[2].target: ..."); none throws.
#ifndef PTASPI_SIM_MACHINE_READER_H
#define PTASPI_SIM_MACHINE_READER_H

#include "sim/machine/machine.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace sim {
namespace reader {

using Json = nlohmann::json;

// Returns the path of `member` inside the object at `path`.
std::string Member(const std::string& path, const char* member);
// Returns the path of element `index` of the array at `path`.
std::string Element(const std::string& path, size_t index);
// Returns false after storing the message for the value at `path`.
bool Fail(std::string& error, const std::string& path, const std::string& message);
// Returns `text` with a-z upper-cased and nothing else changed.
std::string Upper(const std::string& text);
// Returns false unless `value` is an object holding only `allowed` members.
bool CheckObject(const Json& value, const std::string& path,
                 std::initializer_list<const char*> allowed, std::string& error);
// Returns the member, or null when the object does not have it.
const Json* Find(const Json& object, const char* member);
// Returns false unless `value` is ASCII text; stores it in `out`.
bool ReadTextValue(const Json& value, const std::string& path, std::string& out,
                   std::string& error);
// Returns false when the member is present and is not ASCII text.
bool ReadText(const Json& object, const char* member, const std::string& path, std::string& out,
              std::string& error);
// Returns false when the member is present and is neither text nor null.
bool ReadNullableText(const Json& object, const char* member, const std::string& path,
                      std::optional<std::string>& out, std::string& error);
// Returns false when the member is present and is not true or false.
bool ReadBool(const Json& object, const char* member, const std::string& path, bool& out,
              std::string& error);
// Returns false unless `value` is a whole number from `min` to `max`,
// written in decimal or as a hex string ("0x1E").
bool ReadUnsignedValue(const Json& value, const std::string& path, uint64_t min, uint64_t max,
                       uint64_t& out, std::string& error);
// Returns false unless `value` is a string of hex byte pairs (spaces
// anywhere); the bytes go to `out`.
bool ReadHexBytes(const Json& value, const std::string& path, std::vector<uint8_t>& out,
                  std::string& error);
// Returns false when the member is present and is not an array; `array`
// points at it otherwise (null when absent).
bool FindArray(const Json& object, const char* member, const std::string& path,
               const Json*& array, std::string& error);
// Returns false with the parser's message when the text is not JSON, or
// when an object has a member twice.
bool ParseJson(const std::string& text, Json& document, std::string& error);
// Returns false unless `value` is one registry edit in one of its forms.
bool ReadRegistryEdit(const Json& value, const std::string& path, RegistryEdit& edit,
                      std::string& error);

// Returns false when the member is present and is not a number in range.
template <class T>
bool ReadUnsigned(const Json& object, const char* member, const std::string& path, T& out,
                  std::string& error, uint64_t min = 0,
                  uint64_t max = std::numeric_limits<T>::max()) {
    const Json* value = Find(object, member);
    if (value == nullptr) return true;
    uint64_t number = 0;
    if (!ReadUnsignedValue(*value, Member(path, member), min, max, number, error)) return false;
    out = static_cast<T>(number);
    return true;
}

}  // namespace reader
}  // namespace sim

#endif
