// vesk_prepare_driver: the generated INF, the token values, the argument rules, the lock and
// the catalog step. Devices are records filled by hand.
#include <windows.h>

#include <doctest.h>

#include <cstring>
#include <string>
#include <vector>

#include "build_info.h"
#include "driver_support.h"
#include "package_support.h"
#include "catalog_step.h"
#include "tokenizer.h"

using namespace pkgtest;

namespace {
constexpr const char* kGuid = "{01234567-89AB-CDEF-0123-456789ABCDEF}";

// The INF as text: FF FE, then UTF-16LE narrowed (the tests use ASCII only).
std::string inf_text(const std::string& path) {
    const std::string raw = read_file(path);
    REQUIRE(raw.size() >= 2);
    CHECK(static_cast<unsigned char>(raw[0]) == 0xFF);
    CHECK(static_cast<unsigned char>(raw[1]) == 0xFE);
    REQUIRE(raw.size() % 2 == 0);
    std::string text;
    bool ascii = true;
    for (std::size_t i = 2; i < raw.size(); i += 2) {
        ascii = ascii && raw[i + 1] == '\0';
        text += raw[i];
    }
    CHECK(ascii);
    return text;
}

std::string today() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", t.wMonth, t.wDay, t.wYear);
    return buf;
}

std::string source_template(const char* name) { return read_file(std::string(VESK_TEMPLATE_DIR) + "/" + name); }

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
    for (std::size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
    return s;
}

vesk_prepare_options winusb_options() { return uncatalogued_options(kGuid); }
}  // namespace

// First in the file: no earlier call has filled the WinUSB cache slot.
TEST_CASE("fallback: libusb0 prepares a WinUSB package from the unfilled WinUSB slot") {
    ScratchDir d;
    vesk_device dev = device(0x2E3C, 0xDF11);
    vesk_prepare_options o = winusb_options();
    o.driver_kind = VESK_DRIVER_LIBUSB0;
    LogCapture log;
    REQUIRE(vesk_prepare_driver(&dev, d.path().c_str(), "fallback.inf", &o) == VESK_OK);
    CHECK(log.has("libvesk:warning [vesk_prepare_driver] unsupported or no driver type specified, will use WinUSB"));
    CHECK(std::string(token_value("DRIVER_DATE")) == today());
    CHECK(std::string(token_value("DRIVER_VERSION")) == "0.0.0.0");
    const std::vector<std::string> lines = split_crlf(inf_text(d.path() + "\\fallback.inf"));
    REQUIRE(lines.size() == 99);
    CHECK(lines[14] == "DriverVer   = " + today() + ", 0.0.0.0");
}

#if VESK_CARRIES_STANDINS
// A test build would put the stand-ins where Windows keeps Microsoft's co-installers: it refuses
// before it writes anything, unless the environment says exactly that a test runs it.
TEST_CASE("a test build prepares only with VESK_TEST_BUILD=1") {
    ScratchDir d;
    const std::string dir = d.path() + "\\package";
    vesk_device dev = device(0x2E3C, 0xDF11);
    const vesk_prepare_options o = winusb_options();
    struct Row {
        const char* name;
        const wchar_t* value;  // null: unset
    };
    const Row rows[] = {{"unset", nullptr}, {"empty", L""}, {"0", L"0"},
                        {"yes", L"yes"},    {"11", L"11"},  {"1 and a space", L"1 "}};
    for (const Row& row : rows) {
        CAPTURE(row.name);
        REQUIRE(SetEnvironmentVariableW(L"VESK_TEST_BUILD", row.value));
        LogCapture log;
        CHECK(vesk_prepare_driver(&dev, dir.c_str(), "morvane-dfu.inf", &o) == VESK_ERR_NOT_SUPPORTED);
        CHECK(
            log.has("libvesk:error [vesk_prepare_driver] This test build carries co-installer stand-ins and "
                    "cannot install on a real PC; nothing was written (tests set VESK_TEST_BUILD=1)"));
        CHECK_FALSE(exists(dir));
    }
    REQUIRE(SetEnvironmentVariableW(L"VESK_TEST_BUILD", L"1"));
    REQUIRE(vesk_prepare_driver(&dev, dir.c_str(), "morvane-dfu.inf", &o) == VESK_OK);
    CHECK(exists(dir + "\\morvane-dfu.inf"));
    CHECK(exists(dir + "\\x86\\WdfCoInstaller01011.dll"));
}
#endif

