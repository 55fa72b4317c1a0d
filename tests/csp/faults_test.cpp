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
#include "crypto/openssl_peer.h"

namespace kelm::csp::testing {
namespace {

// Files of this process cannot grow while it lives, as on a full disk: a write fails (EFBIG)
// instead of raising SIGXFSZ.
struct ScopedFullDisk {
    rlimit saved{};
    void (*saved_handler)(int) = nullptr;
    ScopedFullDisk() {
        getrlimit(RLIMIT_FSIZE, &saved);
        saved_handler = signal(SIGXFSZ, SIG_IGN);
        rlimit full = saved;
        full.rlim_cur = 0;
        setrlimit(RLIMIT_FSIZE, &full);
    }
    ~ScopedFullDisk() {
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, saved_handler);
    }
};

// A folder nothing can be created in: its write bits cleared and, for root, the capabilities
// that override file permissions left out of this thread's effective set until the end.
struct ScopedUnwritableFolder {
    std::string path;
    mode_t mode = 0;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2]{};
    explicit ScopedUnwritableFolder(std::string folder) : path(std::move(folder)) {
        struct stat info {};
        stat(path.c_str(), &info);
        mode = info.st_mode & 07777;
        chmod(path.c_str(), 0555);
        syscall(SYS_capget, &header, saved);
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        reduced[0].effective &= ~(1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH | 1u << CAP_FOWNER);
        syscall(SYS_capset, &header, reduced);
    }
    ~ScopedUnwritableFolder() {
        syscall(SYS_capset, &header, saved);
        chmod(path.c_str(), mode);
    }
    bool Holds() const {
        const std::string probe = path + "/probe";
        std::ofstream file(probe);
        if (file) std::filesystem::remove(probe);
        return !file;
    }
};

std::string FileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

size_t FilesIn(const std::string& folder) {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
}

class Faults : public CardKeysTest {
protected:
    // What the entry points list: every container with the certificates of its two keys.
    using Listing = std::map<std::string, std::pair<Blob, Blob>>;
    Listing Listed() {
        Reopen();  // the context reads the card's names when it is opened
        Listing listed;
        std::vector<std::string> names;
        char name[64];
        DWORD size = sizeof name;
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
    // A release ended the card session: the fixture's context opens its container again.
    void Reopen() {
        CPReleaseContext(prov_, 0);
        EXPECT_TRUE(CPAcquireContext(&prov_, "keys", 0, nullptr)) << std::hex << GetLastError();
    }
    Blob Certificate(HCRYPTPROV prov, DWORD which) {
        HCRYPTKEY key = 0;
        if (!CPGetUserKey(prov, which, &key)) return {};
        DWORD size = 4096;
        Blob der(size);
        if (!CPGetKeyParam(prov, key, KP_CERTIFICATE, der.data(), &size, 0)) size = 0;
        der.resize(size);
        CPDestroyKey(prov, key);
        return der;
    }
    // A SHA-1 signature of `document` by the context's signature key, most significant byte
    // first; empty (and the last error kept) when refused.
    Blob Sign(const std::string& document) {
        const HCRYPTHASH hash = Hash(CALG_SHA1, document);
        DWORD size = 256;
        Blob signature(size);
        const bool ok = CPSignHash(prov_, hash, AT_SIGNATURE, nullptr, 0, signature.data(), &size);
        const DWORD error = GetLastError();
        CPDestroyHash(prov_, hash);
        SetLastError(error);
        return ok ? Blob(signature.rend() - size, signature.rend()) : Blob{};
    }
    bool Verifies(const Blob& signature, const std::string& document, WORD file = 0x8001) {
        const auto [modulus, exponent] = PublicKey(file);
        return test::OpenSslVerifyRsaPkcs1(modulus, exponent, "SHA1",
                                           test::OpenSslDigest("SHA1", Blob(document.begin(), document.end())), signature);
    }
    Blob CertificateFor(WORD file, size_t size) {
        test::CertificateRequest request;
        std::tie(request.modulus, request.exponent) = PublicKey(file);
        request.size = size;
        return test::OpenSslCertificate(request);
    }
    void PutBack() {
        sim::SimCardPtr card = sim_->backend().TakePulledCard(sim_->reader());
        ASSERT_NE(card, nullptr) << "the card was never pulled";
        sim_->backend().InsertCard(sim_->reader(), std::move(card));
    }
    // Creates "second" through the entry points; 0 or the last error.
    DWORD CreateSecond() {
        HCRYPTPROV prov = 0;
        if (!CPAcquireContext(&prov, "second", CRYPT_NEWKEYSET, nullptr)) return GetLastError();
        CPReleaseContext(prov, 0);
        return 0;
    }
    void Delete(const char* name) {
        HCRYPTPROV prov = 0;
        EXPECT_TRUE(CPAcquireContext(&prov, name, CRYPT_DELETEKEYSET, nullptr)) << name << std::hex << GetLastError();
        Reopen();
    }
};

TEST_F(Faults, CardPulledBetweenTheHalvesOfA2048BitSignature) {
    Insert(6);
    ASSERT_TRUE(CPSetKeyParam(prov_, UserKey(AT_SIGNATURE), KP_CERTIFICATE, CertificateFor(0x8001, 900).data(), 0));
    const Listing before = Listed();
    ASSERT_TRUE(Verifies(Sign("before"), "before"));

    // The card leaves after the first half; the user, asked to put it back, gives up.
    sim_->backend().PullCardAfter(sim_->reader(), 0x4E);
    ui_.QueueBoxAnswer(IDCANCEL);
    EXPECT_TRUE(Sign("during").empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_REMOVED_CARD));

