/* An application written in C that knows the provider only by its public headers: it loads
 * libKelmKSPv5.so with dlopen, opens a verification context, lists the card's containers and
 * runs the exported PIN check, printing what it sees. The card is whatever the platform's PC/SC
 * offers, so the test chooses it with KELM_PCSC. Usage: provider_client PROVIDER.so */
#include <dlfcn.h>
#include <stdio.h>

#include "kelm/csp.h"
#include "kelm/winapi.h"

typedef DWORD(WINAPI* PFN_GetLastError)(void);

/* The POSIX way to turn dlsym's object pointer into a function pointer. */
static void Bind(void* library, const char* name, void* function_pointer) {
    *(void**)function_pointer = dlsym(library, name);
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        printf("dlopen: %s\n", dlerror());
        return 2;
    }
    PFN_CPAcquireContext acquire = NULL;
    PFN_CPGetProvParam get = NULL;
    PFN_CPReleaseContext release = NULL;
    PFN_DoCheckDialog check = NULL;
    PFN_GetLastError last_error = NULL; /* from the platform library the provider imports */
    Bind(library, "CPAcquireContext", &acquire);
    Bind(library, "CPGetProvParam", &get);
    Bind(library, "CPReleaseContext", &release);
    Bind(library, "DoCheckDialog", &check);
    Bind(library, "GetLastError", &last_error);
    if (!acquire || !get || !release || !check || !last_error) return 2;

    HCRYPTPROV prov = 0;
    if (!acquire(&prov, NULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT, NULL)) {
        printf("CPAcquireContext failed: 0x%08X\n", (unsigned)last_error());
        return 1;
    }
    char name[64];
    DWORD size = sizeof name;
    for (DWORD flags = CRYPT_FIRST; get(prov, PP_ENUMCONTAINERS, (BYTE*)name, &size, flags); flags = 0) {
        printf("container %s\n", name);
        size = sizeof name;
    }
    printf("PIN check: %d\n", check(0));
    release(prov, 0);
    return 0;
}
