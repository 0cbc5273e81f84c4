#pragma once
// The message handler's alerts as wxWidgets dialogs.

#include <atomic>

#include "messages/msg.h"

namespace ombrel {

// Modal dialogs on the UI thread. Details are shown as expandable text; warnings get the extra
// button "Warnungen ignorieren". Once the application is ending, summary alerts go to stderr
// (answered Ok) while error boxes still show; when no wxApp exists (before start-up or after
// the end) both go to stderr and the answer is Ok.
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
