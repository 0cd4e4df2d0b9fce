// Collects the library's log lines through its logger pipe, the way the setup window reads them:
// a message-only window on the test's thread reads one line per logger message.
// The logger calls guard themselves with mutexes that are global to the Wine prefix, and other
// test programs may be inside the same call at that instant: a busy answer is retried for a
// bounded time here, so that only a real failure fails the test.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "libvesk.h"

class LogCapture {
public:
    static constexpr UINT kMessage = WM_APP + 40;

    explicit LogCapture(int threshold = VESK_LOG_DEBUG) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"vesk_log_capture";
        RegisterClassW(&wc);  // fails harmlessly when already registered
        window_ =
            CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        registered_ = window_ && retry_busy([&] { return vesk_register_logger(window_, kMessage, 0); }) == VESK_OK;
        vesk_set_log_threshold(threshold);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    ~LogCapture() {
        if (registered_) retry_busy([&] { return vesk_unregister_logger(window_); });
        vesk_set_log_threshold(VESK_LOG_INFO);
        if (window_) DestroyWindow(window_);
    }
    bool ok() const { return registered_; }
    HWND window() const { return window_; }

    // Reads every line delivered so far.
    const std::vector<std::string>& lines() {
        MSG msg;
        while (PeekMessageW(&msg, window_, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        return lines_;
    }
    bool has(const std::string& line) {
        for (const std::string& l : lines())
            if (l == line) return true;
        return false;
    }
    int count(const std::string& line) {
        int n = 0;
        for (const std::string& l : lines()) n += l == line;
        return n;
    }
    void clear() {
        lines();
        lines_.clear();
    }

private:
    // Another process holds the guard for the length of one short call; 2 s is plenty.
    template <class Call>
    static vesk_result retry_busy(Call call) {
        const DWORD start = GetTickCount();
        vesk_result r = call();
        while (r == VESK_ERR_BUSY && GetTickCount() - start < 2000) {
            Sleep(1);
            r = call();
        }
        return r;
    }

    static LRESULT CALLBACK proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
        auto* self = reinterpret_cast<LogCapture*>(GetWindowLongPtrW(h, GWLP_USERDATA));
        if (msg == kMessage && self) {
            char buf[1024];
            uint32_t size = 0;
            if (retry_busy([&] { return vesk_read_logger(buf, sizeof buf, &size); }) == VESK_OK && size > 0) {
                std::string line(buf, size);
                while (!line.empty() && (line.back() == '\0' || line.back() == '\n')) line.pop_back();
                self->lines_.push_back(line);
            }
            return 0;
        }
        return DefWindowProcW(h, msg, wp, lp);
    }

    HWND window_ = nullptr;
    bool registered_ = false;
    std::vector<std::string> lines_;
};
