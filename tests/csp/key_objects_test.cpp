// Key objects through the entry points: the card's keys and session keys made as the key entry
// points make them, their parameters with size queries and short buffers, refused handles,
// certificates written and read back through KP_CERTIFICATE (and the ones refused), and the
// session key wrapped in a SIMPLEBLOB.
#include "card/rsa_operations.h"
#include "card_keys.h"

namespace kelm::csp::testing {
namespace {

Blob Dword(DWORD value) { return {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)}; }

class KeyObjects : public CardTest {
protected:
    // The parameter as CPGetKeyParam delivers it: the size query agrees with the value, and one
    // byte less than the value fails with the size and leaves the buffer alone.
    Blob Param(HCRYPTKEY key, DWORD param) {
        DWORD size = 0x5A5A, short_size = 0;
        if (!CPGetKeyParam(prov_, key, param, nullptr, &size, 0)) return {};
        Blob value(size + 1, 0xEE);
        if (size > 0 && ((short_size = size - 1), CPGetKeyParam(prov_, key, param, value.data(), &short_size, 0) ||
                                                     GetLastError() != ERROR_MORE_DATA || short_size != size ||
                                                     value != Blob(size + 1, 0xEE))) {
            ADD_FAILURE() << "short buffer for " << param;
        }
        DWORD read = size + 1;
        EXPECT_TRUE(CPGetKeyParam(prov_, key, param, value.data(), &read, 0) && read == size) << param;
        return Blob(value.begin(), value.begin() + read);
    }
};

TEST_F(KeyObjects, ParametersOfCardAndSessionKeys) {
    Insert(1);
    const HCRYPTKEY rsa = UserKey(AT_SIGNATURE), des = Key(CALG_DES), ecb = Key(CALG_3DES);
    const LONG kType = NTE_BAD_TYPE;
    const Blob iv = Hex("B0 B1 B2 B3 B4 B5 B6 B7"), salt = Hex("01 02 03 04 05 06 07 08 09 0A 0B");
    // {key, set (else get), parameter, value set or expected, error}, in order.
    const std::tuple<HCRYPTKEY, bool, DWORD, Blob, LONG> steps[] = {
        {rsa, 0, KP_KEYLEN, Dword(1024), 0}, {rsa, 0, KP_BLOCKLEN, Dword(1024), 0}, {rsa, 0, KP_ALGID, Dword(0x2400), 0},
        {rsa, 0, KP_IV, {}, kType}, {rsa, 0, KP_MODE, {}, kType}, {rsa, 0, KP_EFFECTIVE_KEYLEN, {}, kType},
        {rsa, 0, 27, {}, kType}, {rsa, 1, KP_PERMISSIONS, Dword(0x40), kType}, {rsa, 1, KP_PERMISSIONS, Dword(3), 0},
        {rsa, 1, KP_PERMISSIONS, Dword(4), 0}, {rsa, 0, KP_PERMISSIONS, Dword(7), 0}, {rsa, 1, KP_MODE, Dword(2), kType},
        {rsa, 1, KP_SALT, salt, kType}, {rsa, 1, KP_PADDING, Dword(9), 0}, {rsa, 1, KP_KEYLEN, Dword(512), kType},
        {des, 0, KP_IV, Hex("A0 A1 A2 A3 A4 A5 A6 A7"), 0}, {des, 1, KP_IV, iv, 0}, {des, 0, KP_IV, iv, 0}, {des, 0, KP_SALT, {}, 0},
        {des, 1, KP_SALT, salt, 0}, {des, 0, KP_SALT, salt, 0}, {des, 0, KP_PADDING, Dword(1), 0},
        {des, 1, KP_MODE, Dword(3), 0}, {des, 0, KP_BLOCKLEN, Dword(8), 0}, {des, 0, KP_MODE_BITS, Dword(8), 0},
        {des, 1, KP_MODE, Dword(5), NTE_FAIL}, {des, 0, KP_MODE, Dword(5), 0}, {des, 0, KP_CERTIFICATE, {}, NTE_BAD_KEY},
        {des, 1, KP_CERTIFICATE, Hex("30 03 02 01 00"), NTE_BAD_KEY}, {des, 1, KP_SALT_EX, Dword(1), 0},
        {ecb, 0, KP_KEYLEN, Dword(192), 0}, {ecb, 1, KP_MODE, Dword(2), 0}, {ecb, 0, KP_BLOCKLEN, Dword(64), 0},
    };
    for (const auto& [key, set, param, value, error] : steps) {
        SCOPED_TRACE(::testing::Message() << (set ? "set " : "get ") << param << " of " << (key == rsa ? "RSA" : "DES"));
        DWORD size = 64;
        BYTE buffer[64];
        if (set) EXPECT_REFUSED(CPSetKeyParam(prov_, key, param, value.data(), 0), error);
        else if (error != 0) EXPECT_REFUSED(CPGetKeyParam(prov_, key, param, buffer, &size, 0), error);
        else EXPECT_EQ(Param(key, param), value);
    }
    // An ECB key has no IV: the call succeeds and writes nothing, not even a length.
    DWORD size = 99;
    EXPECT_TRUE(CPGetKeyParam(prov_, ecb, KP_IV, nullptr, &size, 0) && size == 99);
    EXPECT_REFUSED(CPSetKeyParam(prov_, rsa, KP_CERTIFICATE, nullptr, 0), NTE_BAD_TYPE);
    EXPECT_REFUSED(CPGetKeyParam(prov_, des, KP_IV, nullptr, nullptr, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Sent(), 0u) << "parameters other than the certificate never reach the card";
    EXPECT_TRUE(CPDestroyKey(prov_, rsa));
}

TEST_F(KeyObjects, UserKeysAndRefusedHandles) {
    Insert(1);
    HCRYPTPROV half = 0, verify = 0;
    ASSERT_TRUE(CPAcquireContext(&half, "half", 0, nullptr) &&
                CPAcquireContext(&verify, nullptr, CRYPT_VERIFYCONTEXT, nullptr));
    sim_->backend().ClearLog();
    HCRYPTKEY key = 0x55;
    for (const auto& [prov, which, error] : {std::tuple<HCRYPTPROV, DWORD, LONG>{prov_, CALG_RSA_SIGN, NTE_NO_KEY},
                                            {half, AT_KEYEXCHANGE, NTE_NO_KEY}, {verify, AT_SIGNATURE, NTE_NO_KEY},
                                            {prov_ ^ 0x10, AT_SIGNATURE, NTE_BAD_UID}}) {
        EXPECT_REFUSED(CPGetUserKey(prov, which, &key), error);
        EXPECT_EQ(key, 0u);
    }
    const HCRYPTKEY mine = UserKey(AT_KEYEXCHANGE), theirs = UserKey(AT_SIGNATURE, half);
    HCRYPTKEY stale = UserKey(AT_SIGNATURE);
    ASSERT_TRUE(CPDestroyKey(prov_, stale));
    const size_t live = core::LiveHandleCount();
    DWORD value = 0, size = 4;
    BYTE* bytes = reinterpret_cast<BYTE*>(&value);
    for (HCRYPTKEY bad : {HCRYPTKEY{0}, stale, theirs, HCRYPTKEY{prov_}}) {
        EXPECT_REFUSED(CPGetKeyParam(prov_, bad, KP_KEYLEN, bytes, &size, 0), NTE_BAD_KEY);
        EXPECT_REFUSED(CPSetKeyParam(prov_, bad, KP_PERMISSIONS, bytes, 0), NTE_BAD_KEY);
        EXPECT_REFUSED(CPDestroyKey(prov_, bad), NTE_BAD_KEY);
        EXPECT_REFUSED(CPExportKey(prov_, bad, 0, PUBLICKEYBLOB, 0, nullptr, &size), NTE_BAD_KEY);
        EXPECT_REFUSED(CPExportKey(prov_, mine, bad == 0 ? stale : bad, SIMPLEBLOB, 0, nullptr, &size), NTE_BAD_KEY);
    }
    EXPECT_REFUSED(CPGetKeyParam(0, mine, KP_KEYLEN, bytes, &size, 0), NTE_BAD_UID);
    EXPECT_REFUSED(CPDestroyKey(verify, mine), NTE_BAD_KEY);
    // A key of another container under this provider is neither destroyed nor exported here.
    NameKey(mine, "half");
    EXPECT_REFUSED(CPDestroyKey(prov_, mine), NTE_BAD_KEYSET);
    EXPECT_REFUSED(CPExportKey(prov_, mine, 0, PUBLICKEYBLOB, 0, nullptr, &size), NTE_BAD_KEYSET);
    EXPECT_TRUE(core::LiveHandleCount() == live && Sent() == 0) << "no refused call made or freed a handle";
    NameKey(mine, "keys");
    EXPECT_TRUE(CPDestroyKey(prov_, mine) && CPDestroyKey(half, theirs));
    EXPECT_TRUE(CPReleaseContext(half, 0) && CPReleaseContext(verify, 0));
}

TEST_F(KeyObjects, CertificatesComeBackByteForByteAndBadOnesAreRefused) {
    const auto certificate = [&](size_t size) { return CertificateFor(0x8001, size); };
    for (int type : {1, 3, 5}) {
        Insert(type);
        const HCRYPTKEY key = UserKey(AT_SIGNATURE);
        DWORD size = 64;
        EXPECT_REFUSED(CPGetKeyParam(prov_, key, KP_CERTIFICATE, nullptr, &size, 0), 0x8009200C);
        EXPECT_EQ(size, 0u);
        const Blob der = certificate(1500);
        ASSERT_TRUE(der.size() == 1500 && CPSetKeyParam(prov_, key, KP_CERTIFICATE, der.data(), 0))
            << std::hex << GetLastError();
        EXPECT_EQ(sim::CertificateOf(Card(), 0x8001), der) << type;
        EXPECT_EQ(Param(UserKey(AT_SIGNATURE), KP_CERTIFICATE), der) << type;
    }
    // On a type 1 card: certificates that cannot be written, refused before anything is sent,
    // and a certificate larger than its key file.
    Insert(1);
    ASSERT_EQ("90 00", HexOf(sim_->Send(Hex("00 42 00 00 08 80 04 00 00 02 04 00 00"))));
    ASSERT_TRUE(sim::PutNewKey(Card(), 0x8004, &error_) && sim::AddContainer(Card(), "small", 0x8004, 0, &error_));
    const HCRYPTKEY key = UserKey(AT_SIGNATURE);
    Blob lying = certificate(600), ten_megabytes = Hex("30 84 00 A0 00 00 30 82 01 00");
    lying[6] += 8;  // the TBSCertificate claims more than the certificate holds
    Blob one_byte_long = certificate(600);
    ++one_byte_long[7];
    // Cut right after the validity dates (the fifth element of the TBSCertificate), the outer
    // lengths made to match.
    Blob cut = certificate(600);
    size_t end = 8;
    for (int element = 0; element < 5; ++element) {
        const size_t length_bytes = cut[end + 1] < 0x80 ? 0 : cut[end + 1] & 0x7F;
        size_t length = length_bytes == 0 ? cut[end + 1] : 0;
        for (size_t i = 0; i < length_bytes; ++i) length = length << 8 | cut[end + 2 + i];
        end += 2 + length_bytes + length;
    }
    cut.resize(end);
    cut[2] = BYTE((end - 4) >> 8), cut[3] = BYTE(end - 4), cut[6] = BYTE((end - 8) >> 8), cut[7] = BYTE(end - 8);
    ten_megabytes.resize(4096);
    for (const Blob& der : {ten_megabytes, certificate(2049), lying, one_byte_long, cut}) {
        sim_->backend().ClearLog();
        EXPECT_REFUSED(CPSetKeyParam(prov_, key, KP_CERTIFICATE, der.data(), 0), NTE_FAIL);
        EXPECT_EQ(Sent(), 0u) << "nothing is sent";
    }
    // Once a certificate is written, the slot's capacity is recorded as that certificate's units
    // until the container is opened again: a longer one is refused before the card is asked.
    const Blob first = certificate(500), longer = certificate(1500);
    ASSERT_TRUE(CPSetKeyParam(prov_, key, KP_CERTIFICATE, first.data(), 0));
    EXPECT_REFUSED(CPSetKeyParam(prov_, key, KP_CERTIFICATE, longer.data(), 0), NTE_FAIL);
    EXPECT_EQ(sim::CertificateOf(Card(), 0x8001), first);
    HCRYPTPROV small = 0;
    ASSERT_TRUE(CPAcquireContext(&small, "small", 0, nullptr));
    const HCRYPTKEY small_key = UserKey(AT_SIGNATURE, small);
    EXPECT_REFUSED(CPSetKeyParam(small, small_key, KP_CERTIFICATE, longer.data(), 0), 0x6640);
    EXPECT_TRUE(sim::CertificateOf(Card(), 0x8004).empty() && CPReleaseContext(small, 0));
}

TEST_F(KeyObjects, SessionKeysLeaveWrappedWithTheExchangeKey) {
    Insert(1);
    const HCRYPTKEY plain = Key(CALG_3DES), exportable = Key(CALG_3DES, 0, CRYPT_MODE_CBC, CRYPT_EXPORT);
    const HCRYPTKEY exchange = UserKey(AT_KEYEXCHANGE), signature = UserKey(AT_SIGNATURE);
    DWORD size = 500;
    Blob blob(140);
    for (const auto& [key, wrapping, type, error] : {std::tuple<HCRYPTKEY, HCRYPTKEY, DWORD, LONG>{
                                                         plain, exchange, SIMPLEBLOB, NTE_BAD_KEY_STATE},
                                                     {exportable, signature, SIMPLEBLOB, NTE_BAD_KEY},
                                                     {exportable, 0, SIMPLEBLOB, NTE_BAD_KEY},
                                                     {signature, 0, PRIVATEKEYBLOB, NTE_BAD_TYPE},
                                                     {exportable, exchange, 99, NTE_BAD_TYPE}}) {
        EXPECT_REFUSED(CPExportKey(prov_, key, wrapping, type, 0, blob.data(), &size), error);
    }
    size = 0;
    EXPECT_TRUE(CPExportKey(prov_, exportable, exchange, SIMPLEBLOB, 0, nullptr, &size));
    EXPECT_TRUE(GetLastError() == ERROR_MORE_DATA && size == 140);
    size = 139;
    EXPECT_REFUSED(CPExportKey(prov_, exportable, exchange, SIMPLEBLOB, 0, blob.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(Sent(), 0u);
    ASSERT_TRUE(CPExportKey(prov_, exportable, exchange, SIMPLEBLOB, 0, blob.data(), &size));
    EXPECT_EQ(HexOf(Blob(blob.begin(), blob.begin() + 12)), "01 02 00 00 03 66 00 00 00 A4 00 00");
    // The card's exchange key unwraps the block (most significant byte first) to the key's bytes.
    PinAndClearLog();
    Blob block(blob.rbegin(), blob.rend() - 12), key_bytes(128);
    DWORD length = 128;
    ASSERT_EQ(card::RSA_CardDecrypt("keys", CALG_RSA_KEYX, &length, block.data(), key_bytes.data()), 0u);
    EXPECT_EQ(Blob(key_bytes.begin(), key_bytes.begin() + length),
              Hex("01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18"));
    EXPECT_TRUE(CPDestroyKey(prov_, exchange) && CPDestroyKey(prov_, signature));
}

}  // namespace
}  // namespace kelm::csp::testing
