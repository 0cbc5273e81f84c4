#include "app/wx_ui_dispatcher.h"

#include <wx/app.h>
#include <wx/thread.h>

#include <mutex>
#include <utility>

namespace ombrel {

// Shared with every queued step, so that a step finds out about Shutdown when it is run.
struct TWxUiDispatcher::TState {
    std::mutex mutex;
    bool shutdown = false;
};

TWxUiDispatcher::TWxUiDispatcher() : iState(std::make_shared<TState>()) {}

bool TWxUiDispatcher::IsUiThread() const {
    return wxIsMainThread();
}

void TWxUiDispatcher::Post(std::function<void()> step) {
    // The lock also keeps Shutdown (and with it the end of the application) from overlapping a
    // post in progress.
    std::lock_guard lock(iState->mutex);
    if (iState->shutdown || !wxTheApp) return;
    wxTheApp->CallAfter([state = iState, step = std::move(step)] {
        {
            std::lock_guard lock(state->mutex);
            if (state->shutdown) return;
        }
        step();
    });
}

void TWxUiDispatcher::Shutdown() {
    std::lock_guard lock(iState->mutex);
    iState->shutdown = true;
}

}  // namespace ombrel
