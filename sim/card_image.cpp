// The card image: a JSON document with hexadecimal fields, and its reading from a file. Saving
// and locking the file are the operating system's business (image_file_posix.cpp, and for the
// Windows test double sim/winscard/image_file_windows.cpp).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "sim/card_state.h"

namespace kelm::sim {

namespace {

constexpr const char* kFormatName = "kelm-sim-card";
constexpr int64_t kFormatVersion = 1;

const BYTE kAidType1[8] = {0xF1, 0x5C, 0x3E, 0x00, 0x27, 0x95, 0x01, 0x01};
const BYTE kAidType3[8] = {0xF1, 0x5C, 0x3E, 0x00, 0x27, 0x95, 0x01, 0x03};
const BYTE kAidType5[8] = {0xF1, 0x5C, 0x3E, 0x00, 0x27, 0x95, 0x00, 0x01};
const BYTE kAidType6[8] = {0xF1, 0x5C, 0x3E, 0x00, 0x27, 0x95, 0x01, 0x05};
const BYTE kAidType7[8] = {0xF1, 0x5C, 0x3E, 0x00, 0x27, 0x95, 0x01, 0x06};

std::string Hex(const std::vector<BYTE>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (BYTE b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

bool Unhex(const std::string& text, std::vector<BYTE>* out) {
    if (text.size() % 2 != 0) return false;
    out->clear();
    out->reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int value = 0;
        for (size_t j = 0; j < 2; ++j) {
            char c = text[i + j];
            int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
            if (d < 0) return false;
            value = value * 16 + d;
        }
        out->push_back(static_cast<BYTE>(value));
    }
    return true;
}

std::string FileIdText(WORD id) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", id);
    return buf;
}

using Json = nlohmann::ordered_json;

// Strings of the image are byte strings: each character U+0000..U+00FF stands for one byte (the
// file shows bytes outside printable ASCII as \u00XX). The parser hands them over as UTF-8.
std::string ByteString(const std::string& utf8, bool* ok) {
    std::string bytes;
    *ok = true;
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            bytes.push_back(static_cast<char>(c));
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
            bytes.push_back(static_cast<char>((c & 0x03) << 6 | (static_cast<unsigned char>(utf8[++i]) & 0x3F)));
        } else {
            *ok = false;  // a character above U+00FF is no byte
            return bytes;
        }
    }
    return bytes;
}

Json JsonString(const std::string& bytes) {
    std::string utf8;
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            utf8.push_back(ch);
        } else {
            utf8.push_back(static_cast<char>(0xC0 | c >> 6));
            utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return utf8;
}

// Field readers that name the field in their message.
struct Reader {
    std::string* error;
    bool Fail(const std::string& what) {
        if (error) *error = what;
        return false;
    }
    const Json* Need(const Json& object, const char* key, Json::value_t kind, const std::string& where) {
        const auto found = object.find(key);
        if (found == object.end()) {
            Fail(where + ": missing \"" + key + "\"");
            return nullptr;
        }
        const bool fits = kind == Json::value_t::number_integer ? found->is_number_integer() : found->type() == kind;
        if (!fits) {
            Fail(where + ": \"" + key + "\" has the wrong type");
            return nullptr;
        }
        return &*found;
    }
    bool Int(const Json& object, const char* key, int64_t lo, int64_t hi, int64_t* out, const std::string& where) {
        const Json* v = Need(object, key, Json::value_t::number_integer, where);
        if (!v) return false;
        // Bounds are never above INT64_MAX; a larger unsigned number is out of range as it is.
        const bool too_large = v->is_number_unsigned() && v->get<uint64_t>() > static_cast<uint64_t>(hi);
        const int64_t value = too_large ? hi : v->get<int64_t>();
        if (too_large || value < lo || value > hi) return Fail(where + ": \"" + key + "\" is out of range");
        *out = value;
        return true;
    }
    bool Text(const Json& object, const char* key, std::string* out, const std::string& where) {
        const Json* v = Need(object, key, Json::value_t::string, where);
        if (!v) return false;
        bool ok = false;
        *out = ByteString(v->get_ref<const std::string&>(), &ok);
        if (!ok) return Fail(where + ": \"" + key + "\" holds a character above U+00FF (write bytes as \\u00XX)");
        return true;
    }
    bool Bytes(const Json& object, const char* key, std::vector<BYTE>* out, const std::string& where) {
        std::string text;
        if (!Text(object, key, &text, where)) return false;
        if (!Unhex(text, out)) return Fail(where + ": \"" + key + "\" is not hexadecimal");
        return true;
    }
    bool Flag(const Json& object, const char* key, bool* out, const std::string& where) {
        const Json* v = Need(object, key, Json::value_t::boolean, where);
        if (!v) return false;
        *out = v->get<bool>();
        return true;
    }
    bool FileId(const Json& object, const char* key, WORD* out, const std::string& where) {
        std::vector<BYTE> bytes;
        if (!Bytes(object, key, &bytes, where)) return false;
        if (bytes.size() != 2) return Fail(where + ": \"" + key + "\" must be a two-byte file id");
        *out = static_cast<WORD>(bytes[0] << 8 | bytes[1]);
        return true;
    }
};

