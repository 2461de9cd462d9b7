// The record file of a run on disk: opened before any modem is touched, each line appended whole and synced.
#pragma once

#include <memory>
#include <string>

class RecordFile {
public:
    virtual ~RecordFile() = default;
    // Appends `line` (which ends in a line end) in one write and syncs it to the disk; false with a message
    // naming the file and the system's reason. A file whose last line was cut gets a line end first.
    virtual bool Append(const std::string& line, std::string& error) = 0;
};

// Opens PATH for appending (created when missing); null with a message naming the file and the reason.
std::unique_ptr<RecordFile> OpenRecordFile(const std::string& path, std::string& error);
