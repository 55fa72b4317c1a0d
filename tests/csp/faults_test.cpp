// Faults met through the entry points: the card pulled in the middle of a signature, a
// certificate write and a key relocation, then put back; a card gone mute; a full disk, an
// unwritable folder and a corrupt file under the registry and the card image. After each, every
// container and certificate listed before the fault is listed again, and the operation works
// once the fault is gone.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <linux/capability.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "card_keys.h"

namespace kelm::csp::testing {
namespace {

// While it lives, files cannot be written as on a full disk (the file size limit at 0: writes
// fail with EFBIG), or nothing can be created in `folder` (its write bits cleared and, for root,
// the capabilities that override file permissions left out of this thread's effective set).
struct FileFault {
    bool full_disk;
    std::string folder;
    rlimit limit{};
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2]{};
    FileFault(bool full, std::string path) : full_disk(full), folder(std::move(path)) {
        getrlimit(RLIMIT_FSIZE, &limit);
        syscall(SYS_capget, &header, caps);
        if (full_disk) {
            const rlimit full_limit{0, limit.rlim_max};
            signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &full_limit);
        } else {
            __user_cap_data_struct reduced[2] = {caps[0], caps[1]};
            reduced[0].effective &= ~(1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH | 1u << CAP_FOWNER);
            chmod(folder.c_str(), 0555);
            syscall(SYS_capset, &header, reduced);
        }
    }
    ~FileFault() {
        setrlimit(RLIMIT_FSIZE, &limit);
        syscall(SYS_capset, &header, caps);
        chmod(folder.c_str(), 0700);
    }
    bool Holds() const {
        const std::string probe = folder + "/probe";
        std::ofstream(probe) << "probe";
        std::error_code missing;
        const bool written = std::filesystem::file_size(probe, missing) != 0 && !missing;
        std::filesystem::remove(probe, missing);
        return !written;
    }
};

std::string FileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
size_t FilesIn(const std::string& folder) {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
}

class Faults : public CardTest {
protected:
    // What the entry points list: every container with the certificates of its two keys.
    using Listing = std::map<std::string, std::pair<Blob, Blob>>;
    Listing Listed() {
        Reopen();  // a context reads the card's names when it is opened
        Listing listed;
        char name[64];
        DWORD size = sizeof name;
        std::vector<std::string> names;
        for (DWORD flags = CRYPT_FIRST; CPGetProvParam(prov_, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, flags);
             flags = 0, size = sizeof name) {
            names.emplace_back(name);
        }
        for (const std::string& container : names) {
            HCRYPTPROV prov = 0;
            EXPECT_TRUE(CPAcquireContext(&prov, container.c_str(), 0, nullptr)) << container;
            listed[container] = {Certificate(prov, AT_SIGNATURE), Certificate(prov, AT_KEYEXCHANGE)};
            CPReleaseContext(prov, 0);
        }
        Reopen();
        return listed;
    }
    // A release ends the card session: the fixture's context opens its container again.
    void Reopen() {
        CPReleaseContext(prov_, 0);
        EXPECT_TRUE(CPAcquireContext(&prov_, "keys", 0, nullptr)) << std::hex << GetLastError();
    }
    Blob Certificate(HCRYPTPROV prov, DWORD which) {
        HCRYPTKEY key = 0;
        DWORD size = 4096;
        Blob der(size);
        if (!CPGetUserKey(prov, which, &key) || !CPGetKeyParam(prov, key, KP_CERTIFICATE, der.data(), &size, 0)) size = 0;
        CPDestroyKey(prov, key);
        return Blob(der.begin(), der.begin() + size);
    }
    bool WriteCertificate(const Blob& der) { return CPSetKeyParam(prov_, UserKey(AT_SIGNATURE), KP_CERTIFICATE, der.data(), 0); }
    // Whether a SHA-1 signature of `document` by the signature key in 80 01 is made and verifies.
    bool Signs(const std::string& document) {
        const HCRYPTHASH hash = Hash(CALG_SHA1, document);
        DWORD size = 256;
        Blob signature(size);
        const bool made = CPSignHash(prov_, hash, AT_SIGNATURE, nullptr, 0, signature.data(), &size);
        const DWORD error = GetLastError();
        CPDestroyHash(prov_, hash);
        SetLastError(error);
        if (!made) return false;
        const auto [modulus, exponent] = PublicKey(0x8001);
        return test::OpenSslVerifyRsaPkcs1(modulus, exponent, "SHA1",
                                                   test::OpenSslDigest("SHA1", Blob(document.begin(), document.end())),
                                                   Blob(signature.rend() - size, signature.rend()));
    }
    void PutBack() {
        sim::SimCardPtr card = sim_->backend().TakePulledCard(sim_->reader());
        ASSERT_NE(card, nullptr) << "the card was never pulled";
        sim_->backend().InsertCard(sim_->reader(), std::move(card));
    }
    // CPAcquireContext on `name` with `flags`: 0 or the last error.
    DWORD Acquire(const char* name, DWORD flags) {
        HCRYPTPROV prov = 0;
        if (!CPAcquireContext(&prov, name, flags, nullptr)) return GetLastError();
        if (prov != 0) CPReleaseContext(prov, 0);
        Reopen();
        return 0;
    }
};

