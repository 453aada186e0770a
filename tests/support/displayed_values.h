// Values whose text differs between the Wireshark series, as the series the
// tests are built for displays them.
#ifndef OVK_TESTS_DISPLAYED_VALUES_H
#define OVK_TESTS_DISPLAYED_VALUES_H

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "wireshark_compat.h"

namespace ovk::test {

// A UTC absolute time, seconds and nanoseconds since the epoch, as a field's
// displayed value and in "tshark -T fields": ISO 8601 from 4.6 on
// ("2009-02-13T23:31:31.999999998Z"), "Feb 13, 2009 23:31:31.999999998 UTC"
// before.
inline std::string utc_time(std::int64_t seconds, unsigned nanoseconds)
{
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm fields{};
    gmtime_r(&time, &fields);
    char date[40], text[64];
#if OVK_WIRESHARK_AT_LEAST(4, 6)
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &fields);
    std::snprintf(text, sizeof text, "%s.%09uZ", date, nanoseconds);
#else
    std::strftime(date, sizeof date, "%b %e, %Y %H:%M:%S", &fields);
    std::snprintf(text, sizeof text, "%s.%09u UTC", date, nanoseconds);
#endif
    return text;
}

// The line "tshark -G defaultprefs" writes above a boolean preference:
// lower case from 4.4 on.
#if OVK_WIRESHARK_AT_LEAST(4, 4)
constexpr const char boolean_preference_hint[] = "# true or false (case-insensitive)";
#else
constexpr const char boolean_preference_hint[] = "# TRUE or FALSE (case-insensitive)";
#endif

} // namespace ovk::test

#endif