TEST_CASE("the setup program's INF, line by line") {
    ScratchDir d;
    vesk_device dev = device(0x2E3C, 0xDF11);
    const vesk_prepare_options o = winusb_options();
    LogCapture log;
    REQUIRE(vesk_prepare_driver(&dev, d.path().c_str(), "morvane-dfu.inf", &o) == VESK_OK);
    const std::string inf_path = d.path() + "\\morvane-dfu.inf";
    CHECK(log.has("libvesk:info [vesk_prepare_driver] Successfully created '" + inf_path + "'"));
    CHECK(log.has("libvesk:info [vesk_prepare_driver] .cat generation disabled by user"));
    CHECK_FALSE(exists(d.path() + "\\morvane-dfu.cat"));
    CHECK(exists(d.path() + "\\x86\\winusbcoinstaller2.dll"));
    CHECK(exists(d.path() + "\\installer_x64.exe"));

#if VESK_PAYLOAD_STANDINS
    const std::string version = VESK_STANDIN_VERSION_TEXT;
#else
    const std::string version = token_value("DRIVER_VERSION");
#endif
    // The test runs with TZ=UTC: row 2's time stamp falls on 2 June 2012.
    std::string want = source_template("winusb.inf.in");
    for (const auto& [field, value] :
         std::vector<std::pair<std::string, std::string>>{{"#INF_FILENAME#", "morvane-dfu.inf"},
                                                          {"#CAT_FILENAME#", "morvane-dfu.cat"},
                                                          {"#DEVICE_DESCRIPTION#", "Morvane DFU bootloader"},
                                                          {"#DEVICE_MANUFACTURER#", "Morvane"},
                                                          {"#DEVICE_HARDWARE_ID#", "VID_2E3C&PID_DF11"},
                                                          {"#DEVICE_INTERFACE_GUID#", kGuid},
                                                          {"#DRIVER_DATE#", "06/02/2012"},
                                                          {"#DRIVER_VERSION#", version},
                                                          {"#USE_DEVICE_INTERFACE_GUID#", "AddDeviceInterfaceGUID"},
                                                          {"#WDF_VERSION#", "01011"},
                                                          {"#KMDF_VERSION#", "1.11"}})
        want = replace_all(want, field, value);
    const std::vector<std::string> got_lines = split_crlf(inf_text(inf_path));
    const std::vector<std::string> want_lines = split_crlf(want);
    REQUIRE(got_lines.size() == 99);
    REQUIRE(want_lines.size() == 99);
    for (std::size_t i = 0; i < want_lines.size(); ++i) {
        CAPTURE(i + 1);
        CHECK(got_lines[i] == want_lines[i]);
    }
    // A few lines spelled out, independent of the template file.
    CHECK(got_lines[0] == "; morvane-dfu.inf");
    CHECK(got_lines[5] == "DeviceID   = \"VID_2E3C&PID_DF11\"");
    CHECK(got_lines[12] == "Provider    = \"libvesk\"");
    CHECK(got_lines[13] == "CatalogFile = morvane-dfu.cat");
    CHECK(got_lines[14] == "DriverVer   = 06/02/2012, " + version);
    CHECK(got_lines[57] == "AddReg = AddDeviceInterfaceGUID");
    CHECK(got_lines[81] == "WdfCoInstaller01011.dll");
    CHECK(got_lines[98] == ";");  // no line end after the last line
}

