#include "app/wx_msg_alerts.h"

#include <wx/app.h>
#include <wx/richmsgdlg.h>

#include "io/text.h"

namespace ombrel {
namespace {

// Texts of the handler end lines with CR LF; the toolkit wants LF alone.
wxString ToWx(const std::string& text) {
    // Bytes that are no UTF-8 become U+FFFD rather than emptying the whole text.
    const std::string utf8 = DecodeText(text, TTextEncoding::Utf8);
    wxString result = wxString::FromUTF8(utf8.data(), utf8.size());
    result.Replace("\r\n", "\n");
    return result;
}

wxWindow* DialogParent() {
    return wxTheApp ? wxTheApp->GetTopWindow() : nullptr;
}

}  // namespace

bool TWxMsgAlerts::IsShuttingDown() const {
    return iShuttingDown || !wxTheApp;
}

IMsgAlerts::TAnswer TWxMsgAlerts::ShowAlert(TKind kind, const std::string& caption,
                                            const std::string& mainText, const std::string& details,
                                            bool withIgnoreButton) {
    if (IsShuttingDown()) {
        return iConsole.ShowAlert(kind, caption, mainText, details, withIgnoreButton);
    }
    long style = kind == TKind::Error     ? wxICON_ERROR
                 : kind == TKind::Warning ? wxICON_WARNING
                                          : wxICON_INFORMATION;
    // With the ignore button the three buttons are Yes (OK, the default), No (ignore) and
    // Cancel; otherwise the plain OK and Cancel.
    style |= withIgnoreButton ? (wxYES_NO | wxCANCEL | wxYES_DEFAULT) : (wxOK | wxCANCEL);
    wxRichMessageDialog dialog(DialogParent(), ToWx(mainText), ToWx(caption), style);
    if (withIgnoreButton) {
        dialog.SetYesNoCancelLabels("OK", ToWx("Warnungen ignorieren"), "Abbrechen");
    } else {
        dialog.SetOKCancelLabels("OK", "Abbrechen");
    }
    if (!details.empty()) dialog.ShowDetailedText(ToWx(details));
    switch (dialog.ShowModal()) {
        case wxID_NO:
            return TAnswer::Ignore;
        case wxID_CANCEL:
            return TAnswer::Cancel;
        default:
            return TAnswer::Ok;
    }
}

IMsgAlerts::TAnswer TWxMsgAlerts::ShowErrorBox(const std::string& text, bool allowRetry) {
    // Unlike the summary alert, the error box still shows while the application ends: the log
    // is written then, and the user must learn that it was lost (and may retry).
    if (!wxTheApp) return iConsole.ShowErrorBox(text, allowRetry);
    try {
        long style = wxICON_ERROR | (allowRetry ? (wxYES_NO | wxYES_DEFAULT) : wxOK);
        wxRichMessageDialog dialog(DialogParent(), ToWx(text), ToWx("Fehler"), style);
        if (allowRetry) {
            dialog.SetYesNoLabels("OK", "Wiederholen");
        } else {
            dialog.SetOKLabel("OK");
        }
        const int pressed = dialog.ShowModal();
        return allowRetry && pressed == wxID_NO ? TAnswer::Retry : TAnswer::Ok;
    } catch (...) {
        return TAnswer::Ok;
    }
}

}  // namespace ombrel
