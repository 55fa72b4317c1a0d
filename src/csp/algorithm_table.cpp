// The provider's algorithm table. Names, long names and their lengths are reported exactly as
// listed here: the long names of the SHA-384 and SHA-512 rows and of MD5 included, and the
// name lengths of the SHA rows, which count one byte more than the name and its NUL (the
// record is zero behind the name, so the extra byte reads as 0).
#include "csp/algorithm_table.h"

#include <array>
#include <cstring>

namespace kelm::csp {
namespace {

constexpr DWORD kSigning = CRYPT_FLAG_SIGNING;
constexpr DWORD kSigningIpsec = CRYPT_FLAG_SIGNING | CRYPT_FLAG_IPSEC;

constexpr std::array<AlgorithmRow, kAlgorithmCount> kAlgorithms{{
    {CALG_DES, 56, 0, "DES", 4, "Data Encryption Standard (DES)", 31},
    {CALG_3DES_112, 112, 0, "3DES TWO KEY", 13, "Two Key Triple DES", 19},
    {CALG_3DES, 168, 0, "3DES", 5, "Three Key Triple DES", 21},
    {CALG_SHA1, 160, kSigning, "SHA1", 6, "Secure Hash Algorithm (SHA-1)", 30},
    {CALG_SHA_256, 256, kSigning, "SHA256", 8, "Secure Hash Algorithm 256 (SHA-256)", 36},
    {CALG_SHA_384, 384, kSigning, "SHA384", 8, "Secure Hash Algorithm 256 (SHA-384)", 36},
    {CALG_SHA_512, 512, kSigning, "SHA512", 8, "Secure Hash Algorithm 256 (SHA-512)", 36},
    {CALG_MD5, 128, kSigning, "MD5", 4, "Message Digest 2 (MD5)", 23},
    {CALG_RSA_SIGN, 1024, kSigningIpsec, "RSA_SIGN", 9, "RSA Signature", 14},
    {CALG_RSA_KEYX, 1024, kSigningIpsec, "RSA_KEYX", 9, "RSA Key Exchange", 17},
}};

// Copies `text` into the zero-filled `field` and returns the reported length, which never
// reaches past the field.
template <size_t N>
DWORD CopyName(char (&field)[N], const char* text, DWORD reported) {
    static_assert(N > 0);
    const size_t length = std::strlen(text);
    std::memcpy(field, text, length < N ? length : N - 1);
    return reported < N ? reported : static_cast<DWORD>(N);
}

}  // namespace

const AlgorithmRow& AlgorithmAt(size_t index) { return kAlgorithms.at(index); }

PROV_ENUMALGS ToEnumAlgs(const AlgorithmRow& row) {
    PROV_ENUMALGS record;
    std::memset(&record, 0, sizeof record);
    record.aiAlgid = row.algid;
    record.dwBitLen = row.bits;
    record.dwNameLen = CopyName(record.szName, row.name, row.name_length);
    return record;
}

PROV_ENUMALGS_EX ToEnumAlgsEx(const AlgorithmRow& row) {
    PROV_ENUMALGS_EX record;
    std::memset(&record, 0, sizeof record);
    record.aiAlgid = row.algid;
    record.dwDefaultLen = row.bits;
    record.dwMinLen = row.bits;
    record.dwMaxLen = row.bits;
    record.dwProtocols = row.protocols;
    record.dwNameLen = CopyName(record.szName, row.name, row.name_length);
    record.dwLongNameLen = CopyName(record.szLongName, row.long_name, row.long_name_length);
    return record;
}

}  // namespace kelm::csp