TEST_CASE("token values for other devices and options") {
    struct Row {
        const char* what;
        uint16_t vid, pid;
        bool composite;
        uint8_t mi;
        const char* manufacturer;
        const char* guid_option;
        bool match_compatible;
        const char* hardware_id;
        const char* guid;  // null: a new random GUID
        const char* use_guid;
        const char* log_line;  // expected line, or null
    };
    static const Row rows[] = {
        {"composite interface", 0x1234, 0x5678, true, 2, "X", nullptr, false, "VID_1234&PID_5678&MI_02", nullptr,
         "AddDeviceInterfaceGUID", nullptr},
        {"match_compatible_id", 0x2E3C, 0xDF11, false, 0, "X", kGuid, true, "MS_COMP_WINUSB", "UNUSED",
         "NoDeviceInterfaceGUID", nullptr},
        {"Android pair", 0x18D1, 0x4EE0, false, 0, "X", nullptr, false, "VID_18D1&PID_4EE0",
         "{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}", "AddDeviceInterfaceGUID",
         "libvesk:info [vesk_prepare_driver] Using Android Device Interface GUID"},
        {"Android pair with a GUID option", 0x18D1, 0x4EE0, false, 0, "X", kGuid, false, "VID_18D1&PID_4EE0", kGuid,
         "AddDeviceInterfaceGUID", nullptr},
        {"the doubled Android pair", 0x18D1, 0x708C, false, 0, "X", nullptr, false, "VID_18D1&PID_708C",
         "{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}", "AddDeviceInterfaceGUID", "Using Android Device Interface GUID"},
        {"lower-case hex digits of the IDs come out upper-case", 0xabcd, 0x00ef, false, 0, nullptr, kGuid, false,
         "VID_ABCD&PID_00EF", kGuid, "AddDeviceInterfaceGUID", nullptr},
    };
    for (const Row& r : rows) {
        const std::string what = r.what;
        CAPTURE(what);
        ScratchDir d;
        vesk_device dev = device(r.vid, r.pid);
        dev.composite = r.composite;
        dev.interface_number = r.mi;
        vesk_prepare_options o{};
        o.manufacturer = r.manufacturer;
        o.interface_guid = r.guid_option;
        o.match_compatible_id = r.match_compatible;
        o.skip_catalog = 1;
        LogCapture log;
        REQUIRE(vesk_prepare_driver(&dev, d.path().c_str(), "device.inf", &o) == VESK_OK);
        CHECK(std::string(token_value("DEVICE_HARDWARE_ID")) == r.hardware_id);
        CHECK(std::string(token_value("USE_DEVICE_INTERFACE_GUID")) == r.use_guid);
        const std::string guid = token_value("DEVICE_INTERFACE_GUID");
        if (r.guid) {
            CHECK(guid == r.guid);
        } else {
            REQUIRE(guid.size() == 38);
            CHECK(guid[0] == '{');
            CHECK(guid[37] == '}');
            for (std::size_t i : {9u, 14u, 19u, 24u}) CHECK(guid[i] == '-');
            CHECK(guid.find_first_not_of("{}-0123456789ABCDEF") == std::string::npos);
        }
        if (r.log_line) CHECK(log.has(r.log_line));
        if (!r.log_line) CHECK_FALSE(log.has("Using Android Device Interface GUID"));
        const std::string inf = inf_text(d.path() + "\\device.inf");
        CHECK(inf.find(std::string("%DeviceName% = USB_Install, USB\\%DeviceID%")) != std::string::npos);
        CHECK(inf.find(std::string("DeviceID   = \"") + r.hardware_id + "\"") != std::string::npos);
        CHECK(inf.find(std::string("AddReg = ") + r.use_guid + "\r\n") != std::string::npos);
    }
}

TEST_CASE("a random interface GUID differs between calls; no manufacturer gives the vendor name or the fallback") {
    ScratchDir d;
    vesk_device dev = device(0x2E3C, 0xDF11);
    vesk_prepare_options o{};
    o.skip_catalog = 1;
    REQUIRE(vesk_prepare_driver(&dev, d.path().c_str(), "a.inf", &o) == VESK_OK);
    const std::string first = token_value("DEVICE_INTERFACE_GUID");
    const char* vendor = vesk_vendor_name(0x2E3C);
    CHECK(std::string(token_value("DEVICE_MANUFACTURER")) == (vendor ? vendor : "(Undefined Vendor)"));
    REQUIRE(vesk_prepare_driver(&dev, d.path().c_str(), "a.inf", &o) == VESK_OK);
    CHECK(std::string(token_value("DEVICE_INTERFACE_GUID")) != first);
}

TEST_CASE("a CDC package: the usbser template, its fixed version") {
    ScratchDir d;
    vesk_device dev = device(0x1234, 0x5678, "Serial gadget");
    vesk_prepare_options o{};
    o.driver_kind = VESK_DRIVER_CDC;
    o.manufacturer = "Acme";
    o.skip_catalog = 1;
    REQUIRE(vesk_prepare_driver(&dev, d.path().c_str(), "serial.inf", &o) == VESK_OK);
    std::string inf = inf_text(d.path() + "\\serial.inf");
    REQUIRE(inf.size() >= 2);
    CHECK(inf.compare(inf.size() - 2, 2, "\r\n") == 0);  // the CDC template ends with CR LF
    inf.resize(inf.size() - 2);
    const std::vector<std::string> lines = split_crlf(inf);
    REQUIRE(lines.size() == 61);
    CHECK(lines[0] == "; serial.inf");
    CHECK(lines[3] == "DeviceName = \"Serial gadget\"");
    CHECK(lines[12] == "Class       = Ports");
    CHECK(lines[15] == "CatalogFile = serial.cat");
    CHECK(lines[16].substr(0, 14) == "DriverVer   = ");
    CHECK(lines[16].substr(24) == ", 1.0.0.0");
    CHECK(lines[22] == "%DeviceName% = UsbSer_Install, USB\\%DeviceID%");  // an INF string, not a field
}

