// The provider's dynamic symbol table holds its entry points and nothing else; the platform
// library it depends on exports the Windows-named functions.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "support/run_command.h"

namespace {

// Runs `command` and returns its standard output; fails the test on a nonzero exit.
std::string Capture(const std::string& command) {
    const kelm::test::CommandRun run = kelm::test::RunCommand(command);
    EXPECT_EQ(run.status, 0) << command;
    return run.output;
}

// The names of the defined dynamic symbols of `library`.
std::set<std::string> DefinedDynamicSymbols(const std::string& library) {
    std::istringstream lines(Capture("nm -D --defined-only '" + library + "'"));
    std::set<std::string> names;
    for (std::string line; std::getline(lines, line);) {
        // "<address> <type> <name>[@version]"
        std::istringstream fields(line);
        std::string address, type, name;
        if (!(fields >> address >> type >> name)) continue;
        names.insert(name.substr(0, name.find('@')));
    }
    return names;
}

const std::set<std::string> kEntryPoints = {
    "CPAcquireContext", "CPReleaseContext", "CPGetProvParam", "CPSetProvParam",
    "CPGetUserKey",     "CPGetKeyParam",    "CPSetKeyParam",  "CPDestroyKey",
    "CPGenKey",         "CPExportKey",      "CPImportKey",    "CPCreateHash",
    "CPHashData",       "CPHashSessionKey", "CPGetHashParam", "CPSetHashParam",
    "CPDestroyHash",    "CPEncrypt",        "CPDecrypt",      "CPDeriveKey",
    "CPSignHash",       "CPVerifySignature", "CPGenRandom",   "GetKeyStorageInterface",
    "DoCheckDialog",
};

// The entry points built so far; the others are listed in exports.map ahead of their code.
const std::set<std::string> kDefined = {"CPAcquireContext", "CPReleaseContext", "CPGetProvParam",   "CPSetProvParam",
                                         "CPCreateHash",     "CPHashData",       "CPHashSessionKey", "CPGetHashParam",
                                         "CPSetHashParam",   "CPDestroyHash",    "CPEncrypt",
                                         "CPDecrypt",        "CPDeriveKey",      "DoCheckDialog"};

TEST(ExportsTest, ProviderExportsOnlyItsEntryPoints) {
    ASSERT_EQ(kEntryPoints.size(), 25u);
    std::set<std::string> exported = DefinedDynamicSymbols(KELM_PROVIDER_PATH);
    for (const std::string& name : exported) {
        EXPECT_TRUE(kEntryPoints.count(name) == 1) << "exported but not an entry point: " << name;
    }
    for (const std::string& name : kDefined) EXPECT_EQ(exported.count(name), 1u) << "built, not exported: " << name;
}

TEST(ExportsTest, PlatformLibraryExportsTheWindowsNamesTheProviderImports) {
    std::set<std::string> exported = DefinedDynamicSymbols(KELM_PLATFORM_PATH);
    for (const char* name : {"GetLastError", "SetLastError", "MessageBoxA", "DialogBoxParamA", "EndDialog",
                             "GetDlgItemTextA", "SendMessageA", "GetForegroundWindow", "LoadStringA",
                             "RegOpenKeyExA", "RegQueryValueExA", "SCardTransmit", "MultiByteToWideChar",
                             "GetSystemDefaultLangID", "GetTickCount", "LocalAlloc", "HeapAlloc"}) {
        EXPECT_TRUE(exported.count(name) == 1) << "missing from the platform library: " << name;
    }
    std::string needed = Capture("objdump -p '" + std::string(KELM_PROVIDER_PATH) + "'");
    EXPECT_NE(needed.find("libkelmplatform.so"), std::string::npos) << "the provider does not import the platform";
}

}  // namespace
