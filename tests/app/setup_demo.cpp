// The demo's hands: starts the setup program with no bootloader connected, waits for its first
// check (which finds none), has the script plug the simulated bootloader in and tells the window
// as Windows would (WM_DEVICECHANGE to every top-level window), waits for the check that follows
// by itself, clicks "Install WinUSB", answers Yes, waits for the outcome, copies the diagnostics
// with the program's own button and closes the window. At four moments it asks the script that
// runs it for a screenshot: it prints "SNAPSHOT <name>" and waits (a limited time) until the
// script has made <name>.done in the output folder; "PLUG_IN" and plugged.done likewise.
//   setup_demo.exe SETUP_EXE OUTPUT_FOLDER        (Windows paths)
// Prints "STATUS <status line>", "READY_SECONDS <s>", "FOUND_SECONDS <s>" (from the plug-in to
// the window's own check's result), "INSTALL_SECONDS <s>", how long the window
// took to answer while the installation ran ("REPLY_MAX_MS", "REPLY_P99_MS", "REPLY_SAMPLES") and,
// when the progress window was never seen, "NO_PROGRESS_WINDOW". Exit code 0 only for a verified
// install.
#include <windows.h>

#include <dbt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "gui_support.h"
#include "own_desktop.h"
#include "setup_window.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStartMs = 60000;
constexpr int kInstallMs = 300000;
constexpr int kSnapshotMs = 15000;
constexpr int kProgressSettleMs = 1500;
constexpr wchar_t kChecking[] = L"Checking the connected DFU device...";
constexpr wchar_t kInstalling[] = L"Installing and verifying WinUSB...";
constexpr wchar_t kVerified[] = L"Success: WinUSB binding verified. Reconnect in BOOT0.";

std::wstring out_dir;

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Asks the script for something ("SNAPSHOT 1-after-check", "PLUG_IN") and waits until it has
// made <name>.done in the output folder.
void ask_script(const std::string& request, const std::string& name) {
    const std::wstring done = out_dir + L"\\" + gui::widen(name) + L".done";
    say(request);
    gui::wait_for([&] { return GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES; }, kSnapshotMs);
    DeleteFileW(done.c_str());
}

void snapshot(const char* name) { ask_script(std::string("SNAPSHOT ") + name, name); }

// VESK_DEMO_DPI=N: the setup program starts with the display at N DPI (Wine reads it when a
// program starts); the earlier value comes back when the demo ends.
class DisplayDpi {
public:
    DisplayDpi() {
        wchar_t value[8] = {};
        if (!GetEnvironmentVariableW(L"VESK_DEMO_DPI", value, 8)) return;
        const DWORD dpi = static_cast<DWORD>(_wtoi(value));
        if (dpi == 0 || RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_ALL_ACCESS,
                                        nullptr, &key_, nullptr) != ERROR_SUCCESS)
            return;
        DWORD size = sizeof old_;
        had_ = RegQueryValueExW(key_, L"LogPixels", nullptr, nullptr, reinterpret_cast<BYTE*>(&old_), &size) ==
               ERROR_SUCCESS;
        RegSetValueExW(key_, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof dpi);
    }
    ~DisplayDpi() {
        if (!key_) return;
        if (had_)
            RegSetValueExW(key_, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&old_), sizeof old_);
        else
            RegDeleteValueW(key_, L"LogPixels");
        RegCloseKey(key_);
    }
    DisplayDpi(const DisplayDpi&) = delete;
    DisplayDpi& operator=(const DisplayDpi&) = delete;

private:
    HKEY key_ = nullptr;
    DWORD old_ = 0;
    bool had_ = false;
};

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

bool write_utf8(const std::wstring& path, const std::wstring& text) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    const std::string bytes = gui::narrow(text);
    DWORD written = 0;
    const BOOL ok = WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(f);
    return ok && written == bytes.size();
}

// Lets a window that has just appeared paint itself before the screenshot is taken.
void let_paint(HWND window) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
}

// Asks the window for a reply every 20 ms until stopped, as a user's clicks would: the window
// thread must never wait on the worker, so every wait stays short.
class ReplyProbe {
public:
    explicit ReplyProbe(HWND window) : window_(window), thread_([this] { run(); }) {}
    ~ReplyProbe() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    void report() {
        stop();
        std::vector<double> w = waits_;
        std::sort(w.begin(), w.end());
        char line[96];
        std::snprintf(line, sizeof line, "REPLY_SAMPLES %zu", w.size());
        say(line);
        if (w.empty()) return;
        const size_t p99 = std::min(w.size() - 1, (w.size() * 99 + 99) / 100 - 1);
        std::snprintf(line, sizeof line, "REPLY_MAX_MS %.1f", w.back());
        say(line);
        std::snprintf(line, sizeof line, "REPLY_P99_MS %.1f", w[p99]);
        say(line);
    }

private:
    void run() {
        while (!stop_) {
            const auto asked = Clock::now();
            DWORD_PTR ignored = 0;
            // No abort-if-hung: a hung window is what this measures.
            SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &ignored);
            waits_.push_back(std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
            Sleep(20);
        }
    }
    HWND window_;
    std::atomic<bool> stop_{false};
    std::vector<double> waits_;
    std::thread thread_;
};

}  // namespace

