// How long the steps of an operation take, for whoever follows the debugger output (DebugView
// on Windows; WINEDEBUG=warn+debugstr under Wine, where the demo reads it): one line
// "vesk-timing: <step> <ms> ms" per step. Nothing goes to the log or the screen.
#pragma once

#include <windows.h>

#include <cstdio>

class StepTimer {
public:
    // The time since the last lap (or since the timer was made), under the step's name.
    void lap(const char* step) {
        const ULONGLONG now = GetTickCount64();
        char line[96];
        std::snprintf(line, sizeof line, "vesk-timing: %s %llu ms\n", step, now - last_);
        OutputDebugStringA(line);
        last_ = now;
    }

private:
    ULONGLONG last_ = GetTickCount64();
};
