// Template expansion without Windows: natively under AddressSanitizer/UBSan and under Wine.
#include <doctest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "expand_tokens.h"

namespace {
struct Table {
    token_entry e[5] = {{"INF_FILENAME", {}}, {"DRIVER_DATE", {}}, {"LK_DLL", {}}, {"BIG", {}}, {nullptr, {}}};
    Table() {
        std::strcpy(e[0].value, "device.inf");
        std::strcpy(e[1].value, "06/02/2012");
    }
};

struct Result {
    int32_t n;
    std::string text;
    bool out_null;
};

Result run(const std::string& src, const token_entry* table, const char* d1 = "#", const char* d2 = "#") {
    char* out = reinterpret_cast<char*>(1);  // must be overwritten
    const int32_t n = expand_tokens(src.data(), static_cast<uint32_t>(src.size()), &out, table, d1, d2);
    Result r{n, {}, out == nullptr};
    if (n >= 0 && out) {
        CHECK(out[n] == '\0');
        r.text.assign(out, static_cast<std::size_t>(n));
    }
    if (out != reinterpret_cast<char*>(1)) std::free(out);
    return r;
}
}  // namespace

TEST_CASE("expansion: fields, unknown names, lone delimiters") {
    Table t;
    struct Row {
        const char* src;
        const char* want;
    };
    static const Row rows[] = {
        {"; #INF_FILENAME#", "; device.inf"},
        {"#LK_DLL#", ""},  // known name, empty value
        {"a#LK_DLL#b", "ab"},
        {"#FOO#", "#FOO#"},  // unknown name copied
        {"x##y", "x##y"},    // nothing between the delimiters
        {"##", "##"},
        {"price #42 and #7", "price #42 and #7"},  // lone delimiters before digits
        {"#FOO#DRIVER_DATE#", "#FOO06/02/2012"},   // closing '#' of an unknown field opens the next
        {"abc#", "abc#"},                          // '#' as the last byte
        {"#", "#"},
        {"a#", "a#"},  // two bytes or fewer: copied
        {"ab", "ab"},
        {"#INF_FILENAME", "#INF_FILENAME"},    // no closing delimiter
        {"#inf_filename#", "#inf_filename#"},  // names are case-sensitive
        {"#INF_FILENAME##DRIVER_DATE#", "device.inf06/02/2012"},
        {"#DRIVER_DATE#\r\n#INF_FILENAME#\r\n", "06/02/2012\r\ndevice.inf\r\n"},
        {"#INF_FILENAME#INF_FILENAME#", "device.infINF_FILENAME#"},
    };
    for (const Row& r : rows) {
        CAPTURE(r.src);
        const Result got = run(r.src, t.e);
        CHECK(got.n == static_cast<int32_t>(std::strlen(r.want)));
        CHECK(got.text == r.want);
    }
}

TEST_CASE("expansion is one pass: a value holding a field is emitted literally") {
    Table t;
    std::strcpy(t.e[0].value, "#DRIVER_DATE#");
    CHECK(run("[#INF_FILENAME#]", t.e).text == "[#DRIVER_DATE#]");
}

TEST_CASE("a template of empty fields expands to length 0") {
    Table t;
    const Result r = run("#LK_DLL##LK_DLL#", t.e);
    CHECK(r.n == 0);
    CHECK(r.text.empty());
}

TEST_CASE("multi-byte delimiters") {
    Table t;
    CHECK(run("<<INF_FILENAME>> <<X>> <<", t.e, "<<", ">>").text == "device.inf <<X>> <<");
}

TEST_CASE("values adding more than the headroom grow the buffer") {
    Table t;
    std::memset(t.e[3].value, 'v', kTokenValueBytes - 1);
    t.e[3].value[kTokenValueBytes - 1] = '\0';
    std::string src;
    for (int i = 0; i < 10; ++i) src += "<#BIG#>";
    const Result r = run(src, t.e);
    REQUIRE(r.n == static_cast<int32_t>(10 * (kTokenValueBytes - 1 + 2)));
    CHECK(r.text.substr(0, 3) == "<vv");
    CHECK(r.text.back() == '>');
    CHECK(r.text.find('#') == std::string::npos);
}

TEST_CASE("a value without its NUL is taken at its full size, never beyond") {
    Table t;
    std::memset(t.e[3].value, 'z', kTokenValueBytes);
    const Result r = run("#BIG#.", t.e);
    CHECK(r.n == static_cast<int32_t>(kTokenValueBytes + 1));
}

TEST_CASE("bad arguments are refused before anything is allocated") {
    Table t;
    char* out = nullptr;
    CHECK(expand_tokens(nullptr, 4, &out, t.e, "#", "#") == kTokenBadArguments);
    CHECK(expand_tokens("abcd", 4, nullptr, t.e, "#", "#") == kTokenBadArguments);
    CHECK(expand_tokens("abcd", 4, &out, nullptr, "#", "#") == kTokenBadArguments);
    CHECK(expand_tokens("abcd", 4, &out, t.e, nullptr, "#") == kTokenBadArguments);
    CHECK(expand_tokens("abcd", 4, &out, t.e, "#", nullptr) == kTokenBadArguments);
    CHECK(expand_tokens("abcd", 4, &out, t.e, "", "#") == kTokenBadArguments);
    CHECK(expand_tokens("abcd", 4, &out, t.e, "#", "") == kTokenBadArguments);
    CHECK(expand_tokens("abcd", 0, &out, t.e, "#", "#") == kTokenBadArguments);
    CHECK(out == nullptr);
}

TEST_CASE("the source length bounds the scan: bytes after it are never read") {
    Table t;
    const char src[] = "ab#INF_FILENAME#";
    const Result r = [&] {
        char* out = nullptr;
        const int32_t n = expand_tokens(src, 8, &out, t.e, "#", "#");  // "ab#INF_F"
        Result x{n, out ? std::string(out, static_cast<std::size_t>(n)) : std::string(), out == nullptr};
        std::free(out);
        return x;
    }();
    CHECK(r.n == 8);
    CHECK(r.text == "ab#INF_F");
}
