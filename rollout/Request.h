// What a rollout is asked to do: the command, its targets or how to find them, its images, its guard rails
// and its record. The command line builds one from its arguments.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "rollout/Targets.h"

enum class LegacyChoice { Ask, Yes, No };

struct RolloutRequest {
    std::string command;        // identify, update, log, inventory, discover, ports
    std::string path;           // firmware file (update) or output file or folder (log)
    LegacyChoice legacy = LegacyChoice::Ask;
    unsigned int baudRate = 0;  // 0 keeps the port's rate (also for the serial targets of a resume)
    std::uint32_t discoverTimeoutMs = 2000;

    // The targets, in this order: the list file, discovery (filtered), then `targets` as given.
    std::vector<RolloutTarget> targets;
    std::string targetsFile;             // one target a line; "-" for standard input
    bool discovered = false;             // every modem that answers the discovery probe
    std::string typeFilter;              // identity type code, checked after connecting
    std::vector<std::uint64_t> serialNumberFilter;  // with discovery
    std::vector<std::string> callFilter;            // with discovery
    unsigned int parallel = 4;
    bool yes = false;                    // update of several modems without asking
    bool confirm = false;                // update: wait for the reboot and check the version
    unsigned int confirmSeconds = 180;
    bool logPathIsFolder = false;        // log: the path names an existing folder
    bool overwrite = false;              // log DIR: replace an earlier run's file of the same name

    // The guard rails of a rollout.
    std::string expectFirmware;          // ok only when the modem comes back with this version
    std::vector<std::pair<std::string, std::string>> expectFirmwareByType;  // TYPE, version
    bool force = false;                  // update even a modem that already reports the expected version
    bool plan = false;                   // update: identify, show what the update would do, send nothing
    bool strict = false;                 // update: only ok targets succeed; a skip is a failure
    std::vector<std::pair<std::string, std::string>> firmwareByType;  // TYPE, image file
    unsigned maxFailures = 0;            // 0: no limit
    unsigned canary = 0;                 // the first N targets run before any other starts
    unsigned retries = 0;                // connect and identity attempts after the first
    unsigned connectTimeoutSeconds = 0;  // 0: the transport's own bound
    std::string recordPath;              // the record: appended to
    std::string resumePath;              // the targets that did not end well there; appends to it

    // The version a modem of identity type `type` must come back with: by type, else the plain one; empty for none.
    const std::string& ExpectedFirmware(const std::string& type) const;
    bool ExpectsFirmware() const { return !expectFirmware.empty() || !expectFirmwareByType.empty(); }
    // True when the log command writes one file per modem into a folder.
    bool LogToFolder() const;
};
