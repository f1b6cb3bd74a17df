// The generic half of reading machine files: JSON text to a document
// (with members written twice caught), and readers for members of each
// type that report problems with the member's path.
#include "sim/machine/machine_reader.h"

#include <limits>
#include <memory>
#include <set>
#include <vector>

namespace sim {
namespace reader {

// Returns the path of `member` inside the object at `path`.
std::string Member(const std::string& path, const char* member) {
    return path.empty() ? std::string(member) : path + "." + member;
}

// Returns the path of element `index` of the array at `path`.
std::string Element(const std::string& path, size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

// Returns false after storing the message for the value at `path`.
bool Fail(std::string& error, const std::string& path, const std::string& message) {
    error = (path.empty() ? std::string("top level") : path) + ": " + message;
    return false;
}

// Returns `text` with a-z upper-cased and nothing else changed.
std::string Upper(const std::string& text) {
    std::string result = text;
    for (char& c : result) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return result;
}

// Returns false unless `value` is an object holding only `allowed` members.
bool CheckObject(const Json& value, const std::string& path,
                 std::initializer_list<const char*> allowed, std::string& error) {
    if (!value.is_object()) return Fail(error, path, "expected an object");
    for (auto it = value.begin(); it != value.end(); ++it) {
        bool known = false;
        for (const char* name : allowed) known = known || it.key() == name;
        if (!known) return Fail(error, path, "unknown member '" + it.key() + "'");
    }
    return true;
}

// Returns the member, or null when the object does not have it.
const Json* Find(const Json& object, const char* member) {
    auto it = object.find(member);
    return it == object.end() ? nullptr : &*it;
}

namespace {
// Returns false unless every byte of `text` is ASCII other than NUL.
bool IsAscii(const std::string& text) {
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte == 0 || byte > 0x7F) return false;
    }
    return true;
}
}  // namespace

// Returns false unless `value` is ASCII text; stores it in `out`.
bool ReadTextValue(const Json& value, const std::string& path, std::string& out,
                   std::string& error) {
    if (!value.is_string()) return Fail(error, path, "expected a string");
    const std::string& text = value.get_ref<const std::string&>();
    if (!IsAscii(text)) return Fail(error, path, "text must be ASCII");
    out = text;
    return true;
}

// Returns false when the member is present and is not ASCII text.
bool ReadText(const Json& object, const char* member, const std::string& path, std::string& out,
              std::string& error) {
    const Json* value = Find(object, member);
    return value == nullptr || ReadTextValue(*value, Member(path, member), out, error);
}

// Returns false when the member is present and is neither text nor null.
bool ReadNullableText(const Json& object, const char* member, const std::string& path,
                      std::optional<std::string>& out, std::string& error) {
    const Json* value = Find(object, member);
    if (value == nullptr) return true;
    if (value->is_null()) {
        out.reset();
        return true;
    }
    if (!value->is_string()) return Fail(error, Member(path, member), "expected a string or null");
    std::string text;
    if (!ReadTextValue(*value, Member(path, member), text, error)) return false;
    out = text;
    return true;
}

// Returns false when the member is present and is not true or false.
bool ReadBool(const Json& object, const char* member, const std::string& path, bool& out,
              std::string& error) {
    const Json* value = Find(object, member);
    if (value == nullptr) return true;
    if (!value->is_boolean()) return Fail(error, Member(path, member), "expected true or false");
    out = value->get<bool>();
    return true;
}

namespace {
// Returns false unless `text` is "0x" followed by hex digits whose value
// fits 64 bits; the value goes to `out`.
bool ParseHexNumber(const std::string& text, uint64_t& out) {
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
    uint64_t result = 0;
    for (size_t i = 2; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        if (result > (std::numeric_limits<uint64_t>::max() >> 4)) return false;
        result = (result << 4) | digit;
    }
    out = result;
    return true;
}
}  // namespace

bool ReadUnsignedValue(const Json& value, const std::string& path, uint64_t min, uint64_t max,
                       uint64_t& out, std::string& error) {
    const std::string range =
        "expected a number from " + std::to_string(min) + " to " + std::to_string(max);
    uint64_t number = 0;
    if (value.is_number_unsigned()) {
        number = value.get<uint64_t>();
    } else if (value.is_string()) {
        if (!ParseHexNumber(value.get_ref<const std::string&>(), number)) {
            return Fail(error, path, range + " (decimal, or a hex string such as \"0x1E\")");
        }
    } else {
        return Fail(error, path, range);
    }
    if (number < min || number > max) return Fail(error, path, range);
    out = number;
    return true;
}

// Returns false unless `value` is a string of hex byte pairs (spaces
// anywhere); the bytes go to `out`.
bool ReadHexBytes(const Json& value, const std::string& path, std::vector<uint8_t>& out,
                  std::string& error) {
    static const char* const message = "expected hex bytes such as \"70 00 05\"";
    if (!value.is_string()) return Fail(error, path, message);
    std::string digits;
    for (char c : value.get_ref<const std::string&>()) {
        if (c == ' ') continue;
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) return Fail(error, path, message);
        digits.push_back(c);
    }
    if (digits.size() % 2 != 0) return Fail(error, path, "odd number of hex digits");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        uint64_t byte = 0;
        ParseHexNumber(std::string("0x") + digits.substr(i, 2), byte);
        bytes.push_back(static_cast<uint8_t>(byte));
    }
    out = bytes;
    return true;
}

