// The PKCS #11 interface as p11-kit's header (Debian libp11-kit-dev) defines it: types, constants
// and the function list. On Windows the header packs its structures to one byte, as the
// applications that load modules there expect.
#pragma once

#include "kelm/windows_types.h"

#include <p11-kit/pkcs11.h>
