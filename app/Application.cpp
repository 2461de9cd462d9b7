// The controller of the main window: its controls, painting, and the modem operations run on worker threads.
#include "app/Application.h"

#include <commctrl.h>
#include <commdlg.h>
#include <gdiplus.h>

#include <cwchar>
#include <system_error>
#include <thread>
#include <utility>

#include "app/LogSave.h"
#include "app/LogText.h"
#include "app/PortList.h"
#include "app/Registry.h"
#include "app/SessionEnd.h"
#include "console/Console.h"
#include "modemlog/ModemLog.h"
#include "update/Update.h"

namespace {

namespace Gdip = Gdiplus::DllExports;

constexpr const wchar_t* kCaption = L"Brisklode";
constexpr const wchar_t* kChecksumOk = L"Checksum OK on Modem";
constexpr const wchar_t* kLegacyDone =
    L"Legacy transfer complete. Final modem checksum status unavailable; after reboot, check that the new "
    L"firmware version is running.";
constexpr const wchar_t* kUpdfastQuestion =
    L"This modem firmware does not support UPDFAST.\n\nUse the slow legacy UPDATE protocol instead?\n\nNote: "
    L"legacy UPDATE acknowledges every 256-byte block, but cannot report the final modem-side checksum result.";

// A record that cannot be posted (the window is gone) is never received, so its poster frees it.
template <typename Record>
void Post(HWND window, UINT message, Record* record) {
    if (!PostMessageW(window, message, 0, reinterpret_cast<LPARAM>(record))) delete record;
}

void PostResult(HWND window, OperationKind kind, bool success, std::wstring text, bool legacy = false) {
    auto* result = new OperationResult;
    result->kind = static_cast<std::int32_t>(kind);
    result->success = success;
    result->legacy = legacy;
    result->text = std::move(text);
    Post(window, WM_APP_RESULT, result);
}

// Every operation reports through the same callback: it knows only the window.
ProgressCallback ProgressPoster(HWND window) {
    return [window](int percent, const std::string& stage, const std::string& detail) {
        auto* update = new ProgressUpdate;
        update->percent = percent;
        update->stage = Utf8ToWide(stage);
        update->detail = Utf8ToWide(detail);
        Post(window, WM_APP_PROGRESS, update);
    };
}

HFONT MakeFont(const wchar_t* face, int height, int weight) {
    return CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
}

void ConnectionWorker(HWND window, ITransport* link) {
    std::string error;
    bool ok = link->Open(error);
    ModemIdentity identity;
    if (ok) ok = CheckModemIdentity(*link, identity, error);
    if (ok) {
        auto* update = new ProgressUpdate;
        update->percent = 0;
        update->connectedTo = Utf8ToWide(identity.model) + L", firmware " + Utf8ToWide(identity.firmware);
        update->stage = L"Connected: " + update->connectedTo;
        update->detail = L"V ###: " + Utf8ToWide(identity.response);
        Post(window, WM_APP_PROGRESS, update);
    } else {
        link->Close();
    }
    PostResult(window, OperationKind::Connection, ok, ok ? L"Modem connection established" : Utf8ToWide(error));
}

void UpdateWorker(HWND window, std::wstring path, ITransport* link, std::shared_ptr<std::atomic<bool>> cancel) {
    std::string error;
    std::vector<unsigned char> image;
    const ProgressCallback progress = ProgressPoster(window);
    bool ok = LoadFirmwareFile(path, image, error);
    bool legacy = false;
    if (ok) {
        const int result = RunFastUpdate(*link, image, *cancel, progress, error);
        if (result == static_cast<int>(UpdateResult::NotSupported) && !cancel->load()) {
            // Shown on this thread, so the window's own loop goes on meanwhile: a close then asks and waits
            // for this update's result like any close while busy; the window outlives the box.
            const int answer = MessageBoxW(window, kUpdfastQuestion, L"UPDFAST not available", MB_ICONWARNING | MB_YESNO);
            if (answer == IDYES) {
                error.clear();
                ok = RunLegacyUpdate(*link, image, *cancel, progress, error);
                legacy = ok;
            } else {
                ok = false;
            }
        } else {
            ok = result == static_cast<int>(UpdateResult::Installed);
        }
    }
    link->Close();
    std::wstring text;
    if (ok) {
        text = legacy ? kLegacyDone : kChecksumOk;
    } else {
        text = Utf8ToWide(error);
    }
    PostResult(window, OperationKind::Update, ok, std::move(text), legacy);
}

void LogDownloadWorker(HWND window, std::wstring path, bool existed, ITransport* link,
                       std::shared_ptr<std::atomic<bool>> cancel) {
    // Streamed into the file as it arrives, with the same safe save as the command line: the window's
    // memory does not grow with the log, and an existing file is replaced only by a complete log, and only
    // when the dialog asked about replacing it.
    std::string error;
    LogFileOutcome outcome;
    const LogSavePlan plan = PlanLogSave(path, existed);
    const int result = plan.replace
                           ? DownloadModemLogToFile(*link, path, *cancel, ProgressPoster(window), outcome, error)
                           : DownloadModemLogToNewFile(*link, plan.names, *cancel, ProgressPoster(window), outcome, error);
    const bool ok = result != static_cast<int>(LogDownloadResult::Failed);
    if (!ok) link->Close();
    std::wstring text;
    if (ok) {
        text = LogSavedText(path, outcome.path, result == static_cast<int>(LogDownloadResult::LegacyComplete));
        path = outcome.path;
    } else {
        text = Utf8ToWide(LogFileFailureText(error, WideToUtf8(path), outcome));
    }
    // A file written in place says so, and after a failure or Cancel that it holds part of a log: the
    // chosen file was changed.
    const std::string note = InPlaceNote(WideToUtf8(path), outcome, ok);
    if (!note.empty()) text += L"\n\nWARNING: " + Utf8ToWide(note);
    PostResult(window, OperationKind::LogDownload, ok, std::move(text));
}

// The log box is a multiline edit: under the dialog navigation it takes Esc for itself and answers it by
// posting WM_CLOSE to its parent, which would close the window. Esc there means what it means everywhere in
// the window: Cancel while busy, nothing otherwise.
LRESULT CALLBACK LogBoxProcedure(HWND box, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id, DWORD_PTR) {
    if (message == WM_KEYDOWN && wParam == VK_ESCAPE) {
        SendMessageW(GetParent(box), WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
        return 0;
    }
    if (message == WM_NCDESTROY) RemoveWindowSubclass(box, LogBoxProcedure, id);
    return DefSubclassProc(box, message, wParam, lParam);
}

// Starts a worker in `slot`, after the one before it there, which has already posted its result. A thread
// that cannot be started is reported like a failed operation, through the same message, so that the window
// leaves its busy state the usual way.
template <typename... Args>
bool Launch(std::thread& slot, Args&&... args) {
    try {
        if (slot.joinable()) slot.join();
        slot = std::thread(std::forward<Args>(args)...);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

// Answers No to every question box that a worker shows over `owner`: the box runs on the worker's thread,
// so it is told by message, as a click would tell it.
void AnswerQuestionsNo(HWND owner) {
    EnumWindows(
        [](HWND box, LPARAM lParam) -> BOOL {
            if (GetWindow(box, GW_OWNER) == reinterpret_cast<HWND>(lParam)) PostMessageW(box, WM_COMMAND, IDNO, 0);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(owner));
}

constexpr const wchar_t* kNoThread = L"Cannot start a worker thread";

void DiscoveryWorker(HWND window, bool background, const std::atomic<bool>* stopping) {
    auto* message = new DiscoveryMessage;
    message->background = background;
    std::string error;
    message->modems = DiscoverModems(2000, error, stopping);
    message->error = Utf8ToWide(error);
    Post(window, WM_APP_DISCOVERY, message);
}

}  // namespace

Application::Application(HWND window) : window(window), cancelRequested(std::make_shared<std::atomic<bool>>(false)) {
    const UINT windowDpi = GetDpiForWindow(window);
    dpi = windowDpi > 0 ? static_cast<int>(windowDpi) : kBaseDpi;
    CreateFonts();
    backgroundBrush = CreateSolidBrush(RGB(247, 247, 248));
    headerBrush = CreateSolidBrush(RGB(255, 255, 255));
    successBrush = CreateSolidBrush(RGB(224, 246, 232));

    titlePrefixLabel = Add(L"STATIC", L"Brisk", 0, 0);
    SendMessageW(titlePrefixLabel, WM_SETFONT, reinterpret_cast<WPARAM>(titleFont), TRUE);
    titleLabel = Add(L"STATIC", L"lode", 0, 0);
    SendMessageW(titleLabel, WM_SETFONT, reinterpret_cast<WPARAM>(titleFont), TRUE);
    subtitleLabel = Add(L"STATIC", L"Fast firmware update for Velmor modems", 0, 0);
    logoLabel = Add(L"STATIC", L"Velmor", SS_RIGHT, 0);
    SendMessageW(logoLabel, WM_SETFONT, reinterpret_cast<WPARAM>(logoFont), TRUE);
    companyLabel = Add(L"STATIC", L"Velmor", SS_RIGHT, 0);
    Add(L"STATIC", L"Firmware file", 0, 0);
    firmwareEdit = Add(L"EDIT", L"", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, IdFirmwareEdit, WS_EX_CLIENTEDGE);
    browseButton = Add(L"BUTTON", L"Browse...", WS_TABSTOP, IdBrowse);
    connectionLabel = Add(L"STATIC", L"Connection", 0, 0);
    comPortRadio = Add(L"BUTTON", L"COM port", WS_GROUP | WS_TABSTOP | BS_PUSHLIKE | BS_AUTORADIOBUTTON, IdComPortRadio);
    SendMessageW(comPortRadio, BM_SETCHECK, BST_CHECKED, 0);
    networkRadio = Add(L"BUTTON", L"Network / Telnet", WS_TABSTOP | BS_PUSHLIKE | BS_AUTORADIOBUTTON, IdNetworkRadio);
    // The radio pair ends here: arrow keys move between the two buttons only.
    portLabel = Add(L"STATIC", L"Port", WS_GROUP, 0);
    portCombo = Add(L"ComboBox", L"", WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST, IdPortCombo);
    refreshButton = Add(L"BUTTON", L"Refresh", WS_TABSTOP, IdRefresh);
    discoveredLabel = Add(L"STATIC", L"Discovered modem", 0, 0);
    discoveredCombo = Add(L"ComboBox", L"", WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST, IdDiscoveredCombo);
    discoverButton = Add(L"BUTTON", L"Discover", WS_TABSTOP, IdDiscover);
    addressLabel = Add(L"STATIC", L"Address", 0, 0);
    addressEdit = Add(L"EDIT", L"", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, IdAddressEdit, WS_EX_CLIENTEDGE);
    telnetPortLabel = Add(L"STATIC", L"Telnet port", 0, 0);
    telnetPortEdit = Add(L"EDIT", L"3000", WS_BORDER | WS_TABSTOP | ES_NUMBER | ES_AUTOHSCROLL, IdTelnetPortEdit,
                         WS_EX_CLIENTEDGE);
    connectButton = Add(L"BUTTON", L"Connect modem", WS_TABSTOP | BS_PUSHLIKE | BS_AUTOCHECKBOX, IdConnect);
    readLogButton = Add(L"BUTTON", L"Read modem log...", WS_TABSTOP, IdReadLog);
    connectionStateLabel = Add(L"STATIC", L"NOT CONNECTED", 0, IdConnectionState);
    SendMessageW(connectionStateLabel, WM_SETFONT, reinterpret_cast<WPARAM>(boldFont), TRUE);
    startUpdateButton = Add(L"BUTTON", L"Start update", WS_TABSTOP | BS_OWNERDRAW, IdStartUpdate);
    cancelButton = Add(L"BUTTON", L"Cancel", WS_TABSTOP, IdCancel);
    EnableWindow(cancelButton, FALSE);
    progressBar = Add(PROGRESS_CLASSW, L"", PBS_SMOOTH, IdProgress);
    SendMessageW(progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    statusLabel = Add(L"STATIC", L"Ready", 0, IdStatus);
    SendMessageW(statusLabel, WM_SETFONT, reinterpret_cast<WPARAM>(boldFont), TRUE);
    // The log box's name for assistive tools, which take an edit box's name from the label just before it;
    // it has no room on screen (no size, never placed), so the status line does not name the box instead.
    Add(L"STATIC", L"Log", 0, 0);
    logEdit = Add(L"EDIT", L"", WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, IdLog,
                  WS_EX_CLIENTEDGE);
    SendMessageW(logEdit, EM_LIMITTEXT, kLogLimit, 0);
    SetWindowSubclass(logEdit, LogBoxProcedure, 0, 0);
    // Tab follows the reading order: Read modem log... stands right of Cancel.
    SetWindowPos(readLogButton, cancelButton, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

    LoadBanner();
    RefreshSerialPorts();
    ShowChosenGroup();
    SetBusyUi(false);
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IdDiscover, BN_CLICKED), 0);
    SetTimer(window, kDiscoveryTimer, 5000, nullptr);
}

Application::~Application() {
    cancelRequested->store(true);
    KillTimer(window, kDiscoveryTimer);
    if (bannerImage) Gdip::GdipDisposeImage(bannerImage);
    if (bannerStream) bannerStream->Release();
    AllowSessionEnd();
    DeleteFonts();
    DeleteObject(backgroundBrush);
    DeleteObject(headerBrush);
    DeleteObject(successBrush);
    stopping.store(true);
    if (discoveryThread.joinable()) discoveryThread.join();  // ends within a slice of the flag
    // An operation still running here (the window was destroyed without the close rules, e.g. at log-off)
    // has its cancel flag, which ends every wait in the link; only the legacy question it may be showing
    // waits for a person, so that box is answered No. Then the worker ends and is joined.
    if (operationThread.joinable()) {
        // Until its result is posted: a question box may come up after a first answer was sent.
        MSG message;
        while (busy.load() && !PeekMessageW(&message, window, WM_APP_RESULT, WM_APP_RESULT, PM_REMOVE)) {
            AnswerQuestionsNo(window);
            Sleep(20);
        }
        if (busy.load()) delete reinterpret_cast<OperationResult*>(message.lParam);
        operationThread.join();
    }
    transport.reset();
}

int Application::Scaled(int value) const { return ScaleForDpi(value, dpi); }

void Application::CreateFonts() {
    const FontHeights heights = FontHeightsForDpi(dpi);
    normalFont = MakeFont(L"Segoe UI", heights.normal, 400);
    boldFont = MakeFont(L"Segoe UI", heights.bold, 600);
    titleFont = MakeFont(L"Segoe UI", heights.title, 600);
    logoFont = MakeFont(L"Arial", heights.logo, 700);
    resultFont = MakeFont(L"Segoe UI", heights.result, 700);
}

void Application::DeleteFonts() {
    DeleteObject(normalFont);
    DeleteObject(boldFont);
    DeleteObject(titleFont);
    DeleteObject(logoFont);
    DeleteObject(resultFont);
}

// Every control gets the font it was created with, in the current fonts' sizes.
void Application::ApplyFonts() {
    for (HWND control = GetWindow(window, GW_CHILD); control; control = GetWindow(control, GW_HWNDNEXT)) {
        HFONT font = normalFont;
        if (control == titlePrefixLabel || control == titleLabel) {
            font = titleFont;
        } else if (control == logoLabel) {
            font = logoFont;
        } else if (control == connectionStateLabel) {
            font = boldFont;
        } else if (control == statusLabel) {
            font = successHighlight ? resultFont : boldFont;
        }
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
}

void Application::DpiChanged(int newDpi, const RECT& suggested) {
    if (newDpi <= 0) return;
    dpi = newDpi;
    HFONT oldNormal = normalFont, oldBold = boldFont, oldTitle = titleFont, oldLogo = logoFont, oldResult = resultFont;
    CreateFonts();
    ApplyFonts();
    for (HFONT font : {oldNormal, oldBold, oldTitle, oldLogo, oldResult}) DeleteObject(font);
    SetWindowPos(window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    // The suggested rectangle may keep the client size (then no WM_SIZE comes), yet every place has changed.
    RECT client;
    GetClientRect(window, &client);
    Layout(client.right, client.bottom);
}

HWND Application::Add(const wchar_t* className, const wchar_t* text, DWORD style, int id, DWORD exStyle) {
    HWND control = CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, window,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(normalFont), TRUE);
    return control;
}

void Application::LoadBanner() {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(101), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (!resource) return;
    HGLOBAL loaded = LoadResource(module, resource);
    const DWORD size = SizeofResource(module, resource);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data || size == 0) return;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!block) return;
    void* target = GlobalLock(block);
    if (!target) {
        GlobalFree(block);
        return;
    }
    memcpy(target, data, size);
    GlobalUnlock(block);
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, &bannerStream))) {
        bannerStream = nullptr;
        GlobalFree(block);
        return;
    }
    Gdiplus::GpImage* image = nullptr;
    Gdip::GdipLoadImageFromStream(bannerStream, &image);
    bannerImage = image;
}

