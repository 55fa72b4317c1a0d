// Input read in pieces, output committed whole.
#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "output.h"

namespace kelm::tool {
namespace {

mode_t CurrentUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

}  // namespace

InputFile::InputFile(const std::string& path)
    : file_(path == "-" ? stdin : std::fopen(path.c_str(), "rb")), path_(path) {
    if (file_ == nullptr) Fail("cannot read " + Printable(path) + ": " + std::strerror(errno));
    struct stat st {};
    if (fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode)) size_ = static_cast<unsigned long long>(st.st_size);
}

InputFile::~InputFile() {
    if (file_ != stdin) std::fclose(file_);
}

Bytes InputFile::Read(size_t size) {
    Bytes piece(size);
    piece.resize(std::fread(piece.data(), 1, piece.size(), file_));
    if (piece.size() < size && std::ferror(file_)) Fail("cannot read " + Printable(path_) + ": " + std::strerror(errno));
    return piece;
}

void RefuseExisting(const std::string& path, bool force, const std::string& what) {
    struct stat st {};
    if (force || path.empty() || path == "-" || stat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) Fail(kExitUsage, what + " " + Printable(path) + " is a directory");
    Fail(kExitUsage, what + " " + Printable(path) + " exists already: nothing was done (--force replaces it)");
}

OutputFile::OutputFile(const std::string& path, bool binary, bool force, const std::string& what)
    : path_(path), to_stdout_(path.empty() || path == "-"), force_(force) {
    if (to_stdout_) {
        if (binary && isatty(STDOUT_FILENO)) {
            Fail(kExitUsage, "binary output is not written to a terminal: give -o FILE or a text form");
        }
        file_ = stdout;
        return;
    }
    RefuseExisting(path, force, what);
    temporary_ = path + ".kelm-XXXXXX";
    const int fd = mkstemp(temporary_.data());
    if (fd < 0) Fail("cannot write beside " + Printable(path) + ": " + std::strerror(errno));
    fchmod(fd, 0666 & ~CurrentUmask());  // as a file made with fopen would be
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) {
        close(fd);
        unlink(temporary_.c_str());
        Fail("cannot write " + Printable(path) + ": " + std::strerror(errno));
    }
}

OutputFile::~OutputFile() {
    if (to_stdout_ || file_ == nullptr) return;
    std::fclose(file_);
    if (!committed_) unlink(temporary_.c_str());
}

void OutputFile::Write(const BYTE* data, size_t size) {
    if (size == 0) return;
    if (std::fwrite(data, 1, size, file_) != size) {
        Fail("cannot write " + (to_stdout_ ? std::string("standard output") : Printable(path_)) + ": " + std::strerror(errno));
    }
    written_ += size;
}

void OutputFile::Commit() {
    const std::string shown = to_stdout_ ? std::string("standard output") : Printable(path_);
    if (std::fflush(file_) != 0) Fail("cannot write " + shown + ": " + std::strerror(errno));
    if (to_stdout_) return;
    if (fsync(fileno(file_)) != 0) Fail("cannot write " + shown + ": " + std::strerror(errno));
    // Without --force a file that appeared meanwhile is kept: link() does not replace.
    const bool placed = force_ ? rename(temporary_.c_str(), path_.c_str()) == 0
                               : link(temporary_.c_str(), path_.c_str()) == 0 && unlink(temporary_.c_str()) == 0;
    if (!placed) {
        Fail(errno == EEXIST ? shown + " appeared meanwhile: kept, and nothing written (--force replaces it)"
                             : "cannot write " + shown + ": " + std::strerror(errno));
    }
    committed_ = true;
}

void OutputFile::Remove() {
    if (committed_ && !to_stdout_) unlink(path_.c_str());
}

}  // namespace kelm::tool
