// FormView: what the transfer needs of the download form.
//
// The worker reads the transfer kind at each decision, writes its progress
// texts into the status label and enables the send button at the end. The
// main frame calls SetStatusText and EnableSendButton on the user-interface
// thread only (it goes through the window side to get there); TransferKind
// may be read from any thread.
#pragma once

#include <string>

namespace dravel {

class FormView {
public:
    virtual ~FormView() = default;
    virtual int TransferKind() const = 0;
    virtual void SetStatusText(const std::string& text) = 0;
    virtual void EnableSendButton(bool enable) = 0;
};

}  // namespace dravel
