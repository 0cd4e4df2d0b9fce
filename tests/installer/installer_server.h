// A scripted stand-in for the library's end of the installer pipe: it creates a pipe of a new
// name as the library does, starts an installer program with that name after its arguments,
// records every message, answers the three requests as its script says and collects the exit
// code and standard output.
#pragma once

#include <windows.h>

#include <doctest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "installer_protocol.h"

namespace server {

enum class Reply { value, nul, empty, none };  // none: never answered
struct Answer {
    Reply kind = Reply::value;
    std::string value;
};
inline Answer value(const std::string& v) { return {Reply::value, v}; }
inline Answer nul() { return {Reply::nul, {}}; }
inline Answer empty() { return {Reply::empty, {}}; }

struct Script {
    Answer device_id, hardware_id, user_sid;
    bool create_pipe = true;
    const char* pipe_arg = nullptr;  // given instead of the pipe name's digits ("" gives nothing)
};

struct Conversation {
    std::vector<std::string> messages;
    DWORD exit_code = 0xDEADBEEF;
    std::string output;  // the installer's standard output
    bool timed_out = false;

    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (const std::string& m : messages)
            if (m.size() >= 2 && m[0] == INSTALLER_MSG_PRINT) t.push_back(m.substr(1, m.find('\0', 1) - 1));
        return t;
    }
    std::string dump() const {
        std::string d = output;
        for (const std::string& t : texts()) d += "\n  text: " + t;
        for (const std::string& k : codes()) d += "\n  code: " + k;
        return d;
    }
    bool has_text(const std::string& s) const {
        for (const std::string& t : texts())
            if (t == s) return true;
        return false;
    }
    bool has_text_starting(const std::string& s) const {
        for (const std::string& t : texts())
            if (t.rfind(s, 0) == 0) return true;
        return false;
    }
    // The codes of the messages that are not texts or log lines, in order ("7:0" for a status).
    std::vector<std::string> codes() const {
        std::vector<std::string> c;
        for (const std::string& m : messages) {
            if (m.empty() || m[0] == INSTALLER_MSG_PRINT || m[0] == INSTALLER_MSG_SYSLOG) continue;
            std::string s = std::to_string(static_cast<int>(static_cast<int8_t>(m[0])));
            if (m[0] == INSTALLER_MSG_STATUS && m.size() >= 2) {
                s += ':';
                s += std::to_string(static_cast<int>(static_cast<int8_t>(m[1])));
            }
            c.push_back(s);
        }
        return c;
    }
};

inline std::string env(const char* name) {
    char v[1024];
    const DWORD n = GetEnvironmentVariableA(name, v, sizeof v);
    return n > 0 && n < sizeof v ? v : "";
}

// Runs `program` with `args` in `directory` and serves it until its end of the pipe closes.
inline Conversation run(const std::string& program, const std::string& args, const std::string& directory,
                        const Script& script, DWORD limit_ms = 30000) {
    Conversation c;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    InstallerPipeName name{};
    REQUIRE(new_installer_pipe_name(name));
    if (script.create_pipe) {
        pipe = CreateNamedPipeA(name.path, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
        REQUIRE(pipe != INVALID_HANDLE_VALUE);
    }
    char out_name[MAX_PATH], temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    GetTempFileNameA(temp, "ins", 0, out_name);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out =
        CreateFileA(out_name, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    REQUIRE(out != INVALID_HANDLE_VALUE);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = out;
    PROCESS_INFORMATION pi = {};
    std::string command = "\"" + program + "\" " + args + " " + (script.pipe_arg ? script.pipe_arg : name.token);
    const BOOL started =
        CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, directory.c_str(), &si, &pi);
    CloseHandle(out);
    REQUIRE(started);
    CloseHandle(pi.hThread);

    if (pipe != INVALID_HANDLE_VALUE) {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const DWORD deadline = GetTickCount() + limit_ms;
        auto remaining = [&] {
            const DWORD now = GetTickCount();
            return now < deadline ? deadline - now : 0;
        };
        OVERLAPPED ov = {};
        ov.hEvent = event;
        bool connected = ConnectNamedPipe(pipe, &ov) || GetLastError() == ERROR_PIPE_CONNECTED;
        if (!connected && GetLastError() == ERROR_IO_PENDING) {
            HANDLE waits[2] = {event, pi.hProcess};
            DWORD got = 0;
            connected = WaitForMultipleObjects(2, waits, FALSE, remaining()) == WAIT_OBJECT_0 &&
                        GetOverlappedResult(pipe, &ov, &got, FALSE);
            if (!connected) {
                CancelIoEx(pipe, &ov);
                GetOverlappedResult(pipe, &ov, &got, TRUE);
            }
        }
        std::vector<char> buffer(1 << 16);
        while (connected) {
            ResetEvent(event);
            ov = OVERLAPPED{};
            ov.hEvent = event;
            DWORD got = 0;
            BOOL ok = ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &got, &ov);
            if (!ok && GetLastError() == ERROR_IO_PENDING) {
                if (WaitForSingleObject(event, remaining()) != WAIT_OBJECT_0) {
                    c.timed_out = true;
                    CancelIoEx(pipe, &ov);
                    GetOverlappedResult(pipe, &ov, &got, TRUE);
                    break;
                }
                ok = GetOverlappedResult(pipe, &ov, &got, FALSE);
            }
            if (!ok) break;  // the installer closed its end
            const std::string m(buffer.data(), got);
            c.messages.push_back(m);
            if (got != 1 || m[0] < INSTALLER_MSG_REQUEST_DEVICE_ID || m[0] > INSTALLER_MSG_REQUEST_USER_SID) continue;
            const Answer& a = m[0] == INSTALLER_MSG_REQUEST_DEVICE_ID     ? script.device_id
                              : m[0] == INSTALLER_MSG_REQUEST_HARDWARE_ID ? script.hardware_id
                                                                          : script.user_sid;
            if (a.kind == Reply::none) continue;
            std::string reply = a.kind == Reply::value ? a.value
                                : a.kind == Reply::nul ? std::string(1, '\0')
                                                       : std::string();
            DWORD written = 0;
            OVERLAPPED wov = {};
            wov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            if (!WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, &wov) &&
                GetLastError() == ERROR_IO_PENDING)
                GetOverlappedResult(pipe, &wov, &written, TRUE);
            CloseHandle(wov.hEvent);
        }
        CloseHandle(event);
        CloseHandle(pipe);
    }
    if (WaitForSingleObject(pi.hProcess, limit_ms) != WAIT_OBJECT_0) {
        c.timed_out = true;
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    GetExitCodeProcess(pi.hProcess, &c.exit_code);
    CloseHandle(pi.hProcess);
    FILE* f = std::fopen(out_name, "rb");
    if (f) {
        char b[4096];
        std::size_t n;
        while ((n = std::fread(b, 1, sizeof b, f)) > 0) c.output.append(b, n);
        std::fclose(f);
    }
    DeleteFileA(out_name);
    return c;
}

}  // namespace server