    // Put back: the next signature reconnects, the thread's PIN is sent again without asking,
    // and the card computes a whole signature, not one continued from the lost half.
    PutBack();
    const size_t dialogs = ui_.DialogCount();
    EXPECT_TRUE(Verifies(Sign("after"), "after"));
    EXPECT_EQ(ui_.DialogCount(), dialogs);
    EXPECT_EQ(Listed(), before);
}

TEST_F(Faults, CardPulledDuringACertificateWriteKeepsTheOldOne) {
    Insert(1);
    const Blob old_certificate = CertificateFor(0x8001, 700), new_certificate = CertificateFor(0x8001, 1600);
    ASSERT_TRUE(CPSetKeyParam(prov_, UserKey(AT_SIGNATURE), KP_CERTIFICATE, old_certificate.data(), 0));
    const Listing before = Listed();

    sim_->backend().PullCardAfter(sim_->reader(), 0x46);  // after the first of eight pieces
    EXPECT_REFUSED(CPSetKeyParam(prov_, UserKey(AT_SIGNATURE), KP_CERTIFICATE, new_certificate.data(), 0),
                   SCARD_W_REMOVED_CARD);
    PutBack();
    const Listing after = Listed();
    EXPECT_EQ(after, before) << "the old certificate is still whole";
    EXPECT_EQ(after.at("keys").first, old_certificate);

    ASSERT_TRUE(CPSetKeyParam(prov_, UserKey(AT_SIGNATURE), KP_CERTIFICATE, new_certificate.data(), 0))
        << std::hex << GetLastError();
    EXPECT_EQ(Certificate(prov_, AT_SIGNATURE), new_certificate);
}

TEST_F(Faults, CardPulledDuringAKeyRelocationLosesNoKeyOrCertificate) {
    // "keys" holds a certified signature key in 80 01; a new container's first signature key
    // goes there, so the certified key first moves to its companion 80 02, emptied before.
    Insert(1);
    Delete("half");
    ASSERT_TRUE(CPSetKeyParam(prov_, UserKey(AT_SIGNATURE), KP_CERTIFICATE, CertificateFor(0x8001, 800).data(), 0));
    const auto moved_key = PublicKey(0x8001);
    Listing before = Listed();

    HCRYPTPROV fresh = 0;
    ASSERT_TRUE(CPAcquireContext(&fresh, "fresh", CRYPT_NEWKEYSET, nullptr));
    before["fresh"] = {};
    HCRYPTKEY key = 0;
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
    ASSERT_TRUE(Verifies(Sign("before"), "before"));
    sim_->backend().ClearLog();
    const DWORD slept = clock_.total_slept_ms;
    sim_->backend().SetMute(sim_->reader(), true);
    ui_.QueueBoxAnswer(IDCANCEL);
    EXPECT_TRUE(Sign("mute").empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_E_TIMEOUT));
    // One command tried, the card probed again and one reconnection attempt: no loop.
    EXPECT_LE(Sent(), 4u);
    EXPECT_LE(clock_.total_slept_ms - slept, 1000u);
    ASSERT_EQ(ui_.BoxCount(), 1u);
    EXPECT_EQ(ui_.events().back().box.text, "Be sure IC card has been properly set");

    sim_->backend().SetMute(sim_->reader(), false);
    EXPECT_TRUE(Verifies(Sign("after"), "after"));
}

