// The library log: console until a window registers, then an in-process message pipe whose
// lines the window thread reads back one per posted message.
#include <windows.h>
#include <ntsecapi.h>
#include <sddl.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "error_text.h"
#include "files.h"
#include "global_guard.h"
#include "libvesk.h"
#include "log_line.h"
#include "owners.h"
#include "security_descriptors.h"
#include "vesk_log.h"

namespace {
// "\\.\pipe\libvesk-logger-<process ID>-<128 random bits>": no other process can guess it
// before it exists, and the first instance made here with this user's access only.
constexpr char kLoggerPipePrefix[] = "\\\\.\\pipe\\libvesk-logger";
constexpr std::size_t kLoggerPipeNameBytes = 96;
constexpr char kEmptyLogText[] = "ERROR: log buffer is empty";

// The process's one logger: the registered window and the in-process pipe whose lines the
// window reads back. Any thread may log, so each field is atomic.
struct Logger {
    std::atomic<HWND> window{nullptr};
    std::atomic<UINT> message{0};
    std::atomic<HANDLE> pipe_read{INVALID_HANDLE_VALUE};
    std::atomic<HANDLE> pipe_write{INVALID_HANDLE_VALUE};
    // Lines count only once their write succeeded, so a reader never waits on an empty pipe.
    std::atomic<uint32_t> pending_lines{0};
    std::atomic<uint32_t> pending_bytes{0};
    std::atomic<uint32_t> dropped_lines{0};
};

std::atomic<int> threshold{VESK_LOG_INFO};
Logger logger;

bool valid(HANDLE h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }

void close_end(std::atomic<HANDLE>& end) { UniqueFile closed(end.exchange(INVALID_HANDLE_VALUE)); }

vesk_result create_pipe(uint32_t size) {
    if (size == 0) size = kLogPipeDefaultBytes;
    if (valid(logger.pipe_write.load())) {
        std::fputs("trying to recreate logger pipe\n", stderr);
        return VESK_ERR_ALREADY_EXISTS;
    }
    char name[kLoggerPipeNameBytes];
    uint32_t random[4] = {};
    if (!RtlGenRandom(random, sizeof random) ||
        format_into(name, sizeof name, "%s-%lu-%08x%08x%08x%08x", kLoggerPipePrefix, GetCurrentProcessId(), random[0],
                    random[1], random[2], random[3]) != Fit::ok) {
        std::fputs("could not name logger pipe\n", stderr);
        return VESK_ERR_NO_RESOURCE;
    }
    char sddl[kPipeSddlBytes];
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!user_pipe_sddl(UserPipe::logger, sddl) ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr)) {
        std::fprintf(stderr, "could not create logger pipe for reading: %s\n", last_error_text(0));
        return VESK_ERR_NO_RESOURCE;
    }
    UniqueLocal owned_sd(sd);
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    UniqueFile r(CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                  PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                  size, size, 0, &sa));
    if (!r) {
        std::fprintf(stderr, "could not create logger pipe for reading: %s\n", last_error_text(0));
        return VESK_ERR_NO_RESOURCE;
    }
    UniqueFile w(CreateFileA(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!w) {
        std::fprintf(stderr, "could not create logger pipe for writing: %s\n", last_error_text(0));
        return VESK_ERR_NO_RESOURCE;
    }
    logger.pipe_read = r.release();
    logger.pipe_write = w.release();
    logger.pending_lines = 0;
    return VESK_OK;
}

void append_line(const char* line, std::size_t size, int level) {
    if (size > kLogDrainBytes) return;
    const HWND window = logger.window.load();
    const UINT message = logger.message.load();
    if (logger.pending_bytes.load() + size > kLogDrainBytes && logger.pending_lines.load() > 0) {
        // Each synchronous delivery makes the window read one line. A window that reads
        // nothing would leave the writer blocked on a full pipe: the line is dropped instead.
        for (uint32_t left = logger.pending_lines.load(); left > 0; left = logger.pending_lines.load()) {
            if (!SendMessageW(window, message, static_cast<WPARAM>(level), 0) && !IsWindow(window)) break;
            if (logger.pending_lines.load() >= left) break;
        }
        if (logger.pending_lines.load() > 0) {
            logger.dropped_lines += 1;
            return;
        }
        logger.pending_bytes = 0;
    }
    DWORD written = 0;
    if (WriteFile(logger.pipe_write.load(), line, static_cast<DWORD>(size), &written, nullptr)) {
        logger.pending_bytes += written;
        logger.pending_lines += 1;
    }
    PostMessageW(window, message, static_cast<WPARAM>(level), 0);
}
}  // namespace

