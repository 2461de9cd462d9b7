// The station bench: units plugged at four ports one after another, units per hour against the line's floor.
#pragma once

#include <string>

// Runs `cli` station over pseudo-terminals made by the simulator; 0 when every unit passed.
int BenchStation(const std::string& cli);
