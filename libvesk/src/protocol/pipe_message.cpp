// Framed pipe I/O with a time limit, for both ends of the installer pipe.
#include "pipe_message.h"

#include "owners.h"

namespace {
constexpr DWORD kMaxExtraWaits = 4;

PipeRead ended(PipeRead::End end, DWORD got, DWORD error, bool async) {
    PipeRead r;
    r.end = end;
    r.got = got;
    r.error = error;
    r.async = async;
    return r;
}

// Completes a cancelled or abandoned read before its OVERLAPPED goes.
void cancel(PendingRead& read) {
    DWORD got = 0;
    CancelIoEx(read.pipe, &read.ov);
    GetOverlappedResult(read.pipe, &read.ov, &got, TRUE);
}
}  // namespace

bool write_pipe_message(HANDLE pipe, const void* data, DWORD size, DWORD limit_ms) {
    if (size > kPipeMessageCapBytes) return false;
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) return false;
    OVERLAPPED ov = {};
    ov.hEvent = event.get();
    DWORD written = 0;
    if (WriteFile(pipe, data, size, &written, &ov)) return written == size;
    if (GetLastError() != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(event.get(), limit_ms) != WAIT_OBJECT_0) CancelIoEx(pipe, &ov);
    return GetOverlappedResult(pipe, &ov, &written, TRUE) && written == size;
}

PipeRead begin_pipe_read(PendingRead& read, HANDLE pipe, HANDLE event, void* buffer, DWORD cap) {
    read.pipe = pipe;
    read.cap = cap;
    read.ov = OVERLAPPED{};
    read.ov.hEvent = event;
    ResetEvent(event);
    DWORD got = 0;
    if (ReadFile(pipe, buffer, cap, &got, &read.ov)) return ended(PipeRead::End::complete, got, 0, false);
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) return ended(PipeRead::End::pending, 0, 0, false);
    if (error == ERROR_MORE_DATA) return ended(PipeRead::End::more_data, cap, error, false);
    return ended(PipeRead::End::failed, 0, error, false);
}

PipeRead finish_pipe_read(PendingRead& read, DWORD limit_ms, const HANDLE* also, DWORD count) {
    HANDLE waits[kMaxExtraWaits + 1] = {read.ov.hEvent};
    DWORD index[kMaxExtraWaits + 1] = {};
    DWORD n = 1;
    for (DWORD i = 0; i < count && n <= kMaxExtraWaits; ++i) {
        if (!also[i]) continue;
        index[n] = i;
        waits[n++] = also[i];
    }
    const DWORD w = WaitForMultipleObjects(n, waits, FALSE, limit_ms);
    if (w == WAIT_OBJECT_0) {
        DWORD got = 0;
        if (GetOverlappedResult(read.pipe, &read.ov, &got, FALSE)) return ended(PipeRead::End::complete, got, 0, true);
        const DWORD error = GetLastError();
        if (error == ERROR_MORE_DATA) return ended(PipeRead::End::more_data, read.cap, error, true);
        return ended(PipeRead::End::failed, 0, error, true);
    }
    const DWORD wait_error = w == WAIT_FAILED ? GetLastError() : 0;
    cancel(read);
    if (w > WAIT_OBJECT_0 && w < WAIT_OBJECT_0 + n) {
        PipeRead r = ended(PipeRead::End::woken, 0, 0, true);
        r.woken_by = index[w - WAIT_OBJECT_0];
        return r;
    }
    if (w == WAIT_TIMEOUT) return ended(PipeRead::End::timed_out, 0, 0, true);
    return ended(PipeRead::End::wait_failed, 0, wait_error, true);
}
