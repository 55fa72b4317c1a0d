// The card image: a JSON document with hexadecimal fields, saved atomically (write a temporary
// file, then rename it over the image) so that a crash never leaves half an image behind.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim/card_state.h"
#include "sim/json_value.h"

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

// Field readers that name the field in their message.
struct Reader {
    std::string* error;
    bool Fail(const std::string& what) {
        if (error) *error = what;
        return false;
    }
    const json::Value* Need(const json::Value& object, const char* key, json::Value::Kind kind, const std::string& where) {
        const json::Value* v = object.Find(key);
        if (!v) {
            Fail(where + ": missing \"" + key + "\"");
            return nullptr;
        }
        if (v->kind != kind) {
            Fail(where + ": \"" + key + "\" has the wrong type");
            return nullptr;
        }
        return v;
    }
    bool Int(const json::Value& object, const char* key, int64_t lo, int64_t hi, int64_t* out, const std::string& where) {
        const json::Value* v = Need(object, key, json::Value::Kind::Number, where);
        if (!v) return false;
        if (v->number < lo || v->number > hi) return Fail(where + ": \"" + key + "\" is out of range");
        *out = v->number;
        return true;
    }
    bool Bytes(const json::Value& object, const char* key, std::vector<BYTE>* out, const std::string& where) {
        const json::Value* v = Need(object, key, json::Value::Kind::String, where);
        if (!v) return false;
        if (!Unhex(v->text, out)) return Fail(where + ": \"" + key + "\" is not hexadecimal");
        return true;
    }
    bool Text(const json::Value& object, const char* key, std::string* out, const std::string& where) {
        const json::Value* v = Need(object, key, json::Value::Kind::String, where);
        if (!v) return false;
        *out = v->text;
        return true;
    }
    bool Flag(const json::Value& object, const char* key, bool* out, const std::string& where) {
        const json::Value* v = Need(object, key, json::Value::Kind::Bool, where);
        if (!v) return false;
        *out = v->boolean;
        return true;
    }
    bool FileId(const json::Value& object, const char* key, bool allow_none, WORD* out, const std::string& where) {
        std::vector<BYTE> bytes;
        if (!Bytes(object, key, &bytes, where)) return false;
        if (bytes.size() != 2) return Fail(where + ": \"" + key + "\" must be a two-byte file id");
        *out = static_cast<WORD>(bytes[0] << 8 | bytes[1]);
        if (*out == 0 && allow_none) return true;
        return true;
    }
};

bool ReadKey(Reader& r, const json::Value& v, unsigned size_code, RsaKey* key, const std::string& where) {
    if (!r.Bytes(v, "n", &key->n, where) || !r.Bytes(v, "e", &key->e, where) || !r.Bytes(v, "d", &key->d, where) ||
        !r.Bytes(v, "p", &key->p, where) || !r.Bytes(v, "q", &key->q, where) || !r.Bytes(v, "pk_code", &key->pk_code, where))
        return false;
    if (key->n.empty() || key->n[0] == 0 || (key->n.size() != 128 && key->n.size() != 256))
        return r.Fail(where + ": the modulus must be 128 or 256 bytes");
    (void)size_code;
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
    using namespace json;
    Value root = MakeObject();
    Add(root, "format", MakeString(kFormatName));
    Add(root, "version", MakeNumber(kFormatVersion));
    Add(root, "type", MakeNumber(image.type));
    Add(root, "protocol", MakeString(image.protocol == CardProtocol::T0 ? "T0" : "T1"));
    Add(root, "pin", MakeString(image.pin));
    Add(root, "pin_tries_left", MakeNumber(image.tries_left));
    Add(root, "pin_pad", MakeBool(image.pin_pad));
    Add(root, "pin_pad_entry", MakeString(image.pin_pad_entry));
    Add(root, "required_cert_code", MakeString(Hex(image.required_cert_code)));
    Value directory = MakeArray();
    for (const auto& record : image.directory) {
        Value entry = MakeObject();
        size_t length = kNameLength;
        while (length > 0 && record.name[length - 1] == 0) --length;
        Add(entry, "name", MakeString(std::string(record.name.begin(), record.name.begin() + static_cast<long>(length))));
        Add(entry, "signature_file", MakeString(Hex({record.files[0], record.files[1]})));
        Add(entry, "exchange_file", MakeString(Hex({record.files[2], record.files[3]})));
        directory.items.push_back(std::move(entry));
    }
    Add(root, "directory", std::move(directory));
    Value files = MakeArray();
    for (const auto& file : image.key_files) {
        Value entry = MakeObject();
        Add(entry, "id", MakeString(FileIdText(file.id)));
        Add(entry, "kind", MakeNumber(file.kind));
        Add(entry, "size_code", MakeNumber(file.size_code));
        Add(entry, "capacity", MakeNumber(file.capacity));
        if (file.has_key) {
            Value key = MakeObject();
            Add(key, "n", MakeString(Hex(file.key.n)));
            Add(key, "e", MakeString(Hex(file.key.e)));
            Add(key, "d", MakeString(Hex(file.key.d)));
            Add(key, "p", MakeString(Hex(file.key.p)));
            Add(key, "q", MakeString(Hex(file.key.q)));
            Add(key, "pk_code", MakeString(Hex(file.key.pk_code)));
            Add(entry, "key", std::move(key));
        } else {
            Add(entry, "key", MakeNull());
        }
        Add(entry, "certificate", MakeString(Hex(file.certificate)));
        Add(entry, "validity", MakeString(file.validity));
        Add(entry, "cert_code", MakeString(Hex(file.cert_code)));
        files.items.push_back(std::move(entry));
    }
    Add(root, "key_files", std::move(files));
    return Write(root);
}

