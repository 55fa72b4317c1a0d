#include "key_storage.h"

#include <dlfcn.h>
#include <mbedtls/md.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>

#include "kelm/winapi.h"
#include "files.h"
#include "output.h"

namespace kelm::tool {

constexpr size_t kDigestPiece = 64 * 1024;

std::string ProviderLibraryPath() {
    const char* path = std::getenv("KELM_PROVIDER_LIBRARY");
    return path != nullptr && *path != '\0' ? path : KELM_TOOL_PROVIDER_PATH;
}

KeyStorage::KeyStorage() {
    const std::string path = ProviderLibraryPath();
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) Fail("cannot load the provider " + path + ": " + dlerror());
    const auto get_interface = reinterpret_cast<GetKeyStorageInterfaceFn>(dlsym(library, "GetKeyStorageInterface"));
    if (get_interface == nullptr || get_interface(KELM_KSP_NAME, &table_, 0) != 0 || table_ == nullptr) {
        Fail(path + " offers no key storage interface");
    }
    Check(table_->OpenProvider(&provider_, KELM_KSP_NAME, 0), "cannot open the key storage provider");
}

KeyStorage::~KeyStorage() {
    for (NCRYPT_KEY_HANDLE key : keys_) table_->FreeKey(provider_, key);
    if (provider_ != 0) table_->FreeProvider(provider_);
}

NCRYPT_KEY_HANDLE KeyStorage::OpenKey(const std::string& name, const std::string& kind) {
    NCRYPT_KEY_HANDLE key = 0;
    const std::u16string wide = Utf16(name);
    const DWORD key_spec = kind == "exchange" ? AT_KEYEXCHANGE : AT_SIGNATURE;
    Check(table_->OpenKey(provider_, &key, wide.c_str(), key_spec, 0), "cannot open the " + kind + " key of '" + Printable(name) + "'");
    keys_.push_back(key);
    return key;
}

void KeyStorage::Check(SECURITY_STATUS status, const std::string& what, const PinEntry* pin) const {
    if (status == 0) return;
    const DWORD code = static_cast<DWORD>(status);
    if (code == static_cast<DWORD>(SCARD_W_WRONG_CHV)) {
        // The same outcome as on the entry points: tries left, or the locked card's status.
        if (pin != nullptr) pin->ExplainFailure();
        Fail(kExitWrongPin, what + ": the card did not accept the PIN (" + ErrorText(code) + ")");
    }
    std::string text = what + ": " + ErrorText(code);
    if (code == ERROR_INVALID_FUNCTION) text += ": no supported card was found in the reader";
    if (code == static_cast<DWORD>(NTE_INVALID_HANDLE)) text += " (no certificate in the \"My\" store names this key's container?)";
    Fail(text);
}

std::u16string Utf16(const std::string& text) {
    std::u16string wide(text.size() + 1, u'\0');
    const int units = text.empty() ? 0 : MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), int(wide.size()));
    if (!text.empty() && units <= 0) Fail(kExitUsage, "'" + Printable(text) + "' is not UTF-8");
    wide.resize(static_cast<size_t>(units));
    return wide;
}

std::string Utf8(const char16_t* text) {
    if (text == nullptr || *text == u'\0') return {};
    std::string out(1024, '\0');
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), int(out.size()), nullptr, nullptr);
    out.resize(bytes > 0 ? static_cast<size_t>(bytes - 1) : 0);
    return out;
}

std::vector<BYTE> ReadBytes(const std::string& path) {
    std::ifstream file;
    if (path != "-") file.open(path, std::ios::binary);
    std::istream& in = path == "-" ? std::cin : file;
    if (!in) Fail("cannot read " + path);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<BYTE>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) Fail("cannot write " + path);
}

std::vector<BYTE> Digest(const std::string& name, const std::string& path) {
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    const mbedtls_md_info_t* info = mbedtls_md_info_from_string(upper.c_str());
    if (info == nullptr) Fail(kExitUsage, "unknown hash '" + Printable(name) + "' (md5, sha1, sha256, sha384, sha512)");
    InputFile input(path);
    mbedtls_md_context_t context;
    mbedtls_md_init(&context);
    std::vector<BYTE> digest(mbedtls_md_get_size(info));
    bool done = mbedtls_md_setup(&context, info, 0) == 0 && mbedtls_md_starts(&context) == 0;
    for (Bytes piece = input.Read(kDigestPiece); done && !piece.empty(); piece = input.Read(kDigestPiece)) {
        done = mbedtls_md_update(&context, piece.data(), piece.size()) == 0;
    }
    done = done && mbedtls_md_finish(&context, digest.data()) == 0;
    mbedtls_md_free(&context);
    if (!done) Fail("cannot hash " + Printable(path));
    return digest;
}

}  // namespace kelm::tool
