#pragma once
// The installer's window drawn with the Win32 API. It only draws: TFrmMain decides.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "app/main_form.h"

namespace ombrel {

// The taskbar button's progress (the shell's ITaskbarList3). A seam of its own, because the shell
// may do nothing with it (Wine, a desktop without a taskbar) and tests want to see the calls.
class ITaskbarButton {
  public:
    virtual ~ITaskbarButton() = default;

    // The shell announced the window's button ("TaskbarButtonCreated"); progress set before that
    // is applied now.
    virtual void ButtonCreated(HWND window) = 0;
    // Progress `value` of 100, not clamped, and the state Normal or Error.
    virtual void SetProgress(HWND window, int32_t value, TTaskbarState state) = 0;
};

using ITaskbarButtonPtr = std::shared_ptr<ITaskbarButton>;

// ITaskbarList3 of the shell: SetProgressValue(value, 100), then SetProgressState with
// TBPF_NORMAL or TBPF_ERROR. A negative value is given to the shell as 0, which takes no
// negative numbers. Needs COM initialised on the UI thread.
class TShellTaskbarButton : public ITaskbarButton {
  public:
    TShellTaskbarButton();
    ~TShellTaskbarButton() override;
    void ButtonCreated(HWND window) override;
    void SetProgress(HWND window, int32_t value, TTaskbarState state) override;

  private:
    void Apply(HWND window);

    struct TList;
    std::unique_ptr<TList> iList;
    int32_t iValue = 0;
    TTaskbarState iState = TTaskbarState::Normal;
};

// A window of fixed size with a client area of 507×40 at 96 pixels per inch (scaled for the
// monitor's DPI): a marquee progress bar and the one-line progress text on top (shown as it is,
// without mnemonics, long paths shortened with an ellipsis), and below them the error panel
// ("Fehler" and a read-only list), which gets room only when the window grows. It owns its
// TFrmMain and runs its start sequence while it is created, before it is shown. Destroying it
// shuts `dispatcher` down, so that steps of a run still in progress no longer reach it, and ends
// the message loop (PostQuitMessage).
class TWinMainWindow : public IMainView {
  public:
    // Creates the window (hidden) and runs TFrmMain::FormCreate with `arguments`.
    // `resourceReader` empty means the installer's own INSTRUCTION resource.
    TWinMainWindow(const std::vector<std::string>& arguments, IUiDispatcherPtr dispatcher,
                   IProcessLauncherPtr launcher, ITaskbarButtonPtr taskbar,
                   TApp::TResourceReader resourceReader = {});
    ~TWinMainWindow() override;
    TWinMainWindow(const TWinMainWindow&) = delete;
    TWinMainWindow& operator=(const TWinMainWindow&) = delete;

    // Centres the window on its monitor's work area, shows it and brings it to the front.
    void ShowCentred();

    HWND Handle() const { return iWindow; }
    TFrmMain& Logic() { return *iLogic; }
    // The window's current outer size and the texts of its controls, for tests.
    SIZE OuterSize() const;
    std::string ProgressText() const;
    std::string ErrorText() const;
    bool ErrorPanelVisible() const;
    bool MarqueeRunning() const { return iMarqueeRunning; }

    // IMainView
    void SetCaption(const std::string& caption) override;
    void SetProgressText(const std::string& text) override;
    void SetTaskbarProgress(int32_t value, TTaskbarState state) override;
    void SetOuterHeight(int pixels) override;
    void SetActivityIndicator(bool running) override;
    void AppendErrorLine(const std::string& line) override;
    void ProcessPendingEvents() override;
    void StartTimer(int milliseconds) override;
    void StopTimer() override;
    void CloseWindow() override;

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    int Scale(int pixels) const;
    void CreateFonts();
    void LayoutControls();

    IUiDispatcherPtr iDispatcher;
    ITaskbarButtonPtr iTaskbar;
    HWND iWindow = nullptr;
    HWND iMarquee = nullptr;
    HWND iLbProgress = nullptr;
    HWND iLbErrorCaption = nullptr;
    HWND iMemError = nullptr;
    HFONT iFont = nullptr;
    HFONT iMemoFont = nullptr;
    UINT iDpi = 96;
    UINT iTaskbarButtonCreated = 0;
    bool iMarqueeRunning = false;
    // The outer height in pixels at 96 DPI that TFrmMain asked for; 0 for the initial size.
    int iOuterHeight96 = 0;
    std::unique_ptr<TFrmMain> iLogic;
};

}  // namespace ombrel
