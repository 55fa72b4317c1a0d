// The PKCS #11 module loaded as an application loads it (dlopen, C_GetFunctionList), on a
// simulated card in-process: what the command-line clients cannot reach. Null and short buffers,
// a card pulled and put back, eight threads signing at once, the module's end, and the card
// commands of one object search. Signatures are checked with OpenSSL against the card's keys.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "crypto/openssl_peer.h"
#include "kelm/winapi.h"
#include "pkcs11/cryptoki.h"
#include "platform/pcsc/pcsc_backend.h"
#include "platform/process/clock_seam.h"
#include "sim/sim_card.h"
#include "support/registry_fixture.h"
#include "support/sim_fixture.h"

namespace {

using kelm::test::Bytes;

CK_FUNCTION_LIST* Module() {
    static CK_FUNCTION_LIST* list = [] {
        void* library = dlopen(KELM_PKCS11_PATH, RTLD_NOW | RTLD_LOCAL);
        auto get = reinterpret_cast<CK_C_GetFunctionList>(library ? dlsym(library, "C_GetFunctionList") : nullptr);
        CK_FUNCTION_LIST* loaded = nullptr;
        return get != nullptr && get(&loaded) == CKR_OK ? loaded : nullptr;
    }();
    return list;
}

struct CardKey {
    const char* label;
    WORD file;
};
// alice's two keys and bob's signature key.
const CardKey kKeys[] = {{"alice:signature", 0x8001}, {"alice:exchange", 0x8003}, {"bob:signature", 0x8002}};

// The card's reader, letting other threads run after every command: a card conversation that
// is not held whole (SELECT in one thread, RSA OPERATION of another in between) shows at once.
struct InterleavingReader : kelm::platform::PcscBackend {
    explicit InterleavingReader(kelm::platform::PcscBackend& inner) : inner(inner) {}
    kelm::platform::PcscBackend& inner;
    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override { return inner.EstablishContext(scope, context); }
    LONG ReleaseContext(SCARDCONTEXT context) override { return inner.ReleaseContext(context); }
    LONG ListReaders(SCARDCONTEXT context, std::vector<std::string>* readers) override {
        return inner.ListReaders(context, readers);
    }
    LONG Connect(SCARDCONTEXT context, const std::string& reader, DWORD share, DWORD protocols, SCARDHANDLE* card,
                 DWORD* active) override {
        return inner.Connect(context, reader, share, protocols, card, active);
    }
    LONG Disconnect(SCARDHANDLE card, DWORD disposition) override { return inner.Disconnect(card, disposition); }
    LONG Transmit(SCARDHANDLE card, DWORD protocol, const BYTE* command, DWORD length, BYTE* response,
                  DWORD* response_length) override {
        const LONG result = inner.Transmit(card, protocol, command, length, response, response_length);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        return result;
    }
};

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, p11) << dlerror();
        kelm::platform::UseFakeClock(&clock);
        std::string error;
        for (const CardKey& key : kKeys) ASSERT_TRUE(kelm::sim::PutNewKey(Card(), key.file, &error)) << error;
        ASSERT_TRUE(kelm::sim::AddContainer(Card(), "alice", 0x8001, 0x8003, &error)) << error;
        ASSERT_TRUE(kelm::sim::AddContainer(Card(), "bob", 0x8002, 0, &error)) << error;
        for (const CardKey& key : kKeys) kelm::sim::PublicKeyOf(Card(), key.file, &moduli[key.file], &exponents[key.file]);
        ASSERT_EQ(CKR_OK, p11->C_Initialize(nullptr));
        CK_ULONG count = 1;
        ASSERT_EQ(CKR_OK, p11->C_GetSlotList(CK_TRUE, &slot, &count));
        ASSERT_EQ(1u, count);
    }
    void TearDown() override {
        p11->C_Finalize(nullptr);
        kelm::platform::UseFakeClock(nullptr);
    }
    kelm::sim::SimCard& Card() { return sim.card(); }
    CK_SESSION_HANDLE Open(bool login) {
        CK_SESSION_HANDLE session = 0;
        EXPECT_EQ(CKR_OK, p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session));
        CK_UTF8CHAR pin[] = "12345678";
        if (login) {
            EXPECT_EQ(CKR_OK, p11->C_Login(session, CKU_USER, pin, 8));
        }
        return session;
    }
    CK_OBJECT_HANDLE Find(CK_SESSION_HANDLE session, const char* label, CK_OBJECT_CLASS object_class) {
        CK_ATTRIBUTE search[] = {{CKA_LABEL, const_cast<char*>(label), std::strlen(label)},
                                 {CKA_CLASS, &object_class, sizeof object_class}};
        CK_OBJECT_HANDLE found = CK_INVALID_HANDLE;
        CK_ULONG count = 0;
        EXPECT_EQ(CKR_OK, p11->C_FindObjectsInit(session, search, 2));
        EXPECT_EQ(CKR_OK, p11->C_FindObjects(session, &found, 1, &count));
        EXPECT_EQ(CKR_OK, p11->C_FindObjectsFinal(session));
        return found;
    }
    // C_SignInit and C_Sign with SHA-256 or SHA-1; the result checked with OpenSSL.
    CK_RV SignAndCheck(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, WORD file, bool sha256, const Bytes& data) {
        CK_MECHANISM mechanism = {sha256 ? CKM_SHA256_RSA_PKCS : CKM_SHA1_RSA_PKCS, nullptr, 0};
        CK_RV rv = p11->C_SignInit(session, &mechanism, key);
        Bytes signature(128);
        CK_ULONG length = signature.size();
        if (rv == CKR_OK) rv = p11->C_Sign(session, const_cast<BYTE*>(data.data()), data.size(), signature.data(), &length);
        if (rv != CKR_OK) return rv;
        const char* digest = sha256 ? "SHA256" : "SHA1";
        return kelm::test::OpenSslVerifyRsaPkcs1(moduli.at(file), exponents.at(file), digest,
                                                 kelm::test::OpenSslDigest(digest, data), signature)
                   ? CKR_OK
                   : CKR_SIGNATURE_INVALID;
    }

    CK_FUNCTION_LIST* p11 = Module();
    kelm::test::ScopedInMemoryRegistry registry;
    kelm::platform::FakeClock clock;
    kelm::testing::ScopedSimCard sim;
    CK_SLOT_ID slot = 0;
    std::map<WORD, Bytes> moduli, exponents;  // the card's keys, read before any thread starts
    const Bytes document = kelm::test::RandomBytes(1000, 7);
};

