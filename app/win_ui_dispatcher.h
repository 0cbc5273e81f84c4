#pragma once
// The UI hand-off over the Win32 message loop.

#include <windows.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/ui_dispatcher.h"

namespace ombrel {

// Runs posted steps on the thread that created it, through a message-only window: Post queues
// the step and posts a message, which that thread's message loop (or
// IMainView::ProcessPendingEvents) delivers. Create it on the UI thread before the first Post;
// call Shutdown before the windows that the steps use go away: from then on queued and new steps
// are dropped instead of running against destroyed windows.
class TWinUiDispatcher : public IUiDispatcher {
  public:
    TWinUiDispatcher();
    ~TWinUiDispatcher() override;

    bool IsUiThread() const override;
    void Post(std::function<void()> step) override;
    void Shutdown() override;

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void RunQueued();

    DWORD iUiThread;
    HWND iWindow = nullptr;
    std::mutex iMutex;
    std::deque<std::function<void()>> iSteps;
    bool iShutdown = false;
};

}  // namespace ombrel
