// The container directory (file 80 10): one 43-byte record per container.
#include <algorithm>

#include "sim/card_handlers.h"

namespace kelm::sim {

namespace {

// Names per LIST CONTAINERS answer; a longer directory continues in further answers.
constexpr size_t kNamesPerPiece = 4;

bool DirectorySelected(const SimCard& card) { return card.session.selected == kDirectoryFile; }

std::array<BYTE, kNameLength> NameFrom(const BYTE* data) {
    std::array<BYTE, kNameLength> name{};
    std::copy_n(data, kNameLength, name.begin());
    return name;
}

DirectoryRecord* FindRecord(CardImage& image, const std::array<BYTE, kNameLength>& name) {
    for (auto& record : image.directory) {
        if (record.name == name) return &record;
    }
    return nullptr;
}

bool ValidRecordFile(const CardImage& image, BYTE hi, BYTE lo) {
    return (hi == 0 && lo == 0) || IsKeyFileId(image, static_cast<WORD>(hi << 8 | lo));
}

// Checks a 43-byte record of CREATE CONTAINER / WRITE CONTAINER KEYS and decodes it.
WORD ParseRecord(const SimCard& card, const Command& c, DirectoryRecord* record) {
    if (c.p1 != 0 || c.p2 != 0) return sw::kWrongP1P2;
    if (c.lc != kRecordLength) return sw::kWrongLength;
    const BYTE* d = c.data;
    if (d[0] != 0 || d[37] != 0 || d[38] != 4) return sw::kWrongData;
    if (!ValidRecordFile(card.image, d[39], d[40]) || !ValidRecordFile(card.image, d[41], d[42])) return sw::kWrongData;
    record->name = NameFrom(d + 1);
    std::copy_n(d + 39, 4, record->files.begin());
    return sw::kOk;
}

std::vector<BYTE> ListPiece(const CardImage& image, size_t start, size_t* end) {
    size_t count = std::min(kNamesPerPiece, image.directory.size() - std::min(start, image.directory.size()));
    *end = start + count;
    size_t remaining = image.directory.size() - *end;
    std::vector<BYTE> data;
    data.push_back(remaining == 0 ? 0 : static_cast<BYTE>(1 + kNameLength * std::min(kNamesPerPiece, remaining)));
    for (size_t i = start; i < *end; ++i) data.insert(data.end(), image.directory[i].name.begin(), image.directory[i].name.end());
    return data;
}

}  // namespace

Reply ListContainers(SimCard& card, const Command& c) {
    if (c.p2 != 0 || c.p1 > 1) return Status(sw::kWrongP1P2);
    if (c.lc != 0) return Status(sw::kWrongLength);
    if (!DirectorySelected(card)) return Status(sw::kNoCurrentFile);
    if (c.p1 == 1 && !card.session.listing) return Status(sw::kConditions);
    size_t start = c.p1 == 0 ? 0 : card.session.list_index;
    size_t end = 0;
    Reply r;
    r.data = ListPiece(card.image, start, &end);
    bool more = end < card.image.directory.size();
    CardSession* session = &card.session;
    r.on_delivery = [session, end, more] {
        session->listing = more;
        session->list_index = end;
    };
    return r;
}

Reply FindContainer(SimCard& card, const Command& c) {
    if (c.p1 != 0 || c.p2 != 0) return Status(sw::kWrongP1P2);
    if (c.lc != kNameLength) return Status(sw::kWrongLength);
    if (!DirectorySelected(card)) return Status(sw::kNoCurrentFile);
    const DirectoryRecord* record = FindRecord(card.image, NameFrom(c.data));
    if (!record) return Status(sw::kNotFound);
    Reply r;
    r.data.assign(kRecordLength, 0);
    std::copy(record->name.begin(), record->name.end(), r.data.begin() + 1);
    r.data[38] = 4;
    std::copy(record->files.begin(), record->files.end(), r.data.begin() + 39);
    return r;
}

Reply CreateContainer(SimCard& card, const Command& c) {
    DirectoryRecord record;
    WORD status = ParseRecord(card, c, &record);
    if (status != sw::kOk) return Status(status);
    if (!DirectorySelected(card)) return Status(sw::kNoCurrentFile);
    if (FindRecord(card.image, record.name)) return Status(sw::kFileMissing);
    if (card.image.directory.size() >= static_cast<size_t>(KeyFileCount(card.image.type))) return Status(sw::kDirectoryFull);
    card.image.directory.push_back(record);
    Reply r;
    r.image_changed = true;
    return r;
}

Reply WriteContainerKeys(SimCard& card, const Command& c) {
    DirectoryRecord record;
    WORD status = ParseRecord(card, c, &record);
    if (status != sw::kOk) return Status(status);
    if (!DirectorySelected(card)) return Status(sw::kNoCurrentFile);
    DirectoryRecord* existing = FindRecord(card.image, record.name);
    if (!existing) return Status(sw::kNotFound);
    existing->files = record.files;
    Reply r;
    r.image_changed = true;
    return r;
}

Reply DeleteContainer(SimCard& card, const Command& c) {
    if (c.p1 != 0 || c.p2 != 0) return Status(sw::kWrongP1P2);
    if (c.lc != kNameLength) return Status(sw::kWrongLength);
    if (!DirectorySelected(card)) return Status(sw::kNoCurrentFile);
    auto name = NameFrom(c.data);
    auto& dir = card.image.directory;
    auto it = std::find_if(dir.begin(), dir.end(), [&](const DirectoryRecord& r) { return r.name == name; });
    if (it == dir.end()) return Status(sw::kNotFound);
    dir.erase(it);
    card.session.listing = false;
    Reply r;
    r.image_changed = true;
    return r;
}

}  // namespace kelm::sim