TEST_F(Faults, CardPulledBetweenTheHalvesOfA2048BitSignature) {
    Insert(6);
    ASSERT_TRUE(WriteCertificate(CertificateFor(0x8001, 900)));
    const Listing before = Listed();
    ASSERT_TRUE(Signs("before"));
    // The card leaves after the first half; the user, asked to put it back, gives up.
    sim_->backend().PullCardAfter(sim_->reader(), 0x4E);
    ui_.QueueBoxAnswer(IDCANCEL);
    EXPECT_REFUSED(Signs("during"), SCARD_W_REMOVED_CARD);
    // Put back: the next signature reconnects, the thread's PIN is sent again without asking,
    // and the card computes a whole signature, not one continued from the lost half.
    PutBack();
    const size_t dialogs = ui_.DialogCount();
    EXPECT_TRUE(Signs("after"));
    EXPECT_EQ(ui_.DialogCount(), dialogs);
    EXPECT_EQ(Listed(), before);
}

TEST_F(Faults, CardPulledDuringACertificateWriteKeepsTheOldOne) {
    Insert(1);
    const Blob old_certificate = CertificateFor(0x8001, 700), new_certificate = CertificateFor(0x8001, 1600);
    ASSERT_TRUE(WriteCertificate(old_certificate));
    const Listing before = Listed();
    sim_->backend().PullCardAfter(sim_->reader(), 0x46);  // after the first of eight pieces
    EXPECT_REFUSED(WriteCertificate(new_certificate), SCARD_W_REMOVED_CARD);
    PutBack();
    EXPECT_EQ(Listed(), before) << "the old certificate is still whole";
    ASSERT_TRUE(WriteCertificate(new_certificate)) << std::hex << GetLastError();
    EXPECT_EQ(Certificate(prov_, AT_SIGNATURE), new_certificate);
}

TEST_F(Faults, CardPulledDuringAKeyRelocationLosesNoKeyOrCertificate) {
    // "keys" holds a certified signature key in 80 01; a new container's first signature key
    // goes there, so the certified key first moves to its companion 80 02, emptied before.
    Insert(1);
    EXPECT_EQ(Acquire("half", CRYPT_DELETEKEYSET), 0u);
    ASSERT_TRUE(WriteCertificate(CertificateFor(0x8001, 800)));
    const auto moved_key = PublicKey(0x8001);
    EXPECT_EQ(Acquire("fresh", CRYPT_NEWKEYSET), 0u);
    const Listing before = Listed();
    HCRYPTPROV fresh = 0;
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CPAcquireContext(&fresh, "fresh", 0, nullptr));
    sim_->backend().PullCardAfter(sim_->reader(), 0x72);  // MOVE KEY done, the directory not yet
    ui_.QueueBoxAnswer(IDCANCEL);
    EXPECT_FALSE(CPGenKey(fresh, AT_SIGNATURE, 0, &key));
    PutBack();
    // The retry reconnects, repairs what the cut left and generates the key.
    ASSERT_TRUE(CPGenKey(fresh, AT_SIGNATURE, 0, &key)) << std::hex << GetLastError();
    CPDestroyKey(fresh, key);
    CPReleaseContext(fresh, 0);
    EXPECT_EQ(Listed(), before) << "the certificate moved with its key";
    EXPECT_EQ(PublicKey(0x8002), moved_key);
}