std::wstring Application::GetText(HWND control) {
    const int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
        const int got = GetWindowTextW(control, buffer.data(), length + 1);
        text.assign(buffer.data(), static_cast<size_t>(got > 0 ? got : 0));
    }
    return text;
}

template <typename Show>
auto Application::Modal(Show show, bool answersClose) {
    modalGate.Open();
    auto answer = show();
    if (answersClose) modalGate.DropHeldClose();
    // Posted, the close reaches the window only after the member function that opened this box has
    // returned (or inside the next box, which holds it again).
    if (modalGate.Shut()) PostMessageW(window, WM_CLOSE, 0, 0);
    return answer;
}

int Application::Ask(const wchar_t* text, UINT flags) {
    return Modal([&] { return MessageBoxW(window, text, kCaption, flags); });
}

void Application::SetStatus(const std::wstring& text) {
    SetWindowTextW(statusLabel, text.c_str());
}

void Application::SetStatusStyle(bool success) {
    successHighlight = success;
    SendMessageW(statusLabel, WM_SETFONT, reinterpret_cast<WPARAM>(success ? resultFont : boldFont), TRUE);
    InvalidateRect(statusLabel, nullptr, TRUE);
}

void Application::SetConnectionState(const std::wstring& text) {
    SetWindowTextW(connectionStateLabel, text.c_str());
    InvalidateRect(connectionStateLabel, nullptr, TRUE);
}

