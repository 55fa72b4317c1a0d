// Saving a card image atomically and locking it across processes, the Windows side (the
// winscard.dll test double): a new file beside the image, created exclusively, written and
// flushed, then moved over the image in one step; the lock is a byte-range lock on
// "IMAGE.lock", held from loading the image to saving it.
#include <windows.h>

#include "sim/card_state.h"

namespace kelm::sim {
namespace {

std::wstring Wide(const std::string& utf8) {
    std::wstring text(utf8.size() + 1, L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, text.data(), static_cast<int>(text.size()));
    text.resize(length > 0 ? static_cast<size_t>(length) - 1 : 0);
    return text;
}

std::string Problem(const std::string& what, const std::string& path) {
    return what + " " + path + ": error " + std::to_string(GetLastError());
}

}  // namespace

bool SaveImage(const std::string& path, const CardImage& image, std::string* error) {
    // Saves run under the image's lock, so a file of this name is a leftover of an interrupted save.
    const std::string temporary = path + ".new";
    DeleteFileW(Wide(temporary).c_str());
    HANDLE file = CreateFileW(Wide(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (error) *error = Problem("cannot write beside", path);
        return false;
    }
    std::string text = ImageToJson(image);
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size() && FlushFileBuffers(file);
    SecureZeroMemory(text.data(), text.size());  // it holds the private keys
    if (!ok && error) *error = Problem("cannot write", temporary);
    CloseHandle(file);
    if (ok && !MoveFileExW(Wide(temporary).c_str(), Wide(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        if (error) *error = Problem("cannot replace", path);
    }
    if (!ok) DeleteFileW(Wide(temporary).c_str());
    return ok;
}

// No stamps here: the double reads its image again for every command.
bool TakeImageStamp(const std::string&, ImageStamp* stamp) { return ForgetImageStamp(stamp), false; }
bool ImageMatchesStamp(const std::string&, const ImageStamp&) { return false; }
void ForgetImageStamp(ImageStamp* stamp) { *stamp = ImageStamp{}; }

ImageLock::ImageLock(const std::string& image_path) {
    if (image_path.empty()) return;
    const std::string lock_path = image_path + ".lock";
    HANDLE file = CreateFileW(Wide(lock_path).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    OVERLAPPED whole{};
    if (file == INVALID_HANDLE_VALUE || !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        error = Problem("cannot lock the card image with", lock_path);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        return;
    }
    handle = reinterpret_cast<intptr_t>(file);
}

ImageLock::~ImageLock() {
    if (handle != -1) CloseHandle(reinterpret_cast<HANDLE>(handle));  // the lock goes with the handle
}

}  // namespace kelm::sim
