// The files the commands read and write. Input is read in pieces ("-" is standard input); output
// goes to a temporary file beside its name and takes that name only when the command commits it,
// so a failed command leaves no half-written file, and an existing file is replaced only when the
// user said so (--force). Standard output ("" or "-") is written as it comes.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "kelm/windows_types.h"

namespace kelm::tool {

using Bytes = std::vector<BYTE>;

class InputFile {
public:
    explicit InputFile(const std::string& path);  // Fails when it cannot be opened
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    // Up to `size` bytes, fewer only at the end; empty at the end.
    Bytes Read(size_t size);
    // The file's size when it is a regular file, else 0 (a pipe: unknown).
    unsigned long long size() const { return size_; }
    const std::string& path() const { return path_; }

private:
    std::FILE* file_;
    std::string path_;
    unsigned long long size_ = 0;
};

// Fails (usage) when `path` names an existing file and `force` is false: said before anything is
// asked of the card. `what` names the file's role ("--out", "--new-key").
void RefuseExisting(const std::string& path, bool force, const std::string& what);

class OutputFile {
public:
    // Standard output for "" and "-" (binary bytes are refused on a terminal); otherwise a
    // temporary file beside `path`. Fails as RefuseExisting does.
    OutputFile(const std::string& path, bool binary, bool force, const std::string& what);
    ~OutputFile();  // an uncommitted temporary file is removed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void Write(const BYTE* data, size_t size);
    void Write(const Bytes& bytes) { Write(bytes.data(), bytes.size()); }
    // The temporary takes its name (without --force, only if no file of that name appeared
    // meanwhile); standard output is flushed.
    void Commit();
    // Takes a committed file away again (when a second file of the same result failed).
    void Remove();
    bool to_stdout() const { return to_stdout_; }
    unsigned long long written() const { return written_; }

private:
    std::string path_;
    std::string temporary_;
    std::FILE* file_ = nullptr;
    bool to_stdout_ = false;
    bool force_ = false;
    bool committed_ = false;
    unsigned long long written_ = 0;
};

}  // namespace kelm::tool
