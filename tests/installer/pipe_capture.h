// Test side of the installer pipe for driving the installer's parts in-process: a message-type
// pipe of a private name whose client end becomes the installer's end (the `client` record the
// parts are given, also the one the restore-point policy reports to), and a thread that
// collects every message the parts send.
#pragma once

#include <windows.h>

#include <doctest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "installer_client.h"
#include "installer_protocol.h"

namespace capture {

class PipeCapture {
public:
    InstallerClient client;  // first: the reader below ends when it closes
    PipeCapture() {
        static int serial = 0;
        char name[96];
        std::snprintf(name, sizeof name, "\\\\.\\pipe\\vesk-installer-test-%lu-%d", GetCurrentProcessId(), ++serial);
        server_ = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                   4096, 4096, 0, nullptr);
        REQUIRE(server_ != INVALID_HANDLE_VALUE);
        // The installer's own way of opening its end.
        client.pipe.reset(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
        REQUIRE(client.pipe);
        set_report_client(&client);
        reader_ = std::thread([this] { collect(); });
    }
    PipeCapture(const PipeCapture&) = delete;
    PipeCapture& operator=(const PipeCapture&) = delete;
    ~PipeCapture() {
        set_report_client(nullptr);
        client.pipe.reset();
        reader_.join();  // the server's read ends with the broken pipe
        CloseHandle(server_);
    }

    std::vector<std::string> messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    // Payloads of the messages with one code, without the code byte and the closing NUL.
    std::vector<std::string> payloads(int8_t code) {
        std::vector<std::string> out;
        for (const std::string& m : messages())
            if (!m.empty() && m[0] == code) {
                std::string p = m.substr(1);
                if (!p.empty() && p.back() == '\0') p.pop_back();
                out.push_back(p);
            }
        return out;
    }
    std::vector<std::string> texts() { return payloads(INSTALLER_MSG_PRINT); }
    std::vector<std::string> syslog() { return payloads(INSTALLER_MSG_SYSLOG); }
    bool has_text(const std::string& t) {
        for (const std::string& s : texts())
            if (s == t) return true;
        return false;
    }
    // Polls until `done` holds or the time is up; the last answer of `done`.
    bool wait_for(const std::function<bool()>& done, int ms = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return done();
            Sleep(10);
        }
        return true;
    }
    bool wait_for_text(const std::string& t, int ms = 5000) {
        return wait_for([&] { return has_text(t); }, ms);
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.clear();
    }

private:
    void collect() {
        std::vector<char> buffer(1 << 16);
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(server_, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
                GetLastError() != ERROR_MORE_DATA)
                return;
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.emplace_back(buffer.data(), got);
        }
    }

    HANDLE server_ = INVALID_HANDLE_VALUE;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<std::string> messages_;
};

}  // namespace capture
