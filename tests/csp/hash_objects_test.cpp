// Hash objects through the entry points, under a verify context on the simulated card: the
// object's states with size queries and short buffers and the MAC's key copy in one table,
// then refused handles and parameters. Session keys are made with the core functions, as the
// key entry points would make them.
#include <tuple>

#include "verify_context.h"

namespace kelm::csp {
namespace {

using testing::Bytes;
using testing::ErrorOf;
const BYTE kAbc[] = {'a', 'b', 'c'};

class HashObjects : public testing::VerifyContextTest {};

// kQuery asks every parameter's size, then offers one byte too few: the size comes back, the
// buffer stays untouched and the object stays as it was. kSet stores 5A 5A ..., the value
// expected where a row names none. kSpoil clears the key's bytes and IV, which a MAC made
// earlier must not notice.
enum Op { kData, kNullData, kEmpty, kKey, kSet, kRead, kQuery, kSpoil };

TEST_F(HashObjects, StatesFromOpenThroughHashingToFinished) {
    const LONG kState = NTE_BAD_HASH_STATE;
    const std::tuple<ALG_ID, std::vector<std::pair<Op, LONG>>, Bytes> rows[] = {
        {CALG_SHA_256, {{kData, 0}, {kRead, 0}, {kData, kState}, {kKey, kState}, {kEmpty, 0}},
         kelm::testing::Bytes("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad")},
        {CALG_SHA_256, {{kData, 0}, {kQuery, 0}, {kData, 0}},
         kelm::testing::Bytes("bbb59da3af939f7af5f360f2ceb80a496e3bae1cd87dde426db0ae40677e1c2c")},  // "abcabc"
        {CALG_MD5, {{kNullData, NTE_BAD_HASH}, {kQuery, 0}, {kRead, 0}, {kData, kState}}, Bytes(16, 0)},
        {CALG_SHA_256, {{kData, 0}, {kSet, 0}, {kData, kState}, {kSet, 0}}, Bytes{}},
        {CALG_MD5, {{kKey, 0}}, kelm::testing::Bytes("8a7334bacf760ff26b99fad472ded851")},  // MD5 of 08 07 ... 01
        {CALG_SSL3_SHAMD5, {{kData, 0}, {kRead, 0}}, Bytes(36, 0)},
        {CALG_SSL3_SHAMD5, {{kData, 0}, {kQuery, 0}, {kSet, 0}}, Bytes{}},
        {CALG_MAC, {{kSpoil, 0}, {kData, 0}}, kelm::testing::Bytes("d38db56839750d87")},  // padded DES-CBC's last block
    };
    const HCRYPTKEY des = Key(CALG_DES, prov_);
    for (const auto& [algid, steps, value] : rows) {
        HCRYPTHASH hash = 0;
        DWORD params[2] = {}, length = 4;  // HP_ALGID, HP_HASHSIZE
        ASSERT_TRUE(CPCreateHash(prov_, algid, algid == CALG_MAC ? des : 0, 0, &hash) &&
                    CPGetHashParam(prov_, hash, HP_ALGID, reinterpret_cast<BYTE*>(&params[0]), &length, 0) &&
                    CPGetHashParam(prov_, hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&params[1]), &length, 0));
        EXPECT_EQ(params[0], algid);
        const Bytes stored(params[1], 0x5A);
        for (const auto& [op, error] : steps) {
            DWORD got = 0;
            switch (op) {
            case kData: got = ErrorOf(CPHashData(prov_, hash, kAbc, 3, 0)); break;
            case kNullData: got = ErrorOf(CPHashData(prov_, hash, nullptr, 5, 0)); break;
            case kEmpty: got = ErrorOf(CPHashData(prov_, hash, nullptr, 0, 0)); break;
            case kKey: got = ErrorOf(CPHashSessionKey(prov_, hash, des, 0)); break;
            case kSet: got = ErrorOf(CPSetHashParam(prov_, hash, HP_HASHVAL, stored.data(), 0)); break;
            case kRead: got = Value(hash).empty() ? GetLastError() : 0; break;
            case kSpoil: std::memset(keys_[0].second->KeyData, 0, 8), std::memset(keys_[0].second->IV, 0, 16); break;
            case kQuery:
                for (auto [param, size] : {std::pair{HP_ALGID, 4u}, {HP_HASHSIZE, 4u}, {HP_HASHVAL, params[1]}}) {
                    Bytes buffer(size, 0xEE);
                    DWORD query = 0, stated = size - 1;
                    EXPECT_TRUE(CPGetHashParam(prov_, hash, param, nullptr, &query, 0));
                    EXPECT_REFUSED(CPGetHashParam(prov_, hash, param, buffer.data(), &stated, 0), ERROR_MORE_DATA);
                    EXPECT_TRUE(query == size && stated == size && buffer == Bytes(size, 0xEE)) << param;
                }
                break;
            }
            EXPECT_EQ(got, static_cast<DWORD>(error)) << std::hex << algid << " step " << op;
        }
        for (int read = 1; read <= 2; ++read) EXPECT_EQ(Value(hash), value.empty() ? stored : value) << algid;
        EXPECT_TRUE(CPDestroyHash(prov_, hash));
    }
}

TEST_F(HashObjects, ForeignStaleAndWrongKindHandlesAndBadParametersAreRefused) {
    HCRYPTPROV other = 0;
    HCRYPTHASH mine = 0, stale = 0, made = 0x55;
    ASSERT_TRUE(CPAcquireContext(&other, nullptr, CRYPT_VERIFYCONTEXT, nullptr) &&
                CPCreateHash(prov_, CALG_SHA1, 0, 0, &mine) && CPCreateHash(prov_, CALG_SHA1, 0, 0, &stale));
    ASSERT_TRUE(CPDestroyHash(prov_, stale));
    const HCRYPTKEY des = Key(CALG_DES, prov_), their_des = Key(CALG_DES, other), rsa = Key(AT_SIGNATURE, prov_);
    const size_t live = core::LiveHandleCount();
    BYTE buffer[32];
    DWORD length = sizeof buffer;
    const std::tuple<HCRYPTPROV, HCRYPTHASH, LONG> handles[] = {
        {0, mine, NTE_BAD_UID},       {prov_ ^ 0x10, mine, NTE_BAD_UID}, {prov_, 0, NTE_BAD_HASH},
        {prov_, stale, NTE_BAD_HASH}, {prov_, prov_, NTE_BAD_HASH},     {other, mine, NTE_BAD_HASH},
    };
    for (const auto& [p, h, error] : handles) {
        EXPECT_REFUSED(CPHashData(p, h, kAbc, 3, 0), error) << std::hex << p << " " << h;
        EXPECT_REFUSED(CPHashSessionKey(p, h, des, 0), error);
        EXPECT_REFUSED(CPGetHashParam(p, h, HP_HASHVAL, buffer, &length, 0), error);
        EXPECT_REFUSED(CPSetHashParam(p, h, HP_HASHVAL, buffer, 0), error);
        EXPECT_REFUSED(CPDestroyHash(p, h), error);
    }
    EXPECT_REFUSED(CPGetHashParam(prov_, mine, 3, buffer, &length, 0), NTE_BAD_TYPE);
    EXPECT_REFUSED(CPGetHashParam(prov_, mine, HP_HASHVAL, buffer, nullptr, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(length, sizeof buffer) << "a refused call reports no size";
    EXPECT_REFUSED(CPSetHashParam(prov_, mine, HP_ALGID, buffer, 0), NTE_BAD_TYPE);
    EXPECT_REFUSED(CPSetHashParam(prov_, mine, HP_HASHVAL, nullptr, 0), ERROR_INVALID_PARAMETER);
    for (HCRYPTKEY key : {HCRYPTKEY{0}, rsa, their_des}) {
        EXPECT_REFUSED(CPHashSessionKey(prov_, mine, key, 0), NTE_BAD_KEY);
        EXPECT_REFUSED(CPCreateHash(prov_, CALG_MAC, key, 0, &made), NTE_BAD_KEY);
    }
    for (ALG_ID algid : {CALG_SHA_384, CALG_SHA_512, CALG_HMAC}) {
        EXPECT_REFUSED(CPCreateHash(prov_, algid, des, 0, &made), NTE_BAD_ALGID);
    }
    EXPECT_EQ(made, 0x55u) << "a refused creation hands out no handle";
    EXPECT_EQ(core::LiveHandleCount(), live) << "no refused call made or freed a handle";
    ASSERT_TRUE(CPHashData(prov_, mine, kAbc, 3, 0));
    EXPECT_EQ(Value(mine), kelm::testing::Bytes("a9993e364706816aba3e25717850c26c9cd0d89d")) << "nothing refused was fed";
    EXPECT_TRUE(CPDestroyHash(prov_, mine) && CPReleaseContext(other, 0));
}

}  // namespace
}  // namespace kelm::csp