TEST_CASE("argument rules") {
    ScratchDir d;
    vesk_device dev = device(0x2E3C, 0xDF11);
    vesk_prepare_options o = winusb_options();
    struct Row {
        const char* what;
        const vesk_device* dev;
        const char* inf;
        int kind;
        const char* line;
    };
    const Row rows[] = {
        {"null device", nullptr, "device.inf", 0,
         "libvesk:error [vesk_prepare_driver] One of the required parameter is NULL"},
        {"null INF name", &dev, nullptr, 0,
         "libvesk:error [vesk_prepare_driver] One of the required parameter is NULL"},
        {"upper-case extension", &dev, "device.INF", 0,
         "libvesk:error [vesk_prepare_driver] Inf name provided must have a '.inf' extension"},
        {"no extension", &dev, "device", 0, "Inf name provided must have a '.inf' extension"},
        {"base name too short", &dev, "dir\\inf", 0, "Inf name provided must have a '.inf' extension"},
        {"extension in the directory only", &dev, "x.inf\\y", 0, "Inf name provided must have a '.inf' extension"},
        {"kind 5", &dev, "device.inf", 5,
         "libvesk:error [vesk_prepare_driver] Program assertion failed - Unknown driver type"},
        {"kind -1", &dev, "device.inf", -1, "Program assertion failed - Unknown driver type"},
    };
    for (const Row& r : rows) {
        const std::string what = r.what;
        CAPTURE(what);
        o.driver_kind = r.kind;
        LogCapture log;
        CHECK(vesk_prepare_driver(r.dev, d.path().c_str(), r.inf, &o) == VESK_ERR_INVALID_PARAMETER);
        CHECK(log.has(r.line));
        std::vector<std::string> files;
        list_files(d.path(), "", files);
        CHECK(files.empty());
    }
}

TEST_CASE("the INF name's directory part is dropped") {
    ScratchDir d;
    vesk_device dev = device(0x2E3C, 0xDF11);
    const vesk_prepare_options o = winusb_options();
    REQUIRE(vesk_prepare_driver(&dev, d.path().c_str(), "sub\\dir/device.inf", &o) == VESK_OK);
    CHECK(exists(d.path() + "\\device.inf"));
    CHECK_FALSE(exists(d.path() + "\\sub"));
    CHECK(std::string(token_value("INF_FILENAME")) == "device.inf");
    CHECK(std::string(token_value("CAT_FILENAME")) == "device.cat");
}

TEST_CASE("no description: refused after the package directory exists") {
    ScratchDir s;
    const std::string d = s.path() + "\\new";
    vesk_device dev = device(0x2E3C, 0xDF11, nullptr);
    const vesk_prepare_options o = winusb_options();
    LogCapture log;
    CHECK(vesk_prepare_driver(&dev, d.c_str(), "device.inf", &o) == VESK_ERR_INVALID_PARAMETER);
    CHECK(log.has("libvesk:error [vesk_prepare_driver] No device ID was given for the device - aborting"));
    CHECK(is_dir(d));
    CHECK_FALSE(exists(d + "\\x86"));
}

TEST_CASE("no directory: refused, and nothing is written to TEMP") {
    ScratchDir temp;
    vesk_device dev = device(0x2E3C, 0xDF11);
    const vesk_prepare_options o = winusb_options();
    ScopedEnv env(L"TEMP", widen(temp.path()).c_str());
    static const char* const paths[] = {nullptr, ""};
    for (const char* path : paths) {
        CAPTURE((path ? "empty" : "null"));
        LogCapture log;
        CHECK(vesk_prepare_driver(&dev, path, "device.inf", &o) == VESK_ERR_INVALID_PARAMETER);
        CHECK(log.has("libvesk:error [vesk_prepare_driver] No path provided - a package directory is required"));
        CHECK_FALSE(exists(temp.path() + "\\device.inf"));
        CHECK_FALSE(exists(temp.path() + "\\installer_x86.exe"));
    }
}

