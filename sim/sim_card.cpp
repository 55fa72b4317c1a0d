// The card as the reader sees it: ATR, power, and the transmission protocol around the command
// set. On T=0 a command with data that produces data answers 61xx and hands its data to GET
// RESPONSE; a command without data whose Le (P3) differs from the answer's length answers 6Cxx.
// On T=1 data comes back directly; an Le shorter than the answer gives 6Cxx.
#include <mbedtls/x509_crt.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "sim/card_commands.h"
#include "sim/card_state.h"

namespace kelm::sim {

namespace {

std::vector<BYTE> Answer(WORD status) { return {static_cast<BYTE>(status >> 8), static_cast<BYTE>(status)}; }

std::vector<BYTE> WithData(std::vector<BYTE> data, WORD status) {
    data.push_back(static_cast<BYTE>(status >> 8));
    data.push_back(static_cast<BYTE>(status));
    return data;
}

// Splits a short APDU into header, data and Le. T=0 carries either data or Le (P3), never both.
bool ParseApdu(CardProtocol protocol, const BYTE* apdu, size_t length, Command* c) {
    if (length < 4) return false;
    c->cla = apdu[0];
    c->ins = apdu[1];
    c->p1 = apdu[2];
    c->p2 = apdu[3];
    if (length == 4) return true;
    if (length == 5) {
        c->has_le = true;
        c->le = apdu[4] == 0 ? 256 : apdu[4];
        return true;
    }
    size_t lc = apdu[4];
    if (lc == 0) return false;  // no extended lengths
    c->lc = lc;
    c->data = apdu + 5;
    if (length == 5 + lc) return true;
    if (length == 6 + lc && protocol == CardProtocol::T1) {
        c->has_le = true;
        c->le = apdu[5 + lc] == 0 ? 256 : apdu[5 + lc];
        return true;
    }
    return false;
}

std::vector<BYTE> GetResponse(CardSession& session, const Command& c) {
    if (c.p1 != 0 || c.p2 != 0) return Answer(sw::kWrongP1P2);
    if (c.lc != 0) return Answer(sw::kWrongLength);
    std::vector<BYTE>& pending = session.pending_response;
    if (pending.empty()) return Answer(sw::kConditions);
    size_t wanted = c.has_le ? c.le : 256;
    if (wanted > pending.size()) return Answer(static_cast<WORD>(0x6C00 | (pending.size() & 0xFF)));
    std::vector<BYTE> data(pending.begin(), pending.begin() + static_cast<long>(wanted));
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(wanted));
    WORD status = pending.empty() ? sw::kOk : static_cast<WORD>(0x6100 | (pending.size() > 255 ? 0 : pending.size()));
    return WithData(std::move(data), status);
}

// A change that could not be saved is not answered as done: the card reports a memory failure.
// The unsaved change is forgotten with the next command, which reads the image again.
void Save(SimCard& card, Reply* reply) {
    std::string error;
    if (!StoreImage(card, &error)) {
        ReportImageProblem(error);
        reply->sw = sw::kMemoryFailure;
        reply->data.clear();
        reply->on_delivery = nullptr;
    }
}

void WipeImage(CardImage& image) {
    for (auto& file : image.key_files) WipeKey(&file.key);
}

// The subject of a DER certificate as mbed TLS prints it, or "" when it does not parse.
std::string CertificateSubject(const std::vector<BYTE>& der) {
    mbedtls_x509_crt crt;
    mbedtls_x509_crt_init(&crt);
    std::string subject;
    if (mbedtls_x509_crt_parse_der(&crt, der.data(), der.size()) == 0) {
        char buf[256];
        if (mbedtls_x509_dn_gets(buf, sizeof buf, &crt.subject) > 0) subject = buf;
    }
    mbedtls_x509_crt_free(&crt);
    return subject;
}

std::string HexText(const std::vector<BYTE>& bytes) {
    std::string out;
    char buf[4];
    for (BYTE b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
    }
    return out;
}

// Control bytes as \xNN: a name or subject on the card must not drive the reader's terminal.
std::string Escaped(const std::string& text) {
    std::string out;
    char buf[5];
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            out += c;
            continue;
        }
        std::snprintf(buf, sizeof buf, "\\x%02X", byte);
        out += buf;
    }
    return out;
}

// The validity header as dates: "2025-01-01 to 2026-01-01" from CCYYMMDD twice (or
// CCYYMMDDhhmmss twice); anything else as it was written.
std::string ValidityDates(const std::string& validity) {
    const size_t half = validity.size() / 2;
    if ((half != 8 && half != 14) || validity.size() != 2 * half) return validity;
    const auto date = [&](size_t at) {
        return validity.substr(at, 4) + "-" + validity.substr(at + 4, 2) + "-" + validity.substr(at + 6, 2);
    };
    return date(0) + " to " + date(half);
}

std::string FileName(WORD id) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X %02X", id >> 8, id & 0xFF);
    return buf;
}

}  // namespace

