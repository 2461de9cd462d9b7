// The main window's procedure: creates and tears down the Application and routes every message to it.
#include "app/Application.h"

namespace {

Application* From(HWND window) {
    return reinterpret_cast<Application*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void Command(Application& app, int id, int code) {
    switch (id) {
    case IdFirmwareEdit:
        if (code == EN_CHANGE) app.FirmwareChanged();
        break;
    case IdBrowse:
        app.BrowseFirmware();
        break;
    case IdComPortRadio:
    case IdNetworkRadio:
        app.ChooseConnectionGroup(id);
        break;
    case IdRefresh:
        app.RefreshSerialPorts();
        break;
    case IdDiscoveredCombo:
        if (code == CBN_SELCHANGE) app.SelectDiscoveredModem();
        break;
    case IdDiscover:
        app.StartDiscovery(false);
        break;
    case IdConnect:
        app.ToggleConnection();
        break;
    case IdReadLog:
        app.StartLogDownload();
        break;
    case IdStartUpdate:
        app.StartUpdate();
        break;
    case IdCancel:
        app.Cancel();
        break;
    // The dialog navigation of the message loop turns Enter into IDOK and Esc into IDCANCEL.
    case IDOK:
        app.PressFocusedButton();
        break;
    case IDCANCEL:
        app.EscapePressed();
        break;
    default:
        break;
    }
}

}  // namespace

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: {
        auto* app = new Application(window);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(app));
        return 0;
    }
    case WM_CLOSE:
        if (Application* app = From(window)) {
            app->Close();
        } else {
            DestroyWindow(window);
        }
        return 0;
    case WM_DESTROY: {
        Application* app = From(window);
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        delete app;
        PostQuitMessage(0);
        return 0;
    }
    default:
        break;
    }

    Application* app = From(window);
    if (!app) return DefWindowProcW(window, message, wParam, lParam);

    switch (message) {
    case WM_SIZE:
        app->Layout(LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_PAINT:
        app->Paint();
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_DRAWITEM:
        if (wParam == IdStartUpdate) {
            app->DrawStartUpdate(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_COMMAND:
        Command(*app, LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_TIMER:
        if (wParam == kDiscoveryTimer) app->StartDiscovery(true);
        return 0;
    case WM_CTLCOLORSTATIC:
        return app->StaticColour(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_NEXTDLGCTL:
        app->MoveFocus(wParam, lParam);
        return 0;
    case WM_ACTIVATE:
        // A minimised window keeps the focus itself, as the default procedure leaves it.
        if (HIWORD(wParam)) return DefWindowProcW(window, message, wParam, lParam);
        app->Activated(LOWORD(wParam) != WA_INACTIVE);
        return 0;
    case WM_SETFOCUS:
        // The window itself never keeps the focus: one of its controls takes it.
        app->Activated(true);
        return 0;
    case WM_DPICHANGED:
        app->DpiChanged(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_QUERYENDSESSION:
        return app->QueryEndSession() ? TRUE : FALSE;
    case WM_ENDSESSION:
        app->EndSession(wParam != FALSE);
        return 0;
    case WM_APP_PROGRESS:
        app->ApplyProgress(reinterpret_cast<ProgressUpdate*>(lParam));
        return 0;
    case WM_APP_RESULT:
        app->ApplyResult(reinterpret_cast<OperationResult*>(lParam));
        return 0;
    case WM_APP_DISCOVERY:
        app->ReceiveDiscovery(reinterpret_cast<DiscoveryMessage*>(lParam));
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}
