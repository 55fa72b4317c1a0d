// Registry files from the fuzzer's input. Whatever the file holds, reading it must either fail
// with a line-numbered problem or give a tree that is written out and read back unchanged.
//
// Input: bit 0 of byte 0 chooses whether the header and a first section are put in front of
// the rest; bit 1 whether the rest is the file's text itself or, one byte a line, lines of the
// format (mostly well formed, so that random bytes still make files that read).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/registry/registry_text.h"

namespace {

const char* const kLines[] = {
    "",
    "; comment",
    "[HKEY_CURRENT_USER]",
    "[HKEY_CURRENT_USER\\K]",
    "[hkey_current_user\\k\\Sub]",
    "[HKEY_CURRENT_USER\\Name]With\"Marks]",
    "[HKEY_CURRENT_USER\\K\\\xE8\xAE\x80 spaced ]",
    "@=\"default\"",
    "\"\"=\"empty name\"",
    "\"v\"=\"text\"",
    "\"V\"=\"other\"",
    "\"esc\\\\\"=\"back\\\\slash \\\"quote\\\"\"",
    "\"v\"=dword:0000002a",
    "\"d\"=DWORD:ffffffff",
    "\"b\"=hex:00,ff,7f",
    "\"b\"=hex:",
    "\"s\"=hex(1):61,00,0d,00",
    "\"n\"=hex(1):61,62",
    "\"q\"=hex(b):01,02,03,04,05,06,07,08",
    "\"w\"=hex(4):01,02,03,04",
    "\"m\"=hex(7):61,00,00",
    "\"z\"=hex(0):",
    "\"c\"=hex:01,02,\\\n  03,04,\\\r\n  05",
    "\"t\"  =  \"spaces\"  ",
    "\"tab\tname\"=\"x\"",
    "\"bad\"=dword:123456789",
    "\"bad\"=hex:0",
    "[HKEY_LOCAL_MACHINE\\K]",
    "junk",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string text;
    if ((data[0] & 1) == 0) text = "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\K]\n";
    if ((data[0] & 2) == 0) {
        text.append(reinterpret_cast<const char*>(data + 1), size - 1);
    } else {
        for (size_t i = 1; i < size && i <= 16; ++i) {
            text += kLines[data[i] % (sizeof kLines / sizeof kLines[0])];
            text += (data[i] & 0x80) != 0 ? "\r\n" : "\n";
        }
    }

    kelm::platform::RegistryKey root;
    std::string problem;
    if (!kelm::platform::ParseRegistryFile(text, "HKEY_CURRENT_USER", "fuzz.reg", root, problem)) {
        if (problem.rfind("fuzz.reg:", 0) != 0) {
            std::fprintf(stderr, "problem without its place: %s\n", problem.c_str());
            std::abort();
        }
        return 0;
    }
    const std::string written = kelm::platform::FormatRegistryFile(root, "HKEY_CURRENT_USER");
    kelm::platform::RegistryKey again;
    if (!kelm::platform::ParseRegistryFile(written, "HKEY_CURRENT_USER", "fuzz.reg", again, problem) ||
        kelm::platform::FormatRegistryFile(again, "HKEY_CURRENT_USER") != written) {
        std::fprintf(stderr, "written file does not read back: %s\n%s\n", problem.c_str(), written.c_str());
        std::abort();
    }
    return 0;
}
