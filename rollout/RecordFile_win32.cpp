// The record file on Windows: writes at the end of the file and FlushFileBuffers.
#include <windows.h>

#include "rollout/RecordFile.h"
#include "transport/SystemError.h"
#include "transport/Transport.h"

namespace {

class WindowsRecordFile final : public RecordFile {
public:
    WindowsRecordFile(HANDLE file, std::string path, bool cut) : file_(file), path_(std::move(path)), cut_(cut) {}
    ~WindowsRecordFile() override { CloseHandle(file_); }

    bool Append(const std::string& line, std::string& error) override {
        const std::string text = cut_ ? "\n" + line : line;
        // Another run may have appended since: every line goes after the end as it is now.
        LARGE_INTEGER zero {};
        if (!SetFilePointerEx(file_, zero, nullptr, FILE_END) && GetFileType(file_) == FILE_TYPE_DISK) {
            return Failed(GetLastError(), error);
        }
        size_t done = 0;
        while (done < text.size()) {
            DWORD wrote = 0;
            if (!WriteFile(file_, text.data() + done, static_cast<DWORD>(text.size() - done), &wrote, nullptr)) {
                return Failed(GetLastError(), error);
            }
            if (wrote == 0) return Failed(ERROR_DISK_FULL, error);
            done += wrote;
        }
        cut_ = false;
        // A pipe or the NUL device takes no flush; everything that can hold the record must.
        if (!FlushFileBuffers(file_)) {
            const DWORD code = GetLastError();
            if (code != ERROR_INVALID_FUNCTION && code != ERROR_INVALID_HANDLE) return Failed(code, error);
        }
        return true;
    }

private:
    bool Failed(DWORD code, std::string& error) const {
        error = "Cannot write the record " + path_ + ": " + WindowsError(code);
        return false;
    }

    HANDLE file_;
    std::string path_;
    bool cut_;
};

// True when PATH is a file whose last byte is not a line end (an earlier run's line was cut).
bool EndsCut(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char last = '\n';
    LARGE_INTEGER size {};
    if (GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        LARGE_INTEGER at {};
        at.QuadPart = size.QuadPart - 1;
        DWORD got = 0;
        if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) || !ReadFile(file, &last, 1, &got, nullptr) || got != 1) {
            last = '\n';
        }
    }
    CloseHandle(file);
    return last != '\n';
}

}  // namespace

std::unique_ptr<RecordFile> OpenRecordFile(const std::string& path, std::string& error) {
    const std::wstring wide = Utf8ToWide(path);
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "Cannot open the record " + path + " for appending: " + WindowsError(GetLastError());
        return nullptr;
    }
    return std::make_unique<WindowsRecordFile>(file, path, EndsCut(wide));
}
