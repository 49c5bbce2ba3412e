// The trailer's local time under POSIX time zones (TZ names such as Asia/Shanghai).
#include "package/PackageFormat.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

using namespace cpuconfig;

TEST(PackageFormat, localTimeFollowsTheTimeZoneNotTheLocale) {
    const char* oldTz = std::getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    const DateTime d = localDateTime(1262303999); // 2009-12-31 23:59:59 UTC
    EXPECT_EQ(makeTrailer(d), (Trailer{0x59, 0x59, 0x23, 0x31, 0x12, 0x04, 0x09, 0xAA}));
    ::setenv("TZ", "Asia/Shanghai", 1); // UTC+8: already Friday 1 January 2010
    ::tzset();
    const DateTime s = localDateTime(1262303999);
    EXPECT_EQ(makeTrailer(s), (Trailer{0x59, 0x59, 0x07, 0x01, 0x01, 0x05, 0x10, 0xAA}));
    if (oldTz) {
        ::setenv("TZ", saved.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}
