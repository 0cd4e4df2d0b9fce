#include <windows.h>

#include <doctest.h>

#include <cstring>
#include <string>

#include "error_text.h"

TEST_CASE("a Windows error is its bracketed code and the system's text, without the line end") {
    const std::string text = last_error_text(ERROR_ACCESS_DENIED);
    CHECK(GetLastError() == ERROR_ACCESS_DENIED);
    REQUIRE(text.rfind("[0x00000005] ", 0) == 0);
    const std::string message = text.substr(13);
    CHECK(!message.empty());
    CHECK(message.find_first_of("\r\n") == std::string::npos);
    CHECK(message.back() != ' ');

    // An HRESULT shows the message of its low 16 bits, with the whole code in brackets.
    const std::string hr = last_error_text(static_cast<uint32_t>(E_ACCESSDENIED));
    CHECK(hr == "[0x80070005] " + message);
    CHECK(GetLastError() == static_cast<DWORD>(E_ACCESSDENIED));
}

TEST_CASE("code 0 describes the thread's last error") {
    SetLastError(ERROR_FILE_NOT_FOUND);
    const std::string text = last_error_text(0);
    CHECK(text.rfind("[0x00000002] ", 0) == 0);
    CHECK(text.size() > 13);
    CHECK(GetLastError() == ERROR_FILE_NOT_FOUND);
}

TEST_CASE("a code without a system message") {
    // Low 16 bits 0xFFFF have no message on Windows or Wine. Wine has no texts for SetupAPI
    // codes such as 0xE000020B either, but Windows has: those are not used here.
    SetLastError(0xdeadbeef);
    const std::string text = last_error_text(0x2000FFFFu);
    CHECK(text == "Windows error code 0x2000FFFF");
    CHECK(GetLastError() == 0x2000FFFFu);
}