TEST_F(ModuleTest, NullAndShortBuffersGetTheSizeOrTheStandardsCode) {
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11->C_GetSlotList(CK_TRUE, nullptr, nullptr));
    CK_ULONG count = 0;
    CK_SLOT_ID none = 0;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, p11->C_GetSlotList(CK_TRUE, &none, &count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11->C_GetTokenInfo(slot, nullptr));
    EXPECT_EQ(CKR_OK, p11->C_GetMechanismList(slot, nullptr, &count));
    EXPECT_EQ(5u, count);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr));
    const CK_SESSION_HANDLE session = Open(false);
    CK_UTF8CHAR pin[] = "12345678";
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11->C_Login(session, CKU_USER, nullptr, 8));
    ASSERT_EQ(CKR_OK, p11->C_Login(session, CKU_USER, pin, 8));
    EXPECT_EQ(CKR_USER_ALREADY_LOGGED_IN, p11->C_Login(session, CKU_USER, pin, 8));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11->C_GetSessionInfo(session, nullptr));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11->C_GenerateRandom(session, nullptr, 8));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11->C_FindObjectsInit(session, nullptr, 1));

    // Signing: a size query and a short buffer leave the operation for the call with a buffer.
    const CK_OBJECT_HANDLE key = Find(session, "alice:signature", CKO_PRIVATE_KEY);
    CK_MECHANISM mechanism = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(CKR_OK, p11->C_SignInit(session, &mechanism, key));
    BYTE* data = const_cast<BYTE*>(document.data());
    Bytes signature(128);
    CK_ULONG length = 0;
    EXPECT_EQ(CKR_OK, p11->C_Sign(session, data, document.size(), nullptr, &length));
    EXPECT_EQ(128u, length);
    length = 127;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, p11->C_Sign(session, data, document.size(), signature.data(), &length));
    EXPECT_EQ(128u, length);
    EXPECT_EQ(CKR_OK, p11->C_Sign(session, data, document.size(), signature.data(), &length));
    EXPECT_TRUE(kelm::test::OpenSslVerifyRsaPkcs1(moduli[0x8001], exponents[0x8001], "SHA256",
                                                 kelm::test::OpenSslDigest("SHA256", document), signature));
    // A null length ends the operation.
    ASSERT_EQ(CKR_OK, p11->C_SignInit(session, &mechanism, key));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11->C_Sign(session, data, document.size(), signature.data(), nullptr));
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, p11->C_Sign(session, data, document.size(), signature.data(), &length));

    // Attributes: each answered, the short, the secret and the unknown marked unavailable.
    BYTE small[4];
    BYTE secret[256];
    BYTE value[8];
    CK_ATTRIBUTE read[] = {{CKA_MODULUS, small, sizeof small}, {CKA_LABEL, nullptr, 0},
                           {CKA_PRIVATE_EXPONENT, secret, sizeof secret}, {CKA_VALUE, value, sizeof value}};
    EXPECT_NE(CKR_OK, p11->C_GetAttributeValue(session, key, read, 4));
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, read[0].ulValueLen);
    EXPECT_EQ(std::strlen("alice:signature"), read[1].ulValueLen);
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, read[2].ulValueLen);
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, read[3].ulValueLen);
    EXPECT_EQ(CKR_ATTRIBUTE_SENSITIVE, p11->C_GetAttributeValue(session, key, &read[2], 1));

    EXPECT_EQ(CKR_OK, p11->C_CloseSession(session));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11->C_Login(session, CKU_USER, pin, 8));
}

