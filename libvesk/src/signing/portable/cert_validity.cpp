#include "cert_validity.h"

namespace cert_validity {

bool earlier(const UtcTime& a, const UtcTime& b) {
    const int left[] = {a.year, a.month, a.day, a.hour, a.minute, a.second};
    const int right[] = {b.year, b.month, b.day, b.hour, b.minute, b.second};
    for (int i = 0; i < 6; ++i)
        if (left[i] != right[i]) return left[i] < right[i];
    return false;
}

UtcTime one_year_after(const UtcTime& t) {
    UtcTime out = t;
    out.year = t.year + 1;
    // The next year has no 29 February: the year ends a day early rather than late.
    if (t.month == 2 && t.day == 29) out.day = 28;
    return out;
}

UtcTime certificate_end(const UtcTime& created) {
    const UtcTime year_later = one_year_after(created);
    return earlier(kFixedEnd, year_later) ? year_later : kFixedEnd;
}

}  // namespace cert_validity
