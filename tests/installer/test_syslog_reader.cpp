// The setup-log reader, with the Windows directory pointed at a directory of the test's own
// (this program links its own windows_directory): which log it follows, lines split across
// reads, a CR/LF split, the stop line, an unconvertible line, a log that shrinks, and no
// Windows directory at all. Runs with a Japanese ANSI code page (LC_ALL), in
// which some byte sequences cannot be converted.
#include <windows.h>

#include <doctest.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "installer.h"
#include "pipe_capture.h"
#include "scratch_tree.h"

namespace {
std::wstring test_windows_directory;  // empty: the system has none to give
void set_windows_directory(const std::string& dir) {
    test_windows_directory.assign(dir.begin(), dir.end());  // the test paths are ASCII
}
}  // namespace

// Stands in for the system's answer, which the product takes from GetWindowsDirectoryW.
std::size_t windows_directory(wchar_t (&out)[kInstallerPathBytes]) {
    if (test_windows_directory.empty() || test_windows_directory.size() >= kInstallerPathBytes) return 0;
    std::wcscpy(out, test_windows_directory.c_str());
    return test_windows_directory.size();
}

namespace {
std::string temp_dir() { return scratch::own_temp_dir("syslog"); }

void append(const std::string& path, const std::string& bytes) {
    HANDLE f = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    REQUIRE(f != INVALID_HANDLE_VALUE);
    DWORD written = 0;
    REQUIRE(WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(f);
}

void truncate(const std::string& path) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, TRUNCATE_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    REQUIRE(f != INVALID_HANDLE_VALUE);
    CloseHandle(f);
}

// The reader thread with its session (the capture's client, its two events), stopped and
// joined at the end.
struct RunningReader {
    InstallerSession session;
    HANDLE thread = nullptr;
    explicit RunningReader(capture::PipeCapture& pipe) : session{pipe.client, {}, {}, {}} {
        session.reader_started.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        session.stop_reader.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        thread = CreateThread(nullptr, 0, syslog_reader, &session, 0, nullptr);
        REQUIRE(thread);
    }
    bool started(DWORD ms = 2000) { return WaitForSingleObject(session.reader_started.get(), ms) == WAIT_OBJECT_0; }
    bool stop() {
        SetEvent(session.stop_reader.get());
        return WaitForSingleObject(thread, 3000) == WAIT_OBJECT_0;
    }
    ~RunningReader() {
        SetEvent(session.stop_reader.get());
        WaitForSingleObject(thread, 3000);
        CloseHandle(thread);
    }
};

// The reader has started and follows `log`.
void check_follows(capture::PipeCapture& pipe, RunningReader& reader, const std::string& log) {
    REQUIRE(reader.started());
    CHECK(pipe.wait_for_text("using syslog '" + log + "'"));
}

bool syslog_is(capture::PipeCapture& pipe, const std::vector<std::string>& want) {
    return pipe.wait_for([&] { return pipe.syslog().size() >= want.size(); }) && pipe.syslog() == want;
}
}  // namespace