TEST_F(ModuleTest, APulledCardTakesTheLoginAndTheHandlesWithIt) {
    CK_UTF8CHAR pin[] = "12345678";
    const CK_SESSION_HANDLE session = Open(true);
    CK_OBJECT_HANDLE key = Find(session, "alice:signature", CKO_PRIVATE_KEY);
    const CK_OBJECT_HANDLE public_key = Find(session, "alice:exchange", CKO_PUBLIC_KEY);
    ASSERT_EQ(CKR_OK, SignAndCheck(session, key, 0x8001, true, document));

    // Out and back in between two calls: the next card command finds the connection gone.
    sim.backend().InsertCard(sim.reader(), sim.backend().RemoveCard(sim.reader()));
    BYTE modulus[128];
    CK_ATTRIBUTE read = {CKA_MODULUS, modulus, sizeof modulus};
    EXPECT_EQ(CKR_DEVICE_REMOVED, p11->C_GetAttributeValue(session, public_key, &read, 1));
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, p11->C_GetAttributeValue(session, public_key, &read, 1));

    ASSERT_EQ(CKR_OK, p11->C_Login(session, CKU_USER, pin, 8));
    key = Find(session, "alice:signature", CKO_PRIVATE_KEY);
    kelm::sim::SimCardPtr pulled = sim.backend().RemoveCard(sim.reader());
    CK_MECHANISM mechanism = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    Bytes signature(128);
    CK_ULONG length = signature.size();
    ASSERT_EQ(CKR_OK, p11->C_SignInit(session, &mechanism, key));
    EXPECT_EQ(CKR_DEVICE_REMOVED, p11->C_Sign(session, const_cast<BYTE*>(document.data()), document.size(),
                                              signature.data(), &length));
    CK_TOKEN_INFO info;
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, p11->C_GetTokenInfo(slot, &info));

    // Put back: the session stays, the login does not, and neither do the old object handles.
    sim.backend().InsertCard(sim.reader(), std::move(pulled));
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, p11->C_SignInit(session, &mechanism, key));
    ASSERT_EQ(CKR_OK, p11->C_Login(session, CKU_USER, pin, 8));
    EXPECT_EQ(CKR_KEY_HANDLE_INVALID, p11->C_SignInit(session, &mechanism, key));
    EXPECT_EQ(CKR_OK, SignAndCheck(session, Find(session, "alice:signature", CKO_PRIVATE_KEY), 0x8001, true, document));
}

TEST_F(ModuleTest, EightThreadsSignWithTheKeysTheyAskFor) {
    Open(true);  // the login serves every session of the application
    InterleavingReader reader(sim.backend());
    kelm::platform::SetPcscBackend(&reader);
    std::atomic<int> good{0};
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            const CardKey& card_key = kKeys[t % 3];
            const CK_SESSION_HANDLE session = Open(false);
            const CK_OBJECT_HANDLE key = Find(session, card_key.label, CKO_PRIVATE_KEY);
            for (int i = 0; i < 12; ++i) {
                const Bytes data = kelm::test::RandomBytes(100 + t, static_cast<uint32_t>(t * 100 + i));
                (SignAndCheck(session, key, card_key.file, (i + t) % 2 == 0, data) == CKR_OK ? good : bad)++;
            }
            p11->C_CloseSession(session);
        });
    }
    for (std::thread& thread : threads) thread.join();
    kelm::platform::SetPcscBackend(&sim.backend());
    EXPECT_EQ(96, good.load());
    EXPECT_EQ(0, bad.load());
}

