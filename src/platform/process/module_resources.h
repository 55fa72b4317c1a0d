// Resources of a loaded module (string table, dialog templates, data resources), registered by
// the module when it loads: the Linux stand-in for a DLL's resource section. LoadStringA and
// DialogBoxParamA look them up by module handle.
#pragma once

#include <cstddef>

#include "kelm/windows_types.h"
#include "platform/export.h"

namespace kelm::platform {

struct StringResource {
    UINT id;
    const char* text;  // UTF-8
};

enum class ControlKind { PushButton, DefPushButton, Edit, Label, Icon };

struct DialogControl {
    int id;  // -1 for a static control without an id
    ControlKind kind;
    const char* text;  // UTF-8; for an icon, the icon resource number as text
    short x, y, cx, cy;  // dialog units
    DWORD style;         // ES_PASSWORD and the like, informational
};

struct DialogTemplate {
    int id;
    const char* title;  // UTF-8
    const char* font_face;
    int font_points;
    short cx, cy;
    const DialogControl* controls;
    size_t control_count;
};

struct DataResource {
    int type;  // RT_RCDATA is 10
    int id;
    const BYTE* bytes;
    size_t size;
};

struct ModuleResources {
    const StringResource* strings;
    size_t string_count;
    const DialogTemplate* dialogs;
    size_t dialog_count;
    const DataResource* data;
    size_t data_count;
};

// Edit-control styles recorded in templates.
constexpr DWORD kEditPassword = 0x0020;
constexpr DWORD kEditAutoHScroll = 0x0080;
constexpr DWORD kLabelRight = 0x0002;

// The handle of the module (shared library or executable) that contains `address`.
KELM_PLATFORM_API HMODULE ModuleHandleFromAddress(const void* address);
// Registers (or replaces) the resources of `module`. The tables must outlive the registration.
KELM_PLATFORM_API void RegisterModuleResources(HMODULE module, const ModuleResources* resources);
KELM_PLATFORM_API const ModuleResources* FindModuleResources(HMODULE module);
KELM_PLATFORM_API const DialogTemplate* FindDialogTemplate(HMODULE module, int id);

}  // namespace kelm::platform