TEST_CASE("path lengths: a directory over 259 bytes is refused, a long INF path too") {
    ScratchDir s;
    vesk_device dev = device(0x2E3C, 0xDF11);
    const vesk_prepare_options o = winusb_options();
    {
        // Cutting it would put the package somewhere the caller did not ask for.
        const std::string d = s.padded(260);
        LogCapture log;
        CHECK(vesk_prepare_driver(&dev, d.c_str(), "device.inf", &o) == VESK_ERR_INVALID_PARAMETER);
        CHECK(log.has("libvesk:error [vesk_prepare_driver] Package directory is longer than 259 bytes: '"));
        CHECK_FALSE(exists(d.substr(0, 259)));
    }
    {
        const std::string d = s.padded(229);  // the payload fits; 229 + a 30-byte name does not
        const std::string name = std::string(26, 'n') + ".inf";
        LogCapture log;
        CHECK(vesk_prepare_driver(&dev, d.c_str(), name.c_str(), &o) == VESK_ERR_NO_RESOURCE);
        CHECK(log.has("libvesk:error [vesk_prepare_driver] Qualified path for inf file is too long: '" + d + "\\" +
                      name));
        CHECK(exists(d + "\\installer_x64.exe"));
        const std::string fits = std::string(25, 'n') + ".inf";  // 229 + 29 = 258
        CHECK(vesk_prepare_driver(&dev, d.c_str(), fits.c_str(), &o) == VESK_OK);
        CHECK(exists(d + "\\" + fits));
    }
}

TEST_CASE("a caller's INF template file") {
    ScratchDir d;
    ScratchDir src;
    const std::string tpl = src.path() + "\\custom.inf";
    write_file(tpl, "; #INF_FILENAME#\r\nID=#DEVICE_HARDWARE_ID#\r\n");
    vesk_device dev = device(0x2E3C, 0xDF11);
    vesk_prepare_options o = winusb_options();
    o.inf_is_template = 1;
    REQUIRE(vesk_prepare_driver(&dev, d.path().c_str(), tpl.c_str(), &o) == VESK_OK);
    CHECK(inf_text(d.path() + "\\custom.inf") == "; custom.inf\r\nID=VID_2E3C&PID_DF11\r\n");

    write_file(tpl, "#LK_DLL#");  // expands to nothing
    LogCapture log;
    CHECK(vesk_prepare_driver(&dev, d.path().c_str(), tpl.c_str(), &o) == VESK_ERR_ACCESS_DENIED);
    CHECK(log.has("libvesk:error [vesk_prepare_driver] Could not tokenize inf file (0)"));
}

TEST_CASE("an INF that cannot be created") {
    ScratchDir d;
    CreateDirectoryA((d.path() + "\\device.inf").c_str(), nullptr);
    vesk_device dev = device(0x2E3C, 0xDF11);
    const vesk_prepare_options o = winusb_options();
    LogCapture log;
    CHECK(vesk_prepare_driver(&dev, d.path().c_str(), "device.inf", &o) == VESK_ERR_ACCESS_DENIED);
    CHECK(log.has("libvesk:error [vesk_prepare_driver] Failed to create file: " + d.path() + "\\device.inf"));
}

TEST_CASE("the catalog file list: comments and blank lines skipped, at most 16 entries and the INF") {
    struct Row {
        const char* what;
        int entries;
        bool warning;
        uint32_t names;
    };
    static const Row rows[] = {{"16 entries", 16, false, 17}, {"17 entries", 17, true, 17}, {"none", 0, false, 1}};
    for (const Row& r : rows) {
        const std::string what = r.what;
        CAPTURE(what);
        std::string text = "# comment\r\n\r\n\r\n";
        for (int i = 0; i < r.entries; ++i) text += " \tfile" + std::to_string(i) + ".dll \r\n#another\n\r";
        std::vector<char> buf(text.begin(), text.end());
        buf.push_back('\0');
        const char* names[kCatNames] = {};
        LogCapture log;
        const uint32_t n = cat_file_list(buf.data(), "device.inf", names);
        CHECK(n == r.names);
        CHECK(log.has("libvesk:warning [vesk_prepare_driver] More than 16 cat entries - ignoring the rest") ==
              r.warning);
        for (uint32_t i = 0; i + 1 < n; ++i) CHECK(std::string(names[i]) == "file" + std::to_string(i) + ".dll");
        CHECK(std::string(names[n - 1]) == "device.inf");
    }
    // The WinUSB list as the templates give it.
    set_token_value("WDF_VERSION", "01011");
    char* list = nullptr;
    REQUIRE(tokenize_embedded_template("winusb.cat.in", &list) > 0);
    const char* names[kCatNames] = {};
    REQUIRE(cat_file_list(list, "morvane-dfu.inf", names) == 3);
    CHECK(std::string(names[0]) == "WdfCoInstaller01011.dll");
    CHECK(std::string(names[1]) == "winusbcoinstaller2.dll");
    CHECK(std::string(names[2]) == "morvane-dfu.inf");
    std::free(list);
    REQUIRE(tokenize_embedded_template("usbser.cat.in", &list) > 0);
    REQUIRE(cat_file_list(list, "serial.inf", names) == 1);
    std::free(list);
}

