// The scripted responder of tests: queued answers, and a record of every box and dialog.
#include "platform/ui/ui_responders.h"

namespace kelm::platform {

size_t ScriptedResponder::BoxCount() const {
    size_t count = 0;
    for (const Event& event : events_) count += event.is_dialog ? 0 : 1;
    return count;
}

size_t ScriptedResponder::DialogCount() const { return events_.size() - BoxCount(); }

ScriptedResponder::~ScriptedResponder() { Clear(); }

void ScriptedResponder::Clear() {
    for (std::optional<DialogAction>& action : dialog_actions_) {
        if (action) WipeString(action->edit_text);
    }
    box_answers_.clear();
    dialog_actions_.clear();
    events_.clear();
}

int ScriptedResponder::MessageBox(const MessageBoxShown& box) {
    events_.push_back(Event{false, box, {}});
    if (box_answers_.empty()) return UnattendedAnswer(box.type);
    int answer = box_answers_.front();
    box_answers_.pop_front();
    return answer;
}

std::optional<DialogAction> ScriptedResponder::Dialog(const DialogShown& dialog) {
    events_.push_back(Event{true, {}, dialog});
    if (dialog_actions_.empty()) return DialogAction{IDCANCEL, {}};
    std::optional<DialogAction> action = std::move(dialog_actions_.front());
    dialog_actions_.pop_front();
    return action;
}

}  // namespace kelm::platform
