// Dialog templates 102 (PIN entry) and 131 (retry). The PIN dialog's texts are replaced at run
// time by the localized ones; the resource itself carries the Traditional Chinese texts.
#include "resources/resources.h"

namespace kelm::resources {

using platform::ControlKind;
using platform::DialogControl;
using platform::DialogTemplate;

namespace {

const DialogControl kPinControls[] = {
    {IDC_PIN_EDIT, ControlKind::Edit, "", 7, 40, 90, 14, platform::kEditPassword | platform::kEditAutoHScroll},
    {IDOK, ControlKind::DefPushButton, "確定", 106, 17, 50, 14, 0},
    {-1, ControlKind::Icon, "103", 7, 15, 20, 20, 0},
    {IDC_PIN_LABEL, ControlKind::Label, "密碼(6-16)位元 :", 31, 20, 65, 8, platform::kLabelRight},
    {IDCANCEL, ControlKind::PushButton, "取消", 106, 40, 50, 14, 0},
};

const DialogControl kRetryControls[] = {
    {IDOK, ControlKind::DefPushButton, "換卡", 7, 55, 50, 14, 0},
    {IDCANCEL, ControlKind::PushButton, "取消", 175, 55, 50, 14, 0},
    {IDC_RETYPE_PIN, ControlKind::PushButton, "重敲密碼", 87, 55, 56, 14, 0},
    {-1, ControlKind::Label, "IC卡格式不符合，或密碼不正確；請重新輸入密碼或置換IC卡", 6, 8, 218, 15, 0},
    {-1, ControlKind::Label, "請注意，驗證密碼錯誤超過 (含) 3 次，卡片將被鎖住。", 8, 28, 210, 12, 0},
    {IDC_RETRY_NOTE, ControlKind::Label, "", 96, 25, 14, 11, 0},
};

}  // namespace

extern const DialogTemplate kDialogTable[] = {
    {IDD_PIN, "晶片卡密碼驗證-KELM CSP V5", "細明體", 10, 163, 93, kPinControls,
     sizeof(kPinControls) / sizeof(kPinControls[0])},
    {IDD_RETRY, "  KELM CSP V5", "System", 10, 232, 78, kRetryControls,
     sizeof(kRetryControls) / sizeof(kRetryControls[0])},
};
extern const size_t kDialogTableSize = sizeof(kDialogTable) / sizeof(kDialogTable[0]);

}  // namespace kelm::resources
