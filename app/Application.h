// The controller of the main window: its controls, painting, and the modem operations run on worker threads.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BrisklodeVersion.h"
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

enum ControlId : int {
    IdFirmwareEdit = 1001,
    IdBrowse = 1002,
    IdComPortRadio = 1003,
    IdNetworkRadio = 1004,
    IdPortCombo = 1005,
    IdRefresh = 1006,
    IdDiscoveredCombo = 1007,
    IdDiscover = 1008,
    IdAddressEdit = 1009,
    IdTelnetPortEdit = 1010,
    IdConnect = 1011,
    IdReadLog = 1012,
    IdStartUpdate = 1013,
    IdCancel = 1014,
    IdProgress = 1015,
    IdStatus = 1016,
    IdConnectionState = 1017,
    IdLog = 1018,
};

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

class Application {
public:
    explicit Application(HWND window);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Modem operations, each on a detached worker thread.
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
    void Paint();
    LRESULT StaticColour(HDC dc, HWND control);
    void DrawStartUpdate(const DRAWITEMSTRUCT& item);

    void SetBusyUi(bool b);
    void AppendLog(std::wstring text);
    static std::wstring GetText(HWND control);

private:
    HWND Add(const wchar_t* className, const wchar_t* text, DWORD style, int id, DWORD exStyle = 0);
    void BeginTransfer(const wchar_t* status);
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
    bool connected = false;
    bool successHighlight = false;
    bool closePending = false;
    ModalGate modalGate;
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
