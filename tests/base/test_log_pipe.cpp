// The logger pipe between threads that log and the window thread that reads, with a real
// message loop on a window of its own.
#include <windows.h>

#include <doctest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "libvesk.h"
#include "owners.h"
#include "vesk_log.h"

namespace {
constexpr UINT kLogMessage = WM_APP + 3;

// Window thread state: every delivery is answered by exactly one read, as the contract says.
struct Reader {
    std::vector<std::string> lines;
    std::vector<WPARAM> levels;
    int empty_reads = 0;
    vesk_result last_result = VESK_OK;
};
Reader* reader = nullptr;

LRESULT CALLBACK log_window_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == kLogMessage && reader) {
        char buf[8192];
        uint32_t size = 0;
        reader->last_result = vesk_read_logger(buf, sizeof buf, &size);
        if (reader->last_result == VESK_OK && size > 0) {
            reader->lines.emplace_back(buf);
            reader->levels.push_back(wp);
        } else if (reader->last_result == VESK_OK) {
            ++reader->empty_reads;
        }
        return 0;
    }
    return DefWindowProcW(h, msg, wp, lp);
}

HWND make_window() {
    static bool registered = false;
    if (!registered) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = log_window_proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"VeskLogTestWindow";
        RegisterClassW(&wc);
        registered = true;
    }
    return CreateWindowW(L"VeskLogTestWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr),
                         nullptr);
}

constexpr int kLines = 200;
struct WorkerArgs {
    std::atomic<bool>* done;
};
DWORD WINAPI log_from_worker(void* p) {
    const std::string pad(280, 'p');
    for (int i = 0; i < kLines; ++i) vesk_log_message(VESK_LOG_ERROR, "worker", "%04d %s", i, pad.c_str());
    static_cast<WorkerArgs*>(p)->done->store(true);
    return 0;
}

void pump() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
}

// Registers a fresh window with a fresh reader for one test, and undoes it afterwards.
struct Registration {
    Reader state;
    HWND window;
    vesk_result result;
    Registration(uint32_t size = 8192) {
        reader = &state;
        window = make_window();
        result = vesk_register_logger(window, kLogMessage, size);
    }
    ~Registration() {
        pump();
        vesk_unregister_logger(window);
        DestroyWindow(window);
        reader = nullptr;
        vesk_set_log_threshold(VESK_LOG_INFO);
    }
};
}  // namespace

TEST_CASE("lines reach the window in order with their level, filtered by the threshold") {
    Registration reg;
    REQUIRE(reg.result == VESK_OK);
    struct Row {
        int threshold;
        std::vector<int> written;  // levels 0..3 and 7 are logged; these pass
    };
    static const Row rows[] = {
        {2, {2, 3, 7}},
        {4, {7}},
        {-1, {0, 1, 2, 3, 7}},
        {1, {1, 2, 3, 7}},
    };
    for (const Row& r : rows) {
        CAPTURE(r.threshold);
        reg.state.lines.clear();
        reg.state.levels.clear();
        vesk_set_log_threshold(r.threshold);
        for (int level : {0, 1, 2, 3, 7}) vesk_log_message(level, "src", "line %d", level);
        pump();
        REQUIRE(reg.state.lines.size() == r.written.size());
        for (std::size_t i = 0; i < r.written.size(); ++i) {
            const int level = r.written[i];
            const char* name = level == 0   ? "debug"
                               : level == 1 ? "info"
                               : level == 2 ? "warning"
                               : level == 3 ? "error"
                                            : "unknown";
            CHECK(reg.state.lines[i] == std::string("libvesk:") + name + " [src] line " + std::to_string(level));
            CHECK(reg.state.levels[i] == static_cast<WPARAM>(level));
        }
    }
}

TEST_CASE("a line over 511 characters is cut and followed by the notice at its level") {
    Registration reg;
    REQUIRE(reg.result == VESK_OK);
    const std::string prefix = "libvesk:warning [s] ";
    const std::string exact(511 - prefix.size(), 'x');
    vesk_log_message(VESK_LOG_WARNING, "s", "%s", exact.c_str());
    vesk_log_message(VESK_LOG_WARNING, "s", "%s!", exact.c_str());
    pump();
    REQUIRE(reg.state.lines.size() == 3);
    CHECK(reg.state.lines[0] == prefix + exact);
    CHECK(reg.state.lines[1] == prefix + exact);  // the '!' is cut
    CHECK(reg.state.lines[2] ==
          "TRUNCATION detected for above line - Please send this log excerpt to the libvesk developers so we can fix "
          "it.");
    CHECK(reg.state.levels[2] == VESK_LOG_WARNING);
}

