// Small file services of brisklode-cli on POSIX.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "cli/Files.h"

bool ReadTextFile(const std::string& path, std::string& text, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = "Cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    text.clear();
    char buffer[4096];
    size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, count);
        if (text.size() > (1u << 20)) {
            std::fclose(file);
            error = "Cannot read " + path + ": larger than 1 MiB";
            return false;
        }
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) error = "Cannot read " + path;
    return !failed;
}

bool EnsureFolder(const std::string& path, std::string& error) {
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    const int code = errno;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
    error = "Cannot create the folder " + path + ": " + std::strerror(code);
    return false;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

bool EnableTerminalEscapes() { return true; }
