// A few calendar values with their known counts, checked without any test
// framework: this runs where none is, such as an arm64 build under
// qemu-user (scripts/cross-arm64.sh). Exit status 0 when all hold, else 1.

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "calendar/rwdate.h"
#include "calendar/rwtime.h"
#include "calendar/zone.h"

namespace {

int failures = 0;

void expect(const char *what, std::uint64_t got, std::uint64_t want)
{
    if (got != want) {
        std::printf("FAILED %s: %llu, expected %llu\n", what, static_cast<unsigned long long>(got),
                    static_cast<unsigned long long>(want));
        ++failures;
    }
}

} // namespace

int main()
{
    const RWZone &utc = RWZone::utc();
    const RWZoneSimple eastern(RWZone::West5, RWZone::DstNorthAmerica);

    expect("day number of 1 January 1970", RWDate(1, 1, 1970).julian(), 2440588u);
    expect("weekday of 29 February 2024", RWDate(29, 2, 2024).weekDay(), 4u);
    expect("29 February 2100 exists", RWDate(29, 2, 2100).isValid() ? 1 : 0, 0);
    expect("count of the Unix epoch", RWTime(RWDate(1, 1, 1970), 0, 0, 0, utc).seconds(), rwEpoch);
    expect("count of the last instant", RWTime(RWDate(6, 2, 2037), 6, 28, 15, utc).seconds(), 4294967295u);
    expect("New Year's noon in New York", RWTime(RWDate(1, 1, 2021), 12, 0, 0, eastern).seconds(),
           3786973200u);
    expect("4 July noon in New York", RWTime(RWDate(4, 7, 2021), 12, 0, 0, eastern).seconds(), 3802867200u);

    struct tm fields = {};
    RWTime(3802867200u).extract(&fields, eastern);
    expect("its hour in New York", static_cast<unsigned>(fields.tm_hour), 12u);
    expect("its daylight flag", static_cast<unsigned>(fields.tm_isdst), 1u);

    // The library's clock against the C library's, a second apart at most.
    const std::uint32_t from_libc = static_cast<std::uint32_t>(time(nullptr)) + rwEpoch;
    const std::uint32_t lag = RWTime::now().seconds() - from_libc;
    expect("library clock within a second of time()", lag <= 1 ? 1 : 0, 1);

    std::printf("calendar self-check: %s\n", failures == 0 ? "all values as known" : "FAILED");
    return failures == 0 ? 0 : 1;
}
