// map_install_error sends each row's texts over the installer pipe and gives its result;
// installer_error_text turns codes into the system's text, with its fallbacks under Wine.
#include <windows.h>

#include <doctest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "error_rows.h"
#include "install_errors.h"
#include "installer.h"
#include "pipe_capture.h"

namespace {
constexpr char kInf[] = "C:\\Pkg dir\\morvane-dfu.inf";

std::string fill(const char* text) {
    std::string s = text;
    const std::size_t at = s.find("%s");
    if (at != std::string::npos) s.replace(at, 2, kInf);
    return s;
}

std::string format(const char* fmt, unsigned a, unsigned b = 0) {
    char text[300];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

// The system's own text for an already converted code ("" when it has none), trailing line
// breaks removed: what the installer must put behind its prefix.
std::string system_text(uint32_t converted, DWORD* error) {
    wchar_t w[256];
    SetLastError(0);
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, converted,
                                   0x0400, w, 256, nullptr);
    *error = n ? 0 : GetLastError();
    if (!n) return "";
    char u[600];
    WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(n), u, sizeof u, nullptr, nullptr);
    std::string s(u, static_cast<std::size_t>(
                         WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(n), nullptr, 0, nullptr, nullptr)));
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.pop_back();
    return s;
}
}  // namespace

TEST_CASE("every known code sends its texts, filled with the INF path, and gives its result") {
    capture::PipeCapture pipe;
    for (const error_rows::Row& row : error_rows::kRows) {
        CAPTURE(row.code);
        pipe.clear();
        CHECK(map_install_error(pipe.client, row.code, kInf) == row.result);
        std::vector<std::string> want;
        for (const char* t : row.texts) want.push_back(fill(t));
        CHECK(pipe.wait_for([&] { return pipe.texts().size() >= want.size(); }));
        CHECK(pipe.texts() == want);
    }
}

TEST_CASE("an unknown code is reported with its number and the system's text, as plain text") {
    capture::PipeCapture pipe;
    struct Case {
        uint32_t code;
        const char* number;  // "Unhandled error 0x%X (%d)" as it must read
        const char* text;    // the system's text as Wine 8 has it (none for the first two)
    };
    const Case cases[] = {
        {0x12345678, "Unhandled error 0x12345678 (305419896)",
         "Windows error code 2147964536 (FormatMessage error code 317)"},  // 0x80075678
        {0xE000020A, "Unhandled error 0xE000020A (-536870390)",            // SetupAPI family: negative decimal
         "Windows error code 2148467210 (FormatMessage error code 317)"},  // 0x800F020A
        {1, "Unhandled error 0x1 (1)", "[1] Invalid function."},
    };
    for (const Case& c : cases) {
        CAPTURE(c.code);
        pipe.clear();
        CHECK(map_install_error(pipe.client, c.code, "%s%n") == VESK_ERR_OTHER);
        REQUIRE(pipe.wait_for([&] { return pipe.texts().size() >= 2; }));
        const std::vector<std::string> t = pipe.texts();
        REQUIRE(t.size() == 2);
        CHECK(t[0] == c.number);
        CHECK(t[1] == c.text);
    }
    SUBCASE("code 0 stands for the thread's last error in the text, not in the number") {
        pipe.clear();
        SetLastError(ERROR_FILE_NOT_FOUND);
        CHECK(map_install_error(pipe.client, 0, kInf) == VESK_ERR_OTHER);
        REQUIRE(pipe.wait_for([&] { return pipe.texts().size() >= 2; }));
        CHECK(pipe.texts()[0] == "Unhandled error 0x0 (0)");
        // The last error as it was on entry, not what sending the first text left.
        CHECK(pipe.texts()[1] == "[2] File not found.");
    }
}

TEST_CASE("installer_error_text: Win32, SetupAPI and other codes, and the fallbacks") {
    struct Case {
        uint32_t code;
        uint32_t converted;
        const char* wine_note;  // what Wine's message table holds for the converted code
    };
    // One row a code: clang-format 14 cannot settle on a layout for this table.
    // clang-format off
    const Case cases[] = {
        {2, 0x80070002, "text"},
        {5, 0x80070005, "text"},
        {87, 0x80070057, "text"},
        {3010, 0x80070BC2, "none"},
        {0xE000020B, 0x800F020B, "none"},  // SetupAPI family: Wine has no texts for it
        {0xE0000203, 0x800F0203, "none"},
        {0x12345678, 0x80075678, "none"},  // three top bits clear: a Win32 code by the rule
        {0x40001234, 0x40001234, "none"},
        {0x80040154, 0x80040154, "none"},
    };
    // clang-format on
    for (const Case& c : cases) {
        CAPTURE(c.code);
        DWORD format_error = 0;
        const std::string text = system_text(c.converted, &format_error);
        CHECK((text.empty() ? "none" : "text") == std::string(c.wine_note));
        const std::string got = installer_error_text(c.code);
        if (!text.empty())
            CHECK(got == format("[%u] ", c.code) + text);
        else if (format_error != 0)
            CHECK(got == format("Windows error code %u (FormatMessage error code %u)", c.converted, format_error));
        else
            CHECK(got == format("Unknown error code %u", c.converted));
        CHECK(got.find('\r') == std::string::npos);
        CHECK(got.find('\n') == std::string::npos);
    }
}

TEST_CASE("installer_error_text of 0 is the text of the thread's last error") {
    SetLastError(ERROR_ACCESS_DENIED);
    const std::string zero = installer_error_text(0);
    CHECK(zero == std::string(installer_error_text(ERROR_ACCESS_DENIED)));
    CHECK(zero.rfind("[5] ", 0) == 0);
}

TEST_CASE("installer_error_text keeps to its 256 bytes") {
    const std::string t = installer_error_text(0xE0000203);
    CHECK(t.size() < kInstallerErrorTextBytes);
}

TEST_CASE("installer_error_text on two threads at once: each keeps its own text") {
    const std::string want[2] = {installer_error_text(ERROR_FILE_NOT_FOUND), installer_error_text(ERROR_ACCESS_DENIED)};
    REQUIRE(want[0] != want[1]);
    std::atomic<int> ready{0};
    int mismatches[2] = {0, 0};
    auto run = [&](int i) {
        ready.fetch_add(1);
        while (ready.load() < 2) std::this_thread::yield();
        for (int round = 0; round < 3000; ++round) {
            const char* text = installer_error_text(i ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
            std::this_thread::yield();
            if (want[i] != text) ++mismatches[i];
        }
    };
    std::thread other(run, 1);
    run(0);
    other.join();
    CHECK(mismatches[0] == 0);
    CHECK(mismatches[1] == 0);
}
