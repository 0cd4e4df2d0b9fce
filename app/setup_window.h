// The setup program's main window: controls, commands, worker messages and the diagnostics pane.
#pragma once

#include <windows.h>

#include <cstddef>

#include "build_info.h"

inline constexpr wchar_t kSetupWindowClass[] = L"MorvaneDriverSetup";
#if VESK_CARRIES_STANDINS
inline constexpr wchar_t kSetupWindowTitle[] = L"Morvane Windows Driver Setup (test build)";
// First diagnostics line of a build whose package carries the co-installer stand-ins.
inline constexpr char kTestBuildLine[] =
    "This test build carries test stand-ins of Microsoft's co-installers and cannot install a driver on a real PC.";
#else
inline constexpr wchar_t kSetupWindowTitle[] = L"Morvane Windows Driver Setup";
#endif
inline constexpr char kVersionLine[] =
    "Morvane Windows Driver Setup " VESK_SETUP_VERSION " / libvesk " VESK_LIBRARY_VERSION;

inline constexpr int IDC_CHECK_DEVICE = 101;
inline constexpr int IDC_INSTALL_WINUSB = 102;
inline constexpr int IDC_COPY_DIAGNOSTICS = 103;
inline constexpr int IDC_OPEN_UPDATER = 104;
inline constexpr int kSetupIconId = 1;  // the program's icon resource

inline constexpr int kSetupWindowWidth = 716;  // outer size at 96 DPI
inline constexpr int kSetupWindowHeight = 510;
inline constexpr UINT kDeviceSettleMs = 500;  // a check this long after the last device change
inline constexpr UINT_PTR kDeviceChangeTimer = 1;
inline constexpr UINT kCopiedNoticeMs = 3000;        // how long "copied" stays in the status line
inline constexpr int kDiagnosticPaneLimit = 250000;  // characters; later text is cut off
inline constexpr std::size_t kPaneLineUnits = 4096;  // UTF-16 buffer of one appended line
inline constexpr int kPaneLineMaxUnits = 4093;       // conversion limit, terminator included
inline constexpr std::size_t kDeviceIdBytes = 1024;
inline constexpr std::size_t kLoggerBufferBytes = 8192;

// The address the "Open updater" button opens; the closing lines name it without the scheme.
#define SETUP_UPDATER_ADDRESS_NO_SCHEME UPDATER_HOST "/updater"
#define SETUP_UPDATER_ADDRESS "https://" SETUP_UPDATER_ADDRESS_NO_SCHEME

struct setup_window_state;  // setup_window_state.h
// The state of a setup window; null for any other window (and before WM_NCCREATE).
setup_window_state* setup_window_state_of(HWND window);

// Registers the class and creates the (hidden) main window; null when either fails.
HWND create_setup_window(HINSTANCE instance);
LRESULT CALLBACK setup_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Runs the message loop with dialog keyboard handling (Tab, Enter, mnemonics) until quit.
int run_setup_message_loop(HWND window);

// Adds one UTF-8 line to the window's diagnostics pane; window thread only.
void append_diagnostic_line(HWND window, const char* line);
