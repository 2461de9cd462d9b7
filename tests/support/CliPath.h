// Where the command-line tests find brisklode-cli: $BRISKLODE_CLI, else the build's own.
#pragma once

#include <cstdlib>
#include <string>

inline std::string CliPath() {
    if (const char* env = std::getenv("BRISKLODE_CLI")) return env;
#ifdef BRISKLODE_CLI_PATH
    return BRISKLODE_CLI_PATH;
#else
    return "";
#endif
}
