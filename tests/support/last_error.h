// Checks a Windows-style failure in one expectation: the call reported failure and left
// `expected` as the thread's last error.
//
//   EXPECT_TRUE(FailsWith(CryptDestroyKey(key), NTE_BAD_KEY));
//   EXPECT_TRUE(FailsWith(CertEnumCertificatesInStore(store, nullptr) != nullptr, E_INVALIDARG));
#pragma once

#include <gtest/gtest.h>

#include "kelm/winapi.h"

namespace kelm::test {

inline ::testing::AssertionResult FailsWith(bool succeeded, HRESULT expected) {
    const DWORD error = GetLastError();
    if (succeeded) return ::testing::AssertionFailure() << "it succeeded";
    if (error == static_cast<DWORD>(expected)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "last error 0x" << std::hex << error << ", expected 0x"
                                         << static_cast<DWORD>(expected);
}

}  // namespace kelm::test
