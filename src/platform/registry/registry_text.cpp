// Reading and writing the registry editor's text format for one root of the emulated registry.
#include "platform/registry/registry_text.h"

#include <cstdio>
#include <vector>

namespace kelm::platform {

namespace {

// A hex line is ended (with a trailing backslash) once it reaches this many characters.
constexpr size_t kHexLineBreak = 76;

const char kHexDigits[] = "0123456789abcdef";

void AppendQuoted(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    out += '"';
}

// A REG_SZ value can be written as quoted text when it is exactly printable characters
// followed by one NUL.
bool IsPrintableString(const std::vector<BYTE>& data) {
    if (data.empty() || data.back() != 0) return false;
    for (size_t i = 0; i + 1 < data.size(); ++i)
        if (data[i] < 0x20 || data[i] == 0x7F) return false;
    return true;
}

// Appends "prefix" then the bytes as "xx,xx,...", breaking lines as the registry editor does.
// `line_length` is the length of the current line before the prefix.
void AppendHex(std::string& out, size_t line_length, std::string_view prefix, const std::vector<BYTE>& data) {
    out += prefix;
    line_length += prefix.size();
    for (size_t i = 0; i < data.size(); ++i) {
        out += kHexDigits[data[i] >> 4];
        out += kHexDigits[data[i] & 0x0F];
        line_length += 2;
        if (i + 1 == data.size()) break;
        out += ',';
        ++line_length;
        if (line_length >= kHexLineBreak) {
            out += "\\\n  ";
            line_length = 2;
        }
    }
}

void AppendValue(std::string& out, const RegistryValue& value) {
    const size_t line_start = out.size();
    if (value.name.empty())
        out += '@';
    else
        AppendQuoted(out, value.name);
    out += '=';
    if (value.type == REG_SZ && IsPrintableString(value.data)) {
        AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1));
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        const DWORD number = static_cast<DWORD>(value.data[0]) | static_cast<DWORD>(value.data[1]) << 8 |
                             static_cast<DWORD>(value.data[2]) << 16 | static_cast<DWORD>(value.data[3]) << 24;
        char text[32];
        std::snprintf(text, sizeof text, "dword:%08x", number);
        out += text;
    } else {
        char prefix[32];
        if (value.type == REG_BINARY)
            std::snprintf(prefix, sizeof prefix, "hex:");
        else
            std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
        AppendHex(out, out.size() - line_start, prefix, value.data);
    }
    out += '\n';
}