int vesk_log_threshold() { return threshold.load(); }

uint32_t vesk_log_dropped_lines() { return logger.dropped_lines.load(); }

void vesk_log_message(int level, const char* source, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    if (!logger.window.load()) {
        if (level >= threshold.load()) {
            FILE* stream = level == VESK_LOG_INFO ? stdout : stderr;
            std::fprintf(stream, "libvesk:%s [%s] ", log_level_name(level), source ? source : "");
            std::vfprintf(stream, fmt, ap);
            std::fputs("\n", stream);
        }
        va_end(ap);
        return;
    }
    if (!valid(logger.pipe_write.load()) || level < threshold.load()) {
        va_end(ap);
        return;
    }
    char line[kLogLineBytes];
    const LogLine built = format_log_line(line, level, source, fmt, ap);
    va_end(ap);
    append_line(line, built.size, level);
    if (built.truncated) append_line(kTruncationNotice, sizeof kTruncationNotice, level);
}

void log_guard_report(int level, const char* source, const char* text) { vesk_log_message(level, source, "%s", text); }

vesk_result vesk_set_log_threshold(int32_t level) {
    threshold = level;
    return VESK_OK;
}

vesk_result vesk_register_logger(HWND window, uint32_t message, uint32_t buffer_size) {
    GlobalGuard guard("vesk_register_logger", nullptr);  // reports nothing: see global_guard.h
    if (guard.status() != VESK_OK) return guard.status();
    if (logger.window.load()) return VESK_ERR_ALREADY_EXISTS;
    const vesk_result r = create_pipe(buffer_size);
    if (r == VESK_OK) {
        logger.message = message;
        logger.window = window;
    }
    return r;
}

vesk_result vesk_unregister_logger(HWND window) {
    GlobalGuard guard("vesk_unregister_logger", nullptr);  // reports nothing: see global_guard.h
    if (guard.status() != VESK_OK) return guard.status();
    const HWND registered = logger.window.load();
    if (!registered) return VESK_OK;
    if (registered != window) return VESK_ERR_INVALID_PARAMETER;
    logger.window = nullptr;  // lines go back to the console from here on
    close_end(logger.pipe_write);
    close_end(logger.pipe_read);
    logger.message = 0;
    return VESK_OK;
}

vesk_result vesk_read_logger(char* buffer, uint32_t buffer_size, uint32_t* message_size) {
    GlobalGuard guard("vesk_read_logger", nullptr);  // reports nothing: see global_guard.h
    if (guard.status() != VESK_OK) return guard.status();
    if (!buffer || !message_size || buffer_size == 0) return VESK_ERR_INVALID_PARAMETER;
    if (!valid(logger.pipe_read.load()) && create_pipe(0) != VESK_OK) {
        *message_size = 0;
        return VESK_ERR_NOT_FOUND;
    }
    if (logger.pending_lines.load() > 0) {
        logger.pending_lines -= 1;
        DWORD read = 0;
        const BOOL ok = ReadFile(logger.pipe_read.load(), buffer, buffer_size, &read, nullptr);
        const DWORD error = ok ? 0 : GetLastError();
        logger.pending_bytes -= read < logger.pending_bytes.load() ? read : logger.pending_bytes.load();
        if (ok) {
            *message_size = read;
            return VESK_OK;
        }
        *message_size = 0;
        return error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_MORE_DATA ? VESK_ERR_OVERFLOW
                                                                              : VESK_ERR_INPUT_OUTPUT;
    }
    if (logger.pending_bytes.load() == 0) {
        buffer[0] = '\0';
        *message_size = 0;
        return VESK_OK;
    }
    // A cut notice is reported as an overflow with no size, like any line that does not fit.
    if (buffer_size < sizeof kEmptyLogText) {
        std::memcpy(buffer, kEmptyLogText, buffer_size - 1);
        buffer[buffer_size - 1] = '\0';
        *message_size = 0;
        return VESK_ERR_OVERFLOW;
    }
    std::memcpy(buffer, kEmptyLogText, sizeof kEmptyLogText);
    *message_size = sizeof kEmptyLogText - 1;
    return VESK_OK;
}
