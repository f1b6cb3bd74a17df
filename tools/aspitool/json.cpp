#include "json.h"

#include <cstdio>

namespace aspitool {
namespace {

// Returns nothing; appends `text` as a JSON string literal.
void AppendQuoted(std::string& out, const std::string& text) {
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                // Device texts are meant to be ASCII; any other byte is kept
                // as its code so that the document stays valid UTF-8.
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

}  // namespace

Json Json::Null() {
    return Json();
}

Json Json::Boolean(bool value) {
    Json json;
    json.kind_ = Kind::Boolean;
    json.boolean_ = value;
    return json;
}

Json Json::Number(int64_t value) {
    Json json;
    json.kind_ = Kind::Number;
    json.number_ = value;
    return json;
}

Json Json::Text(const std::string& value) {
    Json json;
    json.kind_ = Kind::Text;
    json.text_ = value;
    return json;
}

Json Json::Object() {
    Json json;
    json.kind_ = Kind::Object;
    return json;
}

Json Json::Array() {
    Json json;
    json.kind_ = Kind::Array;
    return json;
}

Json& Json::Set(const std::string& key, const Json& value) {
    for (size_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i] == key) {
            items_[i] = value;
            return *this;
        }
    }
    keys_.push_back(key);
    items_.push_back(value);
    return *this;
}

Json Json::Get(const std::string& key) const {
    for (size_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i] == key) return items_[i];
    }
    return Json();
}

Json& Json::Push(const Json& value) {
    items_.push_back(value);
    return *this;
}

std::string Json::Dump() const {
    std::string out;
    DumpTo(out, 0);
    return out;
}

void Json::DumpTo(std::string& out, int indent) const {
    switch (kind_) {
    case Kind::Null: out += "null"; return;
    case Kind::Boolean: out += boolean_ ? "true" : "false"; return;
    case Kind::Number: out += std::to_string(number_); return;
    case Kind::Text: AppendQuoted(out, text_); return;
    case Kind::Object:
    case Kind::Array: break;
    }
    const bool object = kind_ == Kind::Object;
    if (items_.empty()) {
        out += object ? "{}" : "[]";
        return;
    }
    out += object ? "{\n" : "[\n";
    for (size_t i = 0; i < items_.size(); ++i) {
        out.append(static_cast<size_t>(indent + 2), ' ');
        if (object) {
            AppendQuoted(out, keys_[i]);
            out += ": ";
        }
        items_[i].DumpTo(out, indent + 2);
        if (i + 1 < items_.size()) out += ',';
        out += '\n';
    }
    out.append(static_cast<size_t>(indent), ' ');
    out += object ? '}' : ']';
}

}  // namespace aspitool
