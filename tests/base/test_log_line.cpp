#include <doctest.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "log_line.h"
#include "code_texts.h"

namespace {
LogLine build(char (&line)[kLogLineBytes], int level, const char* source, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const LogLine l = format_log_line(line, level, source, fmt, ap);
    va_end(ap);
    return l;
}
}  // namespace

TEST_CASE("line prefix names the level and the source") {
    static const CodeText<int> rows[] = {
        {0, "libvesk:debug [src] x=5"}, {1, "libvesk:info [src] x=5"},    {2, "libvesk:warning [src] x=5"},
        {3, "libvesk:error [src] x=5"}, {7, "libvesk:unknown [src] x=5"}, {-1, "libvesk:unknown [src] x=5"},
    };
    for (const auto& r : rows) {
        CAPTURE(r.code);
        char line[kLogLineBytes];
        const LogLine l = build(line, r.code, "src", "x=%d", 5);
        CHECK(std::string(line) == r.text);
        CHECK(l.size == std::strlen(r.text) + 1);
        CHECK_FALSE(l.truncated);
    }
}

TEST_CASE("511 characters fit whole, 512 are cut to 511 and marked") {
    const std::string prefix = "libvesk:info [s] ";
    char line[kLogLineBytes];

    const std::string fits(511 - prefix.size(), 'a');
    LogLine l = build(line, 1, "s", "%s", fits.c_str());
    CHECK(l.size == 512);
    CHECK_FALSE(l.truncated);
    CHECK(std::string(line) == prefix + fits);

    const std::string over = fits + "b";
    l = build(line, 1, "s", "%s", over.c_str());
    CHECK(l.size == 512);
    CHECK(l.truncated);
    CHECK(std::strlen(line) == 511);
    CHECK(std::string(line) == prefix + fits);
}

TEST_CASE("a prefix that fills the line leaves no room for the message") {
    const std::string source(600, 'S');
    char line[kLogLineBytes];
    const LogLine l = build(line, 3, source.c_str(), "never %s", "formatted");
    CHECK(l.truncated);
    CHECK(l.size == 512);
    CHECK(std::strlen(line) == 511);
    CHECK(std::string(line).find("never") == std::string::npos);
    CHECK(std::string(kTruncationNotice).rfind("TRUNCATION detected for above line", 0) == 0);
}
