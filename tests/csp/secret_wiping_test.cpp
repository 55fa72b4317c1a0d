// Secrets do not outlive their use: the PIN as typed and as the card receives it, an unwrapped session key
// and a decrypted message are searched for in every heap block the provider frees (this test
// program's operator new and delete go through malloc and look at each block on its way out)
// and, once the calls have returned, in the stack below the caller, where the transport's
// command and answer buffers lived. The simulated card's own memory is not searched: on a real
// card it is not in the process.
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "card_keys.h"

namespace {

// What the heap check looks for, and how often it found it. No allocation happens in here.
struct HeapWatch {
    bool armed = false;
    const BYTE* secrets[4] = {};
    size_t lengths[4] = {};
    size_t count = 0;
    size_t found[4] = {};
};
HeapWatch g_watch;
thread_local bool g_inside_card = false;

void LookAt(void* block) {
    if (!g_watch.armed || g_inside_card || block == nullptr) return;
    const size_t size = malloc_usable_size(block);
    for (size_t i = 0; i < g_watch.count; ++i) {
        if (memmem(block, size, g_watch.secrets[i], g_watch.lengths[i]) != nullptr) ++g_watch.found[i];
    }
}

void* Allocate(size_t size) {
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void operator delete(void* block) noexcept { LookAt(block), std::free(block); }
void operator delete[](void* block) noexcept { LookAt(block), std::free(block); }
void operator delete(void* block, size_t) noexcept { LookAt(block), std::free(block); }
void operator delete[](void* block, size_t) noexcept { LookAt(block), std::free(block); }

namespace kelm::csp::testing {
namespace {

// The simulated card behind a backend that marks the time spent inside it.
class CardBoundary : public platform::PcscBackend {
public:
    explicit CardBoundary(platform::PcscBackend* card) : card_(card) {}
    struct Inside {
        Inside() { g_inside_card = true; }
        ~Inside() { g_inside_card = false; }
    };
    LONG EstablishContext(DWORD s, SCARDCONTEXT* c) override { return Inside(), card_->EstablishContext(s, c); }
    LONG ReleaseContext(SCARDCONTEXT c) override { return Inside(), card_->ReleaseContext(c); }
    LONG ListReaders(SCARDCONTEXT c, std::vector<std::string>* r) override { return Inside(), card_->ListReaders(c, r); }
    LONG Connect(SCARDCONTEXT c, const std::string& r, DWORD s, DWORD p, SCARDHANDLE* h, DWORD* a) override {
        return Inside(), card_->Connect(c, r, s, p, h, a);
    }
    LONG Disconnect(SCARDHANDLE h, DWORD d) override { return Inside(), card_->Disconnect(h, d); }
    LONG Transmit(SCARDHANDLE h, DWORD p, const BYTE* c, DWORD l, BYTE* r, DWORD* rl) override {
        return Inside(), card_->Transmit(h, p, c, l, r, rl);
    }
    LONG ReaderState(SCARDCONTEXT c, const std::string& r, DWORD* s, std::vector<BYTE>* a) override {
        return Inside(), card_->ReaderState(c, r, s, a);
    }

private:
    platform::PcscBackend* card_;
};

constexpr size_t kProbeSize = 128 * 1024;

// How many times `secret` lies in the stack below the caller's frame, left by calls that have
// returned. The probe's own array is never written: it is the dead frames' memory.
__attribute__((noinline)) size_t FoundBelow(const Blob& secret) {
    BYTE below[kProbeSize];
    __asm__ __volatile__("" : : "r"(below) : "memory");
    size_t found = 0;
    const BYTE* at = below;
    while (const void* hit = memmem(at, kProbeSize - static_cast<size_t>(at - below), secret.data(), secret.size())) {
        ++found;
        at = static_cast<const BYTE*>(hit) + 1;
    }
    return found;
}

// The control: calls about as deep as the provider's that leave `secret` in their frame on
// return, as an unwiped buffer would.
__attribute__((noinline)) void LeaveOnTheStack(const Blob& secret, int depth) {
    volatile BYTE frame[1024];
    frame[0] = 0;
    __asm__ __volatile__("" : : "r"(frame) : "memory");
    if (depth > 0) {
        LeaveOnTheStack(secret, depth - 1);
        return;
    }
    for (size_t i = 0; i < secret.size() && i < 512; ++i) frame[100 + i] = secret[i];
}

class SecretWiping : public CardTest {
protected:
    void Watch(std::initializer_list<const Blob*> secrets) {
        g_watch = HeapWatch{};
        for (const Blob* secret : secrets) {
            g_watch.secrets[g_watch.count] = secret->data();
            g_watch.lengths[g_watch.count++] = secret->size();
        }
        g_watch.armed = true;
    }
    void TearDown() override {
        g_watch.armed = false;
        if (boundary_) platform::SetPcscBackend(&sim_->backend());
        CardTest::TearDown();
    }
    std::unique_ptr<CardBoundary> boundary_;
};

TEST_F(SecretWiping, ThePinSessionKeysAndDecryptedDataLeaveNothingBehind) {
    Insert(1);
    boundary_ = std::make_unique<CardBoundary>(&sim_->backend());
    platform::SetPcscBackend(boundary_.get());
    const HCRYPTKEY exchange = UserKey(AT_KEYEXCHANGE);
    const auto [modulus, exponent] = PublicKey(0x8003);
    // The VERIFY data as the card receives it: the PIN padded with FF.
    const Blob typed(kelm::testing::kSimPin, kelm::testing::kSimPin + 8);
    Blob pin = typed;
    pin.resize(16, 0xFF);
    const Blob session_key = test::RandomBytes(24, 7), message = test::RandomBytes(100, 8);

    // A SIMPLEBLOB wrapping the session key, and a message encrypted with the exchange key,
    // both least significant byte first as the provider takes them.
    Blob wrapped = test::OpenSslEncryptRsaPkcs1(modulus, exponent, session_key);
    Blob simple = Hex("01 02 00 00 03 66 00 00 00 A4 00 00");
    simple.insert(simple.end(), wrapped.rbegin(), wrapped.rend());
    Blob ciphertext = test::OpenSslEncryptRsaPkcs1(modulus, exponent, message);
    std::reverse(ciphertext.begin(), ciphertext.end());

    // Control: the stack probe sees a buffer left behind at that depth.
    const Blob marker = test::RandomBytes(32, 9);
    LeaveOnTheStack(marker, 6);
    ASSERT_GT(FoundBelow(marker), 0u) << "the probe cannot see dead frames";

    Watch({&pin, &session_key, &message, &typed});
    HCRYPTKEY imported = 0;
    ASSERT_TRUE(CPImportKey(prov_, simple.data(), DWORD(simple.size()), exchange, 0, &imported))
        << std::hex << GetLastError();
    const size_t pin_on_stack = FoundBelow(pin), key_on_stack = FoundBelow(session_key);
    DWORD length = DWORD(ciphertext.size());
    ASSERT_TRUE(CPDecrypt(prov_, exchange, 0, TRUE, 0, ciphertext.data(), &length));
    const size_t message_on_stack = FoundBelow(message);
    EXPECT_TRUE(CPDestroyKey(prov_, imported));
    g_watch.armed = false;
    EXPECT_EQ(Blob(ciphertext.begin(), ciphertext.begin() + length), message);
    const char* const watched[] = {"the PIN", "the session key", "the decrypted message", "the PIN as typed"};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(g_watch.found[i], 0u) << "heap blocks freed with " << watched[i] << " in them";
    EXPECT_EQ(pin_on_stack, 0u) << "the PIN left on the stack";
    EXPECT_EQ(key_on_stack, 0u) << "the session key left on the stack";
    EXPECT_EQ(message_on_stack, 0u) << "the decrypted message left on the stack";
}

}  // namespace
}  // namespace kelm::csp::testing
