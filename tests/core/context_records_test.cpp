// The context records: a container name bounded by its field.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/context_records.h"
#include "kelm/winapi.h"

namespace kelm::core {
namespace {

TEST(ContextRecords, ContainerNameIsCutTo36AndNeverReadPastThem) {
    // Not terminated within its 36 bytes: under ASan a read past them fails the test.
    char exact[36];
    std::memset(exact, 'x', sizeof(exact));
    ContainerCTX* container = Alloc_Init_ContainerCTX(exact, 0, CRYPT_MACHINE_KEYSET);
    ASSERT_NE(container, nullptr);
    EXPECT_EQ(std::string(container->Name), std::string(36, 'x'));
    EXPECT_EQ(container->dwFlags, static_cast<DWORD>(CRYPT_MACHINE_KEYSET));
    Free_ContainerCTX(container);

    SetLastError(0);
    EXPECT_EQ(Alloc_Init_ContainerCTX(nullptr, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Free_ContainerCTX(nullptr);
    Free_ProvCTX(nullptr);
}

}  // namespace
}  // namespace kelm::core
