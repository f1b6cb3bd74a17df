// A small JSON document builder for --json output: objects keep the order
// in which their members were set, so the output reads the same every run.
#ifndef ASPITOOL_JSON_H
#define ASPITOOL_JSON_H

#include <cstdint>
#include <string>
#include <vector>

namespace aspitool {

class Json {
public:
    static Json Null();
    static Json Boolean(bool value);
    static Json Number(int64_t value);
    static Json Text(const std::string& value);
    static Json Object();
    static Json Array();

    // Returns this object after setting member `key` (replacing one of the
    // same name).
    Json& Set(const std::string& key, const Json& value);
    // Returns this array after appending `value`.
    Json& Push(const Json& value);
    // Returns member `key` of this object, or null when there is none.
    Json Get(const std::string& key) const;
    // Returns the document as indented text, without a final newline.
    std::string Dump() const;

private:
    enum class Kind { Null, Boolean, Number, Text, Object, Array };
    void DumpTo(std::string& out, int indent) const;

    Kind kind_ = Kind::Null;
    bool boolean_ = false;
    int64_t number_ = 0;
    std::string text_;
    std::vector<std::string> keys_;
    std::vector<Json> items_;
};

}  // namespace aspitool

#endif
