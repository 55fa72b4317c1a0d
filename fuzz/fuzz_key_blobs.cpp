// Key BLOB import from the fuzzer's input, through CPImportKey on a simulated card whose
// container holds an exchange key. Whatever the blob says, the import either refuses it or makes a
// key whose material lies inside its own buffer; nothing is read past the blob.
//
// Input: byte 0 shapes the blob so that random input gets past the first checks: bits 0-1 set
// bType (keep, SIMPLEBLOB, PUBLICKEYBLOB, PRIVATEKEYBLOB), bit 2 sets bVersion 2, bit 3 sets the
// SIMPLEBLOB's algidEncrypt to CALG_RSA_KEYX or the PUBLICKEYBLOB's magic to "RSA1" and bitlen to
// 1024, bit 4 cuts or pads the blob to the length of a 1024-bit key's blob, bits 5-6 choose the
// unwrapping key (none, the exchange key, a session key, a forged handle), bit 7 CRYPT_EXPORTABLE.
// Byte 1, bits 0-2, sets aiKeyAlg (keep, or one of the seven the provider knows). The rest is
// the blob, copied into a buffer of exactly its length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "card/reader_session.h"
#include "core/context_records.h"
#include "core/handles.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/pcsc/pcsc_backend.h"
#include "platform/registry/registry_store.h"
#include "sim/inprocess_backend.h"
#include "sim/sim_card.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kReader[] = "Fuzz Reader";

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// One card and one provider context for the whole run: the container "fuzz" with an exchange key
// in 80 03, the PIN verified, a key handle for that exchange key and a DES session key.
struct Provider {
    kelm::sim::InProcessBackend backend;
    HCRYPTPROV prov = 0;
    HCRYPTKEY exchange = 0;
    HCRYPTKEY session = 0;

    Provider() {
        kelm::platform::UseInMemoryRegistry();
        std::string error;
        kelm::sim::SimCardPtr card = kelm::sim::NewCardImage("", kelm::sim::NewCardOptions{}, &error);
        if (!card || !kelm::sim::PutNewKey(*card, 0x8003, &error) ||
            !kelm::sim::AddContainer(*card, "fuzz", 0, 0x8003, &error)) {
            std::abort();
        }
        backend.InsertCard(kReader, std::move(card));
        kelm::platform::SetPcscBackend(&backend);
        if (!CPAcquireContext(&prov, "fuzz", CRYPT_SILENT, nullptr)) std::abort();
        const uint8_t verify[] = {0x00, 0x20, 0x01, 0x28, 0x10, '1', '2', '3', '4', '5', '6', '7', '8',
                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        kelm::sim::CardExchange(*backend.CardIn(kReader), verify, sizeof verify);
        kelm::card::Session().PinVerified = 1;
        // The exchange key's handle: a PUBLICKEYBLOB stands for the container's slot.
        Bytes modulus;
        kelm::sim::PublicKeyOf(*backend.CardIn(kReader), 0x8003, &modulus, nullptr);
        Bytes blob(20 + modulus.size(), 0);
        blob[0] = 6, blob[1] = 2;
        PutLe32(&blob[4], CALG_RSA_KEYX);
        PutLe32(&blob[8], 0x31415352);
        PutLe32(&blob[12], 1024);
        PutLe32(&blob[16], 65537);
        std::copy(modulus.rbegin(), modulus.rend(), blob.begin() + 20);
        if (!CPImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &exchange) ||
            !CPGenKey(prov, CALG_DES, 0, &session)) {
            std::abort();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Provider provider;
    if (size < 2) {
        return 0;
    }
    const uint8_t shape = data[0];
    const ALG_ID algids[] = {0, CALG_DES, CALG_3DES, CALG_3DES_112, CALG_RSA_KEYX, CALG_RSA_SIGN, AT_KEYEXCHANGE, AT_SIGNATURE};
    const ALG_ID algid = algids[data[1] & 7];
    Bytes blob(data + 2, data + size);
    const uint8_t type = static_cast<uint8_t>(shape & 3);
    const bool simple = type == 1 || (type == 0 && !blob.empty() && blob[0] == 1);
    if ((shape & 0x10) != 0) {
        blob.resize(simple ? 140 : 148, 0x5A);
    }
    if (type != 0 && !blob.empty()) {
        blob[0] = type == 1 ? 1 : type == 2 ? 6 : 7;
    }
    if ((shape & 0x04) != 0 && blob.size() > 1) {
        blob[1] = 2;
    }
    if (algid != 0 && blob.size() >= 8) {
        PutLe32(&blob[4], algid);
    }
    if ((shape & 0x08) != 0 && blob.size() >= 16) {
        PutLe32(&blob[8], simple ? CALG_RSA_KEYX : 0x31415352);
        if (!simple) PutLe32(&blob[12], 1024);
    }
    const HCRYPTKEY unwrap[] = {0, provider.exchange, provider.session, 0x1234567};
    const HCRYPTKEY hPubKey = unwrap[(shape >> 5) & 3];
    const DWORD flags = (shape & 0x80) != 0 ? CRYPT_EXPORTABLE : 0;

    // The blob in a buffer of exactly its length, so a read past it is caught.
    uint8_t* exact = static_cast<uint8_t*>(std::malloc(blob.empty() ? 1 : blob.size()));
    if (!blob.empty()) std::memcpy(exact, blob.data(), blob.size());
    HCRYPTKEY key = 0;
    if (CPImportKey(provider.prov, exact, static_cast<DWORD>(blob.size()), hPubKey, flags, &key)) {
        auto* made = static_cast<kelm::core::KeyCTX*>(
            kelm::core::Get_CryptoCTX(key, kelm::core::HANDLE_KEY_TYPE, provider.prov));
        if (made == nullptr || (made->KeyData != nullptr && made->KeyLen / 8 > made->KeyDataSize)) std::abort();
        kelm::core::Free_CryptoHandle(key);
        kelm::core::Free_KeyCTX(made);
    } else if (key != 0) {
        std::abort();  // a refused import hands out no handle
    }
    std::free(exact);
    // The backend's exchange log would otherwise grow with every input, which libFuzzer takes for
    // a possible leak and checks with a full leak scan each time.
    provider.backend.ClearLog();
    return 0;
}