// Returns false when the member is present and is not an array; `array`
// points at it otherwise (null when absent).
bool FindArray(const Json& object, const char* member, const std::string& path,
               const Json*& array, std::string& error) {
    array = Find(object, member);
    if (array != nullptr && !array->is_array()) {
        return Fail(error, Member(path, member), "expected an array");
    }
    return true;
}

namespace {
// Follows the parser's events to find a member written twice in one
// object, which the parser itself would silently resolve to the last one.
class DuplicateFinder {
public:
    // Returns true always: every part of the document is kept.
    bool operator()(int depth, Json::parse_event_t event, Json& parsed) {
        (void)depth;
        switch (event) {
        case Json::parse_event_t::object_start:
            frames_.push_back(Frame{false, 0, std::string(), {}});
            break;
        case Json::parse_event_t::array_start:
            frames_.push_back(Frame{true, 0, std::string(), {}});
            break;
        case Json::parse_event_t::key: {
            Frame& frame = frames_.back();
            const std::string key = parsed.get<std::string>();
            if (!frame.keys.insert(key).second && duplicate_.empty()) {
                const std::string path = Path();
                duplicate_ = (path.empty() ? std::string("top level") : path) + ": member '" +
                             key + "' appears twice";
            }
            frame.key = key;
            break;
        }
        case Json::parse_event_t::object_end:
        case Json::parse_event_t::array_end:
            frames_.pop_back();
            Advance();
            break;
        case Json::parse_event_t::value:
            Advance();
            break;
        }
        return true;
    }
    // Returns the message for the first duplicate, empty when none.
    const std::string& Duplicate() const { return duplicate_; }

private:
    struct Frame {
        bool array;
        size_t index;
        std::string key;
        std::set<std::string> keys;
    };
    // Moves past one element of the enclosing array.
    void Advance() {
        if (!frames_.empty() && frames_.back().array) ++frames_.back().index;
    }
    // Returns the path of the object whose member is being read.
    std::string Path() const {
        std::string path;
        for (size_t i = 0; i + 1 < frames_.size(); ++i) {
            const Frame& frame = frames_[i];
            path = frame.array ? Element(path, frame.index) : Member(path, frame.key.c_str());
        }
        return path;
    }
    std::vector<Frame> frames_;
    std::string duplicate_;
};
}  // namespace

// Returns false with the parser's message when the text is not JSON.
bool ParseJson(const std::string& text, Json& document, std::string& error) {
    std::shared_ptr<DuplicateFinder> finder = std::make_shared<DuplicateFinder>();
    try {
        document = Json::parse(
            text,
            [finder](int depth, Json::parse_event_t event, Json& parsed) {
                return (*finder)(depth, event, parsed);
            },
            true, false);
    } catch (const Json::parse_error& problem) {
        std::string message = problem.what();
        const size_t bracket = message.find("] ");
        if (message.compare(0, 1, "[") == 0 && bracket != std::string::npos) {
            message.erase(0, bracket + 2);
        }
        error = "malformed JSON: " + message;
        return false;
    }
    if (!finder->Duplicate().empty()) {
        error = finder->Duplicate();
        return false;
    }
    return true;
}

}  // namespace reader
}  // namespace sim
