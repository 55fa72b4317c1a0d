// Key handles that are stale or belong to another provider: refused with NTE_INVALID_HANDLE,
// and never acting on the key that took the freed one's place.
#include "crypto/openssl_peer.h"
#include "ksp_card.h"

namespace kelm::ksp::testing {
namespace {

class StaleHandles : public KspCardTest {};

TEST_F(StaleHandles, AFreedKeyHandleNeverActsOnTheKeyThatFollowsIt) {
    Insert();
    const NCRYPT_PROV_HANDLE first = OpenProvider(), second = OpenProvider();
    const NCRYPT_KEY_HANDLE freed = OpenKey(first, u"keys");
    ASSERT_EQ(table_->FreeKey(first, freed), 0);
    // Made right after, the other provider's key may well take the freed key's memory.
    const NCRYPT_KEY_HANDLE live = OpenKey(second, u"xonly", AT_KEYEXCHANGE);
    BYTE hash[20] = {1, 2, 3}, signature[128];
    DWORD length = 0;
    for (const auto& [provider, key] : {std::pair{first, freed}, {first, live}, {second, freed}}) {
        EXPECT_EQ(table_->SignHash(provider, key, nullptr, hash, 20, signature, 128, &length, 0), NTE_INVALID_HANDLE);
        EXPECT_EQ(table_->FreeKey(provider, key), NTE_INVALID_HANDLE);
    }
    EXPECT_EQ(ui_.DialogCount(), 0u) << "nothing reached the card";
    // The live key is still its provider's, and signs with its own key (80 02).
    ASSERT_EQ(table_->SignHash(second, live, nullptr, hash, 20, signature, 128, &length, 0), 0);
    const auto [modulus, exponent] = PublicKey(0x8002);
    EXPECT_TRUE(test::OpenSslVerifyRsaPkcs1(modulus, exponent, "SHA1", Blob(hash, hash + 20), Blob(signature, signature + length)));
}

}  // namespace
}  // namespace kelm::ksp::testing
