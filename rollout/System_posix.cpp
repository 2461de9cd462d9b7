// The system services of a rollout on POSIX: files, folders, the host, the time and ports.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "rollout/System.h"

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
    const int code = errno;
    std::fclose(file);
    if (failed) error = "Cannot read " + path + ": " + std::strerror(code);
    return !failed;
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool EnsureFolder(const std::string& path, std::string& error) {
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    const int code = errno;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return true;
        error = path + " is a file, not a folder: the logs of several modems go into a folder";
        return false;
    }
    error = "Cannot create the folder " + path + ": " + std::strerror(code);
    return false;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == 0) return "unknown";
    return name;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc {};
    ::gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

bool PathExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

void UseBinaryStandardInput() {}

std::string RealSerialPath(const std::string& port) {
    char* real = ::realpath(port.c_str(), nullptr);
    if (real == nullptr) return port;
    std::string path = real;
    std::free(real);
    return path;
}
