// The setup logs are looked for in the system's Windows directory: a WINDIR in the environment
// (which whoever starts the installer chooses) holding a log of its own is never read.
#include <windows.h>

#include <doctest.h>

#include <cstdio>
#include <string>

#include "installer.h"
#include "pipe_capture.h"

TEST_CASE("a planted WINDIR is not where the setup log is looked for") {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    char planted[MAX_PATH];
    std::snprintf(planted, sizeof planted, "%svesk-planted-windir-%lu", base, GetCurrentProcessId());
    CreateDirectoryA(planted, nullptr);
    CreateDirectoryA((std::string(planted) + "\\inf").c_str(), nullptr);
    const std::string planted_log = std::string(planted) + "\\inf\\setupapi.dev.log";
    HANDLE f = CreateFileA(planted_log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    REQUIRE(f != INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(f, "planted\r\n", 9, &written, nullptr);
    CloseHandle(f);
    REQUIRE(SetEnvironmentVariableA("WINDIR", planted));

    wchar_t system16[kInstallerPathBytes];
    REQUIRE(windows_directory(system16) > 0);
    char system[kInstallerPathBytes * 3];
    REQUIRE(WideCharToMultiByte(CP_UTF8, 0, system16, -1, system, sizeof system, nullptr, nullptr) > 0);
    wchar_t expected[MAX_PATH];
    REQUIRE(GetWindowsDirectoryW(expected, MAX_PATH) > 0);
    CHECK(std::wstring(system16) == expected);
    CHECK(std::string(system) != planted);

    capture::PipeCapture pipe;
    InstallerSession session{pipe.client, {}, {}, {}};
    session.reader_started.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    session.stop_reader.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE thread = CreateThread(nullptr, 0, syslog_reader, &session, 0, nullptr);
    REQUIRE(thread);
    // Either the reader follows a log of the system's directory or it finds none there.
    const bool decided =
        pipe.wait_for([&] { return pipe.has_text("using syslog '") || pipe.has_text("Could not open any syslog"); });
    SetEvent(session.stop_reader.get());
    CHECK(WaitForSingleObject(thread, 3000) == WAIT_OBJECT_0);
    CloseHandle(thread);
    CHECK(decided);
    CHECK_FALSE(pipe.has_text(planted));
    if (pipe.has_text("using syslog '")) CHECK(pipe.has_text(std::string("using syslog '") + system + "\\"));
    DeleteFileA(planted_log.c_str());
    RemoveDirectoryA((std::string(planted) + "\\inf").c_str());
    RemoveDirectoryA(planted);
}