// The parser's own description of a syntax error, and where it is.
std::string SyntaxError(const nlohmann::json::parse_error& e) {
    std::string what = e.what();
    const size_t reason = what.find(": ");
    if (reason != std::string::npos) what.erase(0, reason + 2);
    return what + " at offset " + std::to_string(e.byte);
}

bool ReadKey(Reader& r, const Json& v, RsaKey* key, const std::string& where) {
    if (!r.Bytes(v, "n", &key->n, where) || !r.Bytes(v, "e", &key->e, where) || !r.Bytes(v, "d", &key->d, where) ||
        !r.Bytes(v, "p", &key->p, where) || !r.Bytes(v, "q", &key->q, where) || !r.Bytes(v, "pk_code", &key->pk_code, where))
        return false;
    if (key->n.empty() || key->n[0] == 0 || (key->n.size() != 128 && key->n.size() != 256))
        return r.Fail(where + ": the modulus must be 128 or 256 bytes");
    if (key->e.empty() || key->e.size() > 4) return r.Fail(where + ": the exponent must be 1 to 4 bytes");
    if (key->d.empty() || key->p.empty() || key->q.empty()) return r.Fail(where + ": incomplete private key");
    if (key->pk_code.size() != kCertCodeLength) return r.Fail(where + ": \"pk_code\" must be 8 bytes");
    return true;
}

bool ValidRecordFile(WORD id, int type) { return id == 0 || (id >> 8 == 0x80 && (id & 0xFF) >= 1 && (id & 0xFF) <= KeyFileCount(type)); }

}  // namespace

bool ValidCardType(int type) { return type == 1 || type == 3 || type == 5 || type == 6 || type == 7; }

const BYTE* ApplicationId(int type) {
    switch (type) {
        case 1: return kAidType1;
        case 3: return kAidType3;
        case 5: return kAidType5;
        case 6: return kAidType6;
        case 7: return kAidType7;
        default: return nullptr;
    }
}

int KeyFileCount(int type) { return type == 7 ? 7 : 6; }
BYTE DefaultSizeCode(int type) { return type == 6 ? 4 : 2; }

KeyFile* FindKeyFile(CardImage& image, WORD id) {
    for (auto& file : image.key_files) {
        if (file.id == id) return &file;
    }
    return nullptr;
}

void WipeKey(RsaKey* key) {
    for (auto* part : {&key->n, &key->e, &key->d, &key->p, &key->q, &key->pk_code}) {
        std::fill(part->begin(), part->end(), BYTE{0});
        part->clear();
    }
}

unsigned KeyBits(const RsaKey& key) { return static_cast<unsigned>(key.n.size() * 8); }

