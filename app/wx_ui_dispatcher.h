#pragma once
// The UI hand-off over the wxWidgets event loop.

#include <memory>

#include "platform/ui_dispatcher.h"

namespace ombrel {

// Runs posted steps on the wxWidgets main thread through wxTheApp->CallAfter. Create it after
// the wxApp exists; call Shutdown before the windows that the steps use go away: from then on
// queued and new steps are dropped instead of running against destroyed windows.
class TWxUiDispatcher : public IUiDispatcher {
  public:
    TWxUiDispatcher();

    bool IsUiThread() const override;
    void Post(std::function<void()> step) override;
    void Shutdown() override;

  private:
    struct TState;
    std::shared_ptr<TState> iState;
};

}  // namespace ombrel
