// Win32 types and constants used by the provider, with their Windows values.
// On Windows the platform headers supply them; on Linux this header defines them so that the
// same sources build against the platform stand-ins of libkelmplatform.so.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>
#include <winscard.h>
#include <bcrypt.h>
#include <ncrypt.h>
#else

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK
#define KELM_WINAPI_EXPORT extern "C" __attribute__((visibility("default")))

// ---- basic types (LP64 Linux: DWORD must stay 32-bit, as on Windows) ----
typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef int INT;
typedef char CHAR;
typedef char16_t WCHAR;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BOOL* LPBOOL;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef const CHAR* LPCCH;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWCH;
typedef WORD LANGID;
typedef LONG HRESULT;
typedef LONG LSTATUS;
typedef LONG SECURITY_STATUS;
typedef LONG NTSTATUS;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;

typedef void* HANDLE;
typedef HANDLE HLOCAL;
struct HWND__;
typedef HWND__* HWND;
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;

typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

#define TRUE 1
#define FALSE 0
#define INFINITE 0xFFFFFFFF
#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define IS_INTRESOURCE(r) ((reinterpret_cast<ULONG_PTR>(r) >> 16) == 0)
#define MAKELANGID(p, s) (static_cast<WORD>((static_cast<WORD>(s) << 10) | static_cast<WORD>(p)))
#define LOWORD(l) (static_cast<WORD>(static_cast<ULONG_PTR>(l) & 0xffff))
#define HIWORD(l) (static_cast<WORD>((static_cast<ULONG_PTR>(l) >> 16) & 0xffff))

// ---- CryptoAPI ----
typedef unsigned int ALG_ID;
typedef uint64_t HCRYPTPROV;
typedef uint64_t HCRYPTKEY;
typedef uint64_t HCRYPTHASH;

// ---- PC/SC (Windows winscard types: 32-bit DWORD fields) ----
typedef ULONG_PTR SCARDCONTEXT;
typedef SCARDCONTEXT* LPSCARDCONTEXT;
typedef ULONG_PTR SCARDHANDLE;
typedef SCARDHANDLE* LPSCARDHANDLE;
struct SCARD_IO_REQUEST {
    DWORD dwProtocol;
    DWORD cbPciLength;
};
typedef SCARD_IO_REQUEST* LPSCARD_IO_REQUEST;
typedef const SCARD_IO_REQUEST* LPCSCARD_IO_REQUEST;
struct SCARD_READERSTATEA {
    LPCSTR szReader;
    LPVOID pvUserData;
    DWORD dwCurrentState;
    DWORD dwEventState;
    DWORD cbAtr;
    BYTE rgbAtr[36];
};
typedef SCARD_READERSTATEA* LPSCARD_READERSTATEA;

// ---- CNG ----
typedef ULONG_PTR NCRYPT_HANDLE;
typedef ULONG_PTR NCRYPT_PROV_HANDLE;
typedef ULONG_PTR NCRYPT_KEY_HANDLE;
typedef ULONG_PTR NCRYPT_HASH_HANDLE;
typedef ULONG_PTR NCRYPT_SECRET_HANDLE;

// ---- system version ----
struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
};
typedef OSVERSIONINFOA* LPOSVERSIONINFOA;
#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

// ---- Win32 error codes ----
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_FORMAT 11L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_REGISTRY_CORRUPT 1015L
#define ERROR_REGISTRY_IO_FAILED 1016L
#define ERROR_KEY_DELETED 1018L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_CANCELLED 1223L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CONTROL_ID_NOT_FOUND 1421L
#define ERROR_TIMEOUT 1460L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define E_NOTIMPL static_cast<HRESULT>(0x80004001L)

