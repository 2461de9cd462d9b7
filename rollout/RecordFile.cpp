// What makes a file a record: the portable part of opening one.
#include "rollout/RecordFile.h"

bool StartsAsRecord(const std::string& head) {
    for (const char* kind : {"{\"event\":\"run\"", "{\"event\":\"start\"", "{\"event\":\"record\""}) {
        const std::string start(kind);
        // A head shorter than the kind (a record cut in its first line) still counts when it agrees so far.
        const size_t n = std::min(head.size(), start.size());
        if (n > 0 && head.compare(0, n, start, 0, n) == 0) return true;
    }
    return false;
}

std::string NotARecordMessage(const std::string& path, const std::string& why) {
    return "--record " + path + ": " + why + "; only a record of brisklode-cli is appended to (the file is left as it was)";
}
