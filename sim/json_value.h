// A small JSON reader and writer for card images: objects, arrays, strings, integers, booleans
// and null. Strings are byte strings; bytes outside printable ASCII are written as \u00XX.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kelm::sim::json {

struct Value {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    int64_t number = 0;
    std::string text;
    std::vector<Value> items;                            // Array
    std::vector<std::pair<std::string, Value>> members;  // Object, in written order

    const Value* Find(const std::string& key) const;     // Object member or nullptr
};

Value MakeNull();
Value MakeBool(bool value);
Value MakeNumber(int64_t value);
Value MakeString(std::string value);
Value MakeArray();
Value MakeObject();
void Add(Value& object, std::string key, Value value);  // appends a member

// Parses a whole document; false and a message with the byte offset on any error.
bool Parse(const std::string& text, Value* out, std::string* error);
// Two-space indented text ending in a newline.
std::string Write(const Value& value);

}  // namespace kelm::sim::json