std::string ImageToJson(const CardImage& image) {
    Json root = {
        {"format", kFormatName},
        {"version", kFormatVersion},
        {"type", image.type},
        {"protocol", image.protocol == CardProtocol::T0 ? "T0" : "T1"},
        {"pin", JsonString(image.pin)},
        {"pin_tries_left", image.tries_left},
        {"pin_pad", image.pin_pad},
        {"pin_pad_entry", JsonString(image.pin_pad_entry)},
        {"required_cert_code", Hex(image.required_cert_code)},
    };
    Json directory = Json::array();
    for (const auto& record : image.directory) {
        size_t length = kNameLength;
        while (length > 0 && record.name[length - 1] == 0) --length;
        directory.push_back({
            {"name", JsonString(std::string(record.name.begin(), record.name.begin() + static_cast<long>(length)))},
            {"signature_file", Hex({record.files[0], record.files[1]})},
            {"exchange_file", Hex({record.files[2], record.files[3]})},
        });
    }
    root["directory"] = std::move(directory);
    Json files = Json::array();
    for (const auto& file : image.key_files) {
        Json key = nullptr;
        if (file.has_key) {
            key = {{"n", Hex(file.key.n)}, {"e", Hex(file.key.e)}, {"d", Hex(file.key.d)},
                   {"p", Hex(file.key.p)}, {"q", Hex(file.key.q)}, {"pk_code", Hex(file.key.pk_code)}};
        }
        files.push_back({
            {"id", FileIdText(file.id)},
            {"kind", file.kind},
            {"size_code", file.size_code},
            {"capacity", file.capacity},
            {"key", std::move(key)},
            {"certificate", Hex(file.certificate)},
            {"validity", JsonString(file.validity)},
            {"cert_code", Hex(file.cert_code)},
        });
    }
    root["key_files"] = std::move(files);
    return root.dump(2, ' ', true) + "\n";
}

