#pragma once
// The message handler's alerts as Windows task dialogs.

#include <atomic>

#include "messages/msg.h"

namespace ombrel {

// Modal task dialogs on the UI thread (common controls version 6, which the installer's manifest
// asks for): caption and main icon by kind, the details as expandable text, the buttons OK and
// Cancel, and for warnings the extra button "Warnungen ignorieren". Where task dialogs are not
// available, a message box of the kind's type shows the main text and the details. The error
// box offers OK and Retry ("Wiederholen").
class TWinMsgAlerts : public IMsgAlerts {
  public:
    TAnswer ShowAlert(TKind kind, const std::string& caption, const std::string& mainText,
                      const std::string& details, bool withIgnoreButton) override;
    TAnswer ShowErrorBox(const std::string& text, bool allowRetry) override;
    bool IsShuttingDown() const override { return iShuttingDown; }

    // Called when the message loop has ended.
    void SetShuttingDown() { iShuttingDown = true; }

  private:
    std::atomic<bool> iShuttingDown{false};
};

}  // namespace ombrel
