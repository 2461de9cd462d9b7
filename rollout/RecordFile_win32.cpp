// The record file on Windows: appends by FILE_APPEND_DATA (each write at the end as it is then) and FlushFileBuffers.
#include <windows.h>

#include "rollout/RecordFile.h"
#include "transport/FileCalls.h"
#include "transport/SystemError.h"
#include "transport/Transport.h"

namespace {

class WindowsRecordFile final : public RecordFile {
public:
    WindowsRecordFile(HANDLE file, std::string path, bool cut)
        : file_(file), path_(std::move(path)), cut_(cut), calls_(CurrentFileCalls()) {}
    ~WindowsRecordFile() override { calls_.Close(reinterpret_cast<FileHandle>(file_)); }

    bool Append(const std::string& line, std::string& error) override {
        const std::string text = cut_ ? "\n" + line : line;
        size_t done = 0;
        while (done < text.size()) {
            const long wrote = calls_.Write(reinterpret_cast<FileHandle>(file_),
                                            reinterpret_cast<const unsigned char*>(text.data()) + done,
                                            text.size() - done);
            if (wrote < 0) return Failed(GetLastError(), error);
            if (wrote == 0) return Failed(ERROR_DISK_FULL, error);
            done += static_cast<size_t>(wrote);
        }
        cut_ = false;
        // A pipe or the NUL device takes no flush; everything that can hold the record must.
        if (!calls_.Sync(reinterpret_cast<FileHandle>(file_))) {
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
    FileCalls& calls_;  // the file layer's calls, through which a test fails a write or a sync
};

}  // namespace

std::unique_ptr<RecordFile> OpenRecordFile(const std::string& path, std::string& error, bool& refused) {
    refused = false;
    const std::wstring wide = Utf8ToWide(path);
    // FILE_APPEND_DATA without FILE_WRITE_DATA: the system puts every write at the end of the file as it is
    // then, so two runs sharing one record never write over each other's lines.
    const HANDLE file = CreateFileW(wide.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "Cannot open the record " + path + " for appending: " + WindowsError(GetLastError());
        return nullptr;
    }
    LARGE_INTEGER size {};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
        CloseHandle(file);
        refused = true;
        error = NotARecordMessage(path, "not a regular file");
        return nullptr;
    }
    bool cut = false;
    if (size.QuadPart > 0) {
        char head[24] = {};
        DWORD got = 0;
        OVERLAPPED at {};
        if (!ReadFile(file, head, sizeof head, &got, &at) || !StartsAsRecord(std::string(head, got))) {
            CloseHandle(file);
            refused = true;
            error = NotARecordMessage(path, "it does not start with a record line");
            return nullptr;
        }
        char last = '\n';
        OVERLAPPED end {};
        end.Offset = static_cast<DWORD>(size.QuadPart - 1);
        end.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
        cut = ReadFile(file, &last, 1, &got, &end) && got == 1 && last != '\n';
    }
    return std::make_unique<WindowsRecordFile>(file, path, cut);
}
