// Saving a card image atomically (write a new file beside it, sync, then rename it over the
// image) so that a crash never leaves half an image behind, and the lock that lets several
// processes share one image: the POSIX side.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/card_state.h"

namespace kelm::sim {

namespace {

std::string Problem(const std::string& what, const std::string& path) { return what + " " + path + ": " + std::strerror(errno); }

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

bool SaveImage(const std::string& path, const CardImage& image, std::string* error) {
    // A fresh name that nobody can have planted a link at: mkstemp creates it exclusively.
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        if (error) *error = Problem("cannot write beside", path);
        return false;
    }
    struct stat existing {};
    const mode_t mode = ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0600;
    std::string text = ImageToJson(image);
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    std::fill(text.begin(), text.end(), '\0');  // it holds the private keys
    if (!ok && error) *error = Problem("cannot write", temporary);
    if (::close(fd) != 0 && ok) {
        ok = false;
        if (error) *error = Problem("cannot write", temporary);
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        if (error) *error = Problem("cannot replace", path);
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself is made to last as well.
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int folder_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd >= 0) {
        ::fsync(folder_fd);
        ::close(folder_fd);
    }
    return true;
}

bool TakeImageStamp(const std::string& path, ImageStamp* stamp) {
    ForgetImageStamp(stamp);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0) return false;
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return false;
    }
    *stamp = ImageStamp{true,
                        static_cast<unsigned long long>(st.st_dev),
                        static_cast<unsigned long long>(st.st_ino),
                        static_cast<unsigned long long>(st.st_size),
                        st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
                        st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec,
                        fd};
    return true;
}

bool ImageMatchesStamp(const std::string& path, const ImageStamp& stamp) {
    struct stat st {};
    return stamp.known && ::stat(path.c_str(), &st) == 0 && static_cast<unsigned long long>(st.st_dev) == stamp.device &&
           static_cast<unsigned long long>(st.st_ino) == stamp.inode &&
           static_cast<unsigned long long>(st.st_size) == stamp.size &&
           st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec == stamp.modified_ns &&
           st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec == stamp.changed_ns;
}

void ForgetImageStamp(ImageStamp* stamp) {
    if (stamp->held >= 0) ::close(static_cast<int>(stamp->held));
    *stamp = ImageStamp{};
}

ImageLock::ImageLock(const std::string& image_path) {
    if (image_path.empty()) return;
    const std::string lock_path = image_path + ".lock";
    handle = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (handle < 0) {
        error = Problem("cannot lock the card image with", lock_path);
        return;
    }
    while (::flock(static_cast<int>(handle), LOCK_EX) != 0) {
        if (errno != EINTR) {
            error = Problem("cannot lock the card image with", lock_path);
            ::close(static_cast<int>(handle));
            handle = -1;
            return;
        }
    }
}

ImageLock::~ImageLock() {
    if (handle >= 0) ::close(static_cast<int>(handle));  // the lock goes with the descriptor
}

}  // namespace kelm::sim
