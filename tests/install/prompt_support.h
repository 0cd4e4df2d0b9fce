// Security prompts for the progress window's tests: windows shown by the prompt double
// (prompt_double.cpp) from a path the test chooses, the system directory's consent.exe among
// them. The system directory is the prefix's, and the copy is removed again.
#pragma once

#include <windows.h>

#include <doctest.h>

#include <cstdio>
#include <string>

#include "run_support.h"

namespace prompt_test {

// The system directory as this program names it; a 32-bit program on a 64-bit prefix writes
// and starts there with the file-system redirection off, as the real 64-bit programs live there.
inline std::string system_directory() {
    char dir[MAX_PATH];
    const UINT n = GetSystemDirectoryA(dir, MAX_PATH);
    REQUIRE((n > 0 && n < MAX_PATH));
    return dir;
}

class NoRedirection {
public:
    NoRedirection() { disabled_ = Wow64DisableWow64FsRedirection(&old_) != FALSE; }
    ~NoRedirection() {
        if (disabled_) Wow64RevertWow64FsRedirection(old_);
    }

private:
    void* old_ = nullptr;
    bool disabled_ = false;
};

// The double at `path` for as long as this lives; open() shows its window, close() ends it.
class PromptProgram {
public:
    explicit PromptProgram(std::string path) : path_(std::move(path)) {
        const std::string from = run_test::program_dir() + "\\prompt_double.exe";
        NoRedirection off;
        REQUIRE_MESSAGE(CopyFileA(from.c_str(), path_.c_str(), FALSE), path_);
    }
    ~PromptProgram() {
        close();
        NoRedirection off;
        DeleteFileA(path_.c_str());
    }
    PromptProgram(const PromptProgram&) = delete;
    PromptProgram& operator=(const PromptProgram&) = delete;

    // The window, once the double has made it.
    HWND open(const char* cls, const char* title, DWORD style = WS_POPUP | WS_VISIBLE, HWND parent = nullptr) {
        close();
        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "vesk-prompt-ready");
        HANDLE close_event = CreateEventA(nullptr, TRUE, FALSE, "vesk-prompt-close");
        ResetEvent(ready);
        ResetEvent(close_event);
        CloseHandle(close_event);
        char numbers[48];
        std::snprintf(numbers, sizeof numbers, "%lX %llX", static_cast<unsigned long>(style),
                      static_cast<unsigned long long>(reinterpret_cast<INT_PTR>(parent)));
        std::string command = "\"" + path_ + "\" \"" + cls + "\" \"" + title + "\" " + numbers;
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        {
            NoRedirection off;
            REQUIRE(
                CreateProcessA(path_.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
        }
        CloseHandle(pi.hThread);
        process_ = pi.hProcess;
        HANDLE waits[2] = {ready, process_};
        REQUIRE(wait_pumping(waits, 2) == WAIT_OBJECT_0);
        CloseHandle(ready);
        Found f{pi.dwProcessId, nullptr};
        EnumWindows(by_process, reinterpret_cast<LPARAM>(&f));
        REQUIRE(f.window);
        return f.window;
    }
    void close() {
        if (!process_) return;
        HANDLE close_event = CreateEventA(nullptr, TRUE, FALSE, "vesk-prompt-close");
        SetEvent(close_event);
        CHECK(wait_pumping(&process_, 1) == WAIT_OBJECT_0);
        CloseHandle(close_event);
        CloseHandle(process_);
        process_ = nullptr;
    }
    // The image path this system reports for the double's process, while it runs.
    std::string reported_image() const {
        char image[MAX_PATH * 2] = {};
        DWORD size = sizeof image;
        if (!process_ || !QueryFullProcessImageNameA(process_, 0, image, &size)) return "";
        return image;
    }

private:
    // This thread's windows answer meanwhile: a child window of one of them talks to its parent.
    static DWORD wait_pumping(HANDLE* handles, DWORD count) {
        const DWORD start = GetTickCount();
        DWORD w = WAIT_TIMEOUT;
        while (GetTickCount() - start < 10000) {
            w = MsgWaitForMultipleObjects(count, handles, FALSE, 100, QS_ALLINPUT);
            if (w != WAIT_OBJECT_0 + count && w != WAIT_TIMEOUT) break;
            MSG m;
            while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
        }
        return w;
    }
    struct Found {
        DWORD pid;
        HWND window;
    };
    static BOOL CALLBACK by_process(HWND w, LPARAM lp) {
        auto* f = reinterpret_cast<Found*>(lp);
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid == f->pid) f->window = w;
        if (pid == f->pid) return FALSE;
        EnumChildWindows(w, by_process_child, lp);
        return f->window ? FALSE : TRUE;
    }
    static BOOL CALLBACK by_process_child(HWND w, LPARAM lp) {
        auto* f = reinterpret_cast<Found*>(lp);
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid == f->pid) f->window = w;
        return f->window ? FALSE : TRUE;
    }
    std::string path_;
    HANDLE process_ = nullptr;
};

}  // namespace prompt_test
