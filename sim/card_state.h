// The card model's state: what the card keeps across power cycles (persisted in the image) and
// what it forgets at power-off or reset (the session).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kelm/windows_types.h"
#include "sim/sim_card.h"

namespace kelm::sim {

constexpr WORD kDirectoryFile = 0x8010;
constexpr size_t kNameLength = 36;
constexpr size_t kRecordLength = 43;
constexpr int kPinTries = 3;
constexpr size_t kPinBlockLength = 16;
constexpr size_t kCertCodeLength = 8;
constexpr WORD kMaxCertCapacity = 2048;

// An RSA key pair, big-endian numbers. The private parts never leave the card model.
struct RsaKey {
    std::vector<BYTE> n, e, d, p, q;
    std::vector<BYTE> pk_code;  // the 8 bytes after the exponent in the public-key record
};
void WipeKey(RsaKey* key);
unsigned KeyBits(const RsaKey& key);

struct KeyFile {
    WORD id = 0;
    BYTE kind = 0;        // 0 signature, 1 exchange (as created; not enforced)
    BYTE size_code = 2;   // 2: 1024-bit, 4: 2048-bit
    WORD capacity = kMaxCertCapacity;
    bool has_key = false;
    RsaKey key;
    std::vector<BYTE> certificate;  // DER, as written
    std::string validity;           // the validity header that came with it
    std::vector<BYTE> cert_code;    // the code that came with it (types 1 and 5)
};

struct DirectoryRecord {
    std::array<BYTE, kNameLength> name{};
    std::array<BYTE, 4> files{};  // slot 1 hi lo, slot 2 hi lo
};

// Everything the image holds.
struct CardImage {
    int type = 1;
    CardProtocol protocol = CardProtocol::T1;
    std::string pin;
    int tries_left = kPinTries;
    bool pin_pad = false;
    std::string pin_pad_entry;
    std::vector<BYTE> required_cert_code;
    std::vector<DirectoryRecord> directory;
    std::vector<KeyFile> key_files;  // sorted by id
};

// Continuation state of the multi-command operations; all of it ends with power-off or reset.
struct CardSession {
    bool powered = false;
    bool verified = false;
    WORD selected = 0;  // 0: nothing selected
    std::vector<BYTE> pending_response;   // T=0: data waiting for GET RESPONSE
    bool reading = false;                 // READ FILE in progress
    size_t read_offset = 0;
    bool listing = false;                 // LIST CONTAINERS in progress
    size_t list_index = 0;
    bool reading_public = false;          // second piece of a public-key record pending
    std::vector<BYTE> public_rest;
    bool writing = false;                 // WRITE CERTIFICATE in progress
    std::vector<BYTE> write_payload;      // everything after the continuation bytes so far
    size_t write_cert_length = 0;
    bool rsa_first_half = false;          // a two-block private operation is half done
    std::vector<BYTE> rsa_half;
};

}  // namespace kelm::sim

namespace kelm::sim {

// The image file as the card last read or wrote it. While the file still has the same identity,
// size and times, the image in memory is the file's and a command need not read it again. The
// file is kept open meanwhile, so that its inode cannot be given to another file that might
// then look the same.
struct ImageStamp {
    bool known = false;
    unsigned long long device = 0, inode = 0, size = 0;
    long long modified_ns = 0, changed_ns = 0;
    intptr_t held = -1;  // the file, open for as long as the stamp is known
};

}  // namespace kelm::sim

struct kelm::sim::SimCard {
    std::string path;  // empty: not persisted
    CardImage image;
    CardSession session;
    ImageStamp stamp;  // of `path` as the image in memory was read from or saved to it
};

namespace kelm::sim {

// Image file I/O (card_image.cpp; saving and locking in image_file_posix.cpp, or on Windows in
// winscard/image_file_windows.cpp).
bool LoadImage(const std::string& path, CardImage* image, std::string* error);
// Writes a new file beside the image (created exclusively, never through a link), syncs it and
// renames it over the image, keeping the image's file mode (0600 for a new image).
bool SaveImage(const std::string& path, const CardImage& image, std::string* error);
bool ImageFromJson(const std::string& text, CardImage* image, std::string* error);
std::string ImageToJson(const CardImage& image);

// An exclusive hold on a card image across processes: a lock file beside the image
// ("IMAGE.lock"), held from loading the image to saving it, so that every process sharing an
// image (tools, tests, the vpcd server) sees one card. An empty path locks nothing.
struct ImageLock {
    explicit ImageLock(const std::string& image_path);
    ~ImageLock();
    ImageLock(const ImageLock&) = delete;
    ImageLock& operator=(const ImageLock&) = delete;
    bool Held() const { return error.empty(); }

    intptr_t handle = -1;  // the lock file: a descriptor, or on Windows a HANDLE
    std::string error;  // why the lock could not be taken; empty when held (or not needed)
};

// The image file's stamp now (false when it cannot be read: the stamp is then unknown), whether
// the file still matches a stamp, and a stamp let go (image_file_posix.cpp; the Windows double
// knows no stamps, so it reads its image for every command).
bool TakeImageStamp(const std::string& path, ImageStamp* stamp);
bool ImageMatchesStamp(const std::string& path, const ImageStamp& stamp);
void ForgetImageStamp(ImageStamp* stamp);

// The card's image as its file holds it now (read again only when the file no longer matches
// the stamp), and the card's image saved to its file; both are called with the image locked and
// do nothing for a card that lives in memory only.
bool ReloadImage(SimCard& card, std::string* error);
bool StoreImage(SimCard& card, std::string* error);
// Tells the operator why the card answered a memory failure (on stderr).
void ReportImageProblem(const std::string& error);
// Runs `change` on the card's current image under the lock and saves the image when it
// succeeds, so that a change made meanwhile by another process is never lost.
bool UpdateImage(SimCard& card, const std::function<bool(CardImage&)>& change, std::string* error);

// Card-type facts.
bool ValidCardType(int type);
const BYTE* ApplicationId(int type);  // 8 bytes
int KeyFileCount(int type);           // also the container capacity
BYTE DefaultSizeCode(int type);

KeyFile* FindKeyFile(CardImage& image, WORD id);

}  // namespace kelm::sim
