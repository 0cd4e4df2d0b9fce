// The library end of the installer pipe: creating it, accepting the run's installer, reading
// its messages and dispatching each one. The dispatcher's state is a record that lives in the run.
#pragma once

#include <windows.h>

#include <cstddef>

#include "installer_protocol.h"
#include "libvesk.h"

// Consecutive failed reads or waits before a run gives up on the pipe.
constexpr unsigned kMaxReadErrors = 32;
constexpr std::size_t kReceiveBufferStartBytes = 512;

// What the dispatcher of one run knows; outside a run there is no device.
struct Dispatcher {
    const vesk_device* device = nullptr;
    bool filter_mode = false;
    HANDLE pipe = INVALID_HANDLE_VALUE;  // replies go here
    // The wait for the installer's next message: codes 5 and 6 switch it. Every run starts finite.
    DWORD wait_ms = INSTALLER_DEFAULT_TIMEOUT_MS;
};

// One complete message. The buffer has one writable byte after `length` (filter mode ends the
// text there). VESK_OK: read on; anything else ends the run with that result.
vesk_result process_message(Dispatcher& dispatcher, char* message, std::size_t length);

// The library end of the pipe of that name: the first and only instance, local clients only,
// open to SYSTEM, the Administrators and the creating user, at High integrity only.
// INVALID_HANDLE_VALUE on failure.
HANDLE create_installer_pipe(const char* name);

// What serving needs of the run; `process` may be null (a shell start without a handle), and
// so may `stop` (the progress window's request to end the run).
struct PipeService {
    HANDLE read_event;
    HANDLE process;
    HANDLE stop;
    DWORD expected_client;  // the process whose connection is the installer's; 0: nobody's
};

// Accepts the installer (dropping any other client) and serves it until it reports a non-zero
// status, its end closes, it exits, falls silent or the run is stopped.
vesk_result serve_installer(Dispatcher& dispatcher, const PipeService& service);
