// The portable system services of a rollout.
#include "rollout/System.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

bool ReadStandardInput(std::string& text, std::string& error) {
    UseBinaryStandardInput();
    text.clear();
    char buffer[4096];
    size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) {
        text.append(buffer, count);
        if (text.size() > (1u << 20)) {
            error = "Cannot read the target list from standard input: larger than 1 MiB";
            return false;
        }
    }
    if (std::ferror(stdin) != 0) {
        error = std::string("Cannot read the target list from standard input: ") + std::strerror(errno);
        return false;
    }
    return true;
}