TEST_CASE("a worker that logs past the drain limit is served by the window thread without loss") {
    Registration reg;
    REQUIRE(reg.result == VESK_OK);
    // 200 lines of ~300 bytes: far more than the 8192-byte pipe holds, so the writer must
    // drain through synchronous deliveries while the window thread keeps pumping.
    std::atomic<bool> done{false};
    WorkerArgs args{&done};
    HANDLE worker = CreateThread(nullptr, 0, log_from_worker, &args, 0, nullptr);
    REQUIRE(worker != nullptr);
    // While the worker logs, the window thread serves only sent messages: the posted notices
    // pile up unread, so the writer is bound to find the pipe full and drain synchronously.
    const DWORD start = GetTickCount();
    while (!done.load() && GetTickCount() - start < 20000) {
        MsgWaitForMultipleObjects(1, &worker, FALSE, 50, QS_SENDMESSAGE);
        MSG m;
        PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    pump();
    CHECK(WaitForSingleObject(worker, 5000) == WAIT_OBJECT_0);
    CloseHandle(worker);
    REQUIRE(done.load());
    REQUIRE(reg.state.lines.size() == kLines);
    for (int i = 0; i < kLines; ++i) {
        char want[8];
        std::snprintf(want, sizeof want, "%04d", i);
        CHECK(reg.state.lines[static_cast<std::size_t>(i)].substr(std::strlen("libvesk:error [worker] "), 4) == want);
    }
    // The notices posted for lines that a drain already delivered find nothing pending.
    CHECK(reg.state.empty_reads > 0);
}

TEST_CASE("a window that never reads makes the writer drop lines, not hang") {
    Registration reg;
    REQUIRE(reg.result == VESK_OK);
    reader = nullptr;  // deliveries reach the window, and it reads nothing
    const uint32_t dropped_before = vesk_log_dropped_lines();
    const std::string pad(280, 'p');
    const DWORD start = GetTickCount();
    for (int i = 0; i < kLines; ++i) vesk_log_message(VESK_LOG_ERROR, "stuck", "%04d %s", i, pad.c_str());
    CHECK(GetTickCount() - start < 5000);
    // What fit under the drain limit was kept; the rest was counted as dropped.
    const uint32_t dropped = vesk_log_dropped_lines() - dropped_before;
    CHECK(dropped > 0);
    CHECK(dropped < static_cast<uint32_t>(kLines));
    reader = &reg.state;
    pump();
    CHECK(reg.state.lines.size() + dropped == static_cast<std::size_t>(kLines));
    if (!reg.state.lines.empty()) CHECK(reg.state.lines[0].find("0000 ") != std::string::npos);
}

TEST_CASE("a process holding the old fixed pipe name changes nothing") {
    UniqueFile squatter(CreateNamedPipeA("\\\\.\\pipe\\libvesk-logger", PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_NOWAIT,
                                         PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
    REQUIRE(squatter);
    Registration reg;
    REQUIRE(reg.result == VESK_OK);
    vesk_log_message(VESK_LOG_ERROR, "here", "%s", "for the window only");
    pump();
    REQUIRE(reg.state.lines.size() == 1);
    CHECK(reg.state.lines[0] == "libvesk:error [here] for the window only");
    // Nobody ever connected to the squatter's end.
    CHECK_FALSE(ConnectNamedPipe(squatter.get(), nullptr));
    CHECK(GetLastError() == ERROR_PIPE_LISTENING);
}

TEST_CASE("reads: empty, overflow, then the empty-buffer notice") {
    Registration reg;
    REQUIRE(reg.result == VESK_OK);
    reader = nullptr;  // the window does not read: the test reads by hand
    char buf[64];
    uint32_t size = 77;
    CHECK(vesk_read_logger(buf, sizeof buf, &size) == VESK_OK);
    CHECK(size == 0);
    CHECK(buf[0] == '\0');

    vesk_log_message(VESK_LOG_ERROR, "s", "%s", "0123456789012345678901234567890123456789");  // 60 bytes
    char small[16];
    size = 77;
    CHECK(vesk_read_logger(small, sizeof small, &size) == VESK_ERR_OVERFLOW);
    CHECK(size == 0);
    size = 77;
    CHECK(vesk_read_logger(buf, sizeof buf, &size) == VESK_OK);
    CHECK(std::string(buf) == "ERROR: log buffer is empty");
    CHECK(size == std::strlen("ERROR: log buffer is empty"));
    reader = &reg.state;
}

TEST_CASE("a logger call finds its guard held elsewhere and fails at once") {
    // The named mutex is what a running call of the same function holds, in any process.
    struct Row {
        const char* mutex;
        int call;
    };
    static const Row rows[] = {
        {"Global\\vesk_register_logger", 0},
        {"Global\\vesk_unregister_logger", 1},
        {"Global\\vesk_read_logger", 2},
    };
    for (const Row& r : rows) {
        CAPTURE(r.mutex);
        HANDLE held = CreateMutexA(nullptr, TRUE, r.mutex);
        REQUIRE(held != nullptr);
        char buf[16];
        uint32_t size = 0;
        vesk_result got = r.call == 0   ? vesk_register_logger(nullptr, kLogMessage, 0)
                          : r.call == 1 ? vesk_unregister_logger(nullptr)
                                        : vesk_read_logger(buf, sizeof buf, &size);
        CHECK(got == VESK_ERR_BUSY);
        CloseHandle(held);
    }
}

// Last: it leaves a pipe without a registered window, which no call can close.
TEST_CASE("registration rules") {
    HWND other = make_window();
    {
        Registration reg;
        REQUIRE(reg.result == VESK_OK);
        CHECK(vesk_register_logger(other, kLogMessage, 0) == VESK_ERR_ALREADY_EXISTS);
        CHECK(vesk_unregister_logger(other) == VESK_ERR_INVALID_PARAMETER);
        // The first registration is still in place: its window gets the next line.
        vesk_log_message(VESK_LOG_ERROR, "s", "still here");
        pump();
        REQUIRE(reg.state.lines.size() == 1);
        CHECK(reg.state.lines[0] == "libvesk:error [s] still here");
    }
    CHECK(vesk_unregister_logger(other) == VESK_OK);  // none registered: nothing changes

    // A read before any registration creates the pipe, so a registration then finds it.
    // (Bytes left unread by the overflow case above are reported by the empty-buffer notice.)
    char buf[64];
    uint32_t size = 5;
    CHECK(vesk_read_logger(buf, sizeof buf, &size) == VESK_OK);
    CHECK(vesk_register_logger(other, kLogMessage, 0) == VESK_ERR_ALREADY_EXISTS);
    DestroyWindow(other);
}
