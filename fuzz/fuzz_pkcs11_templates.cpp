// Attribute templates from the fuzzer's input, through the PKCS #11 module's function list on a
// simulated card whose container "fuzz" holds a signature key with a certificate made of input
// bytes. The template goes to C_FindObjectsInit, C_GetAttributeValue on every object found,
// C_CreateObject and C_GenerateKeyPair (in a read-only session, so that a template that passes
// every check still changes nothing); whatever the template says, nothing is read past a value or
// written past a buffer, and every call returns a code.
//
// Input: byte 0, bit 0: log in first; bit 1: a certificate follows, its length in 8-byte units in
// one byte, then its bytes (stored in the card's key file as they are). Then attributes,
// each a type byte (an index into kTypes; 0xFF: four more bytes of raw type), a length byte (0-250
// as is; 251 CK_UNAVAILABLE_INFORMATION; 252 sizeof(CK_ULONG); 253 a null value of the next
// byte's length; 254 a null value of length 0; 255 the next byte times 16) and the value's bytes,
// copied into a buffer of exactly that length.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kelm/winapi.h"
#include "pkcs11/cryptoki.h"
#include "platform/pcsc/pcsc_backend.h"
#include "platform/process/clock_seam.h"
#include "platform/registry/registry_store.h"
#include "sim/inprocess_backend.h"
#include "sim/sim_card.h"

namespace {

constexpr char kReader[] = "Fuzz Reader";
constexpr size_t kMaxValue = 4096;

constexpr CK_ATTRIBUTE_TYPE kTypes[] = {
    CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_LABEL, CKA_VALUE, CKA_CERTIFICATE_TYPE, CKA_ISSUER, CKA_SERIAL_NUMBER,
    CKA_SUBJECT, CKA_ID, CKA_KEY_TYPE, CKA_SENSITIVE, CKA_DECRYPT, CKA_SIGN, CKA_UNWRAP, CKA_EXTRACTABLE,
    CKA_MODULUS, CKA_MODULUS_BITS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_TRUSTED, CKA_CHECK_VALUE,
    CKA_START_DATE, CKA_ALWAYS_AUTHENTICATE, CKA_MODIFIABLE, CKA_DESTROYABLE, CKA_VERIFY, CKA_ENCRYPT,
    CKA_CERTIFICATE_CATEGORY, CKA_URL,
};

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool More() const { return at < size; }
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    std::vector<uint8_t> Take(size_t n) {
        n = std::min(n, size - at);
        std::vector<uint8_t> out(data + at, data + at + n);
        at += n;
        return out;
    }
};

// One attribute's value in a buffer of its own, so that a read past it is caught.
struct Attributes {
    std::vector<std::unique_ptr<uint8_t[]>> buffers;
    std::vector<CK_ATTRIBUTE> list;
};

Attributes ReadTemplate(Reader& in) {
    Attributes attributes;
    while (in.More() && attributes.list.size() < 32) {
        const uint8_t selector = in.Byte();
        CK_ATTRIBUTE_TYPE type = kTypes[selector % std::size(kTypes)];
        if (selector == 0xFF) {
            type = 0;
            for (int i = 0; i < 4; ++i) type = type << 8 | in.Byte();
        }
        const uint8_t code = in.Byte();
        CK_ULONG claimed = code;
        bool null_value = false;
        if (code == 251) claimed = CK_UNAVAILABLE_INFORMATION;
        if (code == 252) claimed = sizeof(CK_ULONG);
        if (code == 253) null_value = true, claimed = in.Byte();
        if (code == 254) null_value = true, claimed = 0;
        if (code == 255) claimed = CK_ULONG{in.Byte()} * 16;
        // An honest caller's buffer: exactly as long as it says (the unavailable length gets none).
        const size_t length = claimed == CK_UNAVAILABLE_INFORMATION ? 0 : std::min<size_t>(claimed, kMaxValue);
        if (!null_value && claimed != CK_UNAVAILABLE_INFORMATION) claimed = length;
        std::unique_ptr<uint8_t[]> buffer;
        if (!null_value) {
            buffer = std::make_unique<uint8_t[]>(length);
            const std::vector<uint8_t> bytes = in.Take(length);
            if (!bytes.empty()) std::memcpy(buffer.get(), bytes.data(), bytes.size());
        }
        attributes.list.push_back({type, buffer.get(), claimed});
        attributes.buffers.push_back(std::move(buffer));
    }
    return attributes;
}