void AppendKey(std::string& out, const RegistryKey& key, const std::string& path, bool is_root) {
    if (!is_root || !key.values.empty()) {
        out += '[';
        out += path;
        out += "]\n";
        for (const auto& value : key.values)
            if (value.name.empty()) AppendValue(out, value);
        for (const auto& value : key.values)
            if (!value.name.empty()) AppendValue(out, value);
        out += '\n';
    }
    for (const auto& sub : key.subkeys) AppendKey(out, sub, path + "\\" + sub.name, false);
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && RegistryNamesEqual(s.substr(0, prefix.size()), prefix);
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses 1..8 hex digits making up all of `s`.
bool ParseHexNumber(std::string_view s, DWORD& number) {
    if (s.empty() || s.size() > 8) return false;
    number = 0;
    for (char c : s) {
        const int digit = HexDigitValue(c);
        if (digit < 0) return false;
        number = number << 4 | static_cast<DWORD>(digit);
    }
    return true;
}

// Reads one file line by line; index_ is the line being read, for the problem's line number.
struct Parser {
    Parser(std::string_view text, std::string_view root_name, std::string_view file_label)
        : root_name_(root_name), file_label_(file_label) {
        if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
        while (!text.empty()) {
            size_t end = text.find('\n');
            std::string_view line = text.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            lines_.push_back(line);
            if (end == std::string_view::npos) break;
            text.remove_prefix(end + 1);
        }
    }

    bool Run(RegistryKey& root, std::string& problem) {
        root = RegistryKey{};
        if (lines_.empty() || lines_[0] != kRegistryFileHeader) return Fail(problem, 0, "bad header");
        RegistryKey* current = nullptr;
        for (index_ = 1; index_ < lines_.size(); ++index_) {
            const std::string_view line = Trim(lines_[index_]);
            if (line.empty() || line.front() == ';') continue;
            if (line.front() == '[') {
                current = OpenSection(root, line, problem);
                if (current == nullptr) return false;
            } else if (line.front() == '"' || line.front() == '@') {
                if (current == nullptr) return Fail(problem, index_, "value outside a key");
                if (!ParseValue(*current, line, problem)) return false;
            } else {
                return Fail(problem, index_, "bad line");
            }
        }
        return true;
    }

    bool Fail(std::string& problem, size_t line_index, std::string_view what) const {
        problem = std::string(file_label_) + ":" + std::to_string(line_index + 1) + ": " + std::string(what);
        return false;
    }

    RegistryKey* OpenSection(RegistryKey& root, std::string_view line, std::string& problem) {
        if (line.size() < 2 || line.back() != ']') {
            Fail(problem, index_, "bad key line");
            return nullptr;
        }
        std::string_view path = line.substr(1, line.size() - 2);
        if (!path.empty() && path.front() == '-') {
            Fail(problem, index_, "key deletion lines are not supported");
            return nullptr;
        }
        const size_t cut = path.find('\\');
        if (!RegistryNamesEqual(path.substr(0, cut), root_name_)) {
            Fail(problem, index_, "key outside " + std::string(root_name_));
            return nullptr;
        }
        std::vector<std::string> components;
        if (cut != std::string_view::npos) {
            const std::string rest(path.substr(cut + 1));
            if (rest.empty() || rest.back() == '\\' ||
                SplitRegistryPath(rest.c_str(), components) != ERROR_SUCCESS) {
                Fail(problem, index_, "bad key name");
                return nullptr;
            }
        }
        if (components.size() > kMaxKeyDepth) {
            Fail(problem, index_, "key nested too deep");
            return nullptr;
        }
        RegistryKey* key = &root;
        for (const auto& component : components) key = &EnsureSubkey(*key, component);
        return key;
    }

    // Reads a quoted string starting at text[pos] == '"'; pos ends after the closing quote.
    static bool ParseQuoted(std::string_view text, size_t& pos, std::string& out) {
        ++pos;
        while (pos < text.size()) {
            const char c = text[pos++];
            if (c == '"') return true;
            if (c == '\\') {
                if (pos >= text.size() || (text[pos] != '\\' && text[pos] != '"')) return false;
                out += text[pos++];
            } else {
                out += c;
            }
        }
        return false;
    }

    bool ParseValue(RegistryKey& key, std::string_view line, std::string& problem) {
        std::string name;
        size_t pos = 0;
        if (line.front() == '@') {
            pos = 1;
        } else if (!ParseQuoted(line, pos, name) || name.size() > kMaxValueNameLength) {
            return Fail(problem, index_, "bad value name");
        }
        std::string_view rest = Trim(line.substr(pos));
        if (rest.empty() || rest.front() != '=') return Fail(problem, index_, "bad line");
        rest = Trim(rest.substr(1));

        if (!rest.empty() && rest.front() == '"') {
            std::string text;
            size_t end = 0;
            if (!ParseQuoted(rest, end, text) || !Trim(rest.substr(end)).empty())
                return Fail(problem, index_, "bad string");
            std::vector<BYTE> data(text.begin(), text.end());
            data.push_back(0);
            SetRegistryValue(key, name, REG_SZ, std::move(data));
            return true;
        }
        if (StartsWithNoCase(rest, "dword:")) {
            DWORD number = 0;
            if (!ParseHexNumber(rest.substr(6), number)) return Fail(problem, index_, "bad dword");
            SetRegistryValue(key, name, REG_DWORD,
                             {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                              static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)});
            return true;
        }
        DWORD type = REG_BINARY;
        if (StartsWithNoCase(rest, "hex:")) {
            rest.remove_prefix(4);
        } else if (StartsWithNoCase(rest, "hex(")) {
            const size_t close = rest.find(')');
            if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':' ||
                !ParseHexNumber(rest.substr(4, close - 4), type))
                return Fail(problem, index_, "bad hex type");
            rest.remove_prefix(close + 2);
        } else if (!rest.empty() && rest.front() == '-') {
            return Fail(problem, index_, "value deletion lines are not supported");
        } else {
            return Fail(problem, index_, "bad value data");
        }
        std::vector<BYTE> data;
        if (!ParseHexList(rest, data, problem)) return false;
        if (type == REG_DWORD && data.size() != 4) return Fail(problem, index_, "wrong dword size");
        if (data.size() > kMaxValueDataSize) return Fail(problem, index_, "value too large");
        SetRegistryValue(key, name, type, std::move(data));
        return true;
    }

    // Parses "xx,xx,..." that may continue over lines ending with a backslash; index_ ends on
    // the last line used.
    bool ParseHexList(std::string_view first, std::vector<BYTE>& data, std::string& problem) {
        struct Piece {
            std::string_view text;
            size_t line_index;
        };
        // Gather the list's text, line by line, then split it at commas; a byte may not span
        // a line break.
        std::vector<Piece> pieces;
        std::string_view segment = Trim(first);
        bool first_segment = true;
        while (true) {
            const bool continues = !segment.empty() && segment.back() == '\\';
            if (continues) segment = Trim(segment.substr(0, segment.size() - 1));
            if (!(first_segment && !continues && segment.empty())) {
                while (true) {
                    const size_t comma = segment.find(',');
                    pieces.push_back({Trim(segment.substr(0, comma)), index_});
                    if (comma == std::string_view::npos) break;
                    segment.remove_prefix(comma + 1);
                }
                // A line break after a comma starts the next byte on the next line.
                if (continues && pieces.back().text.empty()) pieces.pop_back();
            }
            if (!continues) break;
            if (index_ + 1 >= lines_.size()) return Fail(problem, index_, "unterminated hex continuation");
            ++index_;
            segment = Trim(lines_[index_]);
            first_segment = false;
        }
        data.reserve(pieces.size());
        for (const auto& piece : pieces) {
            if (piece.text.size() != 2) return Fail(problem, piece.line_index, "bad hex");
            const int high = HexDigitValue(piece.text[0]);
            const int low = HexDigitValue(piece.text[1]);
            if (high < 0 || low < 0) return Fail(problem, piece.line_index, "bad hex");
            data.push_back(static_cast<BYTE>(high << 4 | low));
        }
        return true;
    }

    std::string_view root_name_;
    std::string_view file_label_;
    std::vector<std::string_view> lines_;
    size_t index_ = 0;
};

}  // namespace

std::string FormatRegistryFile(const RegistryKey& root, std::string_view root_name) {
    std::string out(kRegistryFileHeader);
    out += "\n\n";
    AppendKey(out, root, std::string(root_name), true);
    return out;
}

bool ParseRegistryFile(std::string_view text, std::string_view root_name, std::string_view file_label,
                       RegistryKey& root, std::string& problem) {
    return Parser(text, root_name, file_label).Run(root, problem);
}

}  // namespace kelm::platform
