// Device strings in the written INF, read back with SetupAPI: a crafted description stays one
// quoted field and adds no section or line; an interface GUID of another shape is refused.
#include <windows.h>
#include <setupapi.h>

#include <doctest.h>

#include <map>
#include <string>
#include <vector>

#include "package_support.h"
#include "prepare.h"

using namespace pkgtest;

namespace {
constexpr const char* kGuid = "{01234567-89AB-CDEF-0123-456789ABCDEF}";

struct InfClose {
    void operator()(HINF h) const { SetupCloseInfFile(h); }
};
using Inf = std::unique_ptr<void, InfClose>;

// Section name -> the field count of each of its lines.
using Shape = std::map<std::wstring, std::vector<DWORD>>;

Inf open_inf(const std::string& path) {
    UINT error_line = 0;
    HINF h = SetupOpenInfFileW(widen(path).c_str(), nullptr, INF_STYLE_WIN4, &error_line);
    CAPTURE(error_line);
    REQUIRE(h != INVALID_HANDLE_VALUE);
    return Inf(h);
}

Shape shape(HINF inf) {
    Shape s;
    wchar_t name[256];
    for (UINT i = 0; SetupEnumInfSectionsW(inf, i, name, 256, nullptr); ++i) {
        std::vector<DWORD>& fields = s[name];
        INFCONTEXT line;
        for (BOOL ok = SetupFindFirstLineW(inf, name, nullptr, &line); ok; ok = SetupFindNextLine(&line, &line))
            fields.push_back(SetupGetFieldCount(&line));
        CHECK(static_cast<LONG>(fields.size()) == SetupGetLineCountW(inf, name));
    }
    return s;
}

std::wstring field(HINF inf, const wchar_t* section, const wchar_t* key, DWORD index, DWORD* count = nullptr) {
    INFCONTEXT line;
    REQUIRE(SetupFindFirstLineW(inf, section, key, &line));
    if (count) *count = SetupGetFieldCount(&line);
    wchar_t buf[2048];
    REQUIRE(SetupGetStringFieldW(&line, index, buf, 2048, nullptr));
    return buf;
}

vesk_prepare_options options() { return uncatalogued_options(kGuid); }
}  // namespace

TEST_CASE("a crafted description reads back as one field; the INF keeps the template's sections and lines") {
    Shape honest;
    {
        ScratchDir d;
        vesk_device dev = device();
        const vesk_prepare_options o = options();
        REQUIRE(vesk_prepare_driver(&dev, d.path().c_str(), "d.inf", &o) == VESK_OK);
        Inf inf = open_inf(d.path() + "\\d.inf");
        honest = shape(inf.get());
        CHECK(field(inf.get(), L"Strings", L"DeviceName", 1) == L"Morvane DFU bootloader");
    }
    REQUIRE(honest.size() > 20);
    REQUIRE(honest.count(L"Strings"));
    CHECK(honest.count(L"Evil") == 0);

    struct Row {
        const char* what;
        const char* description;  // UTF-8, as the scan gives it
        const wchar_t* reads_back;
    };
    static const Row rows[] = {
        {"quotes", "Pad \"X\" Y", L"Pad \"X\" Y"},
        {"a lone quote at the end", "Pad\"", L"Pad\""},
        {"percent signs and a string key", "100% %DeviceID%", L"100% %DeviceID%"},
        {"semicolon", "A;B ; comment?", L"A;B ; comment?"},
        {"line break and control characters",
         "one\r\ntwo\tthree\x1a"
         "four\x7f",
         L"onetwothreefour"},
        {"an added section with an AddReg to HKLM",
         "x\"\r\n[USB_Install.HW]\r\nAddReg = Evil\r\n[Evil]\r\nHKLM,Software\\Evil,,,1\r\n;",
         L"x\"[USB_Install.HW]AddReg = Evil[Evil]HKLM,Software\\Evil,,,1;"},
        {"a quoted comma list", "a\",\"b", L"a\",\"b"},
        {"non-ASCII and a C1 control",
         "Gr\xC3\xBC\xC3\x9F"
         "e\xC2\x85!",
         L"Gr\u00FC\u00DFe!"},
    };
    for (const Row& r : rows) {
        CAPTURE(r.what);
        ScratchDir d;
        vesk_device dev = device(0x2E3C, 0xDF11, r.description);
        const vesk_prepare_options o = options();
        REQUIRE(vesk_prepare_driver(&dev, d.path().c_str(), "d.inf", &o) == VESK_OK);
        Inf inf = open_inf(d.path() + "\\d.inf");
        DWORD count = 0;
        CHECK(field(inf.get(), L"Strings", L"DeviceName", 1, &count) == r.reads_back);
        CHECK(count == 1);
        CHECK(field(inf.get(), L"Strings", L"SourceName", 1) == std::wstring(r.reads_back) + L" Install Disk");
        CHECK(field(inf.get(), L"Strings", L"DeviceID", 1) == L"VID_2E3C&PID_DF11");
        // The model line names the device by the string key; its hardware ID is unchanged.
        CHECK(field(inf.get(), L"libusbDevice_WinUSB.NTamd64", nullptr, 2) == L"USB\\VID_2E3C&PID_DF11");
        CHECK(shape(inf.get()) == honest);
    }
}

TEST_CASE("a crafted manufacturer stays one field too") {
    ScratchDir d;
    vesk_device dev = device();
    vesk_prepare_options o = options();
    o.manufacturer = "M\"\r\n[Evil]\r\nx=%12%";
    REQUIRE(vesk_prepare_driver(&dev, d.path().c_str(), "d.inf", &o) == VESK_OK);
    Inf inf = open_inf(d.path() + "\\d.inf");
    DWORD count = 0;
    CHECK(field(inf.get(), L"Strings", L"VendorName", 1, &count) == L"M\"[Evil]x=%12%");
    CHECK(count == 1);
    CHECK(SetupGetLineCountW(inf.get(), L"Evil") == -1);
}

TEST_CASE("an interface GUID of another shape is refused with one line, before the INF is written") {
    static const char* const bad[] = {
        "{01234567-89AB-CDEF-0123-456789ABCDEF}\"\r\n[Evil]",
        "01234567-89AB-CDEF-0123-456789ABCDEF",
        "{01234567-89AB-CDEF-0123-456789ABCDEX}",
        "",
    };
    for (const char* guid : bad) {
        CAPTURE(guid);
        ScratchDir d;
        vesk_device dev = device();
        vesk_prepare_options o = options();
        o.interface_guid = guid;
        LogCapture log;
        CHECK(vesk_prepare_driver(&dev, d.path().c_str(), "d.inf", &o) == VESK_ERR_INVALID_PARAMETER);
        const std::string text = log.text();
        CHECK(text.find("Device interface GUID '") != std::string::npos);
        CHECK(text.find("libvesk:error") == text.rfind("libvesk:error"));  // one error line
        CHECK(text.find("[Evil]\r\n") == std::string::npos);               // no line break reaches the log
        CHECK_FALSE(exists(d.path() + "\\d.inf"));
    }
}
