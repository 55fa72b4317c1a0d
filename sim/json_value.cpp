#include "sim/json_value.h"

#include <cstdio>

namespace kelm::sim::json {

const Value* Value::Find(const std::string& key) const {
    if (kind != Kind::Object) return nullptr;
    for (const auto& member : members) {
        if (member.first == key) return &member.second;
    }
    return nullptr;
}

Value MakeNull() { return Value{}; }
Value MakeBool(bool value) {
    Value v;
    v.kind = Value::Kind::Bool;
    v.boolean = value;
    return v;
}
Value MakeNumber(int64_t value) {
    Value v;
    v.kind = Value::Kind::Number;
    v.number = value;
    return v;
}
Value MakeString(std::string value) {
    Value v;
    v.kind = Value::Kind::String;
    v.text = std::move(value);
    return v;
}
Value MakeArray() {
    Value v;
    v.kind = Value::Kind::Array;
    return v;
}
Value MakeObject() {
    Value v;
    v.kind = Value::Kind::Object;
    return v;
}
void Add(Value& object, std::string key, Value value) { object.members.emplace_back(std::move(key), std::move(value)); }

namespace {

constexpr int kMaxDepth = 32;

struct Parser {
    const std::string& text;
    size_t pos = 0;
    std::string error;

    bool Fail(const std::string& what) {
        if (error.empty()) error = what + " at offset " + std::to_string(pos);
        return false;
    }
    void SkipSpace() {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r')) ++pos;
    }
    bool Literal(const char* word) {
        size_t n = std::char_traits<char>::length(word);
        if (text.compare(pos, n, word) != 0) return Fail("unexpected text");
        pos += n;
        return true;
    }
    static int HexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }
    bool String(std::string* out) {
        if (pos >= text.size() || text[pos] != '"') return Fail("expected a string");
        ++pos;
        out->clear();
        while (true) {
            if (pos >= text.size()) return Fail("unterminated string");
            char c = text[pos++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in string");
            if (c != '\\') {
                out->push_back(c);
                continue;
            }
            if (pos >= text.size()) return Fail("unterminated escape");
            char e = text[pos++];
            switch (e) {
                case '"': out->push_back('"'); break;
                case '\\': out->push_back('\\'); break;
                case '/': out->push_back('/'); break;
                case 'b': out->push_back('\b'); break;
                case 'f': out->push_back('\f'); break;
                case 'n': out->push_back('\n'); break;
                case 'r': out->push_back('\r'); break;
                case 't': out->push_back('\t'); break;
                case 'u': {
                    if (pos + 4 > text.size()) return Fail("short \\u escape");
                    int code = 0;
                    for (int i = 0; i < 4; ++i) {
                        int d = HexDigit(text[pos + i]);
                        if (d < 0) return Fail("bad \\u escape");
                        code = code * 16 + d;
                    }
                    if (code > 0xFF) return Fail("\\u escape above 00FF in a byte string");
                    pos += 4;
                    out->push_back(static_cast<char>(code));
                    break;
                }
                default: return Fail("unknown escape");
            }
        }
    }
    bool Number(Value* out) {
        size_t start = pos;
        bool negative = false;
        if (pos < text.size() && text[pos] == '-') {
            negative = true;
            ++pos;
        }
        if (pos >= text.size() || text[pos] < '0' || text[pos] > '9') return Fail("expected a number");
        uint64_t magnitude = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            magnitude = magnitude * 10 + static_cast<uint64_t>(text[pos] - '0');
            if (magnitude > (1ULL << 53)) return Fail("number out of range");
            ++pos;
        }
        if (pos < text.size() && (text[pos] == '.' || text[pos] == 'e' || text[pos] == 'E')) {
            pos = start;
            return Fail("only integers are used");
        }
        *out = MakeNumber(negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude));
        return true;
    }
    bool Parse(Value* out, int depth) {
        if (depth > kMaxDepth) return Fail("nesting too deep");
        SkipSpace();
        if (pos >= text.size()) return Fail("unexpected end of text");
        char c = text[pos];
        if (c == '{') {
            ++pos;
            *out = MakeObject();
            SkipSpace();
            if (pos < text.size() && text[pos] == '}') {
                ++pos;
                return true;
            }
            while (true) {
                SkipSpace();
                std::string key;
                if (!String(&key)) return false;
                SkipSpace();
                if (pos >= text.size() || text[pos] != ':') return Fail("expected ':'");
                ++pos;
                Value member;
                if (!Parse(&member, depth + 1)) return false;
                if (out->Find(key)) return Fail("duplicate key \"" + key + "\"");
                Add(*out, std::move(key), std::move(member));
                SkipSpace();
                if (pos < text.size() && text[pos] == ',') {
                    ++pos;
                    continue;
                }
                if (pos < text.size() && text[pos] == '}') {
                    ++pos;
                    return true;
                }
                return Fail("expected ',' or '}'");
            }
        }
        if (c == '[') {
            ++pos;
            *out = MakeArray();
            SkipSpace();
            if (pos < text.size() && text[pos] == ']') {
                ++pos;
                return true;
            }
            while (true) {
                Value item;
                if (!Parse(&item, depth + 1)) return false;
                out->items.push_back(std::move(item));
                SkipSpace();
                if (pos < text.size() && text[pos] == ',') {
                    ++pos;
                    continue;
                }
                if (pos < text.size() && text[pos] == ']') {
                    ++pos;
                    return true;
                }
                return Fail("expected ',' or ']'");
            }
        }
        if (c == '"') {
            std::string s;
            if (!String(&s)) return false;
            *out = MakeString(std::move(s));
            return true;
        }
        if (c == 't') {
            *out = MakeBool(true);
            return Literal("true");
        }
        if (c == 'f') {
            *out = MakeBool(false);
            return Literal("false");
        }
        if (c == 'n') {
            *out = MakeNull();
            return Literal("null");
        }
        return Number(out);
    }
};