// ---- CryptoAPI error codes ----
#define NTE_BAD_UID static_cast<HRESULT>(0x80090001L)
#define NTE_BAD_HASH static_cast<HRESULT>(0x80090002L)
#define NTE_BAD_KEY static_cast<HRESULT>(0x80090003L)
#define NTE_BAD_LEN static_cast<HRESULT>(0x80090004L)
#define NTE_BAD_DATA static_cast<HRESULT>(0x80090005L)
#define NTE_BAD_SIGNATURE static_cast<HRESULT>(0x80090006L)
#define NTE_BAD_VER static_cast<HRESULT>(0x80090007L)
#define NTE_BAD_ALGID static_cast<HRESULT>(0x80090008L)
#define NTE_BAD_FLAGS static_cast<HRESULT>(0x80090009L)
#define NTE_BAD_TYPE static_cast<HRESULT>(0x8009000AL)
#define NTE_BAD_KEY_STATE static_cast<HRESULT>(0x8009000BL)
#define NTE_BAD_HASH_STATE static_cast<HRESULT>(0x8009000CL)
#define NTE_NO_KEY static_cast<HRESULT>(0x8009000DL)
#define NTE_NO_MEMORY static_cast<HRESULT>(0x8009000EL)
#define NTE_EXISTS static_cast<HRESULT>(0x8009000FL)
#define NTE_PERM static_cast<HRESULT>(0x80090010L)
#define NTE_NOT_FOUND static_cast<HRESULT>(0x80090011L)
#define NTE_BAD_KEYSET static_cast<HRESULT>(0x80090016L)
#define NTE_BAD_KEYSET_PARAM static_cast<HRESULT>(0x8009001FL)
#define NTE_FAIL static_cast<HRESULT>(0x80090020L)
#define NTE_SYS_ERR static_cast<HRESULT>(0x80090021L)
#define NTE_SILENT_CONTEXT static_cast<HRESULT>(0x80090022L)
#define NTE_INVALID_HANDLE static_cast<HRESULT>(0x80090026L)
#define NTE_INVALID_PARAMETER static_cast<HRESULT>(0x80090027L)
#define NTE_BUFFER_TOO_SMALL static_cast<HRESULT>(0x80090028L)
#define NTE_NOT_SUPPORTED static_cast<HRESULT>(0x80090029L)
#define NTE_NO_MORE_ITEMS static_cast<HRESULT>(0x8009002AL)
#define NTE_INTERNAL_ERROR static_cast<HRESULT>(0x8009002DL)

// ---- PC/SC error and control codes (Windows values; pcsc-lite uses the same numbers) ----
#define SCARD_S_SUCCESS 0L
#define SCARD_F_INTERNAL_ERROR static_cast<LONG>(0x80100001L)
#define SCARD_E_CANCELLED static_cast<LONG>(0x80100002L)
#define SCARD_E_INVALID_HANDLE static_cast<LONG>(0x80100003L)
#define SCARD_E_INVALID_PARAMETER static_cast<LONG>(0x80100004L)
#define SCARD_E_INVALID_TARGET static_cast<LONG>(0x80100005L)
#define SCARD_E_NO_MEMORY static_cast<LONG>(0x80100006L)
#define SCARD_F_WAITED_TOO_LONG static_cast<LONG>(0x80100007L)
#define SCARD_E_INSUFFICIENT_BUFFER static_cast<LONG>(0x80100008L)
#define SCARD_E_UNKNOWN_READER static_cast<LONG>(0x80100009L)
#define SCARD_E_TIMEOUT static_cast<LONG>(0x8010000AL)
#define SCARD_E_SHARING_VIOLATION static_cast<LONG>(0x8010000BL)
#define SCARD_E_NO_SMARTCARD static_cast<LONG>(0x8010000CL)
#define SCARD_E_UNKNOWN_CARD static_cast<LONG>(0x8010000DL)
#define SCARD_E_CANT_DISPOSE static_cast<LONG>(0x8010000EL)
#define SCARD_E_PROTO_MISMATCH static_cast<LONG>(0x8010000FL)
#define SCARD_E_NOT_READY static_cast<LONG>(0x80100010L)
#define SCARD_E_INVALID_VALUE static_cast<LONG>(0x80100011L)
#define SCARD_E_SYSTEM_CANCELLED static_cast<LONG>(0x80100012L)
#define SCARD_F_COMM_ERROR static_cast<LONG>(0x80100013L)
#define SCARD_F_UNKNOWN_ERROR static_cast<LONG>(0x80100014L)
#define SCARD_E_INVALID_ATR static_cast<LONG>(0x80100015L)
#define SCARD_E_NOT_TRANSACTED static_cast<LONG>(0x80100016L)
#define SCARD_E_READER_UNAVAILABLE static_cast<LONG>(0x80100017L)
#define SCARD_E_PCI_TOO_SMALL static_cast<LONG>(0x80100019L)
#define SCARD_E_NO_SERVICE static_cast<LONG>(0x8010001DL)
#define SCARD_E_SERVICE_STOPPED static_cast<LONG>(0x8010001EL)
#define SCARD_E_UNEXPECTED static_cast<LONG>(0x8010001FL)
#define SCARD_E_NO_READERS_AVAILABLE static_cast<LONG>(0x8010002EL)
#define SCARD_W_UNSUPPORTED_CARD static_cast<LONG>(0x80100065L)
#define SCARD_W_UNRESPONSIVE_CARD static_cast<LONG>(0x80100066L)
#define SCARD_W_UNPOWERED_CARD static_cast<LONG>(0x80100067L)
#define SCARD_W_RESET_CARD static_cast<LONG>(0x80100068L)
#define SCARD_W_REMOVED_CARD static_cast<LONG>(0x80100069L)
#define SCARD_W_SECURITY_VIOLATION static_cast<LONG>(0x8010006AL)
#define SCARD_W_WRONG_CHV static_cast<LONG>(0x8010006BL)
#define SCARD_W_CHV_BLOCKED static_cast<LONG>(0x8010006CL)
#define SCARD_W_CANCELLED_BY_USER static_cast<LONG>(0x8010006EL)

