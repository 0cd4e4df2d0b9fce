// When the signing certificate stops being valid: a fixed end while that is at least a year
// away, else one year after creation, so that a certificate made late is never already expired.
#pragma once

namespace cert_validity {

// A UTC moment, calendar fields as the platform's SYSTEMTIME has them (month and day from 1).
struct UtcTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

inline constexpr UtcTime kFixedEnd{2029, 1, 1, 0, 0, 0};

bool earlier(const UtcTime& a, const UtcTime& b);
// The same moment a year later; 29 February becomes 28 February.
UtcTime one_year_after(const UtcTime& t);
// kFixedEnd when it is at least one year after created, else one year after created.
UtcTime certificate_end(const UtcTime& created);

}  // namespace cert_validity
