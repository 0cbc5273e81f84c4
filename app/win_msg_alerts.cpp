#include "app/win_msg_alerts.h"

// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include "app/win_main_window.h"
#include "platform/win32_text.h"

namespace ombrel {
namespace {

constexpr int kIgnoreButton = 1000;

using TTaskDialogIndirect = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

// TaskDialogIndirect of common controls version 6, when there is one. Loaded by name from the
// system folder, so that nothing of the library is imported at start.
TTaskDialogIndirect TaskDialogFunction() {
    HMODULE comctl = LoadLibraryW(L"comctl32.dll");
    if (!comctl) return nullptr;
    return reinterpret_cast<TTaskDialogIndirect>(
        reinterpret_cast<void*>(GetProcAddress(comctl, "TaskDialogIndirect")));
}

HWND DialogOwner() {
    // The installer's window, when it is the active one of this thread.
    return GetActiveWindow();
}

}  // namespace

IMsgAlerts::TAnswer TWinMsgAlerts::ShowAlert(TKind kind, const std::string& caption,
                                             const std::string& mainText,
                                             const std::string& details, bool withIgnoreButton) {
    if (iShuttingDown) return TAnswer::Ok;
    const std::wstring wideCaption = Widen(caption);
    const std::wstring wideText = Widen(mainText);
    const std::wstring wideDetails = Widen(details);
    const std::wstring ignoreLabel = Widen("Warnungen ignorieren");

    if (const auto taskDialog = TaskDialogFunction()) {
        TASKDIALOG_BUTTON ignore{kIgnoreButton, ignoreLabel.c_str()};
        TASKDIALOGCONFIG config{};
        config.cbSize = sizeof config;
        config.hwndParent = DialogOwner();
        config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION;
        config.dwCommonButtons = TDCBF_OK_BUTTON | TDCBF_CANCEL_BUTTON;
        config.pszWindowTitle = wideCaption.c_str();
        config.pszMainIcon = kind == TKind::Error     ? TD_ERROR_ICON
                             : kind == TKind::Warning ? TD_WARNING_ICON
                                                      : TD_INFORMATION_ICON;
        config.pszContent = wideText.c_str();
        if (!wideDetails.empty()) config.pszExpandedInformation = wideDetails.c_str();
        if (withIgnoreButton) {
            config.cButtons = 1;
            config.pButtons = &ignore;
        }
        config.nDefaultButton = IDOK;
        int pressed = IDOK;
        if (SUCCEEDED(taskDialog(&config, &pressed, nullptr, nullptr))) {
            if (pressed == kIgnoreButton) return TAnswer::Ignore;
            return pressed == IDCANCEL ? TAnswer::Cancel : TAnswer::Ok;
        }
    }

    std::wstring text = wideText;
    if (!wideDetails.empty()) text += L"\r\n\r\n" + wideDetails;
    const UINT icon = kind == TKind::Error     ? MB_ICONERROR
                      : kind == TKind::Warning ? MB_ICONWARNING
                                               : MB_ICONINFORMATION;
    // A message box has no button of our own: Ignore stands for "Warnungen ignorieren".
    const UINT buttons = withIgnoreButton ? MB_ABORTRETRYIGNORE : MB_OKCANCEL;
    const int pressed =
        MessageBoxW(DialogOwner(), text.c_str(), wideCaption.c_str(), icon | buttons);
    if (pressed == IDIGNORE) return TAnswer::Ignore;
    return pressed == IDCANCEL || pressed == IDABORT ? TAnswer::Cancel : TAnswer::Ok;
}

IMsgAlerts::TAnswer TWinMsgAlerts::ShowErrorBox(const std::string& text, bool allowRetry) {
    if (iShuttingDown) return TAnswer::Ok;
    const std::wstring wideText = Widen(text);
    const std::wstring caption = L"Fehler";
    if (const auto taskDialog = TaskDialogFunction()) {
        TASKDIALOGCONFIG config{};
        config.cbSize = sizeof config;
        config.hwndParent = DialogOwner();
        config.dwCommonButtons = TDCBF_OK_BUTTON | (allowRetry ? TDCBF_RETRY_BUTTON : 0);
        config.pszWindowTitle = caption.c_str();
        config.pszMainIcon = TD_ERROR_ICON;
        config.pszContent = wideText.c_str();
        int pressed = IDOK;
        if (SUCCEEDED(taskDialog(&config, &pressed, nullptr, nullptr))) {
            return pressed == IDRETRY ? TAnswer::Retry : TAnswer::Ok;
        }
    }
    const int pressed = MessageBoxW(DialogOwner(), wideText.c_str(), caption.c_str(),
                                    MB_ICONERROR | (allowRetry ? MB_RETRYCANCEL : MB_OK));
    return allowRetry && pressed == IDRETRY ? TAnswer::Retry : TAnswer::Ok;
}

}  // namespace ombrel
