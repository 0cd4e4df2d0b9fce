// "Open updater" against an https handler that any program of the user could have written: the address is opened by the
// desktop's shell, as the signed-in user, and never by this (elevated) program itself; without the desktop's shell
// nothing is started at all.
#include <windows.h>
#include <shellapi.h>

#include <doctest.h>

#include <cstdio>
#include <string>

#include "gui_support.h"
#include "setup_window.h"
#include "setup_window_state.h"
#include "user_session_open.h"

namespace {
constexpr wchar_t kHandlerKey[] = L"https\\shell\\open\\command";
constexpr int kHandlerWaitMs = 15000;

std::string program_dir() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    REQUIRE((n > 0 && n < MAX_PATH));
    std::string s(path, n);
    return s.substr(0, s.rfind('\\'));
}
std::string record_path() { return program_dir() + "\\url-handler-record.txt"; }

std::string read_record() {
    std::string s;
    if (FILE* f = std::fopen(record_path().c_str(), "rb")) {
        char buf[1024];
        std::size_t got = 0;
        while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, got);
        std::fclose(f);
    }
    return s;
}

// The https handler for as long as this lives: the stand-in browser. On Windows any program of
// the user can set it (HKCU\Software\Classes\https, which HKEY_CLASSES_ROOT prefers); Wine has
// no per-user classes, so the entry that HKEY_CLASSES_ROOT shows stands in for it here.
class UserHandler {
public:
    UserHandler() {
        REQUIRE(RegCreateKeyExW(HKEY_CLASSES_ROOT, kHandlerKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_,
                                nullptr) == ERROR_SUCCESS);
        DWORD size = sizeof saved_;
        had_ =
            RegQueryValueExW(key_, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(saved_), &size) == ERROR_SUCCESS;
        const std::wstring command = L"\"" + gui::widen(program_dir()) + L"\\url_handler.exe\" \"%1\"";
        REQUIRE(set(command.c_str()) == ERROR_SUCCESS);
        DeleteFileA(record_path().c_str());
    }
    ~UserHandler() {
        if (had_)
            set(saved_);
        else
            RegDeleteValueW(key_, nullptr);
        RegCloseKey(key_);
        DeleteFileA(record_path().c_str());
    }
    UserHandler(const UserHandler&) = delete;
    UserHandler& operator=(const UserHandler&) = delete;

private:
    LSTATUS set(const wchar_t* command) {
        return RegSetValueExW(key_, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                              static_cast<DWORD>((wcslen(command) + 1) * sizeof(wchar_t)));
    }
    HKEY key_ = nullptr;
    bool had_ = false;
    wchar_t saved_[1024] = {};
};

// The setup window of this thread, its first check run to its end.
class Window {
public:
    Window() {
        hwnd_ = create_setup_window(GetModuleHandleW(nullptr));
        REQUIRE(hwnd_);
        settle();
    }
    ~Window() {
        settle();
        DestroyWindow(hwnd_);
        gui::pump_messages();
        UnregisterClassW(kSetupWindowClass, GetModuleHandleW(nullptr));
    }
    void settle() const {
        gui::pump_messages();
        gui::wait_for([this] { return !setup_window_state_of(hwnd_)->busy; }, 60000);
    }
    void open_updater() const { SendMessageW(hwnd_, WM_COMMAND, IDC_OPEN_UPDATER, 0); }
    std::wstring pane() const { return gui::text_of(setup_window_state_of(hwnd_)->pane); }

private:
    HWND hwnd_ = nullptr;
};

const std::wstring kNoBrowser =
    L"Could not open the browser. Visit " + gui::widen(SETUP_UPDATER_ADDRESS) + L" manually.";
}  // namespace

TEST_CASE("the user's https handler is started by the desktop's shell, not by the setup program") {
    UserHandler handler;
    // The entry works: a plain shell "open" from this program starts it, as this program's child
    // (what "Open updater" did before, with the setup program's administrator rights).
    const HINSTANCE direct =
        ShellExecuteW(nullptr, L"open", L"" SETUP_UPDATER_ADDRESS, nullptr, nullptr, SW_SHOWNORMAL);
    REQUIRE(reinterpret_cast<INT_PTR>(direct) > 32);
    REQUIRE(gui::wait_for([] { return !read_record().empty(); }, kHandlerWaitMs));
    CHECK(read_record().rfind(std::to_string(GetCurrentProcessId()) + " ", 0) == 0);
    DeleteFileA(record_path().c_str());

    Window w;
    w.open_updater();
    REQUIRE_MESSAGE(gui::wait_for([] { return !read_record().empty(); }, kHandlerWaitMs), gui::narrow(w.pane()));
    const std::string record = read_record();
    INFO(record);
    CHECK(record.rfind(std::to_string(GetCurrentProcessId()) + " ", 0) != 0);
    CHECK(gui::same_ascii_nocase(gui::widen(record.substr(record.find(' ') + 1, 12)), L"explorer.exe"));
    CHECK(record.find(SETUP_UPDATER_ADDRESS) != std::string::npos);
    CHECK(w.pane().find(kNoBrowser) == std::wstring::npos);
}

// Run with OleAut32 kept from the program (a separate registration of this test): the desktop's
// shell cannot be reached.
TEST_CASE("without the desktop's shell nothing is started and the line says so") {
    UserHandler handler;
    CHECK_FALSE(open_in_user_session(L"" SETUP_UPDATER_ADDRESS));
    Window w;
    w.open_updater();
    CHECK(gui::wait_for([&] { return w.pane().find(kNoBrowser) != std::wstring::npos; }, 5000));
    Sleep(3000);  // what a start would have written by now
    CHECK(read_record().empty());
}
