// Card images: a card survives the process, and a damaged image is refused and left as it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "sim_test_util.h"
#include "support/run_command.h"

namespace kelm::sim::test {
namespace {

namespace fs = std::filesystem;
using kelm::test::CommandRun;

class SimCardImage : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kelm-sim-image-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }
    static std::string ReadText(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

    fs::path dir_;
};

// A self-signed certificate, subject CN=Card Holder, O=KELM Test.
const char kCertificateHex[] =
    "3082023030820199a003020102021406365c63f08bf7e1aa2b0ef548e6c021d52b4b1a300d06092a864886f70d0101050500"
    "302a3114301206035504030c0b4361726420486f6c64657231123010060355040a0c094b454c4d2054657374301e170d3236"
    "313230363032323432305a170d3336313230333032323432305a302a3114301206035504030c0b4361726420486f6c646572"
    "31123010060355040a0c094b454c4d205465737430819f300d06092a864886f70d010101050003818d0030818902818100e8"
    "659b108d08a0c3c61e303cf9189664bfe09315a90499fe0eea30a754e3e47a92aac4fa5054772df6b1ac43c8507ac031db6f"
    "b043e1b1942be03194bb684d67f2f6598883cfc556f2e4162441cbd02fc4ba4738655a2f00706cd05915d4cc42dd04b546aa"
    "2e9e86dac8bebc5adf9f47fbefab403bbfa5809aaa798df553192b0203010001a3533051301d0603551d0e04160414b65801"
    "c563e9ecd377a156b8b740e43917475f30301f0603551d23041830168014b65801c563e9ecd377a156b8b740e43917475f30"
    "300f0603551d130101ff040530030101ff300d06092a864886f70d01010505000381810043f0b3e06a1cf02b026d490e06e5"
    "518cd2a4b445d75023e8d3590c0ce37ee3e24d8784fe08f0a3866bfb5a70f868a5e94b363e4c87bf42f45250a074bdd7b02a"
    "c78051ff475cff342e4dc8fb97beef77eb16cb0d459cc5af0fa26a85b71606207b98f69e4ad50637b5cbdb6a03cbbf39e5cd"
    "906285b64c3b008bcd94191cd604";

TEST_F(SimCardImage, CardSurvivesReopening) {
    std::string path = PathOf("card.json");
    NewCardOptions options;
    options.type = 5;
    options.protocol = CardProtocol::T0;
    options.pin = "4321";
    std::string error;
    std::vector<BYTE> signature;
    std::vector<BYTE> block(128, 0x11);
    std::string name("odd\x01\x7F\xC3name", 10);
    {
        SimCardPtr card = NewCardImage(path, options, &error);
        ASSERT_TRUE(card) << error;
        EXPECT_FALSE(NewCardImage(path, options, &error)) << "an existing image is not overwritten";
        EXPECT_NE(error.find("exists"), std::string::npos);
        ASSERT_EQ(StatusOf(Send(*card, CreateKeyFileApdu(0x8003, 1, 2))), 0x9000);
        ASSERT_EQ(StatusOf(Send(*card, VerifyApdu(5, "4321"))), 0x9000);
        ASSERT_EQ(StatusOf(Send(*card, SelectFileApdu(0x8003))), 0x9000);
        ASSERT_EQ(StatusOf(Send(*card, "00 42 00 01")), 0x9000);
        ASSERT_EQ(HexOf(Send(*card, Concat(Bytes("00 4E 00 00 80"), block))), "61 80");
        signature = DataOf(Send(*card, "00 C0 00 00 80"));
        ASSERT_EQ(signature.size(), 128u);
        ASSERT_TRUE(PutCertificate(*card, 0x8003, Bytes(kCertificateHex), &error)) << error;
        Send(*card, SelectFileApdu(0x8010));
        ASSERT_EQ(StatusOf(Send(*card, Concat(Bytes("00 7A 00 00 2B"), Record(name, 0, 0x8003)))), 0x9000);
        Send(*card, VerifyApdu(5, "9999"));
    }
    EXPECT_NE(ReadText(path).find("\"type\": 5"), std::string::npos) << "readable JSON";
    SimCardPtr card = OpenCardImage(path, &error);
    ASSERT_TRUE(card) << error;
    EXPECT_EQ(CardType(*card), 5);
    EXPECT_EQ(CardProtocolOf(*card), CardProtocol::T0);
    EXPECT_EQ(PinTriesLeft(*card), 2);
    EXPECT_FALSE(PinVerified(*card));
    auto containers = ContainersOf(*card);
    ASSERT_EQ(containers.size(), 1u);
    EXPECT_EQ(containers[0].name, name);
    EXPECT_EQ(containers[0].exchange_file, 0x8003);
    EXPECT_EQ(CertificateOf(*card, 0x8003), Bytes(kCertificateHex));
    ASSERT_EQ(StatusOf(Send(*card, VerifyApdu(5, "4321"))), 0x9000);
    Send(*card, SelectFileApdu(0x8003));
    Send(*card, Concat(Bytes("00 4E 00 00 80"), block));
    EXPECT_EQ(DataOf(Send(*card, "00 C0 00 00 80")), signature) << "the same private key";
    std::string text = DescribeCard(*card);
    for (const char* expected : {"card type 5, T=0", "PIN tries left: 3 of 3", "containers: 1 of 6", "exchange 80 03",
                                 "80 03  exchange, 1024-bit key, certificate 564 bytes", "subject CN=Card Holder, O=KELM Test"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    }
}

TEST_F(SimCardImage, DamagedImagesAreRefusedAndLeftAlone) {
    std::string path = PathOf("card.json");
    std::string error;
    {
        SimCardPtr card = NewCardImage(path, NewCardOptions{}, &error);
        ASSERT_TRUE(card) << error;
        ASSERT_TRUE(PutNewKey(*card, 0x8001, &error)) << error;
        ASSERT_TRUE(AddContainer(*card, "c", 0x8001, 0, &error)) << error;
    }
    const std::string good = ReadText(path);
    ASSERT_TRUE(OpenCardImage(path, &error)) << error;

    struct Damage {
        std::string text;
        std::string message;
    } damages[] = {
        {good.substr(0, good.size() / 2), "JSON: syntax error"},
        {"{\n  \"format\": tru }", "at offset 18"},
        {std::string(good).replace(good.find("\"name\": \"c\""), 11, "\"name\": \"\\u4e2d\""), "above U+00FF"},
        {"[1, 2]", "not a JSON object"},
        {std::string(good).replace(good.find("\"type\": 1"), 9, "\"type\": 2"), "card type 2"},
        {std::string(good).replace(good.find("\"protocol\": \"T1\""), 16, "\"protocol\": \"T2\""), "protocol"},
        {std::string(good).replace(good.find("\"pin_tries_left\": 3"), 19, "\"pin_tries_left\": 9"), "pin_tries_left"},
        {std::string(good).replace(good.find("\"n\": \""), 6, "\"n\": \"Z"), "\"n\""},
        {std::string(good).replace(good.find("\"signature_file\": \"8001\""), 24, "\"signature_file\": \"8009\""), "key file"},
        {std::string(good).replace(good.find("\"format\": \"kelm-sim-card\""), 25, "\"format\": \"other\""), "format"},
    };
    for (const auto& damage : damages) {
        WriteText(path, damage.text);
        EXPECT_FALSE(OpenCardImage(path, &error)) << damage.message;
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_NE(error.find(damage.message), std::string::npos) << error;
        EXPECT_EQ(ReadText(path), damage.text) << "left untouched";
    }
    EXPECT_FALSE(OpenCardImage(PathOf("missing.json"), &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

// kelm-tool sending raw commands to the card of `path`, as a command line.
std::string ToolApdu(const std::string& path) { return std::string("'") + KELM_TOOL_PATH + "' --card 'sim:" + path + "' apdu "; }

// One command as a single hexadecimal argument.
std::string Arg(const std::vector<BYTE>& apdu) {
    std::string hex = HexOf(apdu);
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    return hex;
}

// The lines a command line printed, sorted.
std::vector<std::string> SortedLines(const std::string& command_line) {
    std::istringstream output(kelm::test::RunCommand(command_line).output);
    std::vector<std::string> lines;
    for (std::string line; std::getline(output, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST_F(SimCardImage, ProcessesSharingAnImageSeeOneCard) {
    const std::string path = PathOf("card.json");
    NewCardOptions options;
    options.type = 7;
    std::string error;
    ASSERT_TRUE(NewCardImage(path, options, &error)) << error;

    // Seven programs create a container each at the same time: every one is kept.
    const std::string create = ToolApdu(path) + "00A40200028010 007A00002B00$(printf '%02X' $i)" + std::string(70, '0') + "0004" +
                               std::string(8, '0');
    EXPECT_EQ(SortedLines("for i in 1 2 3 4 5 6 7; do " + create + " & done; wait"), std::vector<std::string>(14, "90 00"));
    SimCardPtr card = OpenCardImage(path, &error);
    ASSERT_TRUE(card) << error;
    EXPECT_EQ(ContainersOf(*card).size(), 7u);

    // Eight wrong PINs at the same time: three spend the tries, the rest find the card locked.
    const std::string wrong = ToolApdu(path) + Arg(VerifyApdu(7, "00000000"));
    EXPECT_EQ(SortedLines("for i in 1 2 3 4 5 6 7 8; do " + wrong + " & done; wait"),
              (std::vector<std::string>{"63 C0", "63 C1", "63 C2", "66 20", "66 20", "66 20", "66 20", "66 20"}));
}

// Two cards on one image, as two processes hold it: each keeps its image loaded between
// commands, yet sees what the other stored, so every wrong PIN counts and no update is lost.
TEST_F(SimCardImage, CardsKeepingTheImageLoadedStillSeeEachOthersChanges) {
    const std::string path = PathOf("card.json");
    std::string error;
    SimCardPtr first = NewCardImage(path, NewCardOptions{}, &error);
    ASSERT_TRUE(first) << error;
    SimCardPtr second = OpenCardImage(path, &error);
    ASSERT_TRUE(second) << error;
    const std::vector<BYTE> wrong = VerifyApdu(1, "00000000");
    EXPECT_EQ(HexOf(Send(*first, wrong)), "63 C2");
    EXPECT_EQ(HexOf(Send(*second, wrong)), "63 C1");
    EXPECT_EQ(HexOf(Send(*first, wrong)), "63 C0");
    EXPECT_EQ(HexOf(Send(*second, VerifyApdu(1, "12345678"))), "66 20");
    // Changed by hand in place, with the same size: the modification time tells (a clock tick
    // later than the last save: file times move in ticks of a few milliseconds).
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string text = ReadText(path);
    text.replace(text.find("\"pin_tries_left\": 0"), 19, "\"pin_tries_left\": 3");
    WriteText(path, text);
    EXPECT_EQ(HexOf(Send(*first, VerifyApdu(1, "12345678"))), "90 00");
}

TEST_F(SimCardImage, SavingFollowsNoLinkKeepsTheModeAndAnswersNothingItCouldNotStore) {
    const std::string path = PathOf("card.json");
    std::string error;
    SimCardPtr card = NewCardImage(path, NewCardOptions{}, &error);
    ASSERT_TRUE(card && PutNewKey(*card, 0x8001, &error)) << error;  // an image of over 1 KiB
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const std::string victim = PathOf("victim");
    WriteText(victim, "untouched");
    fs::create_symlink(victim, path + ".tmp");
    ASSERT_EQ(HexOf(Send(*card, VerifyApdu(1, "12345678"))), "90 00");
    EXPECT_EQ(ReadText(victim), "untouched");
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++entries;
    EXPECT_EQ(entries, 4u) << "image, lock, the planted link and its target: no temporary file is left";

    // A card that cannot store its try counter (files limited to 1 KiB) judges no PIN, the right
    // one included; the counter stays as it was.
    const std::string right = Arg(VerifyApdu(1, "12345678")), wrong = Arg(VerifyApdu(1, "00000000"));
    const CommandRun run = kelm::test::RunCommand("bash -c \"trap '' XFSZ; ulimit -f 1; " + ToolApdu(path) + right + " " + wrong +
                                                  " " + wrong + " " + wrong + " " + wrong + " " + right + "\" 2>/dev/null");
    EXPECT_EQ(run.output, "65 81\n65 81\n65 81\n65 81\n65 81\n65 81\n");
    ASSERT_TRUE(card = OpenCardImage(path, &error)) << error;
    EXPECT_EQ(PinTriesLeft(*card), 3);

    // The image gone: a command answers the same memory failure.
    fs::remove(path);
    EXPECT_EQ(HexOf(Send(*card, SelectFileApdu(0x8010))), "65 81");
}

}  // namespace
}  // namespace kelm::sim::test
