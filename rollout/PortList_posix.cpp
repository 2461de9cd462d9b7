// The ports a station watches on POSIX systems: the device nodes its patterns name in the file system.
#include <glob.h>
#include <sys/stat.h>

#include <algorithm>

#include "rollout/PortWatch.h"

std::vector<std::string> ListMatchingPorts(const std::vector<std::string>& patterns) {
    std::vector<std::string> ports;
    for (const std::string& pattern : patterns) {
        glob_t found{};
        if (::glob(pattern.c_str(), 0, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc; ++i) {
                struct stat info;
                // stat follows a link: one whose device is gone is no port.
                if (::stat(found.gl_pathv[i], &info) == 0 && S_ISCHR(info.st_mode)) ports.push_back(found.gl_pathv[i]);
            }
        }
        ::globfree(&found);
    }
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}