bool ImageFromJson(const std::string& text, CardImage* out, std::string* error) {
    json::Value root;
    std::string parse_error;
    Reader r{error};
    if (!json::Parse(text, &root, &parse_error)) return r.Fail("not a card image (JSON: " + parse_error + ")");
    if (root.kind != json::Value::Kind::Object) return r.Fail("not a card image (not a JSON object)");
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

    const json::Value* directory = r.Need(root, "directory", json::Value::Kind::Array, "image");
    if (!directory) return false;
    if (directory->items.size() > static_cast<size_t>(KeyFileCount(image.type))) return r.Fail("image: more containers than the card holds");
    for (size_t i = 0; i < directory->items.size(); ++i) {
        const json::Value& entry = directory->items[i];
        std::string where = "container " + std::to_string(i + 1);
        if (entry.kind != json::Value::Kind::Object) return r.Fail(where + ": not an object");
        DirectoryRecord record;
        std::string name;
        WORD sig = 0, exch = 0;
        if (!r.Text(entry, "name", &name, where) || !r.FileId(entry, "signature_file", true, &sig, where) ||
            !r.FileId(entry, "exchange_file", true, &exch, where))
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

    const json::Value* files = r.Need(root, "key_files", json::Value::Kind::Array, "image");
    if (!files) return false;
    for (size_t i = 0; i < files->items.size(); ++i) {
        const json::Value& entry = files->items[i];
        std::string where = "key file " + std::to_string(i + 1);
        if (entry.kind != json::Value::Kind::Object) return r.Fail(where + ": not an object");
        KeyFile file;
        if (!r.FileId(entry, "id", false, &file.id, where)) return false;
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
        const json::Value* key = entry.Find("key");
        if (!key) return r.Fail(where + ": missing \"key\"");
        if (key->kind == json::Value::Kind::Object) {
            if (!ReadKey(r, *key, file.size_code, &file.key, where)) return false;
            file.has_key = true;
        } else if (key->kind != json::Value::Kind::Null) {
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

bool SaveImage(const std::string& path, const CardImage& image, std::string* error) {
    std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            if (error) *error = "cannot write " + temporary;
            return false;
        }
        std::string text = ImageToJson(image);
        out << text;
        std::fill(text.begin(), text.end(), '\0');  // it holds the private keys
        out.flush();
        if (!out) {
            if (error) *error = "cannot write " + temporary;
            std::remove(temporary.c_str());
            return false;
        }
    }
    chmod(temporary.c_str(), 0600);
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        if (error) *error = "cannot replace " + path;
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace kelm::sim
