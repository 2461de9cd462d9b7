// Brisklode.exe entry point: starts the platform libraries, creates the main window and runs the message loop.
#include "app/Application.h"

#include <commctrl.h>
#include <gdiplus.h>
#include <winsock2.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;

    ULONG_PTR gdiplusToken = 0;
    Gdiplus::GdiplusStartupInput gdiplusInput;  // version 1, no debug callback, nothing suppressed
    Gdiplus::GdiplusStartup(&gdiplusToken, &gdiplusInput, nullptr);

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(102), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
    windowClass.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(102), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512) /* IDC_ARROW */);
    windowClass.lpszClassName = WindowClass;
    RegisterClassExW(&windowClass);

    const OuterSize outer = InitialOuterSize(static_cast<int>(GetDpiForSystem()));
    HWND window = CreateWindowExW(0, WindowClass, WindowTitle, WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX,
                                  CW_USEDEFAULT, CW_USEDEFAULT, outer.width, outer.height, nullptr, nullptr, instance,
                                  nullptr);
    if (!window) {
        Gdiplus::GdiplusShutdown(gdiplusToken);
        WSACleanup();
        return 1;
    }
    // The window may have opened on a display whose scale differs from the system's.
    const OuterSize onDisplay = InitialOuterSize(static_cast<int>(GetDpiForWindow(window)));
    if (onDisplay.width != outer.width && GetDpiForWindow(window) > 0) {
        SetWindowPos(window, nullptr, 0, 0, onDisplay.width, onDisplay.height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    ShowWindow(window, show);
    UpdateWindow(window);

    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Dialog navigation: Tab, Shift+Tab and the arrow keys move the focus, Enter and Esc reach the
        // window as IDOK and IDCANCEL.
        if (IsDialogMessageW(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    Gdiplus::GdiplusShutdown(gdiplusToken);
    WSACleanup();
    return static_cast<int>(message.wParam);
}