TEST_CASE("a catalog that cannot be made fails on Windows 10 with test signing off, and frees the lock") {
    // Wine reports Windows 10 to programs that declare it, and test signing is never on.
    ScratchDir d;
    // A directory where the catalog should go: no implementation of the catalog can write it.
    CreateDirectoryA((d.path() + "\\device.cat").c_str(), nullptr);
    vesk_device dev = device(0x2E3C, 0xDF11);
    vesk_prepare_options o = winusb_options();
    o.skip_catalog = 0;
    LogCapture log;
    CHECK(vesk_prepare_driver(&dev, d.path().c_str(), "device.inf", &o) == VESK_ERR_NO_CATALOG);
    CHECK(log.has("libvesk:info [vesk_prepare_driver] Creating and self-signing a .cat file..."));
    CHECK(log.has("libvesk:error [vesk_prepare_driver] Could not create cat file"));
    CHECK_FALSE(log.has("Test signing is: Enabled"));
    CHECK(exists(d.path() + "\\device.inf"));
    // The lock went with the failed call.
    o.skip_catalog = 1;
    CHECK(vesk_prepare_driver(&dev, d.path().c_str(), "device.inf", &o) == VESK_OK);
    // Without options the catalog is attempted too (and would not be signed).
    LogCapture again;
    CHECK(vesk_prepare_driver(&dev, d.path().c_str(), "device.inf", nullptr) == VESK_ERR_NO_CATALOG);
    CHECK(again.has("libvesk:error [vesk_prepare_driver] Could not create cat file"));
}

TEST_CASE("TEMP unset: the version and date still come from the carried co-installer") {
    ScratchDir d;
    vesk_device dev = device(0x2E3C, 0xDF11);
    const vesk_prepare_options o = winusb_options();
    ScopedEnv env(L"TEMP", nullptr);
    LogCapture log;
    REQUIRE(vesk_prepare_driver(&dev, d.path().c_str(), "device.inf", &o) == VESK_OK);
    CHECK_FALSE(log.has("[get_version_info]"));
    CHECK(std::string(token_value("DRIVER_DATE")) == "06/02/2012");  // TZ=UTC
#if VESK_PAYLOAD_STANDINS
    CHECK(std::string(token_value("DRIVER_VERSION")) == VESK_STANDIN_VERSION_TEXT);
#else
    CHECK(std::string(token_value("DRIVER_VERSION")) != "0.0.0.0");
#endif
    CHECK(version_cache[VESK_DRIVER_WINUSB].dwSignature == 0xFEEF04BD);
}

TEST_CASE("a second preparation while one holds the lock is refused and writes nothing") {
    ScratchDir s;
    const std::string d = s.path() + "\\busy";
    vesk_device dev = device(0x2E3C, 0xDF11);
    const vesk_prepare_options o = winusb_options();
    {
        // What a running preparation holds, in this or any other process.
        HANDLE held = CreateMutexA(nullptr, TRUE, "Global\\vesk_prepare_driver");
        REQUIRE(held != nullptr);
        REQUIRE(GetLastError() != ERROR_ALREADY_EXISTS);
        LogCapture log;
        CHECK(vesk_prepare_driver(&dev, d.c_str(), "device.inf", &o) == VESK_ERR_BUSY);
        CHECK(log.text().empty());
        CHECK_FALSE(exists(d));
        CloseHandle(held);
    }
    CHECK(vesk_prepare_driver(&dev, d.c_str(), "device.inf", &o) == VESK_OK);
}