TEST_CASE("the reader follows setupapi.dev.log and forwards only what is written after its start") {
    const std::string windir = temp_dir();
    CreateDirectoryA((windir + "\\inf").c_str(), nullptr);
    const std::string dev_log = windir + "\\inf\\setupapi.dev.log";
    append(dev_log, "old line\r\nold unfinished");
    append(windir + "\\setupapi.log", "other log\r\n");
    append(windir + "\\setupact.log", "third log\r\n");
    set_windows_directory(windir);
    capture::PipeCapture pipe;
    RunningReader reader(pipe);
    check_follows(pipe, reader, dev_log);
    CHECK(pipe.wait_for_text("syslog reader thread started"));

    SUBCASE("lines, a line split across reads, a CR/LF split, an unconvertible line, the stop line") {
        append(windir + "\\setupapi.log", "never read\r\n");
        append(dev_log, ">>>  [Device Install]\r\n>>>  Section st");
        CHECK(syslog_is(pipe, {">>>  [Device Install]"}));  // the reader has read the unfinished line too
        append(dev_log, "art\r\n     dvi: line\r");
        CHECK(syslog_is(pipe, {">>>  [Device Install]", ">>>  Section start", "     dvi: line"}));
        // The LF of that break arrives alone: an empty first line, sent as garbled.
        append(dev_log, "\n\x82\xA0 text\r\n");  // HIRAGANA LETTER A in code page 932
        const char bad[] = "\x81\x7F\xFF";
        REQUIRE(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bad, -1, nullptr, 0) == 0);  // in this code page
        append(dev_log, std::string("bad ") + bad + "\r\n");
        REQUIRE(pipe.wait_for([&] { return pipe.syslog().size() >= 6; }));
        std::vector<std::string> got = pipe.syslog();
        CHECK(got[3] == "<Garbled data>");
        CHECK(got[4] == "\xE3\x81\x82 text");
        CHECK(got[5] == "<Garbled data>");
        append(dev_log, "<ins>\r\nafter stop\r\n");
        // The stop line is re-read at every poll; nothing behind it ever goes out.
        const std::size_t before = pipe.syslog().size();
        CHECK_FALSE(pipe.wait_for([&] { return pipe.syslog().size() > before; }, 1500));
        CHECK(reader.stop());
        CHECK(pipe.syslog().size() == before);
        CHECK(pipe.wait_for_text("syslog reader thread terminating"));
        for (const std::string& line : pipe.syslog()) {
            CHECK(line != "never read");
            CHECK(line != "<ins>");
            CHECK(line != "after stop");
        }
    }
    SUBCASE("a log that shrinks below the offset is followed from its new end") {
        append(dev_log, "before\r\n");
        CHECK(syslog_is(pipe, {"before"}));
        truncate(dev_log);
        CHECK(pipe.wait_for_text("syslog was truncated - following it from its new end"));
        append(dev_log, "after\r\n");
        CHECK(syslog_is(pipe, {"before", "after"}));
    }
    SUBCASE("a quiet log forwards nothing until the reader is stopped") {
        CHECK_FALSE(pipe.wait_for([&] { return !pipe.syslog().empty(); }, 700));
        CHECK(reader.stop());
        CHECK(pipe.wait_for_text("syslog reader thread terminating"));
        CHECK(pipe.syslog().empty());
    }
}

TEST_CASE("the next candidates are tried in order") {
    const std::string windir = temp_dir() + "-2";
    CreateDirectoryA(windir.c_str(), nullptr);
    append(windir + "\\setupact.log", "x\r\n");
    set_windows_directory(windir);
    {
        capture::PipeCapture pipe;
        RunningReader reader(pipe);
        check_follows(pipe, reader, windir + "\\setupact.log");
    }
    append(windir + "\\setupapi.log", "y\r\n");
    capture::PipeCapture pipe;
    RunningReader reader(pipe);
    check_follows(pipe, reader, windir + "\\setupapi.log");
}

TEST_CASE("without a log, or without a Windows directory, the reader says so and ends without starting") {
    struct Case {
        const char* name;
        bool set;
    };
    const Case cases[] = {{"empty directory", true}, {"no Windows directory", false}};
    for (const Case& c : cases) {
        CAPTURE(c.name);
        const std::string windir = temp_dir() + "-empty";
        CreateDirectoryA(windir.c_str(), nullptr);
        set_windows_directory(c.set ? windir : std::string());
        capture::PipeCapture pipe;
        RunningReader reader(pipe);
        CHECK(pipe.wait_for_text("syslog reader thread terminating"));
        CHECK(pipe.has_text("Could not open any syslog"));
        CHECK_FALSE(reader.started(0));
    }
}

TEST_CASE("forward_syslog_lines sends one message per line, with code 1 and a NUL") {
    capture::PipeCapture pipe;
    std::string chunk = "one\r\ntwo\r\nthr";
    CHECK(forward_syslog_lines(pipe.client, chunk.data(), chunk.size()) == 10);
    REQUIRE(pipe.wait_for([&] { return pipe.messages().size() >= 2; }));
    const std::vector<std::string> m = pipe.messages();
    REQUIRE(m.size() == 2);
    CHECK(m[0] == std::string("\x01one\0", 5));
    CHECK(m[1] == std::string("\x01two\0", 5));
}
