// The real installer program of this tree against a scripted stand-in of the library's pipe
// end: the conversation for each kind of answer, the end sequence and the exit code. The
// configuration manager's re-enumeration is the test double's (with-doubles.sh); plain Wine's
// stubs are in test_wine_stubs.cpp.
#include <windows.h>

#include <doctest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "doubles_support.h"
#include "installer_server.h"
#include "owners.h"
#include "scratch_tree.h"
#include "usb_devices.h"

namespace {
constexpr char kDeviceId[] = "USB\\VID_2E3C&PID_DF11\\5&1A2B3C&0&1";
constexpr char kHardwareId[] = "USB\\VID_2E3C&PID_DF11";
constexpr char kInf[] =
    "[Version]\r\nSignature = \"$Windows NT$\"\r\nClass = USBDevice\r\n"
    "ClassGuid = {88BAE032-5A81-49f0-BC3D-A4FF138216D6}\r\nProvider = %P%\r\nCatalogFile = flow-test.cat\r\n"
    "DriverVer = 01/01/2024,1.0.0.0\r\n[Manufacturer]\r\n%P% = Devices,NTamd64,NTx86\r\n"
    "[Devices.NTamd64]\r\n[Devices.NTx86]\r\n[Strings]\r\nP = \"Flow Test\"\r\n";

std::string package_dir() {
    const std::string dir = scratch::own_temp_dir("flow");
    FILE* f = std::fopen((dir + "\\flow-test.inf").c_str(), "wb");
    REQUIRE(f);
    std::fputs(kInf, f);
    std::fclose(f);
    // The catalog the INF names; its content does not matter to Wine.
    f = std::fopen((dir + "\\flow-test.cat").c_str(), "wb");
    REQUIRE(f);
    std::fputs("catalog", f);
    std::fclose(f);
    return dir;
}

std::string installer() {
    const std::string p = server::env("VESK_INSTALLER");
    REQUIRE(!p.empty());
    return p;
}

std::string last_reenumerated() {
    HKEY key = doubles::open_doubles_key(VESK_CFGMGR_KEY, KEY_QUERY_VALUE);
    if (!key) return "";
    char v[512] = {};
    DWORD size = sizeof v - 1;
    RegQueryValueExA(key, "LastReenumerated", nullptr, nullptr, reinterpret_cast<BYTE*>(v), &size);
    RegCloseKey(key);
    return v;
}

// The installer's conversation about flow-test.inf with a bootloader node present, from fresh
// records of the doubles.
server::Conversation with_bootloader(const server::Script& answers) {
    doubles::reset_records();
    fixture::ScopedUsbDevice boot(fixture::bootloader());
    REQUIRE_MESSAGE(boot.ok(), boot.error());
    return server::run(installer(), "\"flow-test.inf\"", package_dir(), answers);
}

// Progress texts that name the steps of the flow, in the order they appear.
std::vector<std::string> steps(const server::Conversation& c) {
    static const char* const kSteps[] = {"got parameter",    "got device_id",         "got hardware_id",
                                         "failed to read",   "Installing driver for", "driver update completed",
                                         "Copying inf file", "copied inf to",         "re-enumerat"};
    std::vector<std::string> s;
    for (const std::string& t : c.texts())
        for (const char* k : kSteps)
            if (t.rfind(k, 0) == 0) s.push_back(k);
    return s;
}
}  // namespace

TEST_CASE("all three values: the driver update runs, no INF copy, the node is re-enumerated") {
    const server::Conversation c =
        with_bootloader({server::value(kDeviceId), server::value(kHardwareId), server::value("S-1-5-21-1-2-3-1000")});
    INFO(c.dump());
    CHECK_FALSE(c.timed_out);
    CHECK(static_cast<int>(c.exit_code) == VESK_OK);
    CHECK(c.has_text("got parameter flow-test.inf"));
    CHECK(c.has_text(std::string("got device_id: '") + kDeviceId + "'"));
    CHECK(c.has_text(std::string("got hardware_id: '") + kHardwareId + "'"));
    CHECK(c.has_text("got user_sid: 'S-1-5-21-1-2-3-1000'"));
    CHECK(c.has_text(std::string("Installing driver for ") + kHardwareId + " - please wait..."));
    CHECK(c.has_text("driver update completed"));
    CHECK_FALSE(c.has_text_starting("Copying inf file"));
    CHECK(c.has_text(std::string("re-enumerating driver node ") + kDeviceId + "..."));
    CHECK(c.has_text("re-enumeration succeeded..."));
    CHECK(last_reenumerated() == kDeviceId);
    // Requests in order, 5 and 6 around the update, then 8 and the status 0.
    CHECK(c.codes() == std::vector<std::string>{"2", "3", "4", "5", "6", "8", "7:0"});
    // No group policy object under plain Wine: the policy is left alone and not restored.
    CHECK(c.has_text("CoCreateInstance failed; hr = 80040154"));
    CHECK_FALSE(c.has_text_starting("successfully"));
}

