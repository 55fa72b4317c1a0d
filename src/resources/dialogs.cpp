// Dialog templates 102 (PIN entry) and 131 (retry) as the Linux platform runs them. The PIN
// dialog's texts are replaced at run time by the localized ones; the resource itself carries
// the Traditional Chinese texts.
#include <iterator>

#include "resources/resource_data.h"
#include "resources/resources.h"

namespace kelm::resources {

using platform::ControlKind;
using platform::DialogControl;
using platform::DialogTemplate;

namespace {

// A control's text; an icon's is the number of its icon resource, written out.
#define KELM_TEXT_OF_Edit(text) text
#define KELM_TEXT_OF_DefPushButton(text) text
#define KELM_TEXT_OF_PushButton(text) text
#define KELM_TEXT_OF_Label(text) text
#define KELM_TEXT_OF_Icon(number) KELM_NUMBER_TEXT(number)
#define KELM_NUMBER_TEXT(number) #number
#define KELM_CONTROL_ROW(kind, id, text, x, y, cx, cy, style) \
    {id, ControlKind::kind, KELM_TEXT_OF_##kind(text), x, y, cx, cy, style},

const DialogControl kPinControls[] = {KELM_PIN_CONTROLS(KELM_CONTROL_ROW)};
const DialogControl kRetryControls[] = {KELM_RETRY_CONTROLS(KELM_CONTROL_ROW)};

}  // namespace

// Each dialog row names its control list; these are the lists' tables.
#define KELM_PIN_CONTROLS_TABLE kPinControls
#define KELM_RETRY_CONTROLS_TABLE kRetryControls
#define KELM_DIALOG_ROW(id, title, font, points, cx, cy, controls) \
    {id, title, font, points, cx, cy, controls##_TABLE, std::size(controls##_TABLE)},

extern const DialogTemplate kDialogTable[] = {KELM_DIALOGS(KELM_DIALOG_ROW)};
extern const size_t kDialogTableSize = std::size(kDialogTable);

}  // namespace kelm::resources