void FreeSimCard(SimCard* card) {
    if (!card) return;
    std::fill(card->session.rsa_half.begin(), card->session.rsa_half.end(), BYTE{0});
    WipeImage(card->image);
    ForgetImageStamp(&card->stamp);
    delete card;
}

void ReportImageProblem(const std::string& error) { std::fprintf(stderr, "kelm card simulator: %s\n", error.c_str()); }

bool ReloadImage(SimCard& card, std::string* error) {
    if (card.path.empty() || ImageMatchesStamp(card.path, card.stamp)) return true;
    // Stamped before reading: a file replaced meanwhile fails the next match and is read again.
    TakeImageStamp(card.path, &card.stamp);
    CardImage current;
    if (!LoadImage(card.path, &current, error)) {
        ForgetImageStamp(&card.stamp);
        return false;
    }
    WipeImage(card.image);
    card.image = std::move(current);
    return true;
}

bool StoreImage(SimCard& card, std::string* error) {
    if (card.path.empty()) return true;
    // A change that was not saved must not outlive this command: the next one reads the file.
    if (!SaveImage(card.path, card.image, error)) return ForgetImageStamp(&card.stamp), false;
    TakeImageStamp(card.path, &card.stamp);
    return true;
}

bool UpdateImage(SimCard& card, const std::function<bool(CardImage&)>& change, std::string* error) {
    ImageLock lock(card.path);
    if (!lock.Held()) {
        if (error) *error = lock.error;
        return false;
    }
    if (!ReloadImage(card, error)) return false;
    if (!change(card.image)) return ForgetImageStamp(&card.stamp), false;  // half a change is not kept
    return StoreImage(card, error);
}

SimCardPtr OpenCardImage(const std::string& path, std::string* error) {
    auto card = SimCardPtr(new SimCard, FreeSimCard);
    card->path = path;
    if (!ReloadImage(*card, error)) return SimCardPtr(nullptr, FreeSimCard);
    return card;
}

SimCardPtr NewCardImage(const std::string& path, const NewCardOptions& options, std::string* error) {
    auto fail = [&](const std::string& message) {
        if (error) *error = message;
        return SimCardPtr(nullptr, FreeSimCard);
    };
    if (!ValidCardType(options.type)) return fail("card type " + std::to_string(options.type) + " does not exist (1, 3, 5, 6 or 7)");
    if (options.pin.empty() || options.pin.size() > kPinBlockLength) return fail("the PIN must be 1 to 16 characters");
    if (!options.required_cert_code.empty() && options.required_cert_code.size() != kCertCodeLength)
        return fail("the certificate code must be 8 bytes");
    auto card = SimCardPtr(new SimCard, FreeSimCard);
    CardImage& image = card->image;
    image.type = options.type;
    image.protocol = options.protocol;
    image.pin = options.pin;
    image.pin_pad = options.pin_pad;
    image.pin_pad_entry = options.pin_pad_entry;
    image.required_cert_code = options.required_cert_code;
    if (!path.empty()) {
        ImageLock lock(path);
        if (!lock.Held()) return fail(lock.error);
        struct stat st;
        if (stat(path.c_str(), &st) == 0) return fail("card image " + path + " already exists");
        card->path = path;
        if (!StoreImage(*card, error)) return SimCardPtr(nullptr, FreeSimCard);
    }
    return card;
}

std::vector<BYTE> CardAtr(const SimCard& card) {
    // Historical bytes: "KELMSIM" and the card type as a digit.
    const BYTE history[8] = {'K', 'E', 'L', 'M', 'S', 'I', 'M', static_cast<BYTE>('0' + card.image.type)};
    BYTE atr[32];
    size_t n = 0;
    atr[n++] = 0x3B;  // TS: direct convention
    if (card.image.protocol == CardProtocol::T0) {
        // T0 (TB1 and TC1 present), TB1 = 00 (no programming voltage), TC1 = 00; T=0 implied.
        atr[n++] = static_cast<BYTE>(0x60 | sizeof history);
        atr[n++] = 0x00;
        atr[n++] = 0x00;
        for (BYTE b : history) atr[n++] = b;
        return std::vector<BYTE>(atr, atr + n);
    }
    // T0 (TD1), TD1 (TD2, T=1), TD2 (TA3, TB3, T=1), TA3 = IFSC 254, TB3 = BWI 4 / CWI 5, history, TCK.
    for (BYTE b : {static_cast<BYTE>(0x80 | sizeof history), BYTE{0x81}, BYTE{0x31}, BYTE{0xFE}, BYTE{0x45}}) atr[n++] = b;
    for (BYTE b : history) atr[n++] = b;
    BYTE check = 0;
    for (size_t i = 1; i < n; ++i) check ^= atr[i];
    atr[n++] = check;
    return std::vector<BYTE>(atr, atr + n);
}

namespace {

// Forgets the session; the half block of a two-block RSA operation is wiped first.
void ClearSession(SimCard& card, bool powered) {
    std::fill(card.session.rsa_half.begin(), card.session.rsa_half.end(), BYTE{0});
    card.session = CardSession{};
    card.session.powered = powered;
}

}  // namespace

