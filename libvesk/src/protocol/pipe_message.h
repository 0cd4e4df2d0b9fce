// One message over an overlapped message-mode pipe, within a time limit. Both ends of the
// installer pipe write and read through these, so no I/O outlives its call and no message
// grows beyond what either end accepts.
#pragma once

#include <windows.h>

// The longest message either end of the installer pipe sends or accepts.
inline constexpr DWORD kPipeMessageCapBytes = 64 * 1024;

// Writes one message and waits for it at most `limit_ms`; a write still pending then is
// cancelled. True once the whole message went. A message over the cap is not sent.
bool write_pipe_message(HANDLE pipe, const void* data, DWORD size, DWORD limit_ms);

struct PipeRead {
    enum class End {
        pending,    // started, not finished: finish_pipe_read
        complete,   // a whole message (or its last part) of `got` bytes
        more_data,  // `got` bytes of a message that goes on
        timed_out,  // nothing within the limit; cancelled
        woken,      // extra handle number `woken_by` was signalled first; cancelled
        failed,     // `error` says why (ERROR_BROKEN_PIPE: the other end has gone)
        wait_failed,
    };
    End end = End::pending;
    DWORD got = 0;
    DWORD error = 0;
    bool async = false;  // finished by finish_pipe_read rather than at once
    DWORD woken_by = 0;
};

// One read in progress: its OVERLAPPED lives here until it is finished or cancelled.
struct PendingRead {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    DWORD cap = 0;
    OVERLAPPED ov{};
};

// Starts a read of at most `cap` bytes with the caller's manual-reset `event`.
PipeRead begin_pipe_read(PendingRead& read, HANDLE pipe, HANDLE event, void* buffer, DWORD cap);
// Waits for a pending read at most `limit_ms`, or until one of the `count` handles of `also`
// (null entries are skipped) is signalled. When it returns the read is over, finished or cancelled.
PipeRead finish_pipe_read(PendingRead& read, DWORD limit_ms, const HANDLE* also = nullptr, DWORD count = 0);
