// The emulated registry's files: reading, locking and atomic replacement.
#include "platform/registry/registry_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/registry/registry_text.h"

namespace kelm::platform {

namespace {

// A registry file larger than this is refused rather than read into memory.
constexpr size_t kMaxRegistryFileSize = 64u << 20;

std::atomic<RegistryWriteFault> g_write_fault{RegistryWriteFault::None};

std::string Describe(const std::string& path, int error) { return path + ": " + std::strerror(error); }

// Closes a descriptor on every path out; the lock taken with flock goes with it.
struct FileDescriptor {
    int fd = -1;
    explicit FileDescriptor(int f) : fd(f) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// Creates `directory` and its missing parents (mode 0700: the registry is the user's own).
bool MakeDirectories(const std::string& directory, std::string& problem) {
    for (size_t pos = 1; pos <= directory.size(); ++pos) {
        if (pos != directory.size() && directory[pos] != '/') continue;
        const std::string prefix = directory.substr(0, pos);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            problem = Describe(prefix, errno);
            return false;
        }
    }
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        problem = directory + ": not a directory";
        return false;
    }
    return true;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Writes `text` to "<path>.tmp", syncs it and renames it over `path`, then syncs the directory
// so that the rename itself survives a crash.
LONG ReplaceFile(const std::string& directory, const std::string& path, const std::string& text,
                 std::string& problem) {
    const std::string temporary = path + ".tmp";
    FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (file.fd < 0) {
        problem = Describe(temporary, errno);
        return ERROR_REGISTRY_IO_FAILED;
    }
    if (g_write_fault.load() == RegistryWriteFault::StopBeforeRename) {
        WriteAll(file.fd, text.data(), text.size() / 2);
        problem = temporary + ": write interrupted";
        return ERROR_REGISTRY_IO_FAILED;
    }
    if (!WriteAll(file.fd, text.data(), text.size()) || ::fsync(file.fd) != 0) {
        problem = Describe(temporary, errno);
        ::unlink(temporary.c_str());
        return ERROR_REGISTRY_IO_FAILED;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        problem = Describe(path, errno);
        ::unlink(temporary.c_str());
        return ERROR_REGISTRY_IO_FAILED;
    }
    FileDescriptor folder(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd >= 0) ::fsync(folder.fd);
    return ERROR_SUCCESS;
}

}  // namespace

std::string DefaultRegistryDirectory() {
    if (const char* chosen = std::getenv("KELM_REGISTRY_DIR"); chosen != nullptr && *chosen != '\0')
        return chosen;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/')
        return std::string(config) + "/kelm";
    std::string home;
    if (const char* env_home = std::getenv("HOME"); env_home != nullptr && *env_home != '\0') {
        home = env_home;
    } else {
        struct passwd entry {};
        struct passwd* found = nullptr;
        char buffer[4096];
        if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
            found->pw_dir != nullptr)
            home = found->pw_dir;
    }
    if (home.empty()) return "";
    return home + "/.config/kelm";
}

std::string RegistryFilePath(const std::string& directory, RegistryRoot root) {
    return directory + "/" + RegistryRootName(root) + ".reg";
}

LONG ReadRegistryFile(const std::string& directory, RegistryRoot root, RegistryKey& tree, std::string& problem) {
    tree = RegistryKey{};
    const std::string path = RegistryFilePath(directory, root);
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0) {
        if (errno == ENOENT) return ERROR_SUCCESS;
        problem = Describe(path, errno);
        return ERROR_REGISTRY_IO_FAILED;
    }
    std::string text;
    char chunk[16384];
    while (true) {
        const ssize_t got = ::read(file.fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            problem = Describe(path, errno);
            return ERROR_REGISTRY_IO_FAILED;
        }
        if (got == 0) break;
        if (text.size() + static_cast<size_t>(got) > kMaxRegistryFileSize) {
            problem = path + ":1: file too large";
            return ERROR_BADDB;
        }
        text.append(chunk, static_cast<size_t>(got));
    }
    if (!ParseRegistryFile(text, RegistryRootName(root), path, tree, problem)) {
        tree = RegistryKey{};
        return ERROR_BADDB;
    }
    return ERROR_SUCCESS;
}

LONG ChangeRegistryFile(const std::string& directory, RegistryRoot root, const RegistryChange& change,
                        std::string& problem) {
    if (!MakeDirectories(directory, problem)) return ERROR_REGISTRY_IO_FAILED;
    const std::string path = RegistryFilePath(directory, root);
    const std::string lock_path = path + ".lock";
    FileDescriptor lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.fd < 0) {
        problem = Describe(lock_path, errno);
        return ERROR_REGISTRY_IO_FAILED;
    }
    while (::flock(lock.fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            problem = Describe(lock_path, errno);
            return ERROR_REGISTRY_IO_FAILED;
        }
    }
    // Under the lock the file is current: whatever another process wrote is read again here.
    RegistryKey tree;
    if (const LONG read = ReadRegistryFile(directory, root, tree, problem); read != ERROR_SUCCESS) return read;
    bool changed = false;
    if (const LONG result = change(tree, changed); result != ERROR_SUCCESS || !changed) return result;
    return ReplaceFile(directory, path, FormatRegistryFile(tree, RegistryRootName(root)), problem);
}

void SetRegistryWriteFault(RegistryWriteFault fault) { g_write_fault.store(fault); }

}  // namespace kelm::platform
