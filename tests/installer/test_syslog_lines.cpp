// Splitting setup-log chunks into lines, without Windows.
#include <doctest.h>

#include <string>
#include <vector>

#include "syslog_lines.h"

namespace {
struct Split {
    std::vector<std::string> lines;
    std::size_t consumed = 0;
    std::string chunk_after;  // the chunk as the splitter left it
};

Split split(const std::string& text) {
    Split s;
    std::string chunk = text;  // c_str() puts the NUL at index length
    s.consumed = split_syslog_lines(
        chunk.data(), chunk.size(),
        [](const char* line, void* ctx) { static_cast<std::vector<std::string>*>(ctx)->push_back(line); }, &s.lines);
    s.chunk_after = chunk;
    return s;
}
}  // namespace

TEST_CASE("chunks become complete lines; an unfinished last line is left for the next read") {
    struct Case {
        const char* name;
        std::string chunk;
        std::vector<std::string> lines;
        std::size_t consumed;
    };
    const Case cases[] = {
        {"empty chunk", "", {}, 0},
        {"no line break yet", ">>>  [Device Install", {}, 0},
        {"two lines and the start of a third", "first\r\nsecond\r\nthi", {"first", "second"}, 15},
        {"lone LF and lone CR", "a\nb\rc\n", {"a", "b", "c"}, 6},
        {"a run of breaks ends one line, blank lines are not sent", "a\r\n\r\n\n\rb\r\n", {"a", "b"}, 10},
        {"chunk ending between CR and LF", "line\r", {"line"}, 5},
        {"chunk starting with the LF of that break", "\nnext\r\n", {"", "next"}, 7},
        {"stop line ends forwarding in front of it", "a\r\n<ins>\r\nb\r\n", {"a"}, 3},
        {"stop line first", "<ins>\r\n", {}, 0},
        {"stop line only when complete", "<ins>", {}, 0},
        {"a longer line is no stop line", "<ins>x\r\n<in>\r\n", {"<ins>x", "<in>"}, 14},
        {"an indented stop line is no stop line", " <ins>\n", {" <ins>"}, 7},
        {"a NUL inside a line ends its text", std::string("ab\0cd\r\nef\n", 10), {"ab", "ef"}, 10},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        const Split s = split(c.chunk);
        CHECK(s.lines == c.lines);
        CHECK(s.consumed == c.consumed);
    }
}

TEST_CASE("line breaks in the consumed part become NULs, the rest is untouched") {
    const Split s = split("ab\r\ncd\r\nef");
    CHECK(s.chunk_after == std::string("ab\0\0cd\0\0ef", 10));
    CHECK(s.consumed == 8);
}

TEST_CASE("a line read again with its continuation arrives whole") {
    std::string log = "one\r\ntw";
    Split first = split(log);
    CHECK(first.lines == std::vector<std::string>{"one"});
    const std::string rest = log.substr(first.consumed) + "o\r\nthree\r\n";
    Split second = split(rest);
    CHECK(second.lines == std::vector<std::string>{"two", "three"});
    CHECK(second.consumed == rest.size());
}