#define SCARD_SCOPE_USER 0
#define SCARD_SCOPE_SYSTEM 2
#define SCARD_SHARE_EXCLUSIVE 1
#define SCARD_SHARE_SHARED 2
#define SCARD_SHARE_DIRECT 3
#define SCARD_PROTOCOL_UNDEFINED 0
#define SCARD_PROTOCOL_T0 1
#define SCARD_PROTOCOL_T1 2
#define SCARD_LEAVE_CARD 0
#define SCARD_RESET_CARD 1
#define SCARD_UNPOWER_CARD 2
#define SCARD_EJECT_CARD 3
#define SCARD_STATE_UNAWARE 0x0000
#define SCARD_STATE_IGNORE 0x0001
#define SCARD_STATE_CHANGED 0x0002
#define SCARD_STATE_UNKNOWN 0x0004
#define SCARD_STATE_UNAVAILABLE 0x0008
#define SCARD_STATE_EMPTY 0x0010
#define SCARD_STATE_PRESENT 0x0020
#define SCARD_STATE_ATRMATCH 0x0040
#define SCARD_STATE_EXCLUSIVE 0x0080
#define SCARD_STATE_INUSE 0x0100
#define SCARD_STATE_MUTE 0x0200
#define SCARD_ATR_LENGTH 36

// ---- registry ----
#define HKEY_CLASSES_ROOT reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000UL))
#define HKEY_CURRENT_USER reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001UL))
#define HKEY_LOCAL_MACHINE reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002UL))
#define HKEY_USERS reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000003UL))
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define ACCESS_SYSTEM_SECURITY 0x01000000
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define REG_OPTION_NON_VOLATILE 0
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

// ---- memory ----
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR 0x0040
#define HEAP_ZERO_MEMORY 0x00000008

// ---- code pages ----
#define CP_ACP 0
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_ERR_INVALID_CHARS 0x00000080

// ---- languages ----
#define LANG_ID_ENGLISH_US 0x0409
#define LANG_ID_CHINESE_TRADITIONAL 0x0404
#define LANG_ID_CHINESE_SIMPLIFIED 0x0804
#define LANG_ID_CHINESE_HONGKONG 0x0C04