TEST_F(Faults, AMuteCardGivesAClearErrorWithoutWaitingLong) {
    Insert(1);
    ASSERT_TRUE(Signs("before"));
    sim_->backend().ClearLog();
    const DWORD slept = clock_.total_slept_ms;
    sim_->backend().SetMute(sim_->reader(), true);
    ui_.QueueBoxAnswer(IDCANCEL);
    EXPECT_REFUSED(Signs("mute"), SCARD_E_TIMEOUT);
    // One command tried, the card probed again and one reconnection attempt: no loop.
    EXPECT_TRUE(Sent() <= 4 && clock_.total_slept_ms - slept <= 1000) << Sent();
    ASSERT_EQ(ui_.BoxCount(), 1u);
    EXPECT_EQ(ui_.events().back().box.text, "Be sure IC card has been properly set");
    sim_->backend().SetMute(sim_->reader(), false);
    EXPECT_TRUE(Signs("after"));
}

// The registry's file or the card image where it cannot be saved. Existing containers still
// open and sign (their record is current: nothing is written); a new container fails whole,
// leaving the card and the files as they were; once the fault is gone the creation works.
TEST_F(Faults, FullDiskOrUnwritableFolderUnderTheRegistryOrTheCardImageLoseNothing) {
    const test::ScopedRegistryDirectory registry;
    const std::string images = registry.directory + "-images";
    for (const bool image : {false, true}) {
        for (const bool full_disk : {true, false}) {
            SCOPED_TRACE(std::string(image ? "card image, " : "registry, ") + (full_disk ? "full disk" : "unwritable folder"));
            const std::string folder = image ? images : registry.directory, file = image ? images + "/card.json" : registry.CurrentUserFile();
            std::filesystem::remove_all(images);
            std::filesystem::create_directories(images);
            image_path_ = image ? file : "";
            Insert(1);
            const Listing before = Listed();
            const std::string text = FileText(file);
            const size_t files = FilesIn(folder);
            PinAndClearLog();  // the PIN's try counter is saved too: verify it first
            {
                const FileFault fault(full_disk, folder);
                ASSERT_TRUE(fault.Holds());
                EXPECT_EQ(Acquire("second", CRYPT_NEWKEYSET), image ? 0x6581u : DWORD(NTE_BAD_KEYSET_PARAM));
                if (!image) {
                    EXPECT_NE(platform::RegistryLastProblem().find(file), std::string::npos) << platform::RegistryLastProblem();
                    Reopen();
                    EXPECT_TRUE(Signs("while the registry cannot be saved"));
                }
            }
            EXPECT_EQ(FileText(file), text);
            EXPECT_EQ(FilesIn(folder), files) << "no half-written file left";
            EXPECT_EQ(Listed(), before);
            EXPECT_EQ(Acquire("second", CRYPT_NEWKEYSET), 0u);
            EXPECT_EQ(Acquire("second", CRYPT_DELETEKEYSET), 0u);
        }
    }
    Remove();
    std::filesystem::remove_all(images);
}

TEST_F(Faults, ACorruptRegistryFileStillOpensAndSignsAndIsNeverRewritten) {
    const test::ScopedRegistryDirectory registry;
    Insert(1);
    const std::string file = registry.CurrentUserFile();
    std::ofstream(file, std::ios::app) << "this line is not in the registry's format\n";
    const std::string text = FileText(file);
    Reopen();
    EXPECT_TRUE(Signs("corrupt registry"));
    EXPECT_EQ(Acquire("second", CRYPT_NEWKEYSET), static_cast<DWORD>(NTE_BAD_KEYSET_PARAM));
    EXPECT_NE(platform::RegistryLastProblem().find(file + ":"), std::string::npos) << platform::RegistryLastProblem();
    EXPECT_EQ(FileText(file), text);
    EXPECT_EQ(sim::ContainersOf(Card()).size(), 2u) << "the failed creation left no card record";
}

}  // namespace
}  // namespace kelm::csp::testing