// The registry's file where it cannot be saved: a full disk, a folder that cannot be written.
// Existing containers still open and sign (their record is current, nothing is written); a
// new one fails whole, leaving the card and the file as they were; once the fault is gone the
// same creation works.
class RegistryFaults : public Faults {
protected:
    test::ScopedRegistryDirectory files_;
};

TEST_F(RegistryFaults, FullDiskOrUnwritableFolderLeaveTheFileAndTheCardAsTheyWere) {
    for (const bool full_disk : {true, false}) {
        SCOPED_TRACE(full_disk ? "full disk" : "unwritable folder");
        Insert(1);
        const Listing before = Listed();
        const std::string file = files_.CurrentUserFile(), text = FileText(file);
        const size_t files = FilesIn(files_.directory);
        ASSERT_NE(text.find("MorvaCSP-keys"), std::string::npos);
        {
            std::unique_ptr<ScopedFullDisk> disk = full_disk ? std::make_unique<ScopedFullDisk>() : nullptr;
            std::unique_ptr<ScopedUnwritableFolder> folder =
                full_disk ? nullptr : std::make_unique<ScopedUnwritableFolder>(files_.directory);
            ASSERT_TRUE(full_disk || folder->Holds());
            EXPECT_EQ(CreateSecond(), static_cast<DWORD>(NTE_BAD_KEYSET_PARAM));
            EXPECT_NE(platform::RegistryLastProblem().find(file), std::string::npos) << platform::RegistryLastProblem();
            Reopen();
            EXPECT_TRUE(Verifies(Sign("while the registry cannot be saved"), "while the registry cannot be saved"));
        }
        EXPECT_EQ(FileText(file), text);
        EXPECT_EQ(FilesIn(files_.directory), files) << "no half-written file left";
        EXPECT_EQ(Listed(), before);
        EXPECT_EQ(CreateSecond(), 0u);
        Delete("second");
    }
}

TEST_F(RegistryFaults, ACorruptFileStillOpensAndSignsAndIsNeverRewritten) {
    Insert(1);
    const std::string file = files_.CurrentUserFile();
    std::ofstream(file, std::ios::app) << "this line is not in the registry's format\n";
    const std::string text = FileText(file);
    Reopen();
    EXPECT_TRUE(Verifies(Sign("corrupt registry"), "corrupt registry"));
    EXPECT_EQ(CreateSecond(), static_cast<DWORD>(NTE_BAD_KEYSET_PARAM));
    EXPECT_NE(platform::RegistryLastProblem().find(file + ":"), std::string::npos) << platform::RegistryLastProblem();
    EXPECT_EQ(FileText(file), text);
    EXPECT_EQ(sim::ContainersOf(Card()).size(), 2u) << "the failed creation left no card record";
}

TEST_F(Faults, AFullDiskOrUnwritableFolderUnderTheCardImageKeepsThePreviousImage) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("kelm-faults-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    image_path_ = (folder / "card.json").string();
    for (const bool full_disk : {true, false}) {
        SCOPED_TRACE(full_disk ? "full disk" : "unwritable folder");
        std::filesystem::remove(image_path_);
        Insert(1);
        const Listing before = Listed();
        const std::string image = FileText(image_path_);
        const size_t files = FilesIn(folder.string());
        PinAndClearLog();  // the PIN's try counter is saved too: verify it before the fault
        {
            std::unique_ptr<ScopedFullDisk> disk = full_disk ? std::make_unique<ScopedFullDisk>() : nullptr;
            std::unique_ptr<ScopedUnwritableFolder> unwritable =
                full_disk ? nullptr : std::make_unique<ScopedUnwritableFolder>(folder.string());
            ASSERT_TRUE(full_disk || unwritable->Holds());
            EXPECT_EQ(CreateSecond(), 0x6581u) << "the card's memory failure";
        }
        EXPECT_EQ(FileText(image_path_), image);
        EXPECT_EQ(FilesIn(folder.string()), files) << "no half-written image left";
        EXPECT_EQ(Listed(), before);
        EXPECT_EQ(CreateSecond(), 0u);
    }
    Remove();
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace kelm::csp::testing
