// The installer's end of the pipe, its client record against a server end of the test's own:
// replies, a reply too long, no reply, an unknown request.
#include <windows.h>

#include <doctest.h>

#include <string>

#include "installer_client.h"
#include "installer_protocol.h"
#include "owners.h"

namespace {
// The installer end's senders against a server end of the test's own.
class TestServer {
public:
    TestServer() {
        InstallerPipeName name{};
        REQUIRE(new_installer_pipe_name(name));
        server_.reset(CreateNamedPipeA(name.path, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1,
                                       4096, 4096, 0, nullptr));
        REQUIRE(server_);
        client.pipe.reset(CreateFileA(name.path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
        REQUIRE(client.pipe);
    }
    InstallerClient client;
    // The next message the installer end sent, or "<none>".
    std::string next() {
        DWORD avail = 0;
        if (!PeekNamedPipe(server_.get(), nullptr, 0, nullptr, &avail, nullptr) || avail == 0) return "<none>";
        char buf[1024];
        DWORD got = 0;
        REQUIRE(ReadFile(server_.get(), buf, sizeof buf, &got, nullptr));
        return std::string(buf, got);
    }
    // On a thread of its own: wait for one request and answer it with `reply`.
    void answer_next(std::string reply) {
        reply_ = std::move(reply);
        thread_ = CreateThread(nullptr, 0, answer, this, 0, nullptr);
        REQUIRE(thread_);
    }
    std::string joined_request() {
        REQUIRE(WaitForSingleObject(thread_, 10000) == WAIT_OBJECT_0);
        CloseHandle(thread_);
        return request_;
    }

private:
    static DWORD WINAPI answer(void* p) {
        auto* self = static_cast<TestServer*>(p);
        char buf[16];
        DWORD got = 0;
        if (ReadFile(self->server_.get(), buf, sizeof buf, &got, nullptr)) self->request_.assign(buf, got);
        DWORD put = 0;
        WriteFile(self->server_.get(), self->reply_.data(), static_cast<DWORD>(self->reply_.size()), &put, nullptr);
        return 0;
    }
    UniqueFile server_;
    HANDLE thread_ = nullptr;
    std::string reply_;
    std::string request_;
};

std::string print_message(const std::string& text) { return std::string(1, '\0') + text + std::string(1, '\0'); }
}  // namespace

TEST_CASE("the installer end: replies, a reply too long, no reply, an unknown request") {
    TestServer s;
    s.answer_next("USB\\VID_2E3C&PID_DF11\\1");
    const char* v = req_id(s.client, INSTALLER_MSG_REQUEST_DEVICE_ID);
    CHECK(s.joined_request() == "\x02");
    REQUIRE(v);
    CHECK(std::string(v) == "USB\\VID_2E3C&PID_DF11\\1");
    CHECK(s.next() == print_message("got device_id: 'USB\\VID_2E3C&PID_DF11\\1'"));

    // 600 bytes do not fit the 511 a value may have: no value, and the rest does not linger.
    s.answer_next(std::string(600, 'R'));
    CHECK(req_id(s.client, INSTALLER_MSG_REQUEST_HARDWARE_ID) == nullptr);
    CHECK(s.joined_request() == "\x03");
    CHECK(s.next() == print_message("hardware_id is longer than 511 bytes"));
    s.answer_next("HW");
    v = req_id(s.client, INSTALLER_MSG_REQUEST_HARDWARE_ID);
    CHECK(s.joined_request() == "\x03");
    CHECK((v && std::string(v) == "HW"));
    CHECK(s.next() == print_message("got hardware_id: 'HW'"));

    // Nobody answers: 5000 ms, then no value.
    const DWORD start = GetTickCount();
    CHECK(req_id(s.client, INSTALLER_MSG_REQUEST_USER_SID) == nullptr);
    const DWORD took = GetTickCount() - start;
    CHECK(took >= 4500);
    CHECK(took < 8000);
    CHECK(s.next() == "\x04");
    CHECK(s.next() == print_message("message request: timed out"));
    CHECK(s.next() == print_message("failed to read user_sid"));

    CHECK(req_id(s.client, INSTALLER_MSG_TIMEOUT_INFINITE) == nullptr);
    CHECK(s.next() == print_message("req_id: unknown ID requested"));
    CHECK(s.next() == "<none>");
}