void Application::SetConnectToggle(bool checked) {
    SetWindowTextW(connectButton, checked ? L"Disconnect modem" : L"Connect modem");
    SendMessageW(connectButton, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void Application::DropLink() {
    if (transport) transport->Close();
    transport.reset();
}

// ---- operations ----

void Application::StartConnection() {
    if (busy.load()) return;
    SetStatusStyle(false);
    std::unique_ptr<ITransport> link;
    std::wstring error;
    if (SendMessageW(comPortRadio, BM_GETCHECK, 0, 0) == BST_CHECKED) {
        const LRESULT index = SendMessageW(portCombo, CB_GETCURSEL, 0, 0);
        if (index < 0 || static_cast<size_t>(index) >= serialPorts.size()) {
            error = L"Select a COM port";
        } else {
            link = CreateSerialTransport(serialPorts[static_cast<size_t>(index)].portName, cancelRequested.get());
        }
    } else {
        const std::wstring address = GetText(addressEdit);
        const int port = _wtoi(GetText(telnetPortEdit).c_str());
        if (!address.empty() && port >= 1 && port <= 65535) {
            link = CreateTelnetTransport(WideToUtf8(address), static_cast<unsigned short>(port), cancelRequested.get());
        } else {
            error = L"Enter a modem address and valid Telnet port";
        }
    }
    transport = std::move(link);
    if (!transport) {
        if (error.empty()) error = L"Select a COM port";
        Ask(error.c_str(), MB_ICONWARNING);
        SendMessageW(connectButton, BM_SETCHECK, BST_UNCHECKED, 0);
        return;
    }
    busy.exchange(true);
    cancelRequested->store(false);
    SetBusyUi(true);
    SetStatus(L"Connecting to modem...");
    SetConnectionState(L"CONNECTING...");
    if (!Launch(operationThread, ConnectionWorker, window, transport.get())) PostResult(window, OperationKind::Connection, false, kNoThread);
}

void Application::StartUpdate() {
    if (busy.load()) return;
    if (!connected || !transport) {
        Ask(L"Connect the modem first.", MB_ICONWARNING);
        return;
    }
    const std::wstring path = GetText(firmwareEdit);
    if (path.empty()) {
        Ask(L"Select a firmware file first.", MB_ICONWARNING);
        return;
    }
    BeginTransfer(OperationKind::Update, L"Starting update on connected modem...");
    if (!Launch(operationThread, UpdateWorker, window, path, transport.get(), cancelRequested)) {
        PostResult(window, OperationKind::Update, false, kNoThread);
    }
}

// An update or log download takes the window: busy, a fresh cancellation flag, normal status style.
void Application::BeginTransfer(OperationKind kind, const wchar_t* status) {
    busy.exchange(true);
    BlockSessionEnd(kind);
    cancelRequested->store(false);
    SetStatusStyle(false);
    SetBusyUi(true);
    SetStatus(status);
    SendMessageW(progressBar, PBM_SETPOS, 0, 0);
}

void Application::StartLogDownload() {
    if (busy.load()) return;
    if (!connected || !transport) {
        Ask(L"Connect the modem first.", MB_ICONWARNING);
        return;
    }
    wchar_t file[260] = L"Torvanix-system-log.log";
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window;
    dialog.lpstrFilter = L"Log files (*.log)\0*.log\0All files\0*.*\0";
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file;
    dialog.nMaxFile = 260;
    dialog.lpstrDefExt = L"log";
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST;
    if (!Modal([&] { return GetSaveFileNameW(&dialog); })) return;
    const std::wstring path = file;
    // The dialog asks before replacing a file that is there now; a name that is free now was chosen as new.
    const bool existed = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    BeginTransfer(OperationKind::LogDownload, L"Preparing modem log...");
    if (!Launch(operationThread, LogDownloadWorker, window, path, existed, transport.get(), cancelRequested)) {
        PostResult(window, OperationKind::LogDownload, false, kNoThread);
    }
}

void Application::ToggleConnection() {
    if (busy.load()) {
        // The toggle checks itself when clicked; while busy its state must keep meaning "connected".
        SendMessageW(connectButton, BM_SETCHECK, connected ? BST_CHECKED : BST_UNCHECKED, 0);
        return;
    }
    if (connected) {
        Disconnect();
    } else {
        StartConnection();
    }
}

void Application::Disconnect() {
    DropLink();
    connected = false;
    SetConnectToggle(false);
    SetWindowTextW(connectionStateLabel, L"NOT CONNECTED");
    SetStatus(L"Modem disconnected");
    AppendLog(L"Modem disconnected");
    InvalidateRect(connectionStateLabel, nullptr, TRUE);
    SetBusyUi(false);
    InvalidateRect(startUpdateButton, nullptr, TRUE);
}

void Application::Cancel() {
    cancelRequested->store(true);
    SetStatus(L"Cancelling...");
}

void Application::ApplyProgress(ProgressUpdate* update) {
    std::unique_ptr<ProgressUpdate> owned(update);
    if (!owned->stage.empty()) SetStatus(owned->stage);
    if (!owned->connectedTo.empty()) SetConnectionState(L"CONNECTED - " + owned->connectedTo);
    if (owned->percent > 0) SendMessageW(progressBar, PBM_SETPOS, static_cast<WPARAM>(owned->percent), 0);
    if (!owned->detail.empty()) AppendLog(owned->detail);
}

void Application::ApplyResult(OperationResult* result) {
    std::unique_ptr<OperationResult> owned(result);
    const bool success = owned->success;
    const std::wstring& text = owned->text;
    switch (static_cast<OperationKind>(owned->kind)) {
    case OperationKind::Connection:
        connected = success;
        if (success) {
            SetConnectToggle(true);
            AppendLog(L"Physical modem connection verified");
            InvalidateRect(connectionStateLabel, nullptr, TRUE);
        } else {
            DropLink();
            SetConnectToggle(false);
            SetConnectionState(L"NOT CONNECTED");
        }
        break;
    case OperationKind::Update:
        SendMessageW(progressBar, PBM_SETPOS, 0, 0);
        transport.reset();
        connected = false;
        SetConnectToggle(false);
        SetConnectionState(success ? L"NOT CONNECTED - modem rebooting" : L"NOT CONNECTED");
        break;
    case OperationKind::LogDownload:
        if (!success) {
            transport.reset();
            connected = false;
            SetConnectToggle(false);
            SetConnectionState(L"NOT CONNECTED");
        }
        break;
    }
    const bool fastSuccess = static_cast<OperationKind>(owned->kind) == OperationKind::Update && success && !owned->legacy;
    SetStatusStyle(fastSuccess);
    SetStatus(fastSuccess ? std::wstring(L"SUCCESS - Checksum OK on Modem") : text);
    AppendLog(text);
    // The work is over before the user is told: a box that waits for an answer overnight must hold back
    // neither a logoff or restart nor the next operation.
    busy.exchange(false);
    AllowSessionEnd();
    ending = owned.get();
    SetBusyUi(false);
    ending = nullptr;
    if (closePending) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        return;
    }
    if (fastSuccess) {
        Ask(L"Checksum OK on Modem\n\nThe modem is rebooting.", MB_ICONINFORMATION);
    } else if (success && owned->legacy) {
        Ask(text.c_str(), MB_ICONWARNING);
    } else if (!success) {
        Ask(text.c_str(), MB_ICONERROR);
    }
}

void Application::Close() {
    if (!modalGate.AdmitClose()) return;  // a box of ours is open; the close comes back once it is answered
    bool answeredYes = true;
    if (busy.load()) {
        answeredYes = Modal(
                          [&] {
                              return MessageBoxW(window, L"An operation is still running. Cancel it and close?",
                                                 kCaption, MB_ICONWARNING | MB_YESNO);
                          },
                          true) == IDYES;
    }
    // Looked at after the answer: the result may have arrived while the question was open.
    switch (DecideClose(answeredYes, busy.load(), discoveryRunning.load())) {
    case CloseAction::Stay:
        return;
    case CloseAction::CancelThenClose:
        cancelRequested->store(true);
        closePending = true;
        SetStatus(L"Cancelling before close...");
        return;
    case CloseAction::CloseAfterDiscovery:
        closePending = true;
        SetStatus(L"Closing after modem discovery...");
        return;
    case CloseAction::CloseNow:
        DestroyWindow(window);
        return;
    }
}

// ---- discovery ----

std::string Application::DiscoveryKey(const DiscoveredModem& modem) {
    return ModemKey(modem);
}

void Application::StartDiscovery(bool background) {
    if (busy.load()) return;
    if (discoveryRunning.exchange(true)) return;
    if (!background) {
        busy.exchange(true);
        SetBusyUi(true);
        SetStatus(L"Discovering Velmor modems...");
    }
    if (!Launch(discoveryThread, DiscoveryWorker, window, background, &stopping)) {
        auto* message = new DiscoveryMessage;
        message->background = background;
        message->error = kNoThread;
        Post(window, WM_APP_DISCOVERY, message);
    }
}

void Application::ReceiveDiscovery(DiscoveryMessage* message) {
    std::unique_ptr<DiscoveryMessage> owned(message);
    discoveryRunning.exchange(false);
    const LRESULT index = SendMessageW(discoveredCombo, CB_GETCURSEL, 0, 0);
    std::string remembered;
    if (index >= 0 && static_cast<size_t>(index) < networkModems.size()) {
        remembered = DiscoveryKey(networkModems[static_cast<size_t>(index)]);
    }
    const bool networkChosen = SendMessageW(networkRadio, BM_GETCHECK, 0, 0) == BST_CHECKED;
    const DiscoveryView view = MergeDiscovery(networkModems, missedPasses, *owned, remembered, connected, networkChosen);
    if (view.refresh) {
        SendMessageW(discoveredCombo, CB_RESETCONTENT, 0, 0);
        for (const std::wstring& item : view.items) {
            SendMessageW(discoveredCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
        }
        if (view.selection >= 0) SendMessageW(discoveredCombo, CB_SETCURSEL, static_cast<WPARAM>(view.selection), 0);
        if (view.fillAddress) {
            SetWindowTextW(addressEdit, view.address.c_str());
            SetWindowTextW(telnetPortEdit, view.port.c_str());
        }
        SetWindowTextW(networkRadio, view.caption.c_str());
        for (const std::wstring& line : view.logLines) AppendLog(line);
        if (view.setStatus) SetStatus(view.status);
    }
    if (!owned->background) {
        busy.exchange(false);
        SetBusyUi(false);
    }
    if (closePending && !busy.load()) PostMessageW(window, WM_CLOSE, 0, 0);
}

void Application::SelectDiscoveredModem() {
    const LRESULT index = SendMessageW(discoveredCombo, CB_GETCURSEL, 0, 0);
    if (index < 0 || static_cast<size_t>(index) >= networkModems.size()) return;
    const DiscoveredModem& modem = networkModems[static_cast<size_t>(index)];
    SetWindowTextW(addressEdit, Utf8ToWide(modem.address).c_str());
    SetWindowTextW(telnetPortEdit, std::to_wstring(modem.port).c_str());
    UpdateSelectedNetworkStatus();
}

void Application::UpdateSelectedNetworkStatus() {
    if (SendMessageW(networkRadio, BM_GETCHECK, 0, 0) == BST_CHECKED) {
        const LRESULT index = SendMessageW(discoveredCombo, CB_GETCURSEL, 0, 0);
        if (index >= 0 && static_cast<size_t>(index) < networkModems.size()) {
            SetStatus(SelectedModemStatus(networkModems[static_cast<size_t>(index)]));
        }
    } else if (!connected) {
        SetStatus(kComSelectedStatus);
    }
}

void Application::ShowChosenGroup() {
    HWND before = GetFocus();
    const bool com = SendMessageW(comPortRadio, BM_GETCHECK, 0, 0) == BST_CHECKED;
    for (HWND control : {portLabel, portCombo, refreshButton}) ShowWindow(control, com ? SW_SHOW : SW_HIDE);
    for (HWND control : {discoveredLabel, discoveredCombo, discoverButton, addressLabel, addressEdit, telnetPortLabel,
                         telnetPortEdit}) {
        ShowWindow(control, com ? SW_HIDE : SW_SHOW);
    }
    KeepFocus(before);
}

void Application::ChooseConnectionGroup(int id) {
    // The buttons check themselves when clicked with the mouse; a command sent by keyboard
    // accelerators or another program does not, and must switch the group just the same.
    CheckRadioButton(window, IdComPortRadio, IdNetworkRadio, id);
    ShowChosenGroup();
    RECT client;
    GetClientRect(window, &client);
    Layout(client.right, client.bottom);
    UpdateSelectedNetworkStatus();
}

// ---- port list and firmware ----

void Application::RefreshSerialPorts() {
    const LRESULT index = SendMessageW(portCombo, CB_GETCURSEL, 0, 0);
    std::wstring remembered;
    if (index >= 0 && static_cast<size_t>(index) < serialPorts.size()) {
        remembered = serialPorts[static_cast<size_t>(index)].portName;
    }
    serialPorts = EnumerateSerialPorts();
    OrderSerialPorts(serialPorts);
    SendMessageW(portCombo, CB_RESETCONTENT, 0, 0);
    for (const SerialPortInfo& port : serialPorts) {
        const std::wstring text = PortDisplayText(port.displayName);
        SendMessageW(portCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    const int selection = PortSelectionIndex(serialPorts, remembered);
    if (selection >= 0) SendMessageW(portCombo, CB_SETCURSEL, static_cast<WPARAM>(selection), 0);
}

void Application::BrowseFirmware() {
    wchar_t file[260] = L"";
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window;
    dialog.lpstrFilter = L"Velmor firmware (*.qz7;*.eFW)\0*.qz7;*.eFW\0All files\0*.*\0";
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file;
    dialog.nMaxFile = 260;
    dialog.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    if (Modal([&] { return GetOpenFileNameW(&dialog); })) SetWindowTextW(firmwareEdit, file);
}

void Application::FirmwareChanged() {
    SetBusyUi(busy.load());
}

// ---- enabled states and the log box ----

void Application::SetBusyUi(bool b) {
    HWND before = GetFocus();
    EnableWindow(browseButton, !b);
    for (HWND control : {comPortRadio, networkRadio, portCombo, refreshButton, discoveredCombo, discoverButton,
                         addressEdit, telnetPortEdit}) {
        EnableWindow(control, !b && !connected);
    }
    EnableWindow(connectButton, !b);
    EnableWindow(readLogButton, !b && connected);
    EnableWindow(startUpdateButton, !busy.load() && connected && GetWindowTextLengthW(firmwareEdit) > 0);
    InvalidateRect(startUpdateButton, nullptr, TRUE);
    EnableWindow(cancelButton, b);
    KeepFocus(before);
}

// ---- keyboard ----

std::vector<FocusCandidate> Application::FocusCandidates() const {
    std::vector<FocusCandidate> candidates;
    for (int id : TabOrder()) {
        HWND control = GetDlgItem(window, id);
        if (!control) continue;
        // The control's own state: a minimised or not yet shown main window hides nothing of it.
        const bool shown = (GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0;
        candidates.push_back({id, IsWindowEnabled(control) != FALSE, shown});
    }
    return candidates;
}

void Application::FocusControl(int id) {
    HWND control = id ? GetDlgItem(window, id) : nullptr;
    if (!control) return;
    lastFocus = control;
    // While a box of ours or another program is active, the focus is put there when the window is
    // activated again (Activated).
    if (GetActiveWindow() != window) return;
    SetFocus(control);
    // As in a dialog: an edit box reached from the keyboard has its text selected.
    if (SendMessageW(control, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) SendMessageW(control, EM_SETSEL, 0, -1);
}

void Application::KeepFocus(HWND before) {
    const bool ours = before && IsChild(window, before);
    HWND now = GetFocus();
    if (ours && now == before && IsWindowEnabled(before) && (GetWindowLongW(before, GWL_STYLE) & WS_VISIBLE)) return;
    // Only a focus that was on one of our controls (or on the window itself, as when a disabled control
    // dropped it) is moved; a box or another program keeps its own.
    if (!ours && before != window && !(before == nullptr && GetActiveWindow() == window)) {
        if (lastFocus && (!IsWindowEnabled(lastFocus) || !(GetWindowLongW(lastFocus, GWL_STYLE) & WS_VISIBLE))) {
            before = lastFocus;
        } else {
            return;
        }
    }
    const std::vector<FocusCandidate> candidates = FocusCandidates();
    const int lost = before && before != window ? GetDlgCtrlID(before) : 0;
    int target;
    if (ending && !busy.load()) {
        target = FocusAfterOperation(candidates, static_cast<OperationKind>(ending->kind), ending->success);
    } else {
        target = FocusAfterLoss(candidates, lost, busy.load());
    }
    FocusControl(target);
}

void Application::MoveFocus(WPARAM wParam, LPARAM lParam) {
    HWND current = GetFocus();
    const int currentId = current && IsChild(window, current) ? GetDlgCtrlID(current) : 0;
    const std::vector<FocusCandidate> candidates = FocusCandidates();
    if (LOWORD(lParam)) {
        // An arrow key: the dialog navigation names the next control of the group. Only the radio pair
        // forms a group of controls that take the focus; between them, the arrow also chooses.
        HWND target = reinterpret_cast<HWND>(wParam);
        const int id = target ? GetDlgCtrlID(target) : 0;
        const bool pair = (currentId == IdComPortRadio || currentId == IdNetworkRadio) &&
                          (id == IdComPortRadio || id == IdNetworkRadio) && id != currentId;
        if (!pair || !IsWindowEnabled(target)) return;
        FocusControl(id);
        if (SendMessageW(target, BM_GETCHECK, 0, 0) != BST_CHECKED) SendMessageW(target, BM_CLICK, 0, 0);
        return;
    }
    FocusControl(NextTabStop(candidates, currentId, wParam != 0));
}

void Application::PressFocusedButton() {
    HWND focus = GetFocus();
    if (!focus || !IsChild(window, focus) || !IsWindowEnabled(focus)) return;
    wchar_t className[16] = {};
    GetClassNameW(focus, className, 16);
    if (_wcsicmp(className, L"Button") == 0) SendMessageW(focus, BM_CLICK, 0, 0);
}

void Application::EscapePressed() {
    if (IsWindowEnabled(cancelButton)) Cancel();
}

void Application::Activated(bool active) {
    if (!active) {
        HWND focus = GetFocus();
        if (focus && IsChild(window, focus)) lastFocus = focus;
        return;
    }
    HWND target = lastFocus;
    if (target && IsWindowEnabled(target) && (GetWindowLongW(target, GWL_STYLE) & WS_VISIBLE)) {
        SetFocus(target);
        return;
    }
    const std::vector<FocusCandidate> candidates = FocusCandidates();
    FocusControl(FocusAfterLoss(candidates, target ? GetDlgCtrlID(target) : 0, busy.load()));
}

// ---- logoff and shutdown ----

void Application::BlockSessionEnd(OperationKind kind) {
    const std::wstring reason = SessionEndBlockReason(kind);
    if (reason.empty()) return;
    sessionEndBlocked = true;
    ShutdownBlockReasonCreate(window, reason.c_str());
}

void Application::AllowSessionEnd() {
    if (!sessionEndBlocked) return;
    sessionEndBlocked = false;
    ShutdownBlockReasonDestroy(window);
}

bool Application::QueryEndSession() { return !sessionEndBlocked; }

void Application::EndSession(bool ending) {
    if (!ending || !busy.load()) return;
    // The session ends whatever we answer now: stop the work as Cancel does, and give the worker the time
    // to tell the modem (within 250 ms of the flag) before the process is ended.
    cancelRequested->store(true);
    closePending = true;
    SetStatus(L"Cancelling before the session ends...");
    const ULONGLONG deadline = GetTickCount64() + 3000;
    MSG message;
    while (busy.load() && GetTickCount64() < deadline) {
        if (PeekMessageW(&message, window, WM_APP_RESULT, WM_APP_RESULT, PM_REMOVE)) {
            ApplyResult(reinterpret_cast<OperationResult*>(message.lParam));
            continue;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_POSTMESSAGE);
    }
}

void Application::AppendLog(std::wstring text) {
    const std::wstring line = LogLine(text);
    LRESULT n = GetWindowTextLengthW(logEdit);
    if (LogNeedsTrim(static_cast<size_t>(n), line.size())) {
        const std::wstring whole = GetText(logEdit);
        const size_t cut = LogTrimLength(whole);
        SendMessageW(logEdit, EM_SETSEL, 0, static_cast<LPARAM>(cut));
        SendMessageW(logEdit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
        n = GetWindowTextLengthW(logEdit);
    }
    SendMessageW(logEdit, EM_SETSEL, static_cast<WPARAM>(n), n);
    SendMessageW(logEdit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(line.c_str()));
    SendMessageW(logEdit, EM_SCROLLCARET, 0, 0);
}

// ---- layout and painting ----

void Application::Layout(int a, int b) {
    int w = TitlePrefixFallback(dpi);
    if (HDC dc = GetDC(window)) {
        HGDIOBJ previous = SelectObject(dc, titleFont);
        const std::wstring prefix = GetText(titlePrefixLabel);
        SIZE size{};
        if (GetTextExtentPoint32W(dc, prefix.c_str(), static_cast<int>(prefix.size()), &size)) w = size.cx;
        SelectObject(dc, previous);
        ReleaseDC(window, dc);
    }
    HWND firmwareLabel = FindWindowExW(window, nullptr, L"STATIC", L"Firmware file");
    const HWND controls[] = {
        titlePrefixLabel, titleLabel,    subtitleLabel,  logoLabel,       companyLabel,   firmwareLabel,
        firmwareEdit,     browseButton,  connectionLabel, comPortRadio,   networkRadio,   portLabel,
        portCombo,        refreshButton, discoveredLabel, discoveredCombo, discoverButton, addressLabel,
        addressEdit,      telnetPortLabel, telnetPortEdit, connectButton, connectionStateLabel, startUpdateButton,
        cancelButton,     readLogButton, progressBar,    statusLabel,     logEdit,
    };
    for (const Placement& place : LayoutControls(a, b, w, dpi)) {
        HWND control = controls[static_cast<int>(place.slot)];
        if (control) MoveWindow(control, place.box.x, place.box.y, place.box.width, place.box.height, TRUE);
    }
    InvalidateRect(window, nullptr, FALSE);
}

void Application::Paint() {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    const int a = client.right;
    FillRect(dc, &client, backgroundBrush);
    const HeaderGeometry geometry = LayoutHeader(a, dpi);
    RECT header{0, 0, geometry.band.Right(), geometry.band.Bottom()};
    FillRect(dc, &header, headerBrush);
    // The closing line as a filled band: one pixel at 100 %, thicker at larger scales.
    HBRUSH lineBrush = CreateSolidBrush(RGB(220, 220, 222));
    RECT line{geometry.line.x, geometry.line.y, geometry.line.Right(), geometry.line.Bottom()};
    FillRect(dc, &line, lineBrush);
    DeleteObject(lineBrush);
    if (bannerImage) {
        Gdiplus::GpGraphics* graphics = nullptr;
        if (Gdip::GdipCreateFromHDC(dc, &graphics) == Gdiplus::Ok && graphics) {
            Gdip::GdipSetInterpolationMode(graphics, Gdiplus::InterpolationModeHighQualityBicubic);
            const Box& banner = geometry.banner;
            Gdip::GdipDrawImageRectI(graphics, bannerImage, banner.x, banner.y, banner.width, banner.height);
            Gdip::GdipDeleteGraphics(graphics);
        }
    }
    EndPaint(window, &paint);
}

LRESULT Application::StaticColour(HDC dc, HWND control) {
    if (control == statusLabel && successHighlight) {
        SetBkMode(dc, OPAQUE);
        SetBkColor(dc, RGB(224, 246, 232));
        SetTextColor(dc, RGB(14, 112, 57));
        return reinterpret_cast<LRESULT>(successBrush);
    }
    SetBkMode(dc, TRANSPARENT);
    COLORREF colour = RGB(28, 28, 30);
    if (control == titlePrefixLabel || control == logoLabel) {
        colour = RGB(218, 40, 38);
    } else if (control == connectionStateLabel && connected) {
        colour = RGB(20, 132, 68);
    } else if (control == subtitleLabel || control == companyLabel) {
        colour = RGB(90, 90, 94);
    }
    SetTextColor(dc, colour);
    const bool header = control == titlePrefixLabel || control == titleLabel || control == subtitleLabel ||
                        control == logoLabel || control == companyLabel;
    return reinterpret_cast<LRESULT>(header ? headerBrush : backgroundBrush);
}

void Application::DrawStartUpdate(const DRAWITEMSTRUCT& item) {
    const bool pressed = (item.itemState & ODS_SELECTED) != 0;
    const bool active = !busy.load() && connected && GetWindowTextLengthW(firmwareEdit) > 0;
    COLORREF fill, frame, textColour;
    if (active) {
        fill = pressed ? RGB(10, 104, 50) : RGB(18, 139, 68);
        frame = RGB(8, 92, 43);
        textColour = RGB(255, 255, 255);
    } else {
        fill = GetSysColor(COLOR_BTNFACE);
        frame = GetSysColor(COLOR_BTNSHADOW);
        textColour = GetSysColor(COLOR_GRAYTEXT);
    }
    HBRUSH fillBrush = CreateSolidBrush(fill);
    HBRUSH frameBrush = CreateSolidBrush(frame);
    RECT rect = item.rcItem;
    FillRect(item.hDC, &rect, fillBrush);
    FrameRect(item.hDC, &rect, frameBrush);
    DeleteObject(fillBrush);
    DeleteObject(frameBrush);
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, textColour);
    HGDIOBJ previous = SelectObject(item.hDC, boldFont);
    RECT textRect = rect;
    if (pressed) OffsetRect(&textRect, 1, 1);
    DrawTextW(item.hDC, L"Start update", -1, &textRect, DT_SINGLELINE | DT_VCENTER | DT_CENTER);
    SelectObject(item.hDC, previous);
    if (item.itemState & ODS_FOCUS) {
        RECT focus = rect;
        InflateRect(&focus, -Scaled(4), -Scaled(4));
        DrawFocusRect(item.hDC, &focus);
    }
}