// ---- user interface ----
#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_ABORTRETRYIGNORE 0x00000002L
#define MB_YESNOCANCEL 0x00000003L
#define MB_YESNO 0x00000004L
#define MB_RETRYCANCEL 0x00000005L
#define MB_TYPEMASK 0x0000000FL
#define MB_ICONHAND 0x00000010L
#define MB_ICONERROR 0x00000010L
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONWARNING 0x00000030L
#define MB_ICONINFORMATION 0x00000040L
#define MB_SYSTEMMODAL 0x00001000L
#define MB_TOPMOST 0x00040000L
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_SHOWWINDOW 0x0018
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_MOVING 0x0216
#define EM_LIMITTEXT 0x00C5
#define SW_HIDE 0
#define SW_SHOW 5
#define SWP_NOSIZE 0x0001
#define SWP_NOMOVE 0x0002
#define SWP_SHOWWINDOW 0x0040
#define HWND_TOPMOST reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1))
#define HWND_NOTOPMOST reinterpret_cast<HWND>(static_cast<LONG_PTR>(-2))

// ---- CryptoAPI constants ----
#define PROV_RSA_FULL 1
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2

#define CALG_MD2 0x8001
#define CALG_MD4 0x8002
#define CALG_MD5 0x8003
#define CALG_SHA1 0x8004
#define CALG_SHA 0x8004
#define CALG_MAC 0x8005
#define CALG_SSL3_SHAMD5 0x8008
#define CALG_HMAC 0x8009
#define CALG_SHA_256 0x800C
#define CALG_SHA_384 0x800D
#define CALG_SHA_512 0x800E
#define CALG_RSA_SIGN 0x2400
#define CALG_RSA_KEYX 0xA400
#define CALG_DES 0x6601
#define CALG_RC2 0x6602
#define CALG_3DES 0x6603
#define CALG_3DES_112 0x6609
#define CALG_RC4 0x6801

#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040
#define CRYPT_FIRST 1
#define CRYPT_NEXT 2

#define CRYPT_EXPORTABLE 0x00000001
#define CRYPT_USER_PROTECTED 0x00000002
#define CRYPT_CREATE_SALT 0x00000004
#define CRYPT_UPDATE_KEY 0x00000008
#define CRYPT_NO_SALT 0x00000010
#define CRYPT_PREGEN 0x00000040
#define CRYPT_ARCHIVABLE 0x00004000

#define CRYPT_ENCRYPT 0x0001
#define CRYPT_DECRYPT 0x0002
#define CRYPT_EXPORT 0x0004
#define CRYPT_READ 0x0008
#define CRYPT_WRITE 0x0010
#define CRYPT_MAC 0x0020

#define CRYPT_IMPL_HARDWARE 1
#define CRYPT_IMPL_SOFTWARE 2
#define CRYPT_IMPL_MIXED 3
#define CRYPT_IMPL_UNKNOWN 4
#define CRYPT_IMPL_REMOVABLE 8

#define CRYPT_FLAG_PCT1 0x0001
#define CRYPT_FLAG_SSL2 0x0002
#define CRYPT_FLAG_SSL3 0x0004
#define CRYPT_FLAG_TLS1 0x0008
#define CRYPT_FLAG_IPSEC 0x0010
#define CRYPT_FLAG_SIGNING 0x0020

#define CRYPT_MODE_CBC 1
#define CRYPT_MODE_ECB 2
#define CRYPT_MODE_OFB 3
#define CRYPT_MODE_CFB 4
#define PKCS5_PADDING 1

#define PP_ENUMALGS 1
#define PP_ENUMCONTAINERS 2
#define PP_IMPTYPE 3
#define PP_NAME 4
#define PP_VERSION 5
#define PP_CONTAINER 6
#define PP_KEYSET_SEC_DESCR 8
#define PP_PROVTYPE 16
#define PP_ENUMALGS_EX 22
#define PP_KEYSET_TYPE 27
#define PP_USE_HARDWARE_RNG 38
#define PP_KEYSPEC 39

