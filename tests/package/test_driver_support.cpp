// vesk_is_driver_supported and the co-installer's version read through the TEMP directory.
#include <windows.h>

#include <doctest.h>

#include <cstring>
#include <string>

#include "driver_support.h"
#include "package_support.h"

using namespace pkgtest;

namespace {
bool is_zero(const VS_FIXEDFILEINFO& v) {
    static const VS_FIXEDFILEINFO zero{};
    return std::memcmp(&v, &zero, sizeof v) == 0;
}
}  // namespace

TEST_CASE("WinUSB without a record is supported and writes nothing to TEMP") {
    ScratchDir temp;
    ScopedEnv env(L"TEMP", widen(temp.path()).c_str());
    CHECK(vesk_is_driver_supported(VESK_DRIVER_WINUSB, nullptr) == 1);
    std::vector<std::string> files;
    list_files(temp.path(), "", files);
    CHECK(files.empty());
}

TEST_CASE("WinUSB with a record: the co-installer's version and row 2's date, no file left in TEMP") {
    ScratchDir temp;
    ScopedEnv env(L"TEMP", widen(temp.path()).c_str());
    VS_FIXEDFILEINFO v;
    std::memset(&v, 0xAB, sizeof v);
    CHECK(vesk_is_driver_supported(VESK_DRIVER_WINUSB, &v) == 1);
    CHECK(v.dwSignature == 0xFEEF04BD);
    // 2012-06-02 07:35:28 UTC as a file time.
    const uint64_t want = (1338622528ULL + 11644473600ULL) * 10000000ULL;
    CHECK(v.dwFileDateMS == static_cast<DWORD>(want >> 32));
    CHECK(v.dwFileDateLS == static_cast<DWORD>(want & 0xFFFFFFFFu));
#if VESK_PAYLOAD_STANDINS
    CHECK(v.dwFileVersionMS == ((VESK_STANDIN_V1 << 16) | VESK_STANDIN_V2));
    CHECK(v.dwFileVersionLS == ((VESK_STANDIN_V3 << 16) | VESK_STANDIN_V4));
#else
    CHECK(v.dwFileVersionMS != 0);
#endif
    CHECK(std::memcmp(&version_cache[VESK_DRIVER_WINUSB], &v, sizeof v) == 0);
    std::vector<std::string> files;
    list_files(temp.path(), "", files);
    CHECK(files.empty());
}

TEST_CASE("the other kinds") {
    VS_FIXEDFILEINFO v;
    std::memset(&v, 0xAB, sizeof v);
    CHECK(vesk_is_driver_supported(VESK_DRIVER_CDC, &v) == 1);
    VS_FIXEDFILEINFO untouched;
    std::memset(&untouched, 0xAB, sizeof untouched);
    CHECK(std::memcmp(&v, &untouched, sizeof v) == 0);

    CHECK(vesk_is_driver_supported(VESK_DRIVER_LIBUSB0, &v) == 0);
    CHECK(is_zero(v));
    CHECK(vesk_is_driver_supported(VESK_DRIVER_LIBUSBK, &v) == 0);
    CHECK(is_zero(v));

    {
        LogCapture log;
        CHECK(vesk_is_driver_supported(VESK_DRIVER_USER, nullptr) == 0);
        CHECK(log.text().empty());
    }
    for (int kind : {5, -1, 1000}) {
        CAPTURE(kind);
        LogCapture log;
        CHECK(vesk_is_driver_supported(kind, nullptr) == 0);
        CHECK(log.has("libvesk:error [vesk_is_driver_supported] Unknown driver type"));
    }
    CHECK(get_version_info(4, &v) == VESK_ERR_INVALID_PARAMETER);
    CHECK(get_version_info(VESK_DRIVER_WINUSB, nullptr) == VESK_ERR_INVALID_PARAMETER);
    CHECK(get_version_info(VESK_DRIVER_LIBUSB0, &v) == VESK_ERR_NOT_FOUND);  // no payload row of that name
}

TEST_CASE("TEMP unset: still supported, the record stays empty") {
    version_cache[VESK_DRIVER_WINUSB] = {};
    ScopedEnv env(L"TEMP", nullptr);
    VS_FIXEDFILEINFO v;
    std::memset(&v, 0xAB, sizeof v);
    LogCapture log;
    CHECK(vesk_is_driver_supported(VESK_DRIVER_WINUSB, &v) == 1);
    CHECK(is_zero(v));
    CHECK(log.has("libvesk:warning [get_version_info] Unable to use TEMP to extract file"));
}

TEST_CASE("a filled cache slot answers without touching TEMP") {
    ScratchDir temp;
    {
        ScopedEnv env(L"TEMP", widen(temp.path()).c_str());
        VS_FIXEDFILEINFO v{};
        REQUIRE(get_version_info(VESK_DRIVER_WINUSB, &v) == VESK_OK);
    }
    ScopedEnv env(L"TEMP", nullptr);
    VS_FIXEDFILEINFO again{};
    LogCapture log;
    CHECK(get_version_info(VESK_DRIVER_WINUSB, &again) == VESK_OK);
    CHECK(again.dwSignature == 0xFEEF04BD);
    CHECK(log.text().empty());
}