void WriteString(const std::string& s, std::string* out) {
    out->push_back('"');
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(ch);
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", c);
            out->append(buf);
        } else {
            out->push_back(ch);
        }
    }
    out->push_back('"');
}

void WriteValue(const Value& v, int indent, std::string* out) {
    std::string pad(static_cast<size_t>(indent) * 2, ' ');
    std::string inner(static_cast<size_t>(indent + 1) * 2, ' ');
    switch (v.kind) {
        case Value::Kind::Null: out->append("null"); break;
        case Value::Kind::Bool: out->append(v.boolean ? "true" : "false"); break;
        case Value::Kind::Number: out->append(std::to_string(v.number)); break;
        case Value::Kind::String: WriteString(v.text, out); break;
        case Value::Kind::Array:
            if (v.items.empty()) {
                out->append("[]");
                break;
            }
            out->append("[\n");
            for (size_t i = 0; i < v.items.size(); ++i) {
                out->append(inner);
                WriteValue(v.items[i], indent + 1, out);
                out->append(i + 1 < v.items.size() ? ",\n" : "\n");
            }
            out->append(pad + "]");
            break;
        case Value::Kind::Object:
            if (v.members.empty()) {
                out->append("{}");
                break;
            }
            out->append("{\n");
            for (size_t i = 0; i < v.members.size(); ++i) {
                out->append(inner);
                WriteString(v.members[i].first, out);
                out->append(": ");
                WriteValue(v.members[i].second, indent + 1, out);
                out->append(i + 1 < v.members.size() ? ",\n" : "\n");
            }
            out->append(pad + "}");
            break;
    }
}

}  // namespace

bool Parse(const std::string& text, Value* out, std::string* error) {
    Parser parser{text, 0, {}};
    Value value;
    bool ok = parser.Parse(&value, 0);
    if (ok) {
        parser.SkipSpace();
        if (parser.pos != text.size()) ok = parser.Fail("trailing text");
    }
    if (!ok) {
        if (error) *error = parser.error;
        return false;
    }
    *out = std::move(value);
    return true;
}

std::string Write(const Value& value) {
    std::string out;
    WriteValue(value, 0, &out);
    out.push_back('\n');
    return out;
}

}  // namespace kelm::sim::json
