// The DLL's resource section read back as Windows reads it (LoadString, FindResource, the
// dialog templates byte by byte, the version record) and compared with the resource
// description the Linux build serves from. A DLL built without one of them fails here.
#include <cstring>
#include <cwctype>

#include "resources/resource_data.h"
#include "wine_test.h"

namespace kelm::wine_test {
namespace {

std::wstring Wide(const char* utf8) {
    wchar_t text[512] = {};
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text, static_cast<int>(std::size(text)));
    return text;
}

// Reads a dialog template (DLGTEMPLATE and its DLGITEMTEMPLATEs) in order.
struct TemplateReader {
    const BYTE* at;
    const BYTE* end;

    bool Fits(size_t size) const { return static_cast<size_t>(end - at) >= size; }
    WORD Word() {
        WORD value = 0;
        if (Fits(2)) std::memcpy(&value, at, 2);
        at += 2;
        return value;
    }
    DWORD Dword() { return Word() | static_cast<DWORD>(Word()) << 16; }
    std::wstring Text() {
        std::wstring text;
        for (WORD c = Word(); c != 0 && at < end; c = Word()) text += static_cast<wchar_t>(c);
        return text;
    }
    // A name or number field: 0xFFFF then a number (written "#number"), else a string.
    std::wstring NameOrNumber() {
        if (Fits(2) && at[0] == 0xFF && at[1] == 0xFF) {
            Word();
            return L"#" + std::to_wstring(Word());
        }
        return Text();
    }
    // A control's class: a predefined class by its number or by its name.
    std::wstring ControlClass() {
        std::wstring name = NameOrNumber();
        if (name == L"#128") return L"BUTTON";
        if (name == L"#129") return L"EDIT";
        if (name == L"#130") return L"STATIC";
        for (wchar_t& c : name) c = static_cast<wchar_t>(towupper(c));
        return name;
    }
    void AlignDword(const BYTE* start) {
        while ((at - start) % 4 != 0) ++at;
    }
};

struct ControlKind {
    const wchar_t* window_class;
    DWORD type;  // the low style bits that give the control's kind
    DWORD type_mask;
};
const ControlKind kEdit{L"EDIT", WS_BORDER, WS_BORDER};
const ControlKind kDefPushButton{L"BUTTON", BS_DEFPUSHBUTTON, 0xF};
const ControlKind kPushButton{L"BUTTON", BS_PUSHBUTTON, 0xF};
const ControlKind kLabel{L"STATIC", SS_LEFT, 0};  // right alignment arrives with the extra style
const ControlKind kIcon{L"STATIC", SS_ICON, SS_TYPEMASK};

void CheckControl(const std::string& where, TemplateReader& r, const BYTE* start, const ControlKind& kind, int id,
                  const std::wstring& text, short x, short y, short cx, short cy, DWORD style) {
    r.AlignDword(start);
    const DWORD actual_style = r.Dword();
    r.Dword();  // extended style
    const short box[4] = {static_cast<short>(r.Word()), static_cast<short>(r.Word()), static_cast<short>(r.Word()),
                          static_cast<short>(r.Word())};
    const WORD actual_id = r.Word();
    const std::wstring window_class = r.ControlClass();
    const std::wstring actual_text = r.NameOrNumber();
    r.at += r.Word();  // creation data
    Check(actual_id == static_cast<WORD>(id) && window_class == kind.window_class && actual_text == text,
          where + ": control id " + std::to_string(id) + " '" + Utf8(text) + "', found id " +
              std::to_string(actual_id) + " " + Utf8(window_class) + " '" + Utf8(actual_text) + "'");
    Check(box[0] == x && box[1] == y && box[2] == cx && box[3] == cy, where + ": control " + std::to_string(id) + " box");
    Check((actual_style & style) == style && (actual_style & kind.type_mask) == kind.type &&
              (actual_style & (WS_CHILD | WS_VISIBLE)) == (WS_CHILD | WS_VISIBLE),
          where + ": control " + std::to_string(id) + " style " + Hex(actual_style));
}

void CheckDialog(HMODULE dll, int id, const char* title, const char* font, WORD points, short cx, short cy,
                 void (*controls)(const std::string&, TemplateReader&, const BYTE*), WORD rows) {
    const std::string where = "dialog " + std::to_string(id);
    HRSRC found = FindResourceA(dll, MAKEINTRESOURCEA(id), RT_DIALOG);
    if (!Check(found != nullptr, where + " is present")) return;
    const BYTE* start = static_cast<const BYTE*>(LockResource(LoadResource(dll, found)));
    TemplateReader r{start, start + SizeofResource(dll, found)};
    const DWORD style = r.Dword();
    r.Dword();  // extended style
    const WORD count = r.Word();
    r.Word(), r.Word();  // position
    const short width = static_cast<short>(r.Word()), height = static_cast<short>(r.Word());
    const std::wstring menu = r.NameOrNumber(), window_class = r.NameOrNumber(), caption = r.Text();
    const WORD font_points = r.Word();
    const std::wstring face = r.Text();
    const DWORD wanted = DS_MODALFRAME | DS_CENTER | DS_SETFONT | WS_POPUP | WS_CAPTION;
    Check((style & wanted) == wanted, where + ": modal, centred, with caption and font, style " + Hex(style));
    Check(width == cx && height == cy && menu.empty() && window_class.empty(), where + ": size");
    Check(caption == Wide(title) && face == Wide(font) && font_points == points,
          where + ": title '" + Utf8(caption) + "', font '" + Utf8(face) + "'");
    Check(count == rows, where + ": " + std::to_string(rows) + " controls, found " + std::to_string(count));
    if (count == rows) controls(where, r, start);
}

// The description's control rows, as checks in template order.
#define KELM_TEXT_Edit(text) Wide(text)
#define KELM_TEXT_DefPushButton(text) Wide(text)
#define KELM_TEXT_PushButton(text) Wide(text)
#define KELM_TEXT_Label(text) Wide(text)
#define KELM_TEXT_Icon(number) (L"#" + std::to_wstring(number))
#define KELM_CHECK_CONTROL(kind, id, text, x, y, cx, cy, style) \
    CheckControl(where, r, start, k##kind, id, KELM_TEXT_##kind(text), x, y, cx, cy, style);
void PinControls(const std::string& where, TemplateReader& r, const BYTE* start) {
    KELM_PIN_CONTROLS(KELM_CHECK_CONTROL)
}
void RetryControls(const std::string& where, TemplateReader& r, const BYTE* start) {
    KELM_RETRY_CONTROLS(KELM_CHECK_CONTROL)
}
#define KELM_PIN_CONTROLS_CHECKS PinControls
#define KELM_RETRY_CONTROLS_CHECKS RetryControls

std::string VersionString(const std::vector<BYTE>& info, const char* name) {
    char* value = nullptr;
    UINT length = 0;
    const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length)) return "(missing)";
    return std::string(value, length > 0 ? length - 1 : 0);
}

}  // namespace