#define KP_IV 1
#define KP_SALT 2
#define KP_PADDING 3
#define KP_MODE 4
#define KP_MODE_BITS 5
#define KP_PERMISSIONS 6
#define KP_ALGID 7
#define KP_BLOCKLEN 8
#define KP_KEYLEN 9
#define KP_SALT_EX 10
#define KP_EFFECTIVE_KEYLEN 19
#define KP_CERTIFICATE 26

#define HP_ALGID 0x0001
#define HP_HASHVAL 0x0002
#define HP_HASHSIZE 0x0004

#define SIMPLEBLOB 0x1
#define PUBLICKEYBLOB 0x6
#define PRIVATEKEYBLOB 0x7
#define CUR_BLOB_VERSION 2

#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000

struct PUBLICKEYSTRUC {
    BYTE bType;
    BYTE bVersion;
    WORD reserved;
    ALG_ID aiKeyAlg;
};
typedef PUBLICKEYSTRUC BLOBHEADER;

struct RSAPUBKEY {
    DWORD magic;
    DWORD bitlen;
    DWORD pubexp;
};

struct PROV_ENUMALGS {
    ALG_ID aiAlgid;
    DWORD dwBitLen;
    DWORD dwNameLen;
    CHAR szName[20];
};

struct PROV_ENUMALGS_EX {
    ALG_ID aiAlgid;
    DWORD dwDefaultLen;
    DWORD dwMinLen;
    DWORD dwMaxLen;
    DWORD dwProtocols;
    DWORD dwNameLen;
    CHAR szName[20];
    DWORD dwLongNameLen;
    CHAR szLongName[40];
};

// The table the platform hands to CPAcquireContext (not used by the provider).
typedef BOOL(WINAPI* CRYPT_VERIFY_IMAGE_A)(LPCSTR szImage, BYTE* pbSigData);
typedef void(WINAPI* CRYPT_RETURN_HWND)(HWND* phWnd);
struct VTableProvStruc {
    DWORD Version;
    void* FuncVerifyImage;
    void* FuncReturnhWnd;
    DWORD dwProvType;
    BYTE* pbContextInfo;
    DWORD cbContextInfo;
    LPSTR pszProvName;
};
typedef VTableProvStruc* PVTableProvStruc;

// ---- CNG constants ----
#define NCRYPT_SILENT_FLAG 0x00000040
#define NCRYPT_MACHINE_KEY_FLAG 0x00000020
#define NCRYPT_OVERWRITE_KEY_FLAG 0x00000080
#define NCRYPT_NO_PADDING_FLAG 0x00000001
#define NCRYPT_PAD_PKCS1_FLAG 0x00000002
#define NCRYPT_PAD_OAEP_FLAG 0x00000004
#define NCRYPT_PAD_PSS_FLAG 0x00000008
#define NCRYPT_CIPHER_OPERATION 0x00000001
#define NCRYPT_HASH_OPERATION 0x00000002
#define NCRYPT_ASYMMETRIC_ENCRYPTION_OPERATION 0x00000004
#define NCRYPT_SECRET_AGREEMENT_OPERATION 0x00000008
#define NCRYPT_SIGNATURE_OPERATION 0x00000010
#define NCRYPT_IMPL_HARDWARE_FLAG 0x00000001
#define NCRYPT_IMPL_SOFTWARE_FLAG 0x00000002
#define NCRYPT_IMPL_REMOVABLE_FLAG 0x00000008
#define NCRYPT_EXPORT_LEGACY_FLAG 0x00000800
#define NCRYPT_KEY_STORAGE_INTERFACE 0x00010001
#define BCRYPT_ASYMMETRIC_ENCRYPTION_INTERFACE 0x00000003
#define NCRYPT_ASYMMETRIC_ENCRYPTION_INTERFACE BCRYPT_ASYMMETRIC_ENCRYPTION_INTERFACE
#define BCRYPT_PAD_PKCS1 0x00000002
#define CRYPT_LOCAL 0x00000001

struct BCRYPT_INTERFACE_VERSION {
    USHORT MajorVersion;
    USHORT MinorVersion;
};

#endif  // _WIN32
