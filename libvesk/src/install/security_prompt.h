// Windows' own security prompts (consent and credentials) while an installation runs: the
// progress window stops its clock for them, and the run's end asks them to go.
#pragma once

#include <windows.h>

// A visible top-level "Windows Security" dialog (class "#32770" or "Credential Dialog Xaml
// Host") whose process runs the system's consent or credential program from the system
// directory; the last one enumerated, or null. Anyone can make a window with that title, so
// the process is what makes it a prompt.
HWND find_security_prompt();

// Whether the image at `image_path` is the consent or credential program of `system_directory`
// (both full paths; compared ignoring ASCII case).
bool is_prompt_program(const wchar_t* image_path, const wchar_t* system_directory);

// The progress window's clock stops while a prompt is open, for at most kMaxPromptPauseTicks
// ticks in all: a prompt left open does not hold the time limit off for ever.
constexpr int kMaxPromptPauseTicks = 300;  // five minutes of one-second ticks
struct PromptPause {
    int paused_ticks = 0;
};
// Called once per tick: true when this tick is not counted.
bool pause_for_security_prompt(PromptPause& pause);
