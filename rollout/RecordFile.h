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

// Opens PATH for appending, created when missing (and its folder synced, so that the new name survives a
// power cut). Only a record is appended to: a file that is not a regular file, or not empty and not
// starting with a line of ours, is refused untouched (`refused` set: a mistake in the command line). Null
// with a message naming the file and the reason.
std::unique_ptr<RecordFile> OpenRecordFile(const std::string& path, std::string& error, bool& refused);

// True when `head`, a file's first bytes, is the start of a record line ("{"event":" and a kind of ours).
bool StartsAsRecord(const std::string& head);
// The refusal of a file that holds something other than a record.
std::string NotARecordMessage(const std::string& path, const std::string& why);
