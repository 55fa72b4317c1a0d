// File selection, file information, key-file creation, challenges and PIN verification.
#include <algorithm>
#include <cstring>

#include "sim/card_crypto.h"
#include "sim/card_handlers.h"

namespace kelm::sim {

namespace {

bool NoData(const Command& c) { return c.lc == 0; }

// The 16 bytes the card compares a VERIFY against: the PIN, then padding (spaces on type 5).
std::vector<BYTE> PinBlock(const CardImage& image, const std::string& pin) {
    std::vector<BYTE> block(kPinBlockLength, image.type == 5 ? 0x20 : 0xFF);
    std::copy_n(pin.begin(), std::min(pin.size(), kPinBlockLength), block.begin());
    return block;
}

// The try is spent, and stored, before the PIN is judged: a card that cannot record the try
// answers a memory failure and judges nothing, so no PIN can be tried without being counted.
// A right PIN then restores the counter, stored again before the card says so.
Reply CheckPin(SimCard& card, bool matches) {
    CardImage& image = card.image;
    if (image.tries_left <= 0) return Status(sw::kPinLocked);
    card.session.verified = false;
    --image.tries_left;
    std::string error;
    if (!StoreImage(card, &error)) return ReportImageProblem(error), Status(sw::kMemoryFailure);
    if (!matches) return Status(static_cast<WORD>(0x63C0 | image.tries_left));
    image.tries_left = kPinTries;
    if (!StoreImage(card, &error)) return ReportImageProblem(error), Status(sw::kMemoryFailure);
    card.session.verified = true;
    return Status(sw::kOk);
}

}  // namespace

Reply SelectCommand(SimCard& card, const Command& c) {
    if (c.p2 != 0x00) return Status(sw::kWrongP1P2);
    if (c.p1 == 0x04) {
        if (c.lc == 0) return Status(sw::kWrongLength);
        if (c.lc != 8 || std::memcmp(c.data, ApplicationId(card.image.type), 8) != 0) return Status(sw::kNotFound);
        card.session.selected = 0;
        return Status(sw::kOk);
    }
    if (c.p1 != 0x02) return Status(sw::kWrongP1P2);
    if (c.lc != 2) return Status(sw::kWrongLength);
    WORD id = static_cast<WORD>(c.data[0] << 8 | c.data[1]);
    if (id != kDirectoryFile && !FindKeyFile(card.image, id)) return Status(sw::kFileMissing);
    // Reads, listings and writes in progress belong to the file selected before.
    CardSession& session = card.session;
    session.selected = id;
    session.reading = false;
    session.listing = false;
    session.reading_public = false;
    session.public_rest.clear();
    session.writing = false;
    session.write_payload.clear();
    return Status(sw::kOk);
}

Reply GetFileInfo(SimCard& card, const Command& c) {
    if (c.p1 != 0 || c.p2 != 0) return Status(sw::kWrongP1P2);
    if (!NoData(c)) return Status(sw::kWrongLength);
    WORD status = 0;
    KeyFile* file = SelectedKeyFile(card, &status);
    if (!file) return Status(status);
    bool large = file->has_key ? KeyBits(file->key) == 2048 : file->size_code == 4;
    BYTE info[6] = {static_cast<BYTE>(file->capacity >> 8), static_cast<BYTE>(file->capacity),
                    static_cast<BYTE>(file->certificate.size() >> 8), static_cast<BYTE>(file->certificate.size()),
                    static_cast<BYTE>(file->has_key ? 1 : 0), static_cast<BYTE>(large ? 0x80 : 0x00)};
    Reply r;
    if (card.image.type != 5) {
        r.data.assign(info, info + 6);
        return r;
    }
    // The long form: key size, capacity, file number, certificate length, key flag, then more
    // details of the file.
    r.data.assign(16, 0);
    r.data[0] = info[5];
    r.data[1] = info[0];
    r.data[2] = info[1];
    r.data[3] = static_cast<BYTE>(file->id);
    r.data[4] = info[2];
    r.data[5] = info[3];
    r.data[6] = info[4];
    r.data[7] = file->kind;
    r.data[8] = file->size_code;
    r.data[9] = static_cast<BYTE>(file->id >> 8);
    r.data[10] = static_cast<BYTE>(file->id);
    return r;
}

Reply CreateKeyFile(SimCard& card, const Command& c) {
    if (c.p1 != 0 || c.p2 != 0) return Status(sw::kWrongP1P2);
    if (c.lc != 8) return Status(sw::kWrongLength);
    const BYTE* d = c.data;
    WORD id = static_cast<WORD>(d[0] << 8 | d[1]);
    WORD capacity = static_cast<WORD>(d[5] << 8 | d[6]);
    // Type 6 holds 2048-bit keys only, type 5 either size, the others 1024-bit keys only.
    int type = card.image.type;
    bool size_ok = type == 6 ? d[4] == 4 : (d[4] == 2 || (d[4] == 4 && type == 5));
    if (!IsKeyFileId(card.image, id) || d[2] > 1 || d[3] != 0 || d[7] != 0 || !size_ok || capacity == 0 ||
        capacity > kMaxCertCapacity)
        return Status(sw::kWrongData);
    if (FindKeyFile(card.image, id)) return Status(sw::kFileExists);
    KeyFile file;
    file.id = id;
    file.kind = d[2];
    file.size_code = d[4];
    file.capacity = capacity;
    auto& files = card.image.key_files;
    files.insert(std::upper_bound(files.begin(), files.end(), id, [](WORD v, const KeyFile& f) { return v < f.id; }), std::move(file));
    Reply r;
    r.image_changed = true;
    return r;
}

Reply GetChallenge(SimCard&, const Command& c) {
    if (c.p1 != 0 || c.p2 != 0) return Status(sw::kWrongP1P2);
    if (!NoData(c)) return Status(sw::kWrongLength);
    Reply r;
    r.data.resize(8);
    CardRandom(r.data.data(), r.data.size());
    return r;
}

Reply Verify(SimCard& card, const Command& c) {
    if (c.p1 != 0x01 || c.p2 != 0x28) return Status(sw::kWrongP1P2);
    CardImage& image = card.image;
    if (c.cla == 0x80) {
        // PIN-pad VERIFY: the reader collects the PIN; a reader without a pad refuses the class.
        if (!image.pin_pad) return Status(sw::kClaNotSupported);
        if (c.lc != 0) return Status(sw::kWrongLength);
        return CheckPin(card, image.pin_pad_entry == image.pin);
    }
    if (c.lc == 0) {
        // No PIN given: report the state without spending a try.
        if (image.tries_left <= 0) return Status(sw::kPinLocked);
        if (card.session.verified) return Status(sw::kOk);
        return Status(static_cast<WORD>(0x63C0 | image.tries_left));
    }
    if (c.lc != kPinBlockLength) return Status(sw::kWrongLength);
    std::vector<BYTE> expected = PinBlock(image, image.pin);
    bool matches = std::equal(expected.begin(), expected.end(), c.data);
    std::fill(expected.begin(), expected.end(), BYTE{0});
    return CheckPin(card, matches);
}

}  // namespace kelm::sim
