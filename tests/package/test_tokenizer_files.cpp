// The tokenizer's two entry points: embedded templates by name, and template files by path.
#include <windows.h>

#include <doctest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "package_support.h"
#include "tokenizer.h"

using namespace pkgtest;

namespace {
struct Expanded {
    int32_t n;
    std::string text;
};
Expanded file(const std::string& path) {
    char* out = nullptr;
    const int32_t n = vesk_tokenize_file(path.c_str(), &out);
    Expanded e{n, n > 0 && out ? std::string(out, static_cast<std::size_t>(n)) : std::string()};
    std::free(out);
    return e;
}
Expanded embedded(const char* name) {
    char* out = nullptr;
    const int32_t n = tokenize_embedded_template(name, &out);
    Expanded e{n, n > 0 && out ? std::string(out, static_cast<std::size_t>(n)) : std::string()};
    std::free(out);
    return e;
}
}  // namespace

TEST_CASE("token table: sixteen names in order, values cut at 1023 bytes") {
    static const char* const names[] = {"INF_FILENAME",
                                        "CAT_FILENAME",
                                        "DEVICE_DESCRIPTION",
                                        "DEVICE_HARDWARE_ID",
                                        "DEVICE_INTERFACE_GUID",
                                        "DEVICE_MANUFACTURER",
                                        "DRIVER_DATE",
                                        "DRIVER_VERSION",
                                        "USE_DEVICE_INTERFACE_GUID",
                                        "WDF_VERSION",
                                        "KMDF_VERSION",
                                        "LK_COMMA",
                                        "LK_DLL",
                                        "LK_X86_DLL",
                                        "LK_EQ_X86",
                                        "LK_EQ_X64"};
    for (std::size_t i = 0; i < kTokenCount; ++i) CHECK(std::string(token_table[i].name) == names[i]);
    CHECK(token_table[kTokenCount].name == nullptr);
    const std::string long_value(2000, 'x');
    CHECK(set_token_value("DEVICE_DESCRIPTION", long_value.c_str()));
    CHECK(std::strlen(token_value("DEVICE_DESCRIPTION")) == 1023);
    CHECK_FALSE(set_token_value("NO_SUCH_TOKEN", "x"));
}

TEST_CASE("embedded templates: found by exact name, expanded with the table") {
    set_token_value("WDF_VERSION", "01011");
    const Expanded list = embedded("winusb.cat.in");
    CHECK(list.text ==
          "# List of the binaries referenced by the WinUSB inf\r\n"
          "# These are used to generate and self-sign a .cat file\r\n"
          "\r\n"
          "WdfCoInstaller01011.dll\r\n"
          "winusbcoinstaller2.dll");
    CHECK(list.n == static_cast<int32_t>(list.text.size()));
    CHECK(embedded("WINUSB.CAT.IN").n == kTokenNotFound);
    CHECK(embedded("winusbcoinstaller2.dll").n == kTokenNotFound);  // a row with a directory is no template
    CHECK(embedded(nullptr).n == kTokenNotFound);
}

TEST_CASE("template files: CR LF kept, unreadable and empty files fail") {
    ScratchDir d;
    set_token_value("INF_FILENAME", "x.inf");
    const std::string crlf = d.path() + "\\crlf.inf.in";
    write_file(crlf, "; #INF_FILENAME#\r\n[Version]\r\n\r\nlast\r\n");
    const Expanded e = file(crlf);
    CHECK(e.text == "; x.inf\r\n[Version]\r\n\r\nlast\r\n");
    CHECK(e.n == static_cast<int32_t>(e.text.size()));

    {
        LogCapture log;
        CHECK(file(d.path() + "\\missing.inf.in").n == kTokenNotFound);
        CHECK(file(d.path()).n == kTokenNotFound);  // a directory cannot be read as a file
        CHECK(log.text().empty());                  // no log line for a file that cannot be opened
    }
    const std::string empty = d.path() + "\\empty.inf.in";
    write_file(empty, "");
    CHECK(file(empty).n == kTokenBadArguments);

    // A UTF-8 path reaches the file.
    const std::string utf8 = d.path() + "\\mod\xC3\xA8le.inf.in";
    write_file(utf8, "#INF_FILENAME#");
    CHECK(file(utf8).text == "x.inf");
}
