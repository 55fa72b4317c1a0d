// The algorithms the provider reports through PP_ENUMALGS and PP_ENUMALGS_EX, in order.
#pragma once

#include <cstddef>

#include "kelm/windows_types.h"

namespace kelm::csp {

struct AlgorithmRow {
    ALG_ID algid;
    DWORD bits;  // default, minimum and maximum alike
    DWORD protocols;
    const char* name;
    DWORD name_length;  // as reported, NUL included
    const char* long_name;
    DWORD long_name_length;
};

constexpr size_t kAlgorithmCount = 10;

const AlgorithmRow& AlgorithmAt(size_t index);

// The row as the two enumeration records, zero-filled behind the names.
PROV_ENUMALGS ToEnumAlgs(const AlgorithmRow& row);
PROV_ENUMALGS_EX ToEnumAlgsEx(const AlgorithmRow& row);

}  // namespace kelm::csp