void CheckResources(const char* dll) {
    HMODULE module = LoadLibraryExA(dll, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!Check(module != nullptr, std::string("load ") + dll + " for its resources")) return;

    // String table: every number of the three languages, texts exact.
    struct Row {
        UINT id;
        const char* text;
    };
#define KELM_STRING_ROW(id, text) {id, text},
    const Row strings[] = {KELM_STRING_TABLE(KELM_STRING_ROW)};
    for (const Row& row : strings) {
        wchar_t text[512] = {};
        LoadStringW(module, row.id, text, static_cast<int>(std::size(text)));
        Check(text == Wide(row.text), "string " + std::to_string(row.id) + ": '" + Utf8(text) + "'");
    }

    // Dialogs 102 and 131, and the icon the PIN dialog shows.
#define KELM_ONE_MORE(...) 1 +
#define KELM_CHECK_DIALOG(id, title, font, points, cx, cy, controls) \
    CheckDialog(module, id, title, font, points, cx, cy, controls##_CHECKS, controls(KELM_ONE_MORE) 0);
    KELM_DIALOGS(KELM_CHECK_DIALOG)
    Check(FindResourceA(module, MAKEINTRESOURCEA(KELM_IDI_CARD), RT_GROUP_ICON) != nullptr,
          "icon " + std::to_string(KELM_IDI_CARD) + " is present");

    // Data resource 666: 00 11 22 ... FF, nine times over.
    HRSRC data = FindResourceA(module, MAKEINTRESOURCEA(666), RT_RCDATA);
    if (Check(data != nullptr && SizeofResource(module, data) == 144, "data resource 666 of 144 bytes")) {
        const BYTE* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module, data)));
        bool pattern = true;
        for (size_t i = 0; i < 144; ++i) pattern = pattern && bytes[i] == (i % 16) * 0x11;
        Check(pattern, "data resource 666 holds 00 11 22 ... FF nine times");
    }
    FreeLibrary(module);

    // Version record.
    std::vector<BYTE> info(GetFileVersionInfoSizeA(dll, nullptr));
    if (!Check(!info.empty() && GetFileVersionInfoA(dll, 0, static_cast<DWORD>(info.size()), info.data()),
               "the version record is present"))
        return;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    const WORD numbers[4] = {KELM_VERSION_NUMBERS};
    Check(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length) &&
              fixed->dwFileVersionMS == static_cast<DWORD>(MAKELONG(numbers[1], numbers[0])) &&
              fixed->dwFileVersionLS == static_cast<DWORD>(MAKELONG(numbers[3], numbers[2])) &&
              fixed->dwProductVersionMS == fixed->dwFileVersionMS && fixed->dwProductVersionLS == fixed->dwFileVersionLS,
          "file and product version " KELM_VERSION_TEXT);
    for (const auto& [name, text] : {std::pair{"FileVersion", KELM_VERSION_TEXT},
                                     {"ProductVersion", KELM_VERSION_TEXT},
                                     {"OriginalFilename", KELM_ORIGINAL_FILENAME},
                                     {"FileDescription", KELM_FILE_DESCRIPTION},
                                     {"ProductName", KELM_PRODUCT_NAME}}) {
        Check(VersionString(info, name) == text, std::string("version ") + name + ": '" + VersionString(info, name) + "'");
    }
}

}  // namespace kelm::wine_test
