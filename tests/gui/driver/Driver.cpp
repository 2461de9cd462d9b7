// Brisklode GUI test driver: runs a script of steps against the main window using only window messages.
//
// Usage: brisklode-gui-driver SCRIPT-FILE   (or "-" for standard input)
// The product gets no arguments and no test hooks: everything here is what another process can see and do
// through user32 (posted clicks, WM_SETTEXT/WM_GETTEXT, control styles, rectangles, message boxes, dialogs).
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Script.h"
#include "Soak.h"

namespace {

const wchar_t kWindowClass[] = L"Velmor.Brisklode.Window";
const UINT kSendTimeoutMs = 5000;
const DWORD kPollMs = 50;
// Message box texts and buttons as Wine and Windows build them.
const int kMessageBoxTextId = 0xFFFF;
const int kFileNameCombo = 0x47C;  // cmb13
const int kFileNameEdit = 0x480;   // edt1

struct Driver {
    HWND main = nullptr;
    DWORD pid = 0;
    HANDLE process = nullptr;
    bool launched = false;
    std::wstring logSnapshot;
    long long logTrims = 0;
    int dpi = 96;
};

Driver g;

bool Send(HWND w, UINT msg, WPARAM wp, LPARAM lp, DWORD_PTR& result, UINT timeoutMs = kSendTimeoutMs) {
    return SendMessageTimeoutW(w, msg, wp, lp, SMTO_ABORTIFHUNG, timeoutMs, &result) != 0;
}

bool ReadText(HWND w, std::wstring& out) {
    // The text may grow between the two messages, so read until the buffer was not filled up.
    DWORD_PTR length = 0;
    if (!Send(w, WM_GETTEXTLENGTH, 0, 0, length)) return false;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const size_t room = length + 256;
        std::wstring buffer(room, L'\0');
        DWORD_PTR copied = 0;
        if (!Send(w, WM_GETTEXT, room, reinterpret_cast<LPARAM>(&buffer[0]), copied)) return false;
        if (copied + 1 < room) {
            buffer.resize(copied);
            out = buffer;
            return true;
        }
        length = room * 2;
    }
    return false;
}

std::wstring ClassOf(HWND w) {
    wchar_t name[256] = {};
    GetClassNameW(w, name, 256);
    return name;
}

// ---------------------------------------------------------------------------------------------
// Finding windows and controls.

struct TopLevelSearch {
    DWORD pid;
    std::wstring className;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND w, LPARAM lp) {
    auto* search = reinterpret_cast<TopLevelSearch*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if ((search->pid == 0 || pid == search->pid) && ClassOf(w) == search->className && IsWindowVisible(w))
        search->found.push_back(w);
    return TRUE;
}