bool ImageFromJson(const std::string& text, CardImage* out, std::string* error) {
    Reader r{error};
    Json root;
    try {
        root = Json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        return r.Fail("not a card image (JSON: " + SyntaxError(e) + ")");
    } catch (const nlohmann::json::exception& e) {
        // A number too large for any type (3E1259) is an out_of_range error, not a parse error.
        return r.Fail(std::string("not a card image (JSON: ") + e.what() + ")");
    }
    if (!root.is_object()) return r.Fail("not a card image (not a JSON object)");
    std::string format;
    int64_t version = 0;
    if (!r.Text(root, "format", &format, "image")) return false;
    if (format != kFormatName) return r.Fail("not a card image (format \"" + format + "\")");
    if (!r.Int(root, "version", 1, 1000, &version, "image")) return false;
    if (version != kFormatVersion) return r.Fail("unsupported card image version " + std::to_string(version));

    CardImage image;
    int64_t number = 0;
    if (!r.Int(root, "type", 0, 255, &number, "image")) return false;
    if (!ValidCardType(static_cast<int>(number))) return r.Fail("image: card type " + std::to_string(number) + " does not exist (1, 3, 5, 6 or 7)");
    image.type = static_cast<int>(number);
    std::string protocol;
    if (!r.Text(root, "protocol", &protocol, "image")) return false;
    if (protocol == "T0") image.protocol = CardProtocol::T0;
    else if (protocol == "T1") image.protocol = CardProtocol::T1;
    else return r.Fail("image: protocol must be \"T0\" or \"T1\"");
    if (!r.Text(root, "pin", &image.pin, "image")) return false;
    if (image.pin.empty() || image.pin.size() > kPinBlockLength) return r.Fail("image: the PIN must be 1 to 16 characters");
    if (!r.Int(root, "pin_tries_left", 0, kPinTries, &number, "image")) return false;
    image.tries_left = static_cast<int>(number);
    if (!r.Flag(root, "pin_pad", &image.pin_pad, "image")) return false;
    if (!r.Text(root, "pin_pad_entry", &image.pin_pad_entry, "image")) return false;
    if (!r.Bytes(root, "required_cert_code", &image.required_cert_code, "image")) return false;
    if (!image.required_cert_code.empty() && image.required_cert_code.size() != kCertCodeLength)
        return r.Fail("image: \"required_cert_code\" must be empty or 8 bytes");

    const Json* directory = r.Need(root, "directory", Json::value_t::array, "image");
    if (!directory) return false;
    if (directory->size() > static_cast<size_t>(KeyFileCount(image.type))) return r.Fail("image: more containers than the card holds");
    for (size_t i = 0; i < directory->size(); ++i) {
        const Json& entry = (*directory)[i];
        std::string where = "container " + std::to_string(i + 1);
        if (!entry.is_object()) return r.Fail(where + ": not an object");
        DirectoryRecord record;
        std::string name;
        WORD sig = 0, exch = 0;
        if (!r.Text(entry, "name", &name, where) || !r.FileId(entry, "signature_file", &sig, where) ||
            !r.FileId(entry, "exchange_file", &exch, where))
            return false;
        if (name.size() > kNameLength) return r.Fail(where + ": name longer than 36 bytes");
        if (!ValidRecordFile(sig, image.type) || !ValidRecordFile(exch, image.type)) return r.Fail(where + ": key file out of range");
        std::copy(name.begin(), name.end(), record.name.begin());
        for (const auto& other : image.directory) {
            if (other.name == record.name) return r.Fail(where + ": duplicate name");
        }
        record.files = {static_cast<BYTE>(sig >> 8), static_cast<BYTE>(sig), static_cast<BYTE>(exch >> 8), static_cast<BYTE>(exch)};
        image.directory.push_back(record);
    }

    const Json* files = r.Need(root, "key_files", Json::value_t::array, "image");
    if (!files) return false;
    for (size_t i = 0; i < files->size(); ++i) {
        const Json& entry = (*files)[i];
        std::string where = "key file " + std::to_string(i + 1);
        if (!entry.is_object()) return r.Fail(where + ": not an object");
        KeyFile file;
        if (!r.FileId(entry, "id", &file.id, where)) return false;
        where = "key file " + FileIdText(file.id);
        if (!ValidRecordFile(file.id, image.type) || file.id == 0) return r.Fail(where + ": not a key file of this card type");
        if (FindKeyFile(image, file.id)) return r.Fail(where + ": listed twice");
        if (!r.Int(entry, "kind", 0, 255, &number, where)) return false;
        file.kind = static_cast<BYTE>(number);
        if (!r.Int(entry, "size_code", 2, 4, &number, where)) return false;
        if (number == 3) return r.Fail(where + ": size code must be 2 or 4");
        file.size_code = static_cast<BYTE>(number);
        if (!r.Int(entry, "capacity", 1, kMaxCertCapacity, &number, where)) return false;
        file.capacity = static_cast<WORD>(number);
        const auto key = entry.find("key");
        if (key == entry.end()) return r.Fail(where + ": missing \"key\"");
        if (key->is_object()) {
            if (!ReadKey(r, *key, &file.key, where)) return false;
            file.has_key = true;
        } else if (!key->is_null()) {
            return r.Fail(where + ": \"key\" must be an object or null");
        }
        if (!r.Bytes(entry, "certificate", &file.certificate, where) || !r.Text(entry, "validity", &file.validity, where) ||
            !r.Bytes(entry, "cert_code", &file.cert_code, where))
            return false;
        if (file.certificate.size() > file.capacity) return r.Fail(where + ": certificate larger than the file's capacity");
        image.key_files.push_back(std::move(file));
    }
    std::sort(image.key_files.begin(), image.key_files.end(), [](const KeyFile& a, const KeyFile& b) { return a.id < b.id; });
    *out = std::move(image);
    return true;
}

bool LoadImage(const std::string& path, CardImage* image, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot open card image " + path;
        return false;
    }
    std::ostringstream stream;
    stream << in.rdbuf();
    std::string text = stream.str();
    std::string detail;
    bool ok = ImageFromJson(text, image, &detail);
    std::fill(text.begin(), text.end(), '\0');  // it holds the private keys
    if (!ok) {
        if (error) *error = "card image " + path + " refused: " + detail;
        return false;
    }
    return true;
}

}  // namespace kelm::sim
