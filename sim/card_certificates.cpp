// Certificates in key files: reading them in pieces and writing them with their header.
#include <algorithm>

#include "sim/card_handlers.h"

namespace kelm::sim {

namespace {

// Total length of the DER element at `p` (tag, length bytes, content), or 0 when unreadable.
size_t DerLength(const BYTE* p, size_t available) {
    if (available < 2 || p[0] != 0x30) return 0;
    BYTE b = p[1];
    if (b < 0x80) return 2u + b;
    size_t count = b & 0x7F;
    if (count == 0 || count > 2 || available < 2 + count) return 0;
    size_t length = 0;
    for (size_t i = 0; i < count; ++i) length = length << 8 | p[2 + i];
    return 2 + count + length;
}

// The validity header is date text: digits, and the zone letters of a time written without
// seconds ("Z", "+", "-") where those fall inside the copied characters.
bool DateText(const BYTE* p, size_t n) {
    return std::all_of(p, p + n, [](BYTE b) { return (b >= '0' && b <= '9') || b == 'Z' || b == '+' || b == '-'; });
}

bool WithCode(int type) { return type == 1 || type == 5; }
size_t HeaderLength(int type) { return type == 5 ? 30 : 16; }
size_t ValidityLength(int type) { return type == 5 ? 28 : 16; }

Reply Abort(CardSession& session, WORD status) {
    session.writing = false;
    std::fill(session.write_payload.begin(), session.write_payload.end(), BYTE{0});
    session.write_payload.clear();
    return Status(status);
}

}  // namespace

Reply ReadFile(SimCard& card, const Command& c) {
    int type = card.image.type;
    // Type 5 reads with INS 4A (P2 00) in 255-byte pieces, the others with INS 44 (P2 01) in 200.
    if ((type == 5) != (c.ins == 0x4A)) return Status(c.ins == 0x4A ? sw::kInsNotSupported : sw::kWrongP1P2);
    if (c.p1 > 1 || c.p2 != (type == 5 ? 0x00 : 0x01)) return Status(sw::kWrongP1P2);
    if (c.lc != 0) return Status(sw::kWrongLength);
    WORD status = 0;
    KeyFile* file = SelectedKeyFile(card, &status);
    if (!file) return Status(status);
    CardSession& session = card.session;
    if (c.p1 == 1 && !session.reading) return Status(sw::kConditions);
    size_t piece = type == 5 ? 255 : 200;
    size_t offset = c.p1 == 0 ? 0 : session.read_offset;
    const auto& cert = file->certificate;
    offset = std::min(offset, cert.size());
    size_t count = std::min(piece, cert.size() - offset);
    size_t next = offset + count;
    size_t remaining = cert.size() - next;
    Reply r;
    // The continuation byte: 0 on the last piece; otherwise the length of the next answer (type 5: 1).
    BYTE continuation = remaining == 0 ? 0 : type == 5 ? 1 : static_cast<BYTE>(1 + std::min(piece, remaining));
    r.data.resize(1 + count);
    r.data[0] = continuation;
    std::copy_n(cert.begin() + static_cast<long>(offset), count, r.data.begin() + 1);
    CardSession* s = &session;
    r.on_delivery = [s, next, remaining] {
        s->reading = remaining != 0;
        s->read_offset = next;
    };
    return r;
}

Reply WriteCertificate(SimCard& card, const Command& c) {
    CardSession& session = card.session;
    int type = card.image.type;
    if (c.p1 > 1 || c.p2 != 0) return Abort(session, sw::kWrongP1P2);
    if (c.lc < 1) return Abort(session, sw::kWrongLength);
    WORD status = 0;
    KeyFile* file = SelectedKeyFile(card, &status);
    if (!file) return Abort(session, status);
    BYTE continuation = c.data[0];
    if (continuation > 1) return Abort(session, sw::kWrongData);
    size_t header = HeaderLength(type);
    size_t code = WithCode(type) ? kCertCodeLength : 0;

    if (c.p1 == 0) {
        Abort(session, sw::kOk);
        session.write_payload.assign(c.data + 1, c.data + c.lc);
        const auto& payload = session.write_payload;
        if (payload.size() < header + 4) return Abort(session, sw::kWrongLength);
        if (!DateText(payload.data(), ValidityLength(type))) return Abort(session, sw::kWrongData);
        size_t length = DerLength(payload.data() + header, payload.size() - header);
        if (length == 0) return Abort(session, sw::kWrongData);
        if (type == 5 && static_cast<size_t>(payload[28] << 8 | payload[29]) != length) return Abort(session, sw::kWrongData);
        if (length > file->capacity) return Abort(session, sw::kCertTooLarge);
        session.write_cert_length = length;
        session.writing = true;
    } else {
        if (!session.writing) return Abort(session, sw::kConditions);
        session.write_payload.insert(session.write_payload.end(), c.data + 1, c.data + c.lc);
    }

    size_t needed = header + session.write_cert_length;
    size_t have = session.write_payload.size();
    bool single_command = c.p1 == 0 && continuation == 1 && have >= needed;
    if (continuation == 1 && !single_command) {
        if (have > needed + code) return Abort(session, sw::kWrongLength);
        return Status(sw::kOk);  // more to come
    }
    if (!single_command && have != needed + code) return Abort(session, sw::kWrongLength);

    // Complete: check the code (types 1 and 5), then store the certificate.
    const BYTE* payload = session.write_payload.data();
    std::vector<BYTE> given = single_command ? std::vector<BYTE>{} : std::vector<BYTE>(payload + needed, payload + needed + code);
    if (WithCode(type) && !card.image.required_cert_code.empty() && given != card.image.required_cert_code)
        return Abort(session, sw::kSecurity);
    file->validity.assign(payload, payload + ValidityLength(type));
    file->certificate.assign(payload + header, payload + needed);
    file->cert_code = given;
    Abort(session, sw::kOk);
    Reply r;
    r.image_changed = true;
    return r;
}

}  // namespace kelm::sim
