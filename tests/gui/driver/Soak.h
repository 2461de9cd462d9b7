// The GUI driver's long-run commands: resource samples of the product's process, a steady cadence, list waits.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Runs one soak command against the process `pid` whose main window is `main`.
// Returns -1 when w[0] is not a soak command, 0 when it failed (error set), 1 when it succeeded.
//
//   sample LABEL [MS]       prints "@@SAMPLE LABEL handles=N gdi=N user=N windows=N threads=N private=N ws=N",
//                           each the lowest of readings over MS (default 6000) milliseconds; -1 where this
//                           system does not tell. The runner adds the Linux figures
//   pace MS                 waits until MS milliseconds after the previous pace (the first one only starts
//                           the clock), so that a loop of steps keeps a fixed period whatever its steps took
//   wait-item MS REF MATCH  some entry of the drop-down list REF (a control id) matches within MS
int SoakStep(const std::vector<std::string>& w, DWORD pid, HWND main, std::string& error);
