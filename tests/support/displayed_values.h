// Values whose text differs between the Wireshark series, as the series the
// tests are built for displays them.
#ifndef OVK_TESTS_DISPLAYED_VALUES_H
#define OVK_TESTS_DISPLAYED_VALUES_H

#include <cstdio>
#include <string>

#include "wireshark_compat.h"

namespace ovk::test {

// The UTC absolute time 1970-01-01 00:00:00 plus nanoseconds, as a field's
// displayed value and in "tshark -T fields": ISO 8601 from 4.6 on,
// "Jan  1, 1970 ... UTC" before.
inline std::string epoch_plus_ns(unsigned nanoseconds)
{
    char text[48];
#if OVK_WIRESHARK_AT_LEAST(4, 6)
    std::snprintf(text, sizeof text, "1970-01-01T00:00:00.%09uZ", nanoseconds);
#else
    std::snprintf(text, sizeof text, "Jan  1, 1970 00:00:00.%09u UTC", nanoseconds);
#endif
    return text;
}

} // namespace ovk::test

#endif
