// Shared by the installation-run tests: a package directory with the stand-in installer in it,
// and the library log captured through a logger window on the test thread.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <doctest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "files.h"
#include "install_run.h"
#include "installer_pipe.h"
#include "installer_process.h"
#include "libvesk.h"
#include "platform.h"
#include "scratch_tree.h"
#include "vesk_log.h"

namespace run_test {

constexpr UINT kLogMessage = WM_APP + 7;
inline std::vector<std::string> log_lines;

inline LRESULT CALLBACK log_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == kLogMessage) {
        char buf[8192];
        uint32_t size = 0;
        if (vesk_read_logger(buf, sizeof buf, &size) == VESK_OK && size > 0) log_lines.emplace_back(buf);
        return 0;
    }
    return DefWindowProcW(h, msg, wp, lp);
}

inline void pump() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
}

// Once per program: every library line at debug level and above lands in log_lines.
inline void capture_log() {
    static bool done = false;
    if (done) return;
    WNDCLASSW wc = {};
    wc.lpfnWndProc = log_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VeskRunTestLog";
    RegisterClassW(&wc);
    HWND w =
        CreateWindowW(L"VeskRunTestLog", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
    REQUIRE(w);
    REQUIRE(vesk_register_logger(w, kLogMessage, 0) == VESK_OK);
    vesk_set_log_threshold(VESK_LOG_DEBUG);
    done = true;
}

inline void clear_log() {
    pump();
    log_lines.clear();
}

inline int count_lines(const std::string& part) {
    pump();
    int n = 0;
    for (const std::string& l : log_lines)
        if (l.find(part) != std::string::npos) ++n;
    return n;
}
inline bool has_line(const std::string& part) { return count_lines(part) > 0; }

inline std::string dump_log() {
    pump();
    std::string s;
    for (const std::string& l : log_lines) s += l + "\n";
    return s;
}

inline std::string program_dir() {
    char dir[kPathBytes];
    program_directory(dir);
    return dir;
}

inline void write_text(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    REQUIRE(f);
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

inline std::string read_text(const std::string& path) {
    std::string s;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

using scratch::remove_tree;

// A fresh directory below TEMP with the stand-in under the installer's name for this machine.
class Package {
public:
    explicit Package(const std::string& script, bool with_installer = true) {
        static std::atomic<int> serial{0};
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        dir_ = std::string(temp) + "vesk-run-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
        REQUIRE(CreateDirectoryA(dir_.c_str(), nullptr));
        char name[kProgramNameBytes];
        REQUIRE(installer_program_name(GetPlatformArch(), name));
        if (with_installer) add_program(name, "");
        write_text(file("standin-script.txt"), script);
    }
    ~Package() { remove_tree(dir_); }
    void add_program(const std::string& name, const std::string& subdir) {
        const std::string target = subdir.empty() ? dir_ : dir_ + "\\" + subdir;
        CreateDirectoryA(target.c_str(), nullptr);
        const std::string from = program_dir() + "\\standin_installer.exe";
        REQUIRE_MESSAGE(CopyFileA(from.c_str(), (target + "\\" + name).c_str(), FALSE), from);
    }
    const std::string& dir() const { return dir_; }
    std::string file(const std::string& name) const { return dir_ + "\\" + name; }

private:
    std::string dir_;
};

// What the stand-in was started with: the quoted INF name, and after it the pipe name's digits.
struct StartedArgs {
    std::string inf;
    std::string pipe;
};
inline StartedArgs started_args(const Package& p) {
    std::string line = read_text(p.file("standin-args.txt"));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    const std::size_t space = line.rfind(' ');
    if (space == std::string::npos) return {line, ""};
    return {line.substr(0, space), line.substr(space + 1)};
}

// The device record a run installs for.
struct TestDevice {
    char device_id[64] = "USB\\VID_2E3C&PID_DF11\\6&2A3B4C5D&0&1";
    char hardware_id[64] = "USB\\VID_2E3C&PID_DF11&REV_0200";
    vesk_device record{};
    TestDevice() {
        record.vendor_id = 0x2E3C;
        record.product_id = 0xDF11;
        record.device_id = device_id;
        record.hardware_id = hardware_id;
    }
};

// The event a stand-in's "wait" blocks on; held for the whole program so that it outlives
// every stand-in.
inline HANDLE standin_release() {
    static HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "vesk-standin-release");
    return e;
}
inline void hold_standin() { ResetEvent(standin_release()); }
inline void release_standin() { SetEvent(standin_release()); }

// Finds a child of this process by program name, on a thread of its own while a run goes on,
// and keeps it open, so that its exit code can be read after the run.
class ChildWatch {
public:
    explicit ChildWatch(const std::string& exe) : exe_(exe.begin(), exe.end()) {
        thread_ = CreateThread(nullptr, 0, watch, this, 0, nullptr);
        REQUIRE(thread_);
    }
    ~ChildWatch() {
        join();
        if (process_) CloseHandle(process_);
    }
    // The child's exit code once it has ended; STILL_ACTIVE if it has not, 0xDEAD if never seen.
    DWORD exit_code() {
        join();
        if (!process_) return 0xDEAD;
        if (WaitForSingleObject(process_, 5000) != WAIT_OBJECT_0) return STILL_ACTIVE;
        DWORD code = 0xDEAD;
        GetExitCodeProcess(process_, &code);
        return code;
    }

private:
    void join() {
        if (!thread_) return;
        WaitForSingleObject(thread_, 20000);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    static DWORD WINAPI watch(void* p) {
        auto* self = static_cast<ChildWatch*>(p);
        for (int i = 0; i < 200 && !self->process_; ++i) {
            HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
            PROCESSENTRY32W e = {};
            e.dwSize = sizeof e;
            for (BOOL more = Process32FirstW(snap, &e); more && !self->process_; more = Process32NextW(snap, &e))
                if (e.th32ParentProcessID == GetCurrentProcessId() && _wcsicmp(e.szExeFile, self->exe_.c_str()) == 0)
                    self->process_ =
                        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, e.th32ProcessID);
            CloseHandle(snap);
            if (!self->process_) Sleep(50);
        }
        return 0;
    }
    std::wstring exe_;
    HANDLE thread_ = nullptr;
    HANDLE process_ = nullptr;
};

inline std::string installer_name() {
    char name[kProgramNameBytes];
    REQUIRE(installer_program_name(GetPlatformArch(), name));
    return name;
}

}  // namespace run_test