std::vector<HWND> TopLevelWindows(DWORD pid, const std::wstring& className) {
    TopLevelSearch search{pid, className, {}};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool MainAlive() { return g.main && IsWindow(g.main); }

struct ChildSearch {
    std::wstring text;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectChildByText(HWND w, LPARAM lp) {
    auto* search = reinterpret_cast<ChildSearch*>(lp);
    std::wstring text;
    if (ReadText(w, text) && text == search->text) search->found.push_back(w);
    return TRUE;
}

// A control reference: a number is a control id; "=Text" the child whose text is Text; "=Text@2" the second.
bool FindControl(const std::string& ref, HWND& control, std::string& error) {
    if (!MainAlive()) {
        error = "the main window is gone";
        return false;
    }
    if (!ref.empty() && ref[0] == '=') {
        std::string text = ref.substr(1);
        long long nth = 1;
        const size_t at = text.rfind('@');
        if (at != std::string::npos && ParseNumber(text.substr(at + 1), nth)) text = text.substr(0, at);
        ChildSearch search{Widen(text), {}};
        EnumChildWindows(g.main, CollectChildByText, reinterpret_cast<LPARAM>(&search));
        if (nth < 1 || static_cast<size_t>(nth) > search.found.size()) {
            error = "no control with text \"" + text + "\" (#" + std::to_string(nth) + ")";
            return false;
        }
        control = search.found[static_cast<size_t>(nth - 1)];
        return true;
    }
    long long id = 0;
    if (!ParseNumber(ref, id)) {
        error = "bad control reference " + ref;
        return false;
    }
    control = GetDlgItem(g.main, static_cast<int>(id));
    if (!control) {
        error = "no control with id " + ref;
        return false;
    }
    return true;
}

// The rectangle of a window in the client coordinates of the main window.
RECT ClientRectOf(HWND w) {
    RECT r{};
    GetWindowRect(w, &r);
    MapWindowPoints(nullptr, g.main, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::string RectText(const RECT& r) {
    return std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + " " +
           std::to_string(r.bottom - r.top);
}

// ---------------------------------------------------------------------------------------------
// Message boxes and file dialogs of the product's process.

bool IsFileDialog(HWND box) {
    return GetDlgItem(box, kFileNameEdit) != nullptr || GetDlgItem(box, kFileNameCombo) != nullptr;
}

std::vector<HWND> MessageBoxes() {
    std::vector<HWND> boxes;
    for (HWND w : TopLevelWindows(g.pid, L"#32770"))
        if (!IsFileDialog(w)) boxes.push_back(w);
    return boxes;
}

std::vector<HWND> FileDialogs() {
    std::vector<HWND> dialogs;
    for (HWND w : TopLevelWindows(g.pid, L"#32770"))
        if (IsFileDialog(w)) dialogs.push_back(w);
    return dialogs;
}

std::wstring BoxText(HWND box) {
    std::wstring text;
    HWND label = GetDlgItem(box, kMessageBoxTextId);
    if (label) ReadText(label, text);
    return text;
}

std::string DescribeBox(HWND box) {
    std::wstring caption;
    ReadText(box, caption);
    std::string buttons;
    const struct { int id; const char* name; } known[] = {
        {IDOK, "ok"}, {IDCANCEL, "cancel"}, {IDYES, "yes"}, {IDNO, "no"}};
    for (const auto& b : known)
        if (GetDlgItem(box, b.id)) buttons += std::string(buttons.empty() ? "" : ",") + b.name;
    return "box \"" + Shown(caption) + "\": \"" + Shown(BoxText(box)) + "\" [" + buttons + "]";
}

int ButtonId(const std::string& name) {
    if (name == "ok") return IDOK;
    if (name == "cancel") return IDCANCEL;
    if (name == "yes") return IDYES;
    if (name == "no") return IDNO;
    return 0;
}

void PressDialogButton(HWND box, int id) {
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
}

// The window that has the keyboard focus in the product's window thread (a control, or a box's button).
HWND FocusedWindow() {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!g.main || !GetGUIThreadInfo(GetWindowThreadProcessId(g.main, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

// Returns once the product's window thread has taken `posted` more posted messages from its queue: a sent
// message is handled when that thread next looks for messages, which it does after each one it dispatched.
void SyncWithProduct(size_t posted) {
    for (size_t k = 0; k <= posted; ++k) {
        DWORD_PTR ignored = 0;
        if (!g.main || !SendMessageTimeoutW(g.main, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &ignored)) break;
    }
}

bool WaitGone(HWND w, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (IsWindow(w) && IsWindowVisible(w)) {
        if (GetTickCount64() >= end) return false;
        Sleep(kPollMs);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Screen pixels, for colours that only the painting shows.

bool CaptureRect(const RECT& screen, std::vector<COLORREF>& pixels) {
    const int w = screen.right - screen.left;
    const int h = screen.bottom - screen.top;
    if (w <= 0 || h <= 0) return false;
    HDC screenDc = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screenDc);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (bitmap && bits) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        ok = BitBlt(memory, 0, 0, w, h, screenDc, screen.left, screen.top, SRCCOPY) != 0;
        SelectObject(memory, old);
        if (ok) {
            const auto* p = static_cast<const unsigned char*>(bits);
            pixels.resize(static_cast<size_t>(w) * h);
            for (size_t k = 0; k < pixels.size(); ++k) pixels[k] = RGB(p[k * 4 + 2], p[k * 4 + 1], p[k * 4]);
        }
    }
    if (bitmap) DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screenDc);
    return ok;
}

// ---------------------------------------------------------------------------------------------
// The log box, read as lines.

const char kLogRef[] = "1018";

bool LogLines(std::vector<std::wstring>& lines, std::string& error) {
    HWND log;
    if (!FindControl(kLogRef, log, error)) return false;
    std::wstring text;
    if (!ReadText(log, text)) {
        error = "cannot read the log box";
        return false;
    }
    lines.clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Version block and resources of an exe.

std::wstring WindowsPath(const std::string& path) {
    std::wstring w = Widen(path);
    if (!w.empty() && w[0] == L'/') {
        for (auto& c : w)
            if (c == L'/') c = L'\\';
        w = L"Z:" + w;
    }
    return w;
}

bool VersionString(const std::string& path, const std::string& key, std::wstring& value, std::string& error) {
    const std::wstring file = WindowsPath(path);
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
    if (size == 0) {
        error = "no version block in " + path;
        return false;
    }
    std::vector<unsigned char> block(size);
    if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data())) {
        error = "cannot read the version block of " + path;
        return false;
    }
    struct Translation { WORD language, codePage; };
    Translation* translations = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations),
                        &length) || length < sizeof(Translation)) {
        error = "the version block has no translation table";
        return false;
    }
    if (key == "@language") {
        wchar_t text[16];
        swprintf(text, 16, L"%04x%04x", translations[0].language, translations[0].codePage);
        value = text;
        return true;
    }
    wchar_t query[128];
    swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translations[0].language, translations[0].codePage,
             Widen(key).c_str());
    wchar_t* text = nullptr;
    if (!VerQueryValueW(block.data(), query, reinterpret_cast<void**>(&text), &length) || !text) {
        error = "the version block has no " + key;
        return false;
    }
    value.assign(text, length > 0 && text[length - 1] == L'\0' ? length - 1 : length);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Layout arithmetic: "a-294", "a/2-W", "b-515", "28+W" where a and b are the client width and height and
// W is the width of "Brisk" in the title font, measured here with a font made the same way (at the display
// scale that the script declares with "dpi N"; Wine tells another process 96 whatever the window uses).

int TitlePrefixWidth() {
    HDC dc = GetDC(nullptr);
    const int height = MulDiv(27, g.dpi, 96);
    HFONT font = CreateFontW(-height, 0, 0, 0, 600, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
    HGDIOBJ old = SelectObject(dc, font);
    SIZE size{};
    const BOOL ok = GetTextExtentPoint32W(dc, L"Brisk", 5, &size);
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(nullptr, dc);
    return ok ? size.cx : 38;
}

bool Arithmetic(const std::string& text, long long& value) {
    RECT client{};
    GetClientRect(g.main, &client);
    const long long a = client.right, b = client.bottom;
    value = 0;
    size_t i = 0;
    int sign = 1;
    if (text.empty()) return false;
    while (i < text.size()) {
        if (text[i] == '+' || text[i] == '-') {
            sign = text[i] == '-' ? -1 : 1;
            ++i;
        }
        size_t j = i;
        while (j < text.size() && text[j] != '+' && text[j] != '-') ++j;
        const std::string term = text.substr(i, j - i);
        long long t;
        if (term == "a") t = a;
        else if (term == "b") t = b;
        else if (term == "a/2") t = a / 2;
        else if (term == "W") t = TitlePrefixWidth();
        else if (!ParseNumber(term, t)) return false;
        value += sign * t;
        sign = 1;
        i = j;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Conditions: "expect COND..." checks once, "wait MS COND..." until it holds.

// Evaluates the condition in words[i...]. Returns true when it holds; `actual` tells what was seen.
// Sets `bad` on a malformed condition (then waiting is pointless).
bool Evaluate(const std::vector<std::string>& words, size_t i, std::string& actual, bool& bad) {
    bad = false;
    auto malformed = [&](const std::string& why) {
        bad = true;
        actual = why;
        return false;
    };
    if (i >= words.size()) return malformed("missing condition");
    const std::string what = words[i++];
    std::string error;
    auto need = [&](size_t count) { return i + count <= words.size(); };

    if (what == "file-count") {
        // file-count PATH OP N TEXT: lines of a (Linux) file that match TEXT. Read here rather than through
        // the runner, because watching a simulator's log for the start of a pass must not cost a round trip.
        long long expected;
        if (!need(4) || !IsComparison(words[i + 1]) || !ParseNumber(words[i + 2], expected))
            return malformed("file-count PATH OP N TEXT");
        const std::string path = words[i], op = words[i + 1];
        i += 3;
        TextMatch match;
        if (!ReadMatch(words, i, match, error)) return malformed(error);
        std::ifstream file(WindowsPath(path).c_str(), std::ios::binary);
        long long hits = 0;
        std::string line;
        while (file && std::getline(file, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (match.Matches(Widen(line))) ++hits;
        }
        actual = std::to_string(hits) + " matching lines";
        return Compare(hits, op, expected);
    }
    if (what == "gone") {
        const bool exited = g.process && WaitForSingleObject(g.process, 0) == WAIT_OBJECT_0;
        actual = MainAlive() ? "the main window still exists" : (exited ? "process ended" : "window gone");
        return !MainAlive() && (!g.process || exited);
    }
    if (what == "title" || what == "class") {
        TextMatch match;
        if (!ReadMatch(words, i, match, error)) return malformed(error);
        if (!MainAlive()) return actual = "the main window is gone", false;
        std::wstring text;
        if (what == "title") ReadText(g.main, text);
        else text = ClassOf(g.main);
        actual = "\"" + Shown(text) + "\"";
        return match.Matches(text);
    }
    if (what == "client") {
        long long w, h;
        if (!need(2) || !ParseNumber(words[i], w) || !ParseNumber(words[i + 1], h)) return malformed("client W H");
        RECT r{};
        GetClientRect(g.main, &r);
        actual = std::to_string(r.right) + " x " + std::to_string(r.bottom);
        return r.right == w && r.bottom == h;
    }
    if (what == "outer") {
        long long w, h;
        if (!need(2) || !ParseNumber(words[i], w) || !ParseNumber(words[i + 1], h)) return malformed("outer W H");
        RECT r{};
        GetWindowRect(g.main, &r);
        actual = std::to_string(r.right - r.left) + " x " + std::to_string(r.bottom - r.top);
        return r.right - r.left == w && r.bottom - r.top == h;
    }
    if (what == "focus") {
        // focus REF: the control that has the keyboard focus of the product's window thread.
        if (!need(1)) return malformed("focus REF");
        HWND wanted;
        if (!FindControl(words[i], wanted, error)) return actual = error, false;
        HWND focus = FocusedWindow();
        actual = focus ? "focus on id " + std::to_string(GetDlgCtrlID(focus)) + " (" + Narrow(ClassOf(focus)) + ")"
                       : "no focus";
        return focus == wanted;
    }
    if (what == "progress") {
        long long expected;
        if (!need(2) || !IsComparison(words[i]) || !ParseNumber(words[i + 1], expected))
            return malformed("progress OP N");
        HWND bar;
        if (!FindControl("1015", bar, error)) return actual = error, false;
        DWORD_PTR pos = 0;
        if (!Send(bar, PBM_GETPOS, 0, 0, pos)) return actual = "no answer to PBM_GETPOS", false;
        actual = "position " + std::to_string(static_cast<long long>(pos));
        return Compare(static_cast<long long>(pos), words[i], expected);
    }
    if (what == "msgbox") {
        TextMatch caption, text;
        if (!ReadMatch(words, i, caption, error) || !ReadMatch(words, i, text, error)) return malformed(error);
        for (HWND box : MessageBoxes()) {
            std::wstring c;
            ReadText(box, c);
            if (caption.Matches(c) && text.Matches(BoxText(box))) {
                actual = DescribeBox(box);
                return true;
            }
        }
        actual = "no such box";
        for (HWND box : MessageBoxes()) actual += "; " + DescribeBox(box);
        return false;
    }
    if (what == "msgbox-icon") {
        // msgbox-icon CAPTION TEXT warning|error|information: an open box shows that standard icon. The
        // icon handle belongs to the other process, so the box's icon is compared as pixels with each of
        // the three icons drawn here the same way; the wanted one must be the closest, and close.
        TextMatch caption, text;
        if (!ReadMatch(words, i, caption, error) || !ReadMatch(words, i, text, error) || !need(1))
            return malformed("msgbox-icon CAPTION TEXT warning|error|information");
        const std::string wanted = words[i];
        const struct { const char* name; LPCWSTR id; } icons[] = {
            {"warning", IDI_WARNING}, {"error", IDI_ERROR}, {"information", IDI_INFORMATION}};
        int wantedIndex = -1;
        for (int k = 0; k < 3; ++k)
            if (wanted == icons[k].name) wantedIndex = k;
        if (wantedIndex < 0) return malformed("unknown icon " + wanted);
        HWND box = nullptr;
        for (HWND candidate : MessageBoxes()) {
            std::wstring c;
            ReadText(candidate, c);
            if (caption.Matches(c) && text.Matches(BoxText(candidate))) box = candidate;
        }
        if (!box) return actual = "no such box", false;
        HWND icon = nullptr;
        for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
            if (ClassOf(child) == L"Static" && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
                icon = child;
        if (!icon) return actual = "the box has no icon", false;
        RECT r{};
        GetWindowRect(icon, &r);
        std::vector<COLORREF> shown;
        if (!CaptureRect(r, shown)) return actual = "cannot read the screen", false;
        const int w = r.right - r.left, h = r.bottom - r.top;
        size_t differing[3] = {};
        for (int k = 0; k < 3; ++k) {
            HDC screenDc = GetDC(nullptr);
            HDC memory = CreateCompatibleDC(screenDc);
            HBITMAP bitmap = CreateCompatibleBitmap(screenDc, w, h);
            HGDIOBJ old = SelectObject(memory, bitmap);
            RECT all{0, 0, w, h};
            FillRect(memory, &all, GetSysColorBrush(COLOR_3DFACE));
            DrawIconEx(memory, 0, 0, LoadIconW(nullptr, icons[k].id), 0, 0, 0, nullptr, DI_NORMAL | DI_DEFAULTSIZE);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    if (GetPixel(memory, x, y) != shown[static_cast<size_t>(y) * w + x]) ++differing[k];
            SelectObject(memory, old);
            DeleteObject(bitmap);
            DeleteDC(memory);
            ReleaseDC(nullptr, screenDc);
        }
        actual = "differing pixels: warning " + std::to_string(differing[0]) + ", error " +
                 std::to_string(differing[1]) + ", information " + std::to_string(differing[2]) + " of " +
                 std::to_string(shown.size());
        for (int k = 0; k < 3; ++k)
            if (k != wantedIndex && differing[k] <= differing[wantedIndex]) return false;
        return differing[wantedIndex] * 10 <= shown.size();
    }
    if (what == "file-dialog") {
        // file-dialog: an open or save dialog of the program is open.
        actual = FileDialogs().empty() ? "no file dialog" : "a file dialog";
        return !FileDialogs().empty();
    }
    if (what == "no-msgbox") {
        const auto boxes = MessageBoxes();
        actual = boxes.empty() ? "none" : DescribeBox(boxes[0]);
        return boxes.empty();
    }
    if (what == "log-tail" || what == "log-has" || what == "log-count" || what == "log-first" ||
        what == "log-lines") {
        long long count = 0;
        std::string op = "==";
        if (what == "log-count" || what == "log-lines") {
            if (!need(2) || !IsComparison(words[i]) || !ParseNumber(words[i + 1], count))
                return malformed(what + " OP N ...");
            op = words[i];
            i += 2;
        }
        std::vector<TextMatch> matches;
        while (i < words.size()) {
            TextMatch m;
            if (!ReadMatch(words, i, m, error)) return malformed(error);
            matches.push_back(m);
        }
        std::vector<std::wstring> lines;
        if (!LogLines(lines, error)) return actual = error, false;
        if (what == "log-lines") {
            actual = std::to_string(lines.size()) + " lines";
            return Compare(static_cast<long long>(lines.size()), op, count);
        }
        if (matches.empty()) return malformed(what + " needs a text");
        if (what == "log-tail") {
            actual = "last lines:";
            const size_t from = lines.size() > matches.size() + 2 ? lines.size() - matches.size() - 2 : 0;
            for (size_t k = from; k < lines.size(); ++k) actual += " | " + Shown(lines[k]);
            if (lines.size() < matches.size()) return false;
            const size_t base = lines.size() - matches.size();
            for (size_t k = 0; k < matches.size(); ++k)
                if (!matches[k].Matches(lines[base + k])) return false;
            return true;
        }
        if (what == "log-first") {
            actual = lines.empty() ? "empty log" : "first line \"" + Shown(lines[0]) + "\"";
            return !lines.empty() && matches[0].Matches(lines[0]);
        }
        long long hits = 0;
        for (const auto& line : lines)
            if (matches[0].Matches(line)) ++hits;
        actual = std::to_string(hits) + " matching of " + std::to_string(lines.size()) + " lines";
        if (what == "log-has") return hits > 0;
        return Compare(hits, op, count);
    }
    if (what == "log-appended") {
        // The log box held the snapshot text S (length L) and one more line X (ending in CR LF) was added.
        // If L + |X| stays within 1,048,576 characters the box holds S X. Otherwise it first dropped S up
        // to cut: just after the first line feed at or after L - 524288 (0 when L is at most 524288), or
        // that start itself when no line feed follows; then it holds S[cut...] X.
        HWND log;
        if (!FindControl(kLogRef, log, error)) return actual = error, false;
        std::wstring now;
        if (!ReadText(log, now)) return actual = "cannot read the log box", false;
        const std::wstring& before = g.logSnapshot;
        const size_t L = before.size();
        auto oneLine = [](const std::wstring& x) {
            return x.size() >= 2 && x.compare(x.size() - 2, 2, L"\r\n") == 0 && x.find(L'\n') == x.size() - 1 &&
                   x.find(L'\r') == x.size() - 2;
        };
        if (now.size() > L && now.compare(0, L, before) == 0) {
            const std::wstring added = now.substr(L);
            actual = "appended " + std::to_string(added.size()) + " characters to " + std::to_string(L);
            return oneLine(added) && L + added.size() <= 1048576;
        }
        const size_t start = L > 524288 ? L - 524288 : 0;
        const size_t lf = before.find(L'\n', start);
        const size_t cut = lf == std::wstring::npos ? start : lf + 1;
        const std::wstring kept = before.substr(cut);
        if (now.size() > kept.size() && now.compare(0, kept.size(), kept) == 0) {
            const std::wstring added = now.substr(kept.size());
            actual = "trimmed " + std::to_string(L) + " characters at " + std::to_string(cut) + ", added " +
                     std::to_string(added.size());
            if (!oneLine(added) || L + added.size() <= 1048576) return false;
            g.logTrims += 1;
            return true;
        }
        actual = "neither the snapshot nor its trimmed tail (from " + std::to_string(cut) + ") starts the " +
                 std::to_string(now.size()) + " characters now in the box";
        return false;
    }
    if (what == "log-trims") {
        // log-trims OP N: how many log-appended checks so far saw the box trimmed.
        long long expected;
        if (!need(2) || !IsComparison(words[i]) || !ParseNumber(words[i + 1], expected))
            return malformed("log-trims OP N");
        actual = std::to_string(g.logTrims) + " trims seen";
        return Compare(g.logTrims, words[i], expected);
    }
    if (what == "version") {
        if (!need(2)) return malformed("version PATH KEY [op] TEXT");
        const std::string path = words[i], key = words[i + 1];
        i += 2;
        TextMatch match;
        if (!ReadMatch(words, i, match, error)) return malformed(error);
        std::wstring value;
        if (!VersionString(path, key, value, error)) return actual = error, false;
        actual = key + " \"" + Shown(value) + "\"";
        return match.Matches(value);
    }
    if (what == "resource") {
        // resource PATH TYPE ID OP SIZE: a resource of the exe (type a number, e.g. 10 RCDATA, 14 icon group).
        long long type, id, size;
        if (!need(5) || !ParseNumber(words[i + 1], type) || !ParseNumber(words[i + 2], id) ||
            !IsComparison(words[i + 3]) || !ParseNumber(words[i + 4], size))
            return malformed("resource PATH TYPE ID OP SIZE");
        HMODULE module = LoadLibraryExW(WindowsPath(words[i]).c_str(), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        if (!module) return actual = "cannot load " + words[i], false;
        HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
        const long long bytes = found ? static_cast<long long>(SizeofResource(module, found)) : -1;
        FreeLibrary(module);
        actual = found ? std::to_string(bytes) + " bytes" : "absent";
        return found && Compare(bytes, words[i + 3], size);
    }

    // Conditions on one control: COND REF ...
    if (!need(1)) return malformed(what + " needs a control");
    const std::string ref = words[i++];
    HWND control;
    if (!FindControl(ref, control, error)) return actual = error, false;

    if (what == "text") {
        TextMatch match;
        if (!ReadMatch(words, i, match, error)) return malformed(error);
        std::wstring text;
        if (!ReadText(control, text)) return actual = "cannot read the text", false;
        actual = "\"" + Shown(text) + "\"";
        return match.Matches(text);
    }
    if (what == "len") {
        long long expected;
        if (!need(2) || !IsComparison(words[i]) || !ParseNumber(words[i + 1], expected))
            return malformed("len REF OP N");
        DWORD_PTR length = 0;
        if (!Send(control, WM_GETTEXTLENGTH, 0, 0, length)) return actual = "no answer", false;
        actual = std::to_string(static_cast<long long>(length)) + " characters";
        return Compare(static_cast<long long>(length), words[i], expected);
    }
    if (what == "enabled" || what == "visible" || what == "checked") {
        long long expected;
        if (!need(1) || !ParseNumber(words[i], expected)) return malformed(what + " REF 0|1");
        long long state = 0;
        if (what == "enabled") state = IsWindowEnabled(control) ? 1 : 0;
        else if (what == "visible") state = IsWindowVisible(control) ? 1 : 0;
        else {
            DWORD_PTR check = 0;
            if (!Send(control, BM_GETCHECK, 0, 0, check)) return actual = "no answer to BM_GETCHECK", false;
            state = static_cast<long long>(check);
        }
        actual = what + " = " + std::to_string(state);
        return state == expected;
    }
    if (what == "count" || what == "cursel") {
        long long expected;
        if (!need(1) || !ParseNumber(words[i], expected)) return malformed(what + " REF N");
        DWORD_PTR n = 0;
        if (!Send(control, what == "count" ? CB_GETCOUNT : CB_GETCURSEL, 0, 0, n)) return actual = "no answer", false;
        const long long value = static_cast<long long>(static_cast<LRESULT>(n));
        actual = what + " = " + std::to_string(value);
        return value == expected;
    }
    if (what == "items") {
        // items REF TEXT...: the list holds exactly these entries, in this order.
        std::vector<TextMatch> expected;
        while (i < words.size()) {
            TextMatch m;
            if (!ReadMatch(words, i, m, error)) return malformed(error);
            expected.push_back(m);
        }
        DWORD_PTR n = 0;
        if (!Send(control, CB_GETCOUNT, 0, 0, n)) return actual = "no answer to CB_GETCOUNT", false;
        std::vector<std::wstring> items;
        actual = std::to_string(static_cast<long long>(n)) + " items:";
        for (DWORD_PTR k = 0; k < n; ++k) {
            DWORD_PTR length = 0;
            Send(control, CB_GETLBTEXTLEN, k, 0, length);
            std::wstring item(length + 1, L'\0');
            DWORD_PTR copied = 0;
            Send(control, CB_GETLBTEXT, k, reinterpret_cast<LPARAM>(&item[0]), copied);
            item.resize(copied <= length ? copied : length);
            items.push_back(item);
            actual += " | " + Shown(item);
        }
        if (items.size() != expected.size()) return false;
        for (size_t k = 0; k < items.size(); ++k)
            if (!expected[k].Matches(items[k])) return false;
        return true;
    }
    if (what == "rect") {
        // rect REF X Y W H: place and size in client coordinates. A drop-down list was given the height of
        // its field plus its open list; Windows reports that whole height as the dropped rectangle, Wine
        // reports the list's own height from the top of the field, so the field's height is added there.
        long long v[4];
        if (!need(4)) return malformed("rect REF X Y W H");
        for (int k = 0; k < 4; ++k)
            if (!Arithmetic(words[i + k], v[k])) return malformed("rect REF X Y W H: bad " + words[i + k]);
        const RECT r = ClientRectOf(control);
        long long height = r.bottom - r.top;
        actual = RectText(r) + " (expected " + std::to_string(v[0]) + " " + std::to_string(v[1]) + " " +
                 std::to_string(v[2]) + " " + std::to_string(v[3]) + ")";
        if (ClassOf(control) == L"ComboBox") {
            RECT dropped{};
            DWORD_PTR ignored = 0;
            if (!Send(control, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped), ignored))
                return actual = "no answer to CB_GETDROPPEDCONTROLRECT", false;
            const long long list = dropped.bottom - dropped.top;
            actual += " (dropped height " + std::to_string(list) + ")";
            height = list == v[3] ? list : height + list;
        }
        return r.left == v[0] && r.top == v[1] && r.right - r.left == v[2] && height == v[3];
    }
    if (what == "pixel" || what == "no-pixel") {
        // pixel REF R G B: some pixel of the control's area on screen has exactly this colour.
        long long c[3];
        if (!need(3)) return malformed(what + " REF R G B");
        for (int k = 0; k < 3; ++k)
            if (!ParseNumber(words[i + k], c[k])) return malformed(what + " REF R G B");
        const COLORREF wanted = RGB(c[0], c[1], c[2]);
        RECT r{};
        GetWindowRect(control, &r);
        std::vector<COLORREF> pixels;
        if (!CaptureRect(r, pixels)) return actual = "cannot read the screen", false;
        size_t hits = 0;
        for (COLORREF p : pixels)
            if (p == wanted) ++hits;
        actual = std::to_string(hits) + " of " + std::to_string(pixels.size()) + " pixels have that colour";
        return what == "pixel" ? hits > 0 : hits == 0;
    }
    return malformed("unknown condition " + what);
}

// ---------------------------------------------------------------------------------------------
// Steps.

bool AttachTo(DWORD pid, DWORD timeoutMs, std::string& error) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        auto windows = TopLevelWindows(pid, kWindowClass);
        if (!windows.empty()) {
            g.main = windows[0];
            GetWindowThreadProcessId(g.main, &g.pid);
            return true;
        }
        if (g.process && WaitForSingleObject(g.process, 0) == WAIT_OBJECT_0) {
            error = "the program ended before its window appeared";
            return false;
        }
        if (GetTickCount64() >= end) {
            error = "no window of class Velmor.Brisklode.Window";
            return false;
        }
        Sleep(kPollMs);
    }
}

// Hands a command to the runner on the Linux side and waits for its exit code.
bool AskHost(const std::string& command, std::string& error) {
    static int sequence = 0;
    wchar_t folder[1024] = {};
    if (!GetEnvironmentVariableW(L"BRISKLODE_GUI_HOST_DIR", folder, 1024))
        return error = "BRISKLODE_GUI_HOST_DIR is not set (run through tests/gui/run-scenarios)", false;
    const int id = ++sequence;
    std::string oneLine = command;
    for (auto& c : oneLine)
        if (c == '\n' || c == '\r') c = ' ';
    std::printf("@@HOST %d %s\n", id, oneLine.c_str());
    std::fflush(stdout);
    const std::wstring answer = WindowsPath(Narrow(folder) + "/" + std::to_string(id) + ".done");
    const ULONGLONG end = GetTickCount64() + 120000;
    while (GetFileAttributesW(answer.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount64() >= end) return error = "no answer from the runner for: " + command, false;
        Sleep(kPollMs);
    }
    int code = -1;
    FILE* file = _wfopen(answer.c_str(), L"r");
    if (file) {
        if (std::fscanf(file, "%d", &code) != 1) code = -1;
        std::fclose(file);
    }
    if (code != 0) return error = "exit code " + std::to_string(code) + " from: " + command, false;
    return true;
}

long long Number(const std::vector<std::string>& words, size_t i, long long fallback) {
    long long v = fallback;
    if (i < words.size()) ParseNumber(words[i], v);
    return v;
}

bool Step(const std::vector<std::string>& w, std::string& error) {
    const std::string& cmd = w[0];
    HWND control;

    if (cmd == "launch") {
        // launch PATH [TIMEOUT]: start the program and wait for its main window.
        if (w.size() < 2) return error = "launch PATH", false;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        std::wstring line = L"\"" + WindowsPath(w[1]) + L"\"";
        if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            error = "cannot start " + w[1] + " (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        CloseHandle(pi.hThread);
        if (g.process) CloseHandle(g.process);
        g.process = pi.hProcess;
        g.launched = true;
        g.main = nullptr;
        return AttachTo(pi.dwProcessId, static_cast<DWORD>(Number(w, 2, 30000)), error);
    }
    if (cmd == "attach") {
        if (!AttachTo(0, static_cast<DWORD>(Number(w, 1, 30000)), error)) return false;
        if (g.process) CloseHandle(g.process);
        g.process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, g.pid);
        return true;
    }
    if (cmd == "expect" || cmd == "wait") {
        size_t first = 1;
        DWORD timeoutMs = 0;
        if (cmd == "wait") {
            long long ms;
            if (w.size() < 3 || !ParseNumber(w[1], ms)) return error = "wait MS CONDITION...", false;
            timeoutMs = static_cast<DWORD>(ms);
            first = 2;
        }
        const ULONGLONG end = GetTickCount64() + timeoutMs;
        std::string actual;
        bool bad = false;
        for (;;) {
            if (Evaluate(w, first, actual, bad)) return true;
            if (bad || GetTickCount64() >= end) break;
            Sleep(kPollMs);
        }
        error = bad ? actual : "seen: " + actual;
        return false;
    }
    if (cmd == "hold") {
        // hold MS CONDITION...: the condition holds throughout MS milliseconds.
        long long ms;
        if (w.size() < 3 || !ParseNumber(w[1], ms)) return error = "hold MS CONDITION...", false;
        const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
        std::string actual;
        bool bad = false;
        do {
            if (!Evaluate(w, 2, actual, bad)) {
                error = bad ? actual : "stopped holding, seen: " + actual;
                return false;
            }
            Sleep(kPollMs);
        } while (GetTickCount64() < end);
        return true;
    }
    if (cmd == "click") {
        // A user can only click an enabled control; BM_CLICK gives check boxes and radio buttons their
        // own state change before the parent hears BN_CLICKED, as a mouse click does.
        if (w.size() < 2 || !FindControl(w[1], control, error)) return error.empty() ? error = "click REF", false : false;
        if (!IsWindowEnabled(control)) return error = "control " + w[1] + " is disabled", false;
        if (!IsWindowVisible(control)) return error = "control " + w[1] + " is hidden", false;
        PostMessageW(control, BM_CLICK, 0, 0);
        return true;
    }
    if (cmd == "mouse-click") {
        // mouse-click REF: a left click in the middle of the control, as posted mouse messages; a control that
        // takes no Tab stop (the log box) gets the focus this way.
        if (w.size() < 2 || !FindControl(w[1], control, error)) return error.empty() ? error = "mouse-click REF", false : false;
        RECT box{};
        GetClientRect(control, &box);
        const LPARAM at = MAKELPARAM(box.right / 2, box.bottom / 2);
        PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, at);
        PostMessageW(control, WM_LBUTTONUP, 0, at);
        SyncWithProduct(2);
        return true;
    }
    if (cmd == "command") {
        // command ID [NOTIFY]: a raw WM_COMMAND as the control would send it, whatever its state.
        long long id;
        if (w.size() < 2 || !ParseNumber(w[1], id)) return error = "command ID [NOTIFY]", false;
        const long long notify = Number(w, 2, BN_CLICKED);
        HWND from = GetDlgItem(g.main, static_cast<int>(id));
        PostMessageW(g.main, WM_COMMAND, MAKEWPARAM(id, notify), reinterpret_cast<LPARAM>(from));
        return true;
    }
    if (cmd == "dpi") {
        // dpi N: the display scale the window runs at, for the title width W of "rect".
        long long dpi;
        if (w.size() < 2 || !ParseNumber(w[1], dpi) || dpi <= 0) return error = "dpi N", false;
        g.dpi = static_cast<int>(dpi);
        return true;
    }
    if (cmd == "key") {
        // key NAME...: each key pressed and released where the product's focus is, as posted key messages
        // (which reach the product's message loop, with its dialog navigation). Names: TAB RETURN SPACE
        // ESCAPE LEFT RIGHT UP DOWN.
        if (w.size() < 2) return error = "key NAME...", false;
        for (size_t k = 1; k < w.size(); ++k) {
            const struct { const char* name; UINT vk; } keys[] = {
                {"TAB", VK_TAB},   {"RETURN", VK_RETURN}, {"SPACE", VK_SPACE}, {"ESCAPE", VK_ESCAPE},
                {"LEFT", VK_LEFT}, {"RIGHT", VK_RIGHT},   {"UP", VK_UP},       {"DOWN", VK_DOWN}};
            UINT vk = 0;
            for (const auto& key : keys)
                if (w[k] == key.name) vk = key.vk;
            if (!vk) return error = "unknown key " + w[k], false;
            HWND focus = FocusedWindow();
            if (!focus) return error = "nothing has the focus for key " + w[k], false;
            const UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
            PostMessageW(focus, WM_KEYDOWN, vk, 1 | (scan << 16));
            PostMessageW(focus, WM_KEYUP, vk, 1 | (scan << 16) | (1u << 30) | (1u << 31));
            // The next key goes where this one leaves the focus.
            SyncWithProduct(2);
        }
        return true;
    }
    if (cmd == "type") {
        // type TEXT: the characters as typed into the control that has the focus.
        if (w.size() < 2) return error = "type TEXT", false;
        HWND focus = FocusedWindow();
        if (!focus) return error = "nothing has the focus to type into", false;
        const std::wstring text = Widen(w[1]);
        for (wchar_t c : text) PostMessageW(focus, WM_CHAR, c, 1);
        SyncWithProduct(text.size());
        return true;
    }
    if (cmd == "dpi-changed") {
        // dpi-changed N W H: the window moved to a display of N DPI; Windows suggests an outer size W x H at
        // the window's present place.
        long long dpi, width, height;
        if (w.size() < 4 || !ParseNumber(w[1], dpi) || !ParseNumber(w[2], width) || !ParseNumber(w[3], height))
            return error = "dpi-changed N W H", false;
        if (!MainAlive()) return error = "the main window is gone", false;
        RECT r{};
        GetWindowRect(g.main, &r);
        r.right = r.left + static_cast<LONG>(width);
        r.bottom = r.top + static_cast<LONG>(height);
        // The rectangle travels by pointer, which the system does not carry into another process for this
        // message: it is written into the product's memory.
        HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, g.pid);
        if (!process) return error = "cannot open the product's process", false;
        void* remote = VirtualAllocEx(process, nullptr, sizeof r, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        SIZE_T copied = 0;
        const bool written = remote && WriteProcessMemory(process, remote, &r, sizeof r, &copied) && copied == sizeof r;
        DWORD_PTR ignored = 0;
        const bool handled = written && SendMessageTimeoutW(g.main, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                                                            reinterpret_cast<LPARAM>(remote), SMTO_ABORTIFHUNG,
                                                            10000, &ignored);
        if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
        CloseHandle(process);
        if (!written) return error = "cannot write the rectangle into the product's memory", false;
        if (!handled) return error = "WM_DPICHANGED was not handled within 10 s", false;
        return true;
    }
    if (cmd == "session-query" || cmd == "session-end") {
        // session-query ANSWER: WM_QUERYENDSESSION for a logoff, as Windows sends it; the answer must be
        // ANSWER (0 refuses). session-end: WM_ENDSESSION saying that the logoff goes ahead.
        if (!MainAlive()) return error = "the main window is gone", false;
        DWORD_PTR answer = 0;
        const UINT message = cmd == "session-query" ? WM_QUERYENDSESSION : WM_ENDSESSION;
        const WPARAM wParam = cmd == "session-query" ? 0 : TRUE;
        if (!SendMessageTimeoutW(g.main, message, wParam, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 10000, &answer))
            return error = "no answer within 10 s", false;
        if (cmd == "session-query" && static_cast<long long>(answer) != Number(w, 1, -1))
            return error = "WM_QUERYENDSESSION answered " + std::to_string(answer), false;
        return true;
    }
    if (cmd == "settext") {
        if (w.size() < 3) return error = "settext REF TEXT", false;
        if (!FindControl(w[1], control, error)) return false;
        const std::wstring text = Widen(w[2]);
        DWORD_PTR ok = 0;
        if (!Send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), ok) || !ok)
            return error = "WM_SETTEXT refused", false;
        return true;
    }
    if (cmd == "settext-repeat") {
        // settext-repeat REF COUNT TEXT: sets TEXT repeated COUNT times (for very long inputs).
        long long count;
        if (w.size() < 4 || !ParseNumber(w[2], count)) return error = "settext-repeat REF COUNT TEXT", false;
        if (!FindControl(w[1], control, error)) return false;
        const std::wstring unit = Widen(w[3]);
        std::wstring text;
        text.reserve(unit.size() * static_cast<size_t>(count));
        for (long long k = 0; k < count; ++k) text += unit;
        DWORD_PTR ok = 0;
        // A multi-line box lays the whole text out again: a megabyte takes Wine some seconds.
        if (!Send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), ok, 60000) || !ok)
            return error = "WM_SETTEXT refused", false;
        return true;
    }
    if (cmd == "select") {
        // select REF INDEX: choose a list entry and notify the window as the user's pick would.
        long long index;
        if (w.size() < 3 || !ParseNumber(w[2], index)) return error = "select REF INDEX", false;
        if (!FindControl(w[1], control, error)) return false;
        if (!IsWindowEnabled(control)) return error = "control " + w[1] + " is disabled", false;
        DWORD_PTR result = 0;
        Send(control, CB_SETCURSEL, static_cast<WPARAM>(index), 0, result);
        if (static_cast<LRESULT>(result) != index) return error = "no entry " + w[2], false;
        PostMessageW(g.main, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(control));
        return true;
    }
    if (cmd == "msgbox") {
        // msgbox CAPTION TEXT BUTTON [TIMEOUT]: a box with this caption and text appears; BUTTON must be
        // one of its buttons ("ok" for an OK-only box, "yes"/"no" for a Yes/No box) and is pressed.
        size_t i = 1;
        TextMatch caption, text;
        if (!ReadMatch(w, i, caption, error) || !ReadMatch(w, i, text, error) || i >= w.size())
            return error = "msgbox CAPTION TEXT BUTTON [TIMEOUT]", false;
        const int button = ButtonId(w[i]);
        if (!button) return error = "unknown button " + w[i], false;
        const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(Number(w, i + 1, 10000));
        for (;;) {
            for (HWND box : MessageBoxes()) {
                std::wstring c;
                ReadText(box, c);
                if (!caption.Matches(c) || !text.Matches(BoxText(box))) continue;
                const bool yesNo = GetDlgItem(box, IDYES) && GetDlgItem(box, IDNO);
                const bool okOnly = GetDlgItem(box, IDOK) && !GetDlgItem(box, IDYES) && !GetDlgItem(box, IDNO);
                if ((button == IDOK && !okOnly) || ((button == IDYES || button == IDNO) && !yesNo))
                    return error = "wrong buttons on " + DescribeBox(box), false;
                PressDialogButton(box, button);
                if (!WaitGone(box, 5000)) return error = "the box did not close: " + DescribeBox(box), false;
                return true;
            }
            if (GetTickCount64() >= end) break;
            Sleep(kPollMs);
        }
        error = "no box with caption " + caption.Describe() + " and text " + text.Describe();
        for (HWND box : MessageBoxes()) error += "; open: " + DescribeBox(box);
        return false;
    }
    if (cmd == "filedialog") {
        // filedialog PATH [TIMEOUT]: the open or save dialog appears; PATH is entered and confirmed.
        if (w.size() < 2) return error = "filedialog PATH [TIMEOUT]", false;
        const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(Number(w, 2, 10000));
        for (;;) {
            auto dialogs = FileDialogs();
            if (!dialogs.empty()) {
                HWND dialog = dialogs[0];
                const std::wstring path = WindowsPath(w[1]);
                DWORD_PTR ignored = 0;
                for (int id : {kFileNameEdit, kFileNameCombo}) {
                    HWND field = GetDlgItem(dialog, id);
                    if (field) Send(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), ignored);
                }
                PressDialogButton(dialog, IDOK);
                if (!WaitGone(dialog, 5000)) return error = "the file dialog stayed open", false;
                return true;
            }
            if (GetTickCount64() >= end) return error = "no file dialog appeared", false;
            Sleep(kPollMs);
        }
    }
    if (cmd == "filedialog-cancel") {
        const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(Number(w, 1, 10000));
        for (;;) {
            auto dialogs = FileDialogs();
            if (!dialogs.empty()) {
                PressDialogButton(dialogs[0], IDCANCEL);
                return WaitGone(dialogs[0], 5000) ? true : (error = "the file dialog stayed open", false);
            }
            if (GetTickCount64() >= end) return error = "no file dialog appeared", false;
            Sleep(kPollMs);
        }
    }
    if (cmd == "close") {
        // close [sent]: WM_CLOSE posted, or sent by another program, which waits until the window has handled
        // it (so a check that follows sees its effect; not for a close that asks a question).
        if (!MainAlive()) return error = "the main window is gone", false;
        if (w.size() > 1 && w[1] == "sent") {
            DWORD_PTR ignored = 0;
            if (!SendMessageTimeoutW(g.main, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, 10000, &ignored) && MainAlive())
                return error = "WM_CLOSE was not handled within 10 s", false;
            return true;
        }
        PostMessageW(g.main, WM_CLOSE, 0, 0);
        return true;
    }
    if (cmd == "wait-exit") {
        // wait-exit [TIMEOUT]: the program ends by itself, with exit code 0.
        if (!g.process) return error = "no process to wait for", false;
        if (WaitForSingleObject(g.process, static_cast<DWORD>(Number(w, 1, 15000))) != WAIT_OBJECT_0)
            return error = "the program is still running", false;
        DWORD code = 0;
        GetExitCodeProcess(g.process, &code);
        if (code != 0) return error = "exit code " + std::to_string(code), false;
        return true;
    }
    if (cmd == "kill") {
        if (g.process && WaitForSingleObject(g.process, 0) != WAIT_OBJECT_0) {
            TerminateProcess(g.process, 9);
            WaitForSingleObject(g.process, 5000);
        }
        return true;
    }
    if (cmd == "resize") {
        // resize W H: the outer size of the main window.
        long long width, height;
        if (w.size() < 3 || !ParseNumber(w[1], width) || !ParseNumber(w[2], height)) return error = "resize W H", false;
        if (!MainAlive()) return error = "the main window is gone", false;
        SetWindowPos(g.main, nullptr, 0, 0, static_cast<int>(width), static_cast<int>(height),
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        return true;
    }
    if (cmd == "sleep") {
        Sleep(static_cast<DWORD>(Number(w, 1, 0)));
        return true;
    }
    if (cmd == "host" || cmd == "screenshot") {
        // host COMMAND: a shell command on the Linux side (start or stop a simulated modem, ...);
        // screenshot FILE.png: the main window as it is on screen, frame included, taken with ImageMagick.
        // The runner that started us reads these requests from our output and runs them (Wine cannot wait
        // for a Linux process it started), then writes the exit code into the answer file we poll for.
        if (w.size() < 2) return error = cmd + " needs an argument", false;
        std::string command;
        for (size_t k = 1; k < w.size(); ++k) command += (k > 1 ? " " : "") + w[k];
        if (cmd == "screenshot") {
            if (!MainAlive()) return error = "the main window is gone", false;
            RECT r{};
            GetWindowRect(g.main, &r);
            const std::string geometry = std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top) +
                                         "+" + std::to_string(r.left < 0 ? 0 : r.left) + "+" +
                                         std::to_string(r.top < 0 ? 0 : r.top);
            Sleep(300);  // let the last repaint reach the X server
            command = "import -window root -crop " + geometry + " +repage '" + w[1] + "'";
        }
        return AskHost(command, error);
    }
    if (cmd == "log-snapshot") {
        HWND log;
        if (!FindControl(kLogRef, log, error)) return false;
        if (!ReadText(log, g.logSnapshot)) return error = "cannot read the log box", false;
        std::printf("    log holds %zu characters\n", g.logSnapshot.size());
        return true;
    }
    if (cmd == "select-text") {
        // select-text REF MATCH: choose the first list entry whose text matches, as the user would.
        size_t i = 2;
        TextMatch match;
        if (w.size() < 3 || !FindControl(w[1], control, error) || !ReadMatch(w, i, match, error))
            return error.empty() ? error = "select-text REF TEXT", false : false;
        if (!IsWindowEnabled(control)) return error = "control " + w[1] + " is disabled", false;
        DWORD_PTR n = 0;
        Send(control, CB_GETCOUNT, 0, 0, n);
        for (DWORD_PTR k = 0; k < n; ++k) {
            DWORD_PTR length = 0;
            Send(control, CB_GETLBTEXTLEN, k, 0, length);
            std::wstring item(length + 1, L'\0');
            DWORD_PTR copied = 0;
            Send(control, CB_GETLBTEXT, k, reinterpret_cast<LPARAM>(&item[0]), copied);
            item.resize(copied <= length ? copied : length);
            if (!match.Matches(item)) continue;
            DWORD_PTR result = 0;
            Send(control, CB_SETCURSEL, k, 0, result);
            PostMessageW(g.main, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), CBN_SELCHANGE),
                         reinterpret_cast<LPARAM>(control));
            return true;
        }
        return error = "no entry " + match.Describe(), false;
    }
    if (cmd == "print") {
        // print REF: the control's text, for reading along a run.
        if (w.size() < 2 || !FindControl(w[1], control, error)) return error.empty() ? error = "print REF", false : false;
        std::wstring text;
        ReadText(control, text);
        std::printf("    %s: \"%s\"\n", w[1].c_str(), Shown(text).c_str());
        return true;
    }
    if (cmd == "print-log") {
        std::vector<std::wstring> lines;
        if (!LogLines(lines, error)) return false;
        const size_t last = static_cast<size_t>(Number(w, 1, 20));
        for (size_t k = lines.size() > last ? lines.size() - last : 0; k < lines.size(); ++k)
            std::printf("    log: %s\n", Shown(lines[k]).c_str());
        return true;
    }
    if (cmd == "echo") {
        std::string text;
        for (size_t k = 1; k < w.size(); ++k) text += (k > 1 ? " " : "") + w[k];
        std::printf("    %s\n", text.c_str());
        return true;
    }
    const int soak = SoakStep(w, g.pid, g.main, error);
    if (soak >= 0) return soak == 1;
    error = "unknown command " + cmd;
    return false;
}

