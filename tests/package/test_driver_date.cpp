// The INF's driver date is row 2's time stamp (2012-06-02 07:35:28 UTC) in local time, with the
// offset in force at the moment of the call. Run twice: at UTC-7 it is 06/02/2012, at UTC-8
// 06/01/2012. Wine takes the time zone from TZ; the zones have no daylight saving time, so the
// offsets hold all year.
#include <windows.h>

#include <doctest.h>

#include <string>

#include "package_support.h"
#include "tokenizer.h"

using namespace pkgtest;

TEST_CASE("driver date in this time zone") {
    char want[32] = "";
    char bias[16] = "";
    REQUIRE(GetEnvironmentVariableA("VESK_EXPECT_DATE", want, sizeof want) > 0);
    REQUIRE(GetEnvironmentVariableA("VESK_EXPECT_BIAS", bias, sizeof bias) > 0);
    // Shows that the process really runs in the zone the test asked for.
    TIME_ZONE_INFORMATION tz;
    const DWORD mode = GetTimeZoneInformation(&tz);
    const long effective = tz.Bias + (mode == TIME_ZONE_ID_DAYLIGHT ? tz.DaylightBias : 0);
    REQUIRE(effective == std::stol(bias));

    ScratchDir d;
    vesk_device dev = pkgtest::device();
    vesk_prepare_options o{};
    o.manufacturer = "Morvane";
    o.skip_catalog = 1;
    REQUIRE(vesk_prepare_driver(&dev, d.path().c_str(), "morvane-dfu.inf", &o) == VESK_OK);
    CHECK(std::string(token_value("DRIVER_DATE")) == want);
}
