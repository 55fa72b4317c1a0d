// Card answers from the fuzzer's input, fed to every card function through a backend that plays
// them back in order. Whatever the card says, the functions must stay inside their buffers and
// finish: the output buffers are surrounded by guard bytes that are checked after each call.
//
// Input: byte 0 picks the card type and protocol (low nibble) and a small argument (high
// nibble), byte 1 the function; the rest is the sequence of answers (below).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "card/certificate_storage.h"
#include "card/pkcs1_blocks.h"
#include "card/reader_session.h"
#include "card/rsa_operations.h"
#include "kelm/winapi.h"
#include "platform/pcsc/pcsc_backend.h"

namespace {

using kelm::card::Session;

class PlaybackCard : public kelm::platform::PcscBackend {
public:
    PlaybackCard(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    LONG EstablishContext(DWORD, SCARDCONTEXT* context) override {
        *context = 1;
        return SCARD_S_SUCCESS;
    }
    LONG ReleaseContext(SCARDCONTEXT) override { return SCARD_S_SUCCESS; }
    LONG ListReaders(SCARDCONTEXT, std::vector<std::string>* readers) override {
        *readers = {"Fuzz Reader"};
        return SCARD_S_SUCCESS;
    }
    LONG Connect(SCARDCONTEXT, const std::string&, DWORD, DWORD, SCARDHANDLE* card, DWORD* protocol) override {
        *card = 1;
        *protocol = SCARD_PROTOCOL_T1;
        return SCARD_S_SUCCESS;
    }
    LONG Disconnect(SCARDHANDLE, DWORD) override { return SCARD_S_SUCCESS; }
    // Each answer is a header byte, a length byte and that many data bytes (256 more when the
    // header's top bit is set). The header's low bits choose how the answer ends, so that random
    // input reaches past the first command: 90 00, 61 xx, 6C xx alone, the bytes raw (which may
    // be shorter than a status word), or an error status.
    LONG Transmit(SCARDHANDLE, DWORD, const BYTE*, DWORD, BYTE* response, DWORD* response_length) override {
        std::vector<BYTE> answer;
        if (++exchanges_ > 4096 || position_ + 2 > size_) {
            answer = {0x6F, 0x00};  // a card with nothing more to say ends every loop
        } else {
            const BYTE header = data_[position_];
            size_t length = data_[position_ + 1] + ((header & 0x80) != 0 ? 256u : 0u);
            position_ += 2;
            if (length > size_ - position_) {
                length = size_ - position_;
            }
            answer.assign(data_ + position_, data_ + position_ + length);
            position_ += length;
            switch (header & 0x07) {
            case 4:
                answer = {0x61, static_cast<BYTE>(length)};
                break;
            case 5:
                answer = {0x6C, static_cast<BYTE>(length)};
                break;
            case 6:
                break;
            case 7:
                answer.insert(answer.end(), {0x6A, 0x82});
                break;
            default:
                answer.insert(answer.end(), {0x90, 0x00});
                break;
            }
        }
        if (answer.size() > *response_length) {
            return SCARD_E_INSUFFICIENT_BUFFER;
        }
        if (!answer.empty()) {
            std::memcpy(response, answer.data(), answer.size());
        }
        *response_length = static_cast<DWORD>(answer.size());
        return SCARD_S_SUCCESS;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
    size_t exchanges_ = 0;
};

constexpr size_t kGuard = 64;
constexpr BYTE kGuardByte = 0xA5;

// An output buffer of `size` bytes with guard bytes on both sides.
struct Guarded {
    explicit Guarded(size_t size) : bytes(size + 2 * kGuard, kGuardByte), size(size) {}
    BYTE* data() { return bytes.data() + kGuard; }
    char* chars() { return reinterpret_cast<char*>(data()); }
    void Check() const {
        for (size_t i = 0; i < kGuard; ++i) {
            if (bytes[i] != kGuardByte || bytes[kGuard + size + i] != kGuardByte) {
                std::abort();
            }
        }
    }
    std::vector<BYTE> bytes;
    size_t size;
};

const DWORD kCardTypes[] = {1, 3, 5, 6, 7};

// A small certificate whose validity the writer can read, so that its pieces reach the card:
// version, serial, algorithm, issuer, validity, then padding to 600 bytes.
// Made at its full size and filled in place.
std::vector<BYTE> WritableCertificate() {
    const BYTE head[] = {0x30, 0x82, 0x02, 0x54, 0x30, 0x82, 0x02, 0x50, 0xA0, 0x03, 0x02, 0x01,
                         0x02, 0x02, 0x01, 0x01, 0x30, 0x00, 0x30, 0x00, 0x30, 0x1E};
    const BYTE date[] = {0x17, 0x0D, '9', '9', '0', '6', '1', '5', '1', '2', '3', '4', '5', '6', 'Z'};
    std::vector<BYTE> certificate(600, 0x00);
    BYTE* at = std::copy(std::begin(head), std::end(head), certificate.data());
    at = std::copy(std::begin(date), std::end(date), at);
    std::copy(std::begin(date), std::end(date), at);
    return certificate;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    PlaybackCard card(data + 2, size - 2);
    kelm::platform::SetPcscBackend(&card);
    kelm::card::CardSession& session = Session();
    session = kelm::card::CardSession{};
    session.ReaderType = kelm::card::READER_TYPE_PLAIN;
    session.Card = 1;
    const bool t0 = (data[0] & 0x08) != 0;
    session.ActiveProtocol = t0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
    session.SendPci = t0 ? &g_rgSCardT0Pci : &g_rgSCardT1Pci;
    session.CardType = kCardTypes[(data[0] & 0x07) % 5];

    const BYTE argument = data[0] >> 4;
    const char* name = (argument & 1) != 0 ? "fuzzed container" : "A-name-exactly-thirty-six-characters";
    const BYTE slot = static_cast<BYTE>(1 + (argument >> 1 & 1));
    const DWORD block = (argument & 4) != 0 ? kelm::card::kRsaBlock2048 : kelm::card::kRsaBlock1024;
    switch (data[1] % 20) {
    case 0: {
        Guarded names(7 * kelm::card::kNameEntrySize);
        BYTE count = static_cast<BYTE>(argument % 3);
        kelm::card::Card_ListContainers(names.chars(), &count, 7);
        names.Check();
        break;
    }
    case 1: {
        Guarded name_out(kelm::card::kContainerNameBytes);
        kelm::card::Card_GetContainerName(name_out.chars(), argument);
        name_out.Check();
        break;
    }
    case 2: {
        Guarded record(kelm::card::kKeyFileRecordSize);
        kelm::card::Card_FindContainer(name, record.data());
        record.Check();
        break;
    }
    case 3: {
        Guarded answer(kelm::card::kContainerStatusBytes);
        kelm::card::Card_CreateContainer((argument & 2) != 0 ? nullptr : name, answer.data(), answer.size);
        answer.Check();
        break;
    }
    case 4: {
        Guarded status(kelm::card::kContainerStatusBytes);
        kelm::card::Card_OpenContainer(name, status.data());
        status.Check();
        break;
    }
    case 5:
        kelm::card::Card_DeleteContainer(name);
        break;
    case 6: {
        Guarded status(kelm::card::kContainerStatusBytes);
        kelm::card::Card_DeleteRSAKey(name, static_cast<BYTE>(1 + (argument & 1)), 0, status.data());
        status.Check();
        break;
    }
    case 7: {
        const DWORD length = 2048 + 255;
        Guarded file(length);
        kelm::card::Card_ReadFile(length, file.data(), file.size);
        file.Check();
        break;
    }
    case 8: {
        Guarded random(argument * 9u);
        kelm::card::Card_GetChallenge(argument * 9u, random.data());
        random.Check();
        break;
    }
    case 9: {
        Guarded info(kelm::card::kFileInfoSize);
        kelm::card::Card_GetFileInfo(0x80, static_cast<BYTE>(1 + argument % 7), info.data());
        info.Check();
        break;
    }
    case 10:
        kelm::card::Card_SelectApplication();
        break;
    case 11: {
        const BYTE kind = static_cast<BYTE>(argument % 7);
        const std::vector<BYTE> hash(kelm::card::DigestInfoFor(kind).hash_length(), 0x11);
        Guarded signature(block);
        DWORD length = block;
        kelm::card::RSA_CardSignature(name, slot, kind, hash.data(), static_cast<DWORD>(hash.size()), &length,
                                      signature.data());
        signature.Check();
        break;
    }
    case 12: {
        const std::vector<BYTE> ciphertext(block, 0x22);
        Guarded out(block);
        DWORD length = block;
        kelm::card::RSA_CardDecrypt(name, slot == 2 ? CALG_RSA_KEYX : CALG_RSA_SIGN, &length, ciphertext.data(),
                                    out.data());
        out.Check();
        break;
    }
    case 13: {
        const std::vector<BYTE> message(kelm::card::kMaxEncryptMessage, 0x33);
        Guarded out(kelm::card::kRsaBlock1024);
        DWORD length = argument * 7u;
        kelm::card::RSA_CardEncrypt(name, slot == 2 ? CALG_RSA_KEYX : CALG_RSA_SIGN, &length, message.data(),
                                    out.data());
        out.Check();
        break;
    }
    case 14: {
        const std::vector<BYTE> hash(64, 0x44), signature(kelm::card::kRsaBlock1024, 0x55);
        kelm::card::RSA_CardVerify(name, slot, static_cast<BYTE>(argument % 7), hash.data(), 20, signature.data());
        break;
    }
    case 15: {
        Guarded record(kelm::card::kPublicKeyRecordMax);
        DWORD length = 0;
        kelm::card::Card_GetRSAPublicKey(name, slot, &length, record.data(), record.size);
        kelm::card::PublicKeyParts parts{};
        if (length > record.size) std::abort();
        kelm::card::SplitPublicKeyRecord(record.data(), length, &parts);
        record.Check();
        break;
    }
    case 16:
    case 17: {
        Guarded status(kelm::card::kContainerStatusBytes);
        std::memset(status.data(), 0, status.size);
        if ((data[1] % 20) == 16) {
            kelm::card::Card_GetCertificateInfo(name, slot, status.data());
        } else {
            kelm::card::Card_CreateCertificate(name, slot, argument, status.data());
        }
        status.Check();
        break;
    }
    case 18: {
        static const std::vector<BYTE> certificate = WritableCertificate();
        Guarded status(kelm::card::kContainerStatusBytes);
        std::memset(status.data(), 0, status.size);
        kelm::card::RSA_CardWriteCertificate(name, slot, static_cast<DWORD>(certificate.size()), certificate.data(),
                                             status.data());
        status.Check();
        break;
    }
    default: {
        Guarded response(kelm::card::kApduResponseCapacity);
        BYTE le = static_cast<BYTE>(argument * 17);
        const BYTE payload[4] = {1, 2, 3, 4};
        kelm::card::Card_SendAPDU(0x00, 0xB0, 0x00, 0x00, argument & 1 ? 4 : 0, &le, payload, response.data(),
                                  argument & 2, response.size);
        response.Check();
        break;
    }
    }
    kelm::platform::SetPcscBackend(nullptr);
    return 0;
}