TEST_F(ModuleTest, ASearchSendsNoCardCommandTwiceAndFinalizeEndsTheConnection) {
    const CK_SESSION_HANDLE session = Open(true);
    std::map<int, std::vector<std::string>> searches;
    for (int search = 0; search < 2; ++search) {
        sim.backend().ClearLog();
        CK_OBJECT_HANDLE found[16];
        CK_ULONG count = 0;
        ASSERT_EQ(CKR_OK, p11->C_FindObjectsInit(session, nullptr, 0));
        ASSERT_EQ(CKR_OK, p11->C_FindObjects(session, found, 16, &count));
        ASSERT_EQ(CKR_OK, p11->C_FindObjectsFinal(session));
        EXPECT_EQ(6u, count);  // three keys, each a private and a public key
        // A command is a repeat when it goes to the same selected file with the same bytes.
        std::set<std::string> seen;
        std::string selected;
        for (const kelm::sim::Exchange& exchange : sim.backend().Log()) {
            const std::string command = kelm::testing::HexOf(exchange.command);
            EXPECT_TRUE(seen.insert(selected + "|" + command).second) << "sent twice: " << command;
            if (command.rfind("00 A4 02 00 02", 0) == 0) selected = command;
            searches[search].push_back(command);
        }
    }
    EXPECT_FALSE(searches[0].empty());
    EXPECT_TRUE(searches[1].empty()) << "the card's keys are read once per connection";

    // The module's end leaves no connection, and a card that forgot the PIN.
    ASSERT_TRUE(kelm::sim::PinVerified(Card()));
    ASSERT_EQ(CKR_OK, p11->C_Finalize(nullptr));
    EXPECT_EQ(0u, sim.backend().OpenHandles());
    EXPECT_FALSE(kelm::sim::PinVerified(Card()));
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, p11->C_GetSlotList(CK_TRUE, nullptr, nullptr));
    ASSERT_EQ(CKR_OK, p11->C_Initialize(nullptr));
}

TEST_F(ModuleTest, APinPadTakesThePinAndEachReaderIsASlotOfItsOwn) {
    HKEY settings = nullptr;
    const DWORD pin_pad = 2;  // "iReaderType": a PIN-pad reader
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\VESK\\ROSMAC10", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &settings, nullptr));
    RegSetValueExA(settings, "iReaderType", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&pin_pad), sizeof pin_pad);
    RegCloseKey(settings);
    kelm::testing::SimCardSetup type5;
    type5.type = 5;
    type5.pin_pad = true;
    type5.pin_pad_entry = "12345678";
    sim.AddReaderWithCard("PIN Pad Reader", type5);
    CK_SLOT_ID slots[2] = {};
    CK_ULONG count = 0;
    ASSERT_EQ(CKR_OK, p11->C_GetSlotList(CK_TRUE, nullptr, &count));
    ASSERT_EQ(2u, count);
    ASSERT_EQ(CKR_OK, p11->C_GetSlotList(CK_TRUE, slots, &count));
    const CK_SLOT_ID pad = slots[0] == slot ? slots[1] : slots[0];
    CK_TOKEN_INFO info;
    ASSERT_EQ(CKR_OK, p11->C_GetTokenInfo(pad, &info));
    EXPECT_NE(0u, info.flags & CKF_PROTECTED_AUTHENTICATION_PATH);
    ASSERT_EQ(CKR_OK, p11->C_GetTokenInfo(slot, &info));
    EXPECT_EQ(0u, info.flags & CKF_PROTECTED_AUTHENTICATION_PATH);

    const CK_SESSION_HANDLE first = Open(true);
    CK_SESSION_HANDLE second = 0;
    ASSERT_EQ(CKR_OK, p11->C_OpenSession(pad, CKF_SERIAL_SESSION, nullptr, nullptr, &second));
    EXPECT_EQ(CKR_OK, p11->C_Login(second, CKU_USER, nullptr, 0));  // typed on the pad
    CK_SESSION_INFO state;
    ASSERT_EQ(CKR_OK, p11->C_GetSessionInfo(second, &state));
    EXPECT_EQ(CKS_RO_USER_FUNCTIONS, state.state);
    // The module speaks to one card at a time: the other card's connection, and its login, ended.
    ASSERT_EQ(CKR_OK, p11->C_GetSessionInfo(first, &state));
    EXPECT_EQ(CKS_RO_PUBLIC_SESSION, state.state);
}

}  // namespace
