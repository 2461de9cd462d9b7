// Long-run commands of the GUI driver: what another process can count of the product's resources.
#include "Soak.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>

#include "Script.h"

namespace {

struct WindowCount {
    DWORD pid;
    long long count;
};

BOOL CALLBACK CountChild(HWND, LPARAM lp) {
    ++reinterpret_cast<WindowCount*>(lp)->count;
    return TRUE;
}

BOOL CALLBACK CountTopLevel(HWND w, LPARAM lp) {
    auto* counter = reinterpret_cast<WindowCount*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid != counter->pid) return TRUE;
    ++counter->count;
    EnumChildWindows(w, CountChild, lp);
    return TRUE;
}

// Every window of the process, top-level and child: a count of USER objects that needs no help from the
// system's own per-process counter (which Wine does not keep).
long long WindowsOf(DWORD pid) {
    WindowCount counter{pid, 0};
    EnumWindows(CountTopLevel, reinterpret_cast<LPARAM>(&counter));
    return counter.count;
}

long long ThreadsOf(DWORD pid) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    long long count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == pid) ++count;
    CloseHandle(snapshot);
    return count;
}

// The system-wide handle list, counted for one process: where GetProcessHandleCount only answers 0
// (Wine), the wineserver still lists every handle with its owner. -1 when neither tells.
long long HandlesFromSystemList(DWORD pid) {
    struct Entry {  // SYSTEM_HANDLE_TABLE_ENTRY_INFO_EX (class 64)
        void* object;
        ULONG_PTR owner;
        ULONG_PTR value;
        ULONG access;
        USHORT creatorBackTrace;
        USHORT objectType;
        ULONG attributes;
        ULONG reserved;
    };
    struct Header {
        ULONG_PTR count;
        ULONG_PTR reserved;
    };
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return -1;
    std::vector<unsigned char> buffer(1 << 20);
    for (int attempt = 0; attempt < 6; ++attempt) {
        ULONG needed = 0;
        const LONG status = query(64, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) {
            const auto* header = reinterpret_cast<const Header*>(buffer.data());
            const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(Header));
            long long count = 0;
            for (ULONG_PTR k = 0; k < header->count; ++k)
                if (entries[k].owner == pid) ++count;
            return count;
        }
        if (status != static_cast<LONG>(0xC0000004L)) return -1;  // anything but "buffer too small"
        buffer.resize(buffer.size() * 2 > needed ? buffer.size() * 2 : needed + 65536);
    }
    return -1;
}

struct Reading {
    long long handles = -1, gdi = -1, user = -1, windows = -1, threads = -1, privateBytes = -1, workingSet = -1;
};

bool Read(HANDLE process, DWORD pid, Reading& r) {
    DWORD count = 0;
    if (GetProcessHandleCount(process, &count) && count != 0) r.handles = count;
    else r.handles = HandlesFromSystemList(pid);
    // Zero means "not told": a process with a window owns GDI and USER objects.
    const DWORD gdi = GetGuiResources(process, GR_GDIOBJECTS);
    const DWORD user = GetGuiResources(process, GR_USEROBJECTS);
    r.gdi = gdi ? static_cast<long long>(gdi) : -1;
    r.user = user ? static_cast<long long>(user) : -1;
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
        if (memory.PrivateUsage != 0) r.privateBytes = static_cast<long long>(memory.PrivateUsage);
        if (memory.WorkingSetSize != 0) r.workingSet = static_cast<long long>(memory.WorkingSetSize);
    }
    r.windows = WindowsOf(pid);
    r.threads = ThreadsOf(pid);
    DWORD exitCode = 0;
    return GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE;
}

void KeepLower(long long& kept, long long value) {
    if (value >= 0 && (kept < 0 || value < kept)) kept = value;
}

