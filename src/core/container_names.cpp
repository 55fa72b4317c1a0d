// Container names: the card's list read into a provider context for enumeration, and the name
// used when a caller names no container.
#include <cstring>
#include <string>

#include "card/card_conversation.h"
#include "card/card_files.h"
#include "core/container_registry.h"
#include "kelm/winapi.h"
#include "platform/process/trace.h"

namespace kelm::core {

namespace {

constexpr DWORD kUserNameBufferSize = 260;

std::string CutTo36(const char* text, size_t bound) {
    return std::string(text, strnlen(text, bound < kContainerNameMax ? bound : kContainerNameMax));
}

}  // namespace

DWORD Prov_ReadContainerNames(ProvCTX* prov) {
    platform::Trace("begin Prov_ReadContainerNames()");
    if (prov == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 1;
    }
    // A second reading replaces the first table rather than leaking it.
    if (prov->ContainerNames != nullptr) {
        LocalFree(prov->ContainerNames);
        prov->ContainerNames = nullptr;
    }
    prov->ContainerCount = 0;

    const card::CardConversation conversation;  // the card whose capacity sizes the table lists it
    const size_t capacity = card::Card_ContainerCapacity();
    auto* table = static_cast<char*>(LocalAlloc(LPTR, capacity * kContainerNameEntry + 2));
    if (table == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 1;
    }
    BYTE count = 0;
    const DWORD result = card::Card_ListContainers(table, &count, capacity);
    if (result != 0) {
        // No table rather than an empty one: key enumeration reads the names again when it
        // finds none, where an empty table would pass for a card without containers.
        LocalFree(table);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return result;
    }
    prov->ContainerNames = table;
    // The card layer bounds the count by the table; the bound is repeated here so that the
    // enumeration cursor can never walk past the table whatever the card said.
    prov->ContainerCount = count <= capacity ? count : static_cast<DWORD>(capacity);
    return 0;
}

std::string DefaultContainerName(DWORD dwFlags) {
    if (IsMachineKeyset(dwFlags)) {
        char name[kContainerNameEntry] = {};
        if (card::Card_GetContainerName(name, 1) == 0 && name[0] != '\0') return CutTo36(name, kContainerNameMax);
        return kDefaultContainerName;
    }
    char user[kUserNameBufferSize] = {};
    DWORD size = sizeof(user);
    if (GetUserNameA(user, &size) && user[0] != '\0') return CutTo36(user, sizeof(user));
    return kDefaultContainerName;
}

}  // namespace kelm::core
