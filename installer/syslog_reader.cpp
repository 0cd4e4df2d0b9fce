// Follows the Windows setup log like a tail while the driver is installed and forwards every
// new complete line to the library (code 1 on the installer pipe).
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <iterator>

#include "files.h"
#include "format_into.h"
#include "installer.h"
#include "installer_protocol.h"
#include "pipe_message.h"
#include "syslog_lines.h"

namespace {
constexpr const char* kSyslogSuffixes[] = {"\\inf\\setupapi.dev.log", "\\setupapi.log", "\\setupact.log"};
constexpr char kGarbled[] = "<Garbled data>";
// A line and its code byte and NUL fit one message.
constexpr DWORD kSyslogChunkBytes = kPipeMessageCapBytes - 2;

bool stop_requested(const InstallerSession& session) {
    return WaitForSingleObject(session.stop_reader.get(), 0) == WAIT_OBJECT_0;
}

// One message: code 1, the line, NUL. The outcome is ignored; a line too long for one message
// is not sent.
void send_syslog_message(InstallerClient& client, const char* line) {
    if (!client.pipe) return;
    const std::size_t n = std::strlen(line);
    if (n + 2 > kPipeMessageCapBytes) {
        installer_log(client, "syslog line of %u bytes is too long to send", static_cast<unsigned>(n));
        return;
    }
    MallocPtr<char> message(static_cast<char*>(std::malloc(n + 2)));
    if (!message) return;
    message.get()[0] = static_cast<char>(INSTALLER_MSG_SYSLOG);
    std::memcpy(message.get() + 1, line, n + 1);
    send_message(client, message.get(), static_cast<DWORD>(n + 2));
}

// ANSI code page to UTF-8; "<Garbled data>" for a line that does not convert or is empty.
void send_line(const char* line, void* context) {
    InstallerClient& client = *static_cast<InstallerClient*>(context);
    const int wide = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, line, -1, nullptr, 0);
    if (wide <= 1) {
        send_syslog_message(client, kGarbled);
        return;
    }
    MallocPtr<wchar_t> w(static_cast<wchar_t*>(std::calloc(static_cast<std::size_t>(wide), sizeof(wchar_t))));
    if (!w || MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, line, -1, w.get(), wide) != wide) {
        send_syslog_message(client, kGarbled);
        return;
    }
    Utf8 u(to_utf8(w.get()));
    if (!u || !u.get()[0]) {
        send_syslog_message(client, kGarbled);
        return;
    }
    send_syslog_message(client, u.get());
}

// The first candidate that opens; its name goes into `name`.
UniqueFile open_syslog(char (&name)[kInstallerPathBytes]) {
    wchar_t windir16[kInstallerPathBytes];
    if (windows_directory(windir16) == 0) return UniqueFile();  // unknown: no candidate at all
    Utf8 windir(to_utf8(windir16));
    if (!windir) return UniqueFile();
    for (const char* suffix : kSyslogSuffixes) {
        (void)format_into(name, sizeof name, "%s", windir.get());  // the directory cut to 511 bytes
        const std::size_t used = std::strlen(name);
        (void)format_into(name + used, sizeof name - used, "%s", suffix);
        Utf16 path(to_utf16(name));
        if (!path) continue;
        UniqueFile file(CreateFileW(path.get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) return file;
    }
    return UniqueFile();
}

// Polls until told to stop; every return is the end of the thread.
void follow(InstallerSession& session, HANDLE file, DWORD offset) {
    InstallerClient& client = session.client;
    DWORD interval = 0;
    for (;;) {
        SetLastError(NO_ERROR);
        const DWORD size = GetFileSize(file, nullptr);
        if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
            installer_log(client, "could not read syslog file size");
            return;
        }
        if (size < offset) {
            // A new, shorter log: follow it from its end, as at the start.
            installer_log(client, "syslog was truncated - following it from its new end");
            SetLastError(NO_ERROR);
            if (SetFilePointer(file, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
                installer_log(client, "Could not set syslog offset");
                return;
            }
            offset = size;
        }
        if (size == offset) {
            if (interval < kSyslogMaxPollMs) interval += kSyslogPollStepMs;
        } else {
            // One message's worth at a time, so that the size never wraps.
            const DWORD want = size - offset < kSyslogChunkBytes ? size - offset : kSyslogChunkBytes;
            MallocPtr<char> chunk(static_cast<char*>(std::malloc(static_cast<std::size_t>(want) + 1)));
            if (!chunk) {
                installer_log(client, "could not allocate buffer to read syslog");
                return;
            }
            DWORD got = 0;
            if (!ReadFile(file, chunk.get(), want, &got, nullptr)) {
                installer_log(client, "failed to read syslog");
                return;
            }
            chunk.get()[got] = '\0';
            std::size_t consumed = forward_syslog_lines(client, chunk.get(), got);
            chunk.reset();
            if (consumed == 0 && got == kSyslogChunkBytes) {
                // No line end in a whole message's worth: skipped, or it would be read for ever.
                installer_log(client, "syslog line longer than %u bytes - skipped",
                              static_cast<unsigned>(kSyslogChunkBytes));
                consumed = got;
            }
            offset += static_cast<DWORD>(consumed);
            if (consumed < got) {
                // The incomplete last line is read again with its continuation.
                const LONG back = -static_cast<LONG>(got - consumed);
                SetLastError(NO_ERROR);
                const DWORD at = SetFilePointer(file, back, nullptr, FILE_CURRENT);
                if (at == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
                    installer_log(client, "Could not set syslog offset");
                    return;
                }
                offset = at;
            }
            if (consumed > 0)
                interval = 0;
            else if (interval < kSyslogMaxPollMs)
                interval += kSyslogPollStepMs;
        }
        Sleep(interval);
        if (stop_requested(session)) return;
    }
}
}  // namespace

std::size_t forward_syslog_lines(InstallerClient& client, char* chunk, std::size_t length) {
    return split_syslog_lines(chunk, length, send_line, &client);
}

DWORD WINAPI syslog_reader(void* parameter) {
    InstallerSession& session = *static_cast<InstallerSession*>(parameter);
    InstallerClient& client = session.client;
    char name[kInstallerPathBytes] = {};
    UniqueFile file = open_syslog(name);
    if (!file) {
        installer_log(client, "Could not open any syslog");
    } else {
        installer_log(client, "using syslog '%s'", name);
        SetLastError(NO_ERROR);
        const DWORD offset = SetFilePointer(file.get(), 0, nullptr, FILE_END);
        if (offset == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
            installer_log(client, "Could not set syslog offset");
        } else {
            installer_log(client, "syslog reader thread started");
            SetEvent(session.reader_started.get());
            if (!stop_requested(session)) follow(session, file.get(), offset);
        }
    }
    installer_log(client, "syslog reader thread terminating");
    return 0;
}
