#pragma once
// The message handler's alerts as wxWidgets dialogs.

#include <atomic>

#include "messages/msg.h"

namespace ombrel {

// Modal dialogs on the UI thread. Details are shown as expandable text; warnings get the extra
// button "Warnungen ignorieren". When no wxApp exists (before start-up or after the end) the
// texts go to stderr instead and the answer is Ok, as for a shutting-down application.
class TWxMsgAlerts : public IMsgAlerts {
  public:
    TAnswer ShowAlert(TKind kind, const std::string& caption, const std::string& mainText,
                      const std::string& details, bool withIgnoreButton) override;
    TAnswer ShowErrorBox(const std::string& text, bool allowRetry) override;
    bool IsShuttingDown() const override;

    // Called by the application when its main loop has ended.
    void SetShuttingDown() { iShuttingDown = true; }

  private:
    std::atomic<bool> iShuttingDown{false};
    TConsoleMsgAlerts iConsole;
};

}  // namespace ombrel