void CardPowerOn(SimCard& card) {
    if (!card.session.powered) ClearSession(card, true);
}

void CardPowerOff(SimCard& card) { ClearSession(card, false); }

void CardReset(SimCard& card) { ClearSession(card, true); }

std::vector<BYTE> CardExchange(SimCard& card, const BYTE* apdu, size_t length) {
    CardPowerOn(card);
    CardProtocol protocol = card.image.protocol;
    Command c;
    if (!apdu || !ParseApdu(protocol, apdu, length, &c)) {
        card.session.pending_response.clear();
        return Answer(sw::kWrongLength);
    }
    if (c.cla == 0x00 && c.ins == 0xC0) return GetResponse(card.session, c);
    card.session.pending_response.clear();

    // From reading the image to saving it, the command holds the image: another process sharing
    // it sees the command whole or not at all, and this one sees every change made before.
    ImageLock lock(card.path);
    std::string error;
    if (!lock.Held() || !ReloadImage(card, &error)) {
        ReportImageProblem(lock.Held() ? error : lock.error);
        return Answer(sw::kMemoryFailure);
    }
    Reply reply = RunCommand(card, c);
    if (reply.image_changed) Save(card, &reply);
    if (reply.sw != sw::kOk || reply.data.empty()) return Answer(reply.sw);

    size_t size = reply.data.size();
    WORD length_status = static_cast<WORD>(0x6C00 | (size & 0xFF));
    if (protocol == CardProtocol::T1) {
        if (c.has_le && c.le < size) return Answer(length_status);
    } else if (c.lc != 0) {
        if (reply.on_delivery) reply.on_delivery();
        card.session.pending_response = std::move(reply.data);
        return Answer(static_cast<WORD>(0x6100 | (size & 0xFF)));
    } else {
        size_t expected = c.has_le ? c.le : 256;
        if (expected != size) return Answer(length_status);
    }
    if (reply.on_delivery) reply.on_delivery();
    return WithData(std::move(reply.data), sw::kOk);
}

int CardType(const SimCard& card) { return card.image.type; }
CardProtocol CardProtocolOf(const SimCard& card) { return card.image.protocol; }
DWORD CardPcscProtocol(const SimCard& card) { return card.image.protocol == CardProtocol::T0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1; }
const std::string& CardImagePath(const SimCard& card) { return card.path; }

bool SetRequiredCertCode(SimCard& card, const std::vector<BYTE>& code, std::string* error) {
    return UpdateImage(card, [&](CardImage& image) { return image.required_cert_code = code, true; }, error);
}

bool SetPinPad(SimCard& card, bool present, const std::string& entry, std::string* error) {
    return UpdateImage(card, [&](CardImage& image) {
        image.pin_pad = present;
        image.pin_pad_entry = entry;
        return true;
    }, error);
}

std::string DescribeCard(const SimCard& card) {
    const CardImage& image = card.image;
    std::ostringstream out;
    out << "card type " << image.type << ", " << (image.protocol == CardProtocol::T0 ? "T=0" : "T=1") << "\n";
    out << "PIN tries left: " << image.tries_left << " of " << kPinTries << (image.tries_left == 0 ? " (locked)" : "") << "\n";
    out << "PIN pad: " << (image.pin_pad ? "yes" : "no") << "\n";
    out << "containers: " << image.directory.size() << " of " << KeyFileCount(image.type) << "\n";
    for (const auto& record : image.directory) {
        size_t n = kNameLength;
        while (n > 0 && record.name[n - 1] == 0) --n;
        std::string name(record.name.begin(), record.name.begin() + static_cast<long>(n));
        WORD sig = static_cast<WORD>(record.files[0] << 8 | record.files[1]);
        WORD exch = static_cast<WORD>(record.files[2] << 8 | record.files[3]);
        out << "  \"" << Escaped(name) << "\"  signature " << (sig ? FileName(sig) : "none") << ", exchange " << (exch ? FileName(exch) : "none")
            << "\n";
    }
    out << "key files: " << image.key_files.size() << "\n";
    for (const auto& file : image.key_files) {
        out << "  " << FileName(file.id) << "  " << (file.kind == 0 ? "signature" : "exchange") << ", ";
        if (file.has_key) out << KeyBits(file.key) << "-bit key";
        else out << "no key";
        out << ", ";
        if (file.certificate.empty()) out << "no certificate";
        else out << "certificate " << file.certificate.size() << " bytes";
        out << " (capacity " << file.capacity << ")\n";
        if (!file.certificate.empty()) {
            std::string subject = CertificateSubject(file.certificate);
            if (!subject.empty()) out << "      subject " << Escaped(subject) << "\n";
            if (!file.validity.empty()) out << "      valid " << Escaped(ValidityDates(file.validity)) << "\n";
            if (!file.cert_code.empty()) out << "      code " << HexText(file.cert_code) << "\n";
        }
    }
    return out.str();
}

}  // namespace kelm::sim
