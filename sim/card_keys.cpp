// Key pairs in key files: generation, moving and erasing, raw RSA, and reading the public part.
#include <algorithm>

#include "sim/card_crypto.h"
#include "sim/card_handlers.h"

namespace kelm::sim {

namespace {

constexpr size_t kBlock = 128;

// The public-key record: one unused byte, the modulus, the exponent length and exponent, and on
// types 1 and 5 the 8-byte public-key code.
std::vector<BYTE> PublicRecord(const CardImage& image, const RsaKey& key) {
    std::vector<BYTE> exponent = key.e;
    bool with_code = image.type == 1 || image.type == 5;
    // Types 3, 6 and 7 give a 1024-bit key's exponent in four bytes: a 134-byte record.
    if (!with_code && key.n.size() == 128) exponent.insert(exponent.begin(), 4 - std::min<size_t>(exponent.size(), 4), 0);
    std::vector<BYTE> record;
    record.push_back(0);
    record.insert(record.end(), key.n.begin(), key.n.end());
    record.push_back(static_cast<BYTE>(exponent.size()));
    record.insert(record.end(), exponent.begin(), exponent.end());
    if (with_code) record.insert(record.end(), key.pk_code.begin(), key.pk_code.end());
    return record;
}

Reply Result(std::vector<BYTE> data) {
    Reply r;
    r.data = std::move(data);
    return r;
}

Reply PrivateOperation(const RsaKey& key, const BYTE* block) {
    std::vector<BYTE> out;
    if (!RsaPrivate(key, block, &out)) return Status(sw::kWrongData);
    return Result(std::move(out));
}

}  // namespace

Reply GenerateKeyPair(SimCard& card, const Command& c) {
    if (c.p1 != 0) return Status(sw::kWrongP1P2);
    if (c.lc != 0) return Status(sw::kWrongLength);
    WORD status = 0;
    KeyFile* file = SelectedKeyFile(card, &status);
    if (!file) return Status(status);
    if (!card.session.verified) return Status(sw::kSecurity);
    if (!GenerateKey(file->size_code == 4 ? 2048 : 1024, &file->key)) return Status(sw::kNoPreciseDiagnosis);
    file->has_key = true;
    // A certificate belongs to the key it was issued for; a new key leaves the file without one.
    file->certificate.clear();
    file->validity.clear();
    file->cert_code.clear();
    Reply r;
    r.image_changed = true;
    return r;
}

Reply MoveKey(SimCard& card, const Command& c) {
    if (c.p1 != 0 || c.p2 != 0) return Status(sw::kWrongP1P2);
    if (c.lc != 4) return Status(sw::kWrongLength);
    WORD from = static_cast<WORD>(c.data[0] << 8 | c.data[1]);
    WORD to = static_cast<WORD>(c.data[2] << 8 | c.data[3]);
    if (!IsKeyFileId(card.image, from) || !IsKeyFileId(card.image, to)) return Status(sw::kWrongData);
    KeyFile* source = FindKeyFile(card.image, from);
    KeyFile* destination = FindKeyFile(card.image, to);
    if (!source || !destination) return Status(sw::kNotFound);
    if (!card.session.verified) return Status(sw::kSecurity);
    Reply r;
    r.image_changed = true;
    if (from == to) {
        // Erase the key; the certificate stays.
        WipeKey(&source->key);
        source->has_key = false;
        return r;
    }
    WipeKey(&destination->key);
    destination->has_key = source->has_key;
    destination->key = std::move(source->key);
    destination->certificate = std::move(source->certificate);
    destination->validity = std::move(source->validity);
    destination->cert_code = std::move(source->cert_code);
    source->key = RsaKey{};
    source->has_key = false;
    source->certificate.clear();
    source->validity.clear();
    source->cert_code.clear();
    return r;
}

Reply RsaOperation(SimCard& card, const Command& c) {
    CardSession& session = card.session;
    bool had_half = session.rsa_first_half;
    session.rsa_first_half = false;
    if (c.lc != kBlock) return Status(sw::kWrongLength);
    WORD status = 0;
    KeyFile* file = SelectedKeyFile(card, &status);
    if (!file) return Status(status);
    if (!file->has_key) return Status(sw::kNoKey);
    const RsaKey& key = file->key;
    int type = card.image.type;
    WORD p1p2 = static_cast<WORD>(c.p1 << 8 | c.p2);
    bool two_block_card = type == 5 || type == 6;
    bool completes_two_block = had_half && ((type == 6 && p1p2 == 0x0000) || (type == 5 && p1p2 == 0x0100));

    if (p1p2 == 0x0101 || (p1p2 == 0x0100 && !completes_two_block)) {
        // Public operation (encrypt 01 00, verify 01 01) on a 128-byte block, widened to the key.
        std::vector<BYTE> block(key.n.size() - kBlock, 0);
        block.insert(block.end(), c.data, c.data + kBlock);
        std::vector<BYTE> out;
        if (!RsaPublic(key, block.data(), &out)) return Status(sw::kWrongData);
        return Result(std::move(out));
    }
    if (p1p2 != 0x0000 && p1p2 != 0x0001 && p1p2 != 0x0100) return Status(sw::kWrongP1P2);
    if (!session.verified) return Status(sw::kSecurity);
    if (p1p2 == 0x0001) {
        if (!two_block_card) return Status(sw::kWrongP1P2);
        if (key.n.size() != 2 * kBlock) return Status(sw::kConditions);
        session.rsa_half.assign(c.data, c.data + kBlock);
        session.rsa_first_half = true;
        return Status(sw::kOk);
    }
    if (completes_two_block) {
        std::vector<BYTE> block = session.rsa_half;
        block.insert(block.end(), c.data, c.data + kBlock);
        std::fill(session.rsa_half.begin(), session.rsa_half.end(), BYTE{0});
        Reply r = PrivateOperation(key, block.data());
        std::fill(block.begin(), block.end(), BYTE{0});
        return r;
    }
    if (key.n.size() != kBlock) return Status(sw::kConditions);  // a 2048-bit key needs both halves
    return PrivateOperation(key, c.data);
}

Reply ReadPublicKey(SimCard& card, const Command& c) {
    if (c.p1 > 1) return Status(sw::kWrongP1P2);
    if (c.lc != 0) return Status(sw::kWrongLength);
    CardSession& session = card.session;
    if (c.p1 == 1) {
        if (!session.reading_public) return Status(sw::kConditions);
        Reply r = Result(session.public_rest);
        CardSession* s = &session;
        r.on_delivery = [s] {
            s->reading_public = false;
            s->public_rest.clear();
        };
        return r;
    }
    WORD status = 0;
    KeyFile* file = SelectedKeyFile(card, &status);
    if (!file) return Status(status);
    if (!file->has_key) return Status(sw::kNoKey);
    std::vector<BYTE> record = PublicRecord(card.image, file->key);
    int type = card.image.type;
    std::vector<BYTE> first;
    std::vector<BYTE> rest;
    if (type == 5) {
        // A continuation byte and the key size code, then the record; a 2048-bit record is padded
        // to 270 bytes and split after its first 254.
        first = {0, file->size_code};
        if (record.size() + 2 > 256) {
            record.resize(270, 0);
            first[0] = 1;
            first.insert(first.end(), record.begin(), record.begin() + 254);
            rest.push_back(0);
            rest.insert(rest.end(), record.begin() + 254, record.end());
        } else {
            first.insert(first.end(), record.begin(), record.end());
        }
    } else if (type == 1 || record.size() < 200) {
        first.push_back(0);
        first.insert(first.end(), record.begin(), record.end());
    } else {
        // Types 3, 6, 7 with a 2048-bit key: a continuation byte and the modulus length, then
        // record bytes 1..198; the second answer carries the rest.
        first = {1, static_cast<BYTE>(file->key.n.size() >> 8), static_cast<BYTE>(file->key.n.size())};
        first.insert(first.end(), record.begin() + 1, record.begin() + 199);
        rest.push_back(0);
        rest.insert(rest.end(), record.begin() + 199, record.end());
    }
    Reply r = Result(std::move(first));
    CardSession* s = &session;
    r.on_delivery = [s, rest] {
        s->reading_public = !rest.empty();
        s->public_rest = rest;
    };
    return r;
}

}  // namespace kelm::sim
