// Where the window saves a modem log: replacing only a file the dialog asked about, else the first free name.
#include "app/LogSave.h"

namespace {

// "modem.log" -> "modem-2.log" for attempt 1; an extension is kept only in the last part of the path.
std::wstring NumberedName(const std::wstring& chosen, unsigned attempt) {
    if (attempt == 0) return chosen;
    const std::size_t slash = chosen.find_last_of(L"\\/");
    const std::size_t dot = chosen.rfind(L'.');
    const bool hasExtension = dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash + 1);
    const std::size_t cut = hasExtension ? dot : chosen.size();
    return chosen.substr(0, cut) + L"-" + std::to_wstring(attempt + 1) + chosen.substr(cut);
}

}  // namespace

LogSavePlan PlanLogSave(const std::wstring& chosen, bool existed) {
    LogSavePlan plan;
    plan.replace = existed;
    plan.names = [chosen](unsigned attempt) { return NumberedName(chosen, attempt); };
    return plan;
}

std::wstring LogSavedText(const std::wstring& chosen, const std::wstring& savedAs, bool legacy) {
    std::wstring text = L"Modem log saved: " + savedAs;
    if (legacy) text += L" (legacy 256-byte protocol)";
    if (savedAs != chosen) {
        text += L"\n\n" + chosen + L" was created by someone else during the download and was left as it is; the log "
                L"took the next free name.";
    }
    return text;
}
