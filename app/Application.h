// The controller of the main window: its controls, painting, and the modem operations run on worker threads.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BrisklodeVersion.h"
#include "app/ControlIds.h"
#include "app/FocusRules.h"
#include "app/WindowLayout.h"
#include "app/ModalGate.h"
#include "app/Records.h"
#include "discovery/Discovery.h"
#include "transport/Transport.h"

namespace Gdiplus {
class GpImage;
}

constexpr const wchar_t* WindowClass = L"Velmor.Brisklode.Window";
constexpr const wchar_t* WindowTitle = L"Velmor Brisklode " BRISKLODE_VERSION_WTEXT;

constexpr UINT WM_APP_PROGRESS = WM_APP + 1;
constexpr UINT WM_APP_RESULT = WM_APP + 2;
constexpr UINT WM_APP_DISCOVERY = WM_APP + 3;
constexpr UINT_PTR kDiscoveryTimer = 1;


LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

class Application {
public:
    explicit Application(HWND window);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Modem operations, each on a worker thread that the window joins.
    void StartConnection();
    void StartUpdate();
    void StartLogDownload();
    // The Connect modem toggle: disconnects while connected, else starts a connection.
    void ToggleConnection();
    void Disconnect();
    void Cancel();

    // Network modems.
    void StartDiscovery(bool background);
    void ReceiveDiscovery(DiscoveryMessage* message);
    static std::string DiscoveryKey(const DiscoveredModem& modem);
    void SelectDiscoveredModem();
    void UpdateSelectedNetworkStatus();

    // Window thread handlers.
    void ApplyProgress(ProgressUpdate* update);
    void ApplyResult(OperationResult* result);
    void Close();
    void ShowChosenGroup();
    // A click on either connection radio button: that group is shown and the status line follows.
    void ChooseConnectionGroup(int id);
    void RefreshSerialPorts();
    void BrowseFirmware();
    void FirmwareChanged();

    void Layout(int width, int height);
    // The window moved to a display of another scale: the suggested outer rectangle, fonts and places follow.
    void DpiChanged(int newDpi, const RECT& suggested);
    void Paint();
    LRESULT StaticColour(HDC dc, HWND control);
    void DrawStartUpdate(const DRAWITEMSTRUCT& item);

    void SetBusyUi(bool b);

    // Keyboard: Tab and arrow moves (from the dialog navigation of the message loop), Enter and Esc.
    void MoveFocus(WPARAM wParam, LPARAM lParam);
    void PressFocusedButton();
    void EscapePressed();
    void Activated(bool active);

    // Logoff and shutdown: refused while an update or log download runs; when they go ahead anyway the
    // operation is cancelled and given a moment to tell the modem.
    bool QueryEndSession();
    void EndSession(bool ending);
    void AppendLog(std::wstring text);
    static std::wstring GetText(HWND control);

private:
    HWND Add(const wchar_t* className, const wchar_t* text, DWORD style, int id, DWORD exStyle = 0);
    void BeginTransfer(OperationKind kind, const wchar_t* status);
    void CreateFonts();
    void DeleteFonts();
    void ApplyFonts();
    int Scaled(int value) const;
    std::vector<FocusCandidate> FocusCandidates() const;
    void FocusControl(int id);
    // After enabling or showing controls: the focus that `before` had is moved on when its control went away.
    void KeepFocus(HWND before);
    void BlockSessionEnd(OperationKind kind);
    void AllowSessionEnd();
    void LoadBanner();
    void SetStatus(const std::wstring& text);
    void SetStatusStyle(bool success);
    void SetConnectionState(const std::wstring& text);
    void SetConnectToggle(bool checked);
    void DropLink();
    // Every box and dialog of the window thread opens through Modal, so that a close arriving while it
    // is open waits until it is answered (see ModalGate).
    template <typename Show>
    auto Modal(Show show, bool answersClose = false);
    int Ask(const wchar_t* text, UINT flags);

    HWND window;
    std::unique_ptr<ITransport> transport;
    std::atomic<bool> busy{false};
    // Shared with the workers: a worker may still be winding down when the window is torn down.
    std::shared_ptr<std::atomic<bool>> cancelRequested;
    std::atomic<bool> discoveryRunning{false};
    // The workers: one operation and one discovery pass at a time. Each has posted its result before the
    // next one starts, so the join before a start is short; the window's end cancels and joins them.
    std::thread operationThread;
    std::thread discoveryThread;
    std::atomic<bool> stopping{false};  // the window is going: a discovery pass ends at once
    bool connected = false;
    bool successHighlight = false;
    bool closePending = false;
    ModalGate modalGate;
    int dpi = kBaseDpi;
    // The control that had the focus when the window was last deactivated.
    HWND lastFocus = nullptr;
    // Set while the result of an operation is applied: where the focus goes when Cancel gives it up.
    const OperationResult* ending = nullptr;
    // The running update or log download holds logoff and shutdown back.
    bool sessionEndBlocked = false;
    std::vector<SerialPortInfo> serialPorts;
    std::vector<DiscoveredModem> networkModems;
    std::map<std::string, std::uint32_t> missedPasses;

    HFONT normalFont = nullptr;
    HFONT boldFont = nullptr;
    HFONT titleFont = nullptr;
    HFONT logoFont = nullptr;
    HFONT resultFont = nullptr;
    HBRUSH backgroundBrush = nullptr;
    HBRUSH headerBrush = nullptr;
    HBRUSH successBrush = nullptr;
    IStream* bannerStream = nullptr;
    Gdiplus::GpImage* bannerImage = nullptr;

    HWND titlePrefixLabel = nullptr;
    HWND titleLabel = nullptr;
    HWND subtitleLabel = nullptr;
    HWND logoLabel = nullptr;
    HWND companyLabel = nullptr;
    HWND firmwareEdit = nullptr;
    HWND browseButton = nullptr;
    HWND connectionLabel = nullptr;
    HWND comPortRadio = nullptr;
    HWND networkRadio = nullptr;
    HWND portLabel = nullptr;
    HWND portCombo = nullptr;
    HWND refreshButton = nullptr;
    HWND discoveredLabel = nullptr;
    HWND discoveredCombo = nullptr;
    HWND discoverButton = nullptr;
    HWND addressLabel = nullptr;
    HWND addressEdit = nullptr;
    HWND telnetPortLabel = nullptr;
    HWND telnetPortEdit = nullptr;
    HWND connectButton = nullptr;
    HWND readLogButton = nullptr;
    HWND connectionStateLabel = nullptr;
    HWND startUpdateButton = nullptr;
    HWND cancelButton = nullptr;
    HWND progressBar = nullptr;
    HWND statusLabel = nullptr;
    HWND logEdit = nullptr;
};
