// Driving the progress window from the test instead of waiting: a message hook on the dialog's
// thread (the test thread) drops the real one-second timer, turns the test's posted "tick"
// messages into WM_TIMER, and answers "checkpoint" messages by recording what the window shows
// once every earlier tick has been handled. A helper thread posts both.
#pragma once

#include <windows.h>

#include <doctest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "installer_protocol.h"
#include "run_support.h"

namespace progress_test {

constexpr UINT kTickMessage = WM_APP + 20;
constexpr UINT kCheckMessage = WM_APP + 21;
constexpr UINT kDoneMessage = WM_APP + 1;  // the run's end, as the worker posts it

struct Checkpoint {
    std::wstring text;
    bool owner_enabled;
};

inline HWND owner = nullptr;
inline std::atomic<HWND> dialog{nullptr};
inline std::vector<Checkpoint> checkpoints;
inline std::wstring text_at_end;
inline HANDLE checkpoint_done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
inline HANDLE dialog_seen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
inline HANDLE run_over = CreateEventW(nullptr, TRUE, FALSE, nullptr);
// Run on the dialog's thread at a checkpoint, before it is recorded.
inline std::function<void(HWND)> at_checkpoint;

inline std::wstring static_text(HWND d) {
    HWND text = FindWindowExW(d, nullptr, L"Static", nullptr);
    wchar_t buf[256] = {};
    if (text) GetWindowTextW(text, buf, 256);
    return buf;
}

inline bool is_progress_window(HWND h) {
    wchar_t name[64] = {};
    return h && GetClassNameW(h, name, 64) && std::wstring(name) == L"vesk_progress_class";
}

inline LRESULT CALLBACK hook(int code, WPARAM wp, LPARAM lp) {
    if (code == HC_ACTION && wp == PM_REMOVE) {
        MSG* m = reinterpret_cast<MSG*>(lp);
        // The first message of a new dialog (WM_APP, posted at its creation) makes it known.
        if (!dialog && is_progress_window(m->hwnd)) {
            dialog = m->hwnd;
            SetEvent(dialog_seen);
        }
        if (m->message == WM_TIMER && is_progress_window(m->hwnd)) {
            m->message = WM_NULL;  // only the test's ticks count
        } else if (m->message == kTickMessage) {
            m->message = WM_TIMER;
            m->wParam = 1;
            m->lParam = 0;
        } else if (m->message == kCheckMessage) {
            m->message = WM_NULL;
            if (at_checkpoint) at_checkpoint(dialog);
            checkpoints.push_back({static_text(dialog), owner && IsWindowEnabled(owner) != FALSE});
            SetEvent(checkpoint_done);
        } else if (m->message == kDoneMessage && is_progress_window(m->hwnd)) {
            text_at_end = static_text(m->hwnd);
        }
    }
    return CallNextHookEx(nullptr, code, wp, lp);
}

inline void install_hook() {
    static HHOOK h = SetWindowsHookExW(WH_GETMESSAGE, hook, nullptr, GetCurrentThreadId());
    REQUIRE(h);
}

inline HWND make_owner() {
    static bool registered = false;
    if (!registered) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"VeskProgressTestOwner";
        RegisterClassW(&wc);
        registered = true;
    }
    HWND w = CreateWindowW(L"VeskProgressTestOwner", L"Owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 200, 150, 640, 420,
                           nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    REQUIRE(w);
    return w;
}

// Helper-thread side. Every wait also ends when the run is over: an ended dialog answers nothing.
inline bool wait_or_over(HANDLE event, DWORD ms = 10000) {
    HANDLE both[2] = {event, run_over};
    return WaitForMultipleObjects(2, both, FALSE, ms) == WAIT_OBJECT_0;
}
inline void ticks(int n) {
    for (int i = 0; i < n; ++i) PostMessageW(dialog, kTickMessage, 0, 0);
}
inline bool checkpoint() {
    PostMessageW(dialog, kCheckMessage, 0, 0);
    return wait_or_over(checkpoint_done);
}

template <class Ctx>
DWORD WINAPI drive_thread(void* p) {
    if (wait_or_over(dialog_seen)) (*static_cast<Ctx*>(p)->drive)();
    return 0;
}

struct Run {
    run_test::TestDevice device;
    const run_test::Package* package;
    vesk_result result = VESK_ERR_OTHER;
    // On the test thread: the dialog's message loop runs here while `drive` runs beside it.
    vesk_result go(const std::function<void()>& drive) {
        struct Ctx {
            const std::function<void()>* drive;
        } ctx{&drive};
        checkpoints.clear();
        text_at_end.clear();
        dialog = nullptr;
        ResetEvent(dialog_seen);
        ResetEvent(run_over);
        HANDLE helper = CreateThread(nullptr, 0, drive_thread<Ctx>, &ctx, 0, nullptr);
        REQUIRE(helper);
        vesk_install_options options{owner, 0, 1000};
        result = vesk_install_driver(&device.record, package->dir().c_str(), "x.inf", &options);
        SetEvent(run_over);
        CHECK(WaitForSingleObject(helper, 10000) == WAIT_OBJECT_0);
        CloseHandle(helper);
        at_checkpoint = nullptr;
        return result;
    }
};

}  // namespace progress_test