int wmain(int argc, wchar_t** argv);  // the -municode entry, which no header declares
int wmain(int argc, wchar_t** argv) {
    // VESK_DEMO_DESKTOP=1: a prefix whose default desktop has no display (the test suite's);
    // the driver runs again on a desktop of its own, and the setup program inherits it.
    wchar_t flag[4] = {};
    if (GetEnvironmentVariableW(L"VESK_DEMO_DESKTOP", flag, 4) && flag[0] == L'1')
        return gui_desktop::run_again_on_own_desktop(L"VESK_DEMO_DESKTOP", nullptr);
    if (argc != 3) {
        std::fputs("usage: setup_demo SETUP_EXE OUTPUT_FOLDER\n", stderr);
        return 2;
    }
    out_dir = argv[2];
    const DisplayDpi dpi;
    std::wstring command = L"\"" + std::wstring(argv[1]) + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    const auto started = Clock::now();
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        say("ERROR could not start the setup program");
        return 1;
    }
    HWND window = nullptr;
    gui::wait_for(
        [&] {
            for (HWND h : gui::top_windows(pi.dwProcessId, kSetupWindowClass))
                if (IsWindowVisible(h)) window = h;
            return window != nullptr;
        },
        kStartMs);
    if (!window) {
        say("ERROR no setup window");
        TerminateProcess(pi.hProcess, 1);
        return 1;
    }
    const std::vector<HWND> controls = gui::children(window);
    const HWND status_line = controls.at(2);
    const HWND pane = controls.back();
    auto status = [&] { return gui::text_of(status_line); };
    auto idle = [&] { return IsWindowEnabled(GetDlgItem(window, IDC_CHECK_DEVICE)) != FALSE; };
    auto checked = [&] { return idle() && status() != kChecking && status() != L"Ready to check the device."; };

    // The first check runs by itself, before the bootloader is connected.
    gui::wait_for(checked, kStartMs);
    char seconds[64];
    std::snprintf(seconds, sizeof seconds, "READY_SECONDS %.2f", seconds_since(started));
    say(seconds);
    let_paint(window);
    snapshot("0-no-device");

    // Plugged in: Wine does not announce a synthetic device node, so the news goes out here as
    // Windows sends it, to every top-level window; the window checks by itself.
    ask_script("PLUG_IN", "plugged");
    const auto plugged = Clock::now();
    PostMessageW(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    gui::wait_for([&] { return !idle() || status() == kChecking; }, 5000);
    gui::wait_for(checked, kStartMs);
    std::snprintf(seconds, sizeof seconds, "FOUND_SECONDS %.2f", seconds_since(plugged));
    say(seconds);
    let_paint(window);
    snapshot("1-after-check");

    bool verified = false;
    if (IsWindowEnabled(GetDlgItem(window, IDC_INSTALL_WINUSB))) {
        const auto install_start = Clock::now();
        ReplyProbe replies(window);
        PostMessageW(window, WM_COMMAND, IDC_INSTALL_WINUSB, 0);
        const gui::Box confirm = gui::wait_for_box(pi.dwProcessId, kStartMs);
        if (confirm.hwnd) gui::answer(confirm, IDYES);
        gui::wait_for([&] { return status() == kInstalling; }, kStartMs);  // the worker has started
        HWND progress = nullptr;
        gui::wait_for(
            [&] {
                for (HWND h : gui::top_windows(pi.dwProcessId, L"vesk_progress_class"))
                    if (IsWindowVisible(h)) progress = h;
                return progress != nullptr || (idle() && status() != kInstalling);
            },
            kInstallMs);
        if (progress) {
            // Just shown: Wine maps it first and paints it a moment later.
            gui::wait_for([&] { return !IsWindow(progress); }, kProgressSettleMs);
            let_paint(progress);
            let_paint(window);
            snapshot("2-progress");
        } else
            say("NO_PROGRESS_WINDOW");
        gui::wait_for([&] { return idle() && status() != kInstalling; }, kInstallMs);
        std::snprintf(seconds, sizeof seconds, "INSTALL_SECONDS %.2f", seconds_since(install_start));
        say(seconds);
        replies.report();
        verified = status() == kVerified;
    }
    let_paint(window);
    snapshot("3-outcome");
    const std::wstring outcome = status();  // before the copy, which says so in the status line for a while

    // The diagnostics as the user gets them: "Copy diagnostics", then the clipboard.
    // Sent, not posted: the click is over (the clipboard closed again) when the call returns, so
    // reading the clipboard can never hold it while the program writes it.
    gui::put_clipboard_text(L"");
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, WM_COMMAND, IDC_COPY_DIAGNOSTICS, 0, SMTO_ABORTIFHUNG, 10000, &ignored);
    std::wstring copied = gui::clipboard_text();
    if (copied.empty() || copied[0] == L'<') copied = gui::text_of(pane);  // what the pane shows, then
    write_utf8(out_dir + L"\\diagnostics.txt", copied);
    say("STATUS " + gui::narrow(outcome));

    PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(pi.hProcess, 15000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return verified ? 0 : 1;
}