struct Card {
    kelm::sim::InProcessBackend backend;
    kelm::platform::FakeClock clock;
    CK_FUNCTION_LIST* p11 = nullptr;
    Card() {
        kelm::platform::UseInMemoryRegistry();
        kelm::platform::UseFakeClock(&clock);
        std::string error;
        kelm::sim::SimCardPtr card = kelm::sim::NewCardImage("", kelm::sim::NewCardOptions{}, &error);
        if (!card || !kelm::sim::PutNewKey(*card, 0x8001, &error) ||
            !kelm::sim::AddContainer(*card, "fuzz", 0x8001, 0, &error)) {
            std::abort();
        }
        backend.InsertCard(kReader, std::move(card));
        kelm::platform::SetPcscBackend(&backend);
        if (C_GetFunctionList(&p11) != CKR_OK) std::abort();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Card card;
    Reader in{data, size};
    const uint8_t flags = in.Byte();
    if ((flags & 2) != 0) {
        const std::vector<uint8_t> certificate = in.Take(size_t{in.Byte()} * 8);
        std::string error;
        if (!certificate.empty()) kelm::sim::PutCertificate(*card.backend.CardIn(kReader), 0x8001, certificate, &error);
    }
    Attributes attributes = ReadTemplate(in);
    CK_ATTRIBUTE* list = attributes.list.empty() ? nullptr : attributes.list.data();
    const CK_ULONG count = attributes.list.size();

    CK_FUNCTION_LIST* p11 = card.p11;
    if (p11->C_Initialize(nullptr) != CKR_OK) std::abort();
    CK_SLOT_ID slot = 0;
    CK_ULONG slots = 1;
    CK_SESSION_HANDLE session = 0;
    if (p11->C_GetSlotList(CK_TRUE, &slot, &slots) != CKR_OK || slots != 1 ||
        p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK) {
        std::abort();
    }
    if ((flags & 1) != 0) {
        CK_UTF8CHAR pin[] = "12345678";
        p11->C_Login(session, CKU_USER, pin, 8);
    }
    if (p11->C_FindObjectsInit(session, list, count) == CKR_OK) {
        CK_OBJECT_HANDLE found[8];
        CK_ULONG n = 0;
        p11->C_FindObjects(session, found, 8, &n);
        p11->C_FindObjectsFinal(session);
        for (CK_ULONG i = 0; i < n; ++i) {
            // Answers go to buffers of their own, each as long as its attribute claims (the
            // call rewrites the lengths, so the template itself stays as the input made it).
            std::vector<CK_ATTRIBUTE> query = attributes.list;
            std::vector<std::unique_ptr<uint8_t[]>> answers;
            for (CK_ATTRIBUTE& attribute : query) {
                if (attribute.pValue == nullptr || attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
                    attribute.pValue = nullptr;
                    continue;
                }
                answers.push_back(std::make_unique<uint8_t[]>(attribute.ulValueLen));
                attribute.pValue = answers.back().get();
            }
            p11->C_GetAttributeValue(session, found[i], query.empty() ? nullptr : query.data(), count);
        }
    }
    CK_OBJECT_HANDLE made = 0;
    p11->C_CreateObject(session, list, count, &made);
    CK_MECHANISM generation = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE public_key = 0;
    CK_OBJECT_HANDLE private_key = 0;
    p11->C_GenerateKeyPair(session, &generation, list, count, list, count, &public_key, &private_key);
    p11->C_Finalize(nullptr);
    return 0;
}
