// Direct setup of a card's contents and reading them back, bypassing the command set.
#include <algorithm>
#include <cstdio>

#include "sim/card_crypto.h"
#include "sim/card_state.h"

namespace kelm::sim {

namespace {

bool Fail(std::string* error, const std::string& message) {
    if (error) *error = message;
    return false;
}

std::string FileText(WORD id) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", id);
    return buf;
}

bool KeyFileNumber(const CardImage& image, WORD id) {
    return (id >> 8) == 0x80 && (id & 0xFF) >= 1 && (id & 0xFF) <= KeyFileCount(image.type);
}

const KeyFile* FindConst(const CardImage& image, WORD id) {
    for (const auto& file : image.key_files) {
        if (file.id == id) return &file;
    }
    return nullptr;
}

bool AddFile(CardImage& image, WORD id, BYTE kind, std::string* error) {
    if (!KeyFileNumber(image, id)) return Fail(error, "file " + FileText(id) + " is not a key file of card type " + std::to_string(image.type));
    if (FindKeyFile(image, id)) return Fail(error, "key file " + FileText(id) + " already exists");
    KeyFile file;
    file.id = id;
    file.kind = kind;
    file.size_code = DefaultSizeCode(image.type);
    image.key_files.push_back(std::move(file));
    std::sort(image.key_files.begin(), image.key_files.end(), [](const KeyFile& a, const KeyFile& b) { return a.id < b.id; });
    return true;
}

}  // namespace

bool AddKeyFile(SimCard& card, WORD id, BYTE kind, std::string* error) {
    return UpdateImage(card, [&](CardImage& image) { return AddFile(image, id, kind, error); }, error);
}

bool PutNewKey(SimCard& card, WORD id, std::string* error) {
    return UpdateImage(card, [&](CardImage& image) {
        if (!FindKeyFile(image, id) && !AddFile(image, id, 0, error)) return false;
        KeyFile* file = FindKeyFile(image, id);
        if (!GenerateKey(file->size_code == 4 ? 2048 : 1024, &file->key)) return Fail(error, "key generation failed");
        file->has_key = true;
        return true;
    }, error);
}

bool PutCertificate(SimCard& card, WORD id, const std::vector<BYTE>& der, std::string* error) {
    return UpdateImage(card, [&](CardImage& image) {
        KeyFile* file = FindKeyFile(image, id);
        if (!file) return Fail(error, "key file " + FileText(id) + " does not exist");
        if (der.empty() || der.size() > file->capacity) return Fail(error, "certificate of " + std::to_string(der.size()) + " bytes does not fit");
        file->certificate = der;
        file->validity.clear();
        file->cert_code.clear();
        return true;
    }, error);
}

bool AddContainer(SimCard& card, const std::string& name, WORD signature_file, WORD exchange_file, std::string* error) {
    return UpdateImage(card, [&](CardImage& image) {
        if (name.size() > kNameLength) return Fail(error, "container name longer than 36 bytes");
        if (image.directory.size() >= static_cast<size_t>(KeyFileCount(image.type))) return Fail(error, "the container directory is full");
        for (WORD file_id : {signature_file, exchange_file}) {
            if (file_id != 0 && !KeyFileNumber(image, file_id)) return Fail(error, "file " + FileText(file_id) + " is not a key file");
        }
        DirectoryRecord record;
        std::copy(name.begin(), name.end(), record.name.begin());
        for (const auto& other : image.directory) {
            if (other.name == record.name) return Fail(error, "container \"" + name + "\" already exists");
        }
        record.files = {static_cast<BYTE>(signature_file >> 8), static_cast<BYTE>(signature_file),
                        static_cast<BYTE>(exchange_file >> 8), static_cast<BYTE>(exchange_file)};
        image.directory.push_back(record);
        return true;
    }, error);
}

int PinTriesLeft(const SimCard& card) { return card.image.tries_left; }
bool PinVerified(const SimCard& card) { return card.session.verified; }

bool PublicKeyOf(const SimCard& card, WORD id, std::vector<BYTE>* modulus, std::vector<BYTE>* exponent) {
    const KeyFile* file = FindConst(card.image, id);
    if (!file || !file->has_key) return false;
    if (modulus) *modulus = file->key.n;
    if (exponent) *exponent = file->key.e;
    return true;
}

std::vector<BYTE> CertificateOf(const SimCard& card, WORD id) {
    const KeyFile* file = FindConst(card.image, id);
    return file ? file->certificate : std::vector<BYTE>{};
}

std::vector<BYTE> CertCodeOf(const SimCard& card, WORD id) {
    const KeyFile* file = FindConst(card.image, id);
    return file ? file->cert_code : std::vector<BYTE>{};
}

std::vector<ContainerInfo> ContainersOf(const SimCard& card) {
    std::vector<ContainerInfo> out;
    for (const auto& record : card.image.directory) {
        size_t n = kNameLength;
        while (n > 0 && record.name[n - 1] == 0) --n;
        ContainerInfo info;
        info.name.assign(record.name.begin(), record.name.begin() + static_cast<long>(n));
        info.signature_file = static_cast<WORD>(record.files[0] << 8 | record.files[1]);
        info.exchange_file = static_cast<WORD>(record.files[2] << 8 | record.files[3]);
        out.push_back(info);
    }
    return out;
}

}  // namespace kelm::sim
