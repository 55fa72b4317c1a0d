// The provider's dynamic symbol table holds every entry point the code defines and nothing
// else; the Windows-named functions it calls come from the shared platform library.
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

// The functions the code marks for export (C names, global, default visibility) in the objects
// of the whole system: the entry points it defines so far.
std::set<std::string> EntryPointsDefinedInTheCode() {
    std::istringstream lines(Capture("readelf -sW '" + std::string(KELM_LIBRARY_PATH) + "'"));
    std::set<std::string> names;
    for (std::string line; std::getline(lines, line);) {
        // "Num: Value Size Type Bind Vis Ndx Name"
        std::istringstream fields(line);
        std::string number, value, size, type, bind, visibility, section, name;
        if (!(fields >> number >> value >> size >> type >> bind >> visibility >> section >> name)) continue;
        if (type == "FUNC" && bind == "GLOBAL" && visibility == "DEFAULT" && section != "UND" && name.rfind("_Z", 0) != 0) {
            names.insert(name);
        }
    }
    return names;
}

// Whatever the code marks for export is exported, and nothing else is: no entry point is
// left out of exports.map, and no internal symbol leaks. The PKCS #11 module's one export is
// the module's, not the provider's.
TEST(ExportsTest, ProviderExportsExactlyTheEntryPointsTheCodeDefines) {
    std::set<std::string> defined = EntryPointsDefinedInTheCode();
    ASSERT_EQ(defined.count("CPAcquireContext"), 1u) << "the code's exported functions were not found";
    EXPECT_EQ(defined.count("GetKeyStorageInterface"), 1u) << "the key storage interface is not marked for export";
    EXPECT_EQ(DefinedDynamicSymbols(KELM_PKCS11_PATH), std::set<std::string>{"C_GetFunctionList"});
    defined.erase("C_GetFunctionList");
    EXPECT_EQ(DefinedDynamicSymbols(KELM_PROVIDER_PATH), defined);
    // The Windows-named functions come from the one platform library every module shares.
    EXPECT_NE(Capture("objdump -p '" KELM_PROVIDER_PATH "'").find("NEEDED               libkelmplatform.so"),
              std::string::npos);
}

}  // namespace
