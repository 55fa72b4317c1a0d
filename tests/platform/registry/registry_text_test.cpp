// The registry editor's text format: what is written, what is read back, and how a malformed
// file is described.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry/registry_text.h"

namespace {

using kelm::platform::EnsureSubkey;
using kelm::platform::FindKeyPath;
using kelm::platform::FindValue;
using kelm::platform::FormatRegistryFile;
using kelm::platform::ParseRegistryFile;
using kelm::platform::RegistryKey;
using kelm::platform::RegistryValue;
using kelm::platform::SetRegistryValue;

std::vector<BYTE> Bytes(const std::string& text, bool with_nul) {
    std::vector<BYTE> data(text.begin(), text.end());
    if (with_nul) data.push_back(0);
    return data;
}

RegistryKey Parse(const std::string& text) {
    RegistryKey root;
    std::string problem;
    EXPECT_TRUE(ParseRegistryFile(text, "HKEY_CURRENT_USER", "test.reg", root, problem)) << problem;
    return root;
}

void ExpectValue(const RegistryKey& root, const std::vector<std::string>& path, const std::string& name, DWORD type,
                 const std::vector<BYTE>& data) {
    const RegistryKey* key = FindKeyPath(root, path);
    const RegistryValue* value = key == nullptr ? nullptr : FindValue(*key, name);
    ASSERT_NE(value, nullptr) << name;
    EXPECT_EQ(value->type, type) << name;
    EXPECT_EQ(value->data, data) << name;
}

TEST(RegistryText, EveryValueReadsBackByteForByte) {
    RegistryKey root;
    SetRegistryValue(root, "AtRoot", REG_DWORD, {1, 2, 3, 4});
    RegistryKey& key = EnsureSubkey(EnsureSubkey(root, "a b"), "Name]With\"Marks");
    EnsureSubkey(root, "Empty");
    std::vector<BYTE> long_binary(300);
    for (size_t i = 0; i < long_binary.size(); ++i) long_binary[i] = static_cast<BYTE>(i * 7);
    const std::vector<std::pair<std::string, std::pair<DWORD, std::vector<BYTE>>>> values = {
        {"long", {REG_BINARY, long_binary}},
        {"empty binary", {REG_BINARY, {}}},
        {"escapes \\ \"", {REG_SZ, Bytes("back\\slash \"and\" quotes\\", true)}},
        {"utf8", {REG_SZ, Bytes("\xE8\xAE\x80\xE5\x8D\xA1\xE6\xA9\x9F", true)}},
        {"no terminator", {REG_SZ, Bytes("abc", false)}},
        {"inner nul", {REG_SZ, {'a', 0, 'b', 0}}},
        {"newline", {REG_SZ, Bytes("two\nlines", true)}},
        {"empty string", {REG_SZ, Bytes("", true)}},
        {"qword", {REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}}},
        {"multi", {REG_MULTI_SZ, {'a', 0, 'b', 0, 0}}},
        {"none", {REG_NONE, {}}},
    };
    for (const auto& [name, typed] : values) SetRegistryValue(key, name, typed.first, typed.second);
    SetRegistryValue(key, "", REG_SZ, Bytes("", true));  // the default value

    const std::string text = FormatRegistryFile(root, "HKEY_CURRENT_USER");
    for (const char* line : {"Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER]\n\"AtRoot\"=dword:04030201\n\n",
                             "\n\n[HKEY_CURRENT_USER\\a b\\Name]With\"Marks]\n@=\"\"\n\"long\"=hex:00,07,0e,",
                             "\n\"escapes \\\\ \\\"\"=\"back\\\\slash \\\"and\\\" quotes\\\\\"\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    }
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        EXPECT_LE(end - start, 80u) << "hex lists are broken into continuation lines";
    }
    const RegistryKey back = Parse(text);
    for (const auto& [name, typed] : values) {
        ExpectValue(back, {"A B", "name]with\"marks"}, name, typed.first, typed.second);
    }
    ExpectValue(back, {}, "atroot", REG_DWORD, {1, 2, 3, 4});
    EXPECT_NE(FindKeyPath(back, {"Empty"}), nullptr) << "a key without values is kept";
    EXPECT_EQ(FormatRegistryFile(back, "HKEY_CURRENT_USER"), text);
}

TEST(RegistryText, ReadsFilesEditedByHand) {
    const RegistryKey root = Parse(
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; written by hand\r\n"
        "[hkey_current_user\\Software\\Child\\Grandchild]\r\n"
        "\"Deep\"=DWORD:0000002A\r\n"
        "\r\n"
        "[HKEY_CURRENT_USER\\software]\r\n"
        "  \"Spaced\" = \"value\"  \r\n"
        "\"Long\"=hex:00,01,\\\r\n"
        "  02,03,\\\r\n"
        "  04\r\n"
        "\"Quad\"=hex(b):FF,00,00,00,00,00,00,00\r\n"
        "\"Spaced\"=\"replaced\"\r\n");
    ExpectValue(root, {"SOFTWARE", "child", "GRANDCHILD"}, "deep", REG_DWORD, {0x2A, 0, 0, 0});
    ExpectValue(root, {"Software"}, "Spaced", REG_SZ, Bytes("replaced", true));
    ExpectValue(root, {"Software"}, "Long", REG_BINARY, {0, 1, 2, 3, 4});
    ExpectValue(root, {"Software"}, "Quad", REG_QWORD, {0xFF, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(root.subkeys.size(), 1u) << "sections differing only in case are one key";
}

TEST(RegistryText, MalformedFilesNameTheLineAtFault) {
    const std::string header = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\K]\n";
    std::string deep = "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER";
    for (size_t i = 0; i <= kelm::platform::kMaxKeyDepth; ++i) deep += "\\k";
    const struct {
        std::string text;
        std::string problem;
    } cases[] = {
        {"", "test.reg:1: bad header"},
        {"Windows Registry Editor Version 5.00\n\"v\"=dword:1\n", "test.reg:2: value outside a key"},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\K]\n", "test.reg:2: key outside"},
        {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\K\n", "test.reg:2: bad key line"},
        {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A\\\\B]\n", "test.reg:2: bad key name"},
        {header + "\"v\"=dword:123456789\n", "test.reg:4: bad dword"},
        {header + "\"v\"=hex(4):01,02\n", "test.reg:4: wrong dword size"},
        {header + "\"v\"=hex:01,,02\n", "test.reg:4: bad hex"},
        {header + "\"v\"=hex:01,\\\n  02,zz\n", "test.reg:5: bad hex"},
        {header + "\"v\"=hex:01,\\\n", "test.reg:4: unterminated hex continuation"},
        {header + "\"v\"=hex(zz):01\n", "test.reg:4: bad hex type"},
        {header + "\"v\"=\"bad \\n escape\"\n", "test.reg:4: bad string"},
        {header + "\"v\"=\"x\" trailing\n", "test.reg:4: bad string"},
        {header + "\"v\n", "test.reg:4: bad value name"},
        {header + "junk\n", "test.reg:4: bad line"},
        {deep + "]\n", "test.reg:2: key nested too deep"},
    };
    for (const auto& c : cases) {
        RegistryKey root;
        std::string problem;
        EXPECT_FALSE(ParseRegistryFile(c.text, "HKEY_CURRENT_USER", "test.reg", root, problem)) << c.text;
        EXPECT_EQ(problem.rfind(c.problem, 0), 0u) << c.text << " gave " << problem;
    }
}

}  // namespace