std::string Joined(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words) {
        std::string shown = w.size() > 120 ? w.substr(0, 100) + "..." : w;
        for (auto& c : shown)
            if (c == '\n' || c == '\r') c = ' ';
        out += (out.empty() ? "" : " ") + (w.find(' ') != std::string::npos || w.empty() ? "\"" + shown + "\"" : shown);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc != 2) {
        std::fprintf(stderr, "usage: brisklode-gui-driver SCRIPT (or - for standard input)\n");
        return 2;
    }
    std::stringstream content;
    if (std::string(argv[1]) == "-") {
        content << std::cin.rdbuf();
    } else {
        std::ifstream file(argv[1], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", argv[1]);
            return 2;
        }
        content << file.rdbuf();
    }
    std::vector<ScriptLine> lines;
    std::string error;
    if (!ParseScript(content.str(), lines, error)) {
        std::fprintf(stderr, "script error: %s\n", error.c_str());
        return 2;
    }
    int failures = 0;
    for (const auto& line : lines) {
        std::printf("  [%3d] %s\n", line.number, Joined(line.words).c_str());
        error.clear();
        if (!Step(line.words, error)) {
            std::printf("  FAILED at line %d: %s\n", line.number, error.c_str());
            ++failures;
            break;
        }
    }
    // Leave nothing running: a scenario that did not close the program ends it here.
    if (g.launched && g.process && WaitForSingleObject(g.process, 0) != WAIT_OBJECT_0) {
        TerminateProcess(g.process, 9);
        WaitForSingleObject(g.process, 5000);
    }
    return failures == 0 ? 0 : 1;
}