TEST_CASE("without a hardware ID only the INF copy runs") {
    struct Case {
        const char* name;
        server::Answer hardware_id;
        const char* said;
        const char* step;
    };
    const Case cases[] = {
        {"the library has none (one NUL byte)", server::nul(), "got hardware_id: ''", "got hardware_id"},
        {"an empty reply", server::empty(), "failed to read hardware_id", "failed to read"},
    };
    for (const Case& k : cases) {
        CAPTURE(k.name);
        const server::Conversation c =
            with_bootloader({server::value(kDeviceId), k.hardware_id, server::value("S-1-5-18")});
        INFO(c.dump());
        CHECK(static_cast<int>(c.exit_code) == VESK_OK);
        CHECK(c.has_text(k.said));
        CHECK_FALSE(c.has_text_starting("Installing driver for"));
        CHECK(c.has_text("Copying inf file (for the next time device is plugged) - please wait..."));
        CHECK(c.has_text_starting("copied inf to "));
        CHECK(last_reenumerated() == kDeviceId);
        // Code 5 twice (before the update that is skipped, and before the copy), then one 6.
        CHECK(c.codes() == std::vector<std::string>{"2", "3", "4", "5", "5", "6", "8", "7:0"});
        CHECK(steps(c) == std::vector<std::string>{"got parameter", "got device_id", k.step, "Copying inf file",
                                                   "copied inf to", "re-enumerat", "re-enumerat"});
    }
}

TEST_CASE("without a device instance ID the root of the device tree is re-enumerated") {
    doubles::reset_records();
    const server::Conversation c = server::run(installer(), "\"flow-test.inf\"", package_dir(),
                                               {server::nul(), server::value(kHardwareId), server::nul()});
    INFO(c.dump());
    CHECK(static_cast<int>(c.exit_code) == VESK_OK);
    CHECK(c.has_text("re-enumerating driver node <root>..."));
    CHECK(last_reenumerated() == "<root>");
}

TEST_CASE("no INF name: usage line, a progress text, and the status and exit code of an invalid parameter") {
    const server::Conversation c = server::run(installer(), "\"\"", package_dir(), {});
    CHECK(static_cast<int>(c.exit_code) == VESK_ERR_INVALID_PARAMETER);
    CHECK(c.output.find("usage: ") != std::string::npos);
    CHECK(c.output.find(" <inf_name>") != std::string::npos);
    CHECK(c.has_text("missing inf_name parameter"));
    CHECK(c.codes() == std::vector<std::string>{"8", "7:-2"});
}

TEST_CASE("started by hand, without the library's pipe: two lines and -12, nothing else") {
    server::Script s;
    s.create_pipe = false;
    const server::Conversation c = server::run(installer(), "\"flow-test.inf\"", package_dir(), s);
    CHECK(static_cast<int>(c.exit_code) == VESK_ERR_NOT_SUPPORTED);
    CHECK(c.output ==
          "This application can not be run from the command line.\r\n"
          "Please use your initial installer application if you want to install the driver.\r\n");
}

TEST_CASE("a missing or malformed pipe name: refused before any pipe is opened") {
    // The old fixed name, served by anyone, is no way in either.
    UniqueFile squatter(CreateNamedPipeA("\\\\.\\pipe\\libvesk-installer", PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, PIPE_UNLIMITED_INSTANCES, 4096,
                                         4096, 0, nullptr));
    REQUIRE(squatter);
    static const char* const args[] = {
        "",                                   // none
        "0123456789ABCDEF0123456789ABCDE",    // 31 digits
        "0123456789ABCDEF0123456789ABCDEF0",  // 33
        "0123456789abcdef0123456789abcdef",   // not as the library writes them
        "0123456789ABCDEF0123456789ABCDEG",   // not hexadecimal
        "\\\\.\\pipe\\libvesk-installer",     // a name instead of the digits
        "..\\..\\0123456789ABCDEF01234567",
    };
    for (const char* arg : args) {
        CAPTURE(arg);
        server::Script s;
        s.pipe_arg = arg;
        const server::Conversation c = server::run(installer(), "\"flow-test.inf\"", package_dir(), s);
        CHECK(static_cast<int>(c.exit_code) == VESK_ERR_NOT_SUPPORTED);
        CHECK(c.output ==
              "This application can not be run from the command line.\r\n"
              "Please use your initial installer application if you want to install the driver.\r\n");
        CHECK(c.messages.empty());
        CHECK_FALSE(c.timed_out);
    }
}