// Readings over `spanMs`, each figure's lowest kept: a discovery pass (2 s of every 5 s) or a closing
// connection briefly adds a thread, a socket and their handles, and a span longer than one timer period
// always contains a moment without them. What stays is the process at rest.
bool Sample(const std::string& label, DWORD pid, DWORD spanMs, std::string& error) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) return error = "cannot open process " + std::to_string(pid) + " for queries", false;
    Reading low;
    const ULONGLONG end = GetTickCount64() + spanMs;
    for (;;) {
        Reading r;
        if (!Read(process, pid, r)) {
            CloseHandle(process);
            return error = "the program has ended", false;
        }
        KeepLower(low.handles, r.handles);
        KeepLower(low.gdi, r.gdi);
        KeepLower(low.user, r.user);
        KeepLower(low.windows, r.windows);
        KeepLower(low.threads, r.threads);
        KeepLower(low.privateBytes, r.privateBytes);
        KeepLower(low.workingSet, r.workingSet);
        if (GetTickCount64() >= end) break;
        Sleep(250);
    }
    CloseHandle(process);
    std::printf("@@SAMPLE %s handles=%lld gdi=%lld user=%lld windows=%lld threads=%lld private=%lld ws=%lld\n",
                label.c_str(), low.handles, low.gdi, low.user, low.windows, low.threads, low.privateBytes,
                low.workingSet);
    std::fflush(stdout);
    return true;
}

bool ListHas(HWND list, const TextMatch& match, std::string& seen) {
    DWORD_PTR n = 0;
    if (!SendMessageTimeoutW(list, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &n)) return seen = "no answer", false;
    seen = std::to_string(static_cast<long long>(n)) + " items:";
    for (DWORD_PTR k = 0; k < n; ++k) {
        DWORD_PTR length = 0;
        if (!SendMessageTimeoutW(list, CB_GETLBTEXTLEN, k, 0, SMTO_ABORTIFHUNG, 5000, &length)) continue;
        std::wstring item(length + 1, L'\0');
        DWORD_PTR copied = 0;
        SendMessageTimeoutW(list, CB_GETLBTEXT, k, reinterpret_cast<LPARAM>(&item[0]), SMTO_ABORTIFHUNG, 5000,
                            &copied);
        item.resize(copied <= length ? copied : length);
        seen += " | " + Shown(item);
        if (match.Matches(item)) return true;
    }
    return false;
}

}  // namespace

int SoakStep(const std::vector<std::string>& w, DWORD pid, HWND main, std::string& error) {
    const std::string& cmd = w[0];
    if (cmd == "sample") {
        long long span = 6000;
        if (w.size() < 2 || (w.size() > 2 && (!ParseNumber(w[2], span) || span < 0)))
            return error = "sample LABEL [MS]", 0;
        if (!pid) return error = "no program to sample (launch or attach first)", 0;
        return Sample(w[1], pid, static_cast<DWORD>(span), error) ? 1 : 0;
    }
    if (cmd == "pace") {
        static ULONGLONG mark = 0;
        long long ms = 0;
        if (w.size() < 2 || !ParseNumber(w[1], ms) || ms < 0) return error = "pace MS", 0;
        const ULONGLONG now = GetTickCount64();
        if (mark == 0) {
            mark = now;
            return 1;
        }
        const ULONGLONG due = mark + static_cast<ULONGLONG>(ms);
        if (now < due) {
            Sleep(static_cast<DWORD>(due - now));
            mark = due;
        } else {
            // Late: the steps took longer than the period. Say so and start the next period now.
            std::printf("    pace: late by %llu ms\n", now - due);
            mark = now;
        }
        return 1;
    }
    if (cmd == "wait-item") {
        long long ms = 0, id = 0;
        size_t i = 3;
        TextMatch match;
        if (w.size() < 4 || !ParseNumber(w[1], ms) || !ParseNumber(w[2], id) || !ReadMatch(w, i, match, error))
            return error.empty() ? error = "wait-item MS REF MATCH", 0 : 0;
        HWND list = main && IsWindow(main) ? GetDlgItem(main, static_cast<int>(id)) : nullptr;
        if (!list) return error = "no control " + w[2], 0;
        const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
        std::string seen;
        for (;;) {
            if (ListHas(list, match, seen)) return 1;
            if (GetTickCount64() >= end) break;
            Sleep(50);
        }
        return error = "no entry " + match.Describe() + "; seen: " + seen, 0;
    }
    return -1;
}
