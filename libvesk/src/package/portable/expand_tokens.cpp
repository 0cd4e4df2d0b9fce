#include "expand_tokens.h"

#include <cstdlib>
#include <cstring>

namespace {
constexpr std::size_t kHeadroom = 1024;
// The result is a signed 32-bit length; an expansion that would not fit is out of memory.
constexpr std::size_t kMaxOutput = 0x7FFFFFFF;

class Output {
public:
    Output(char** out, std::size_t capacity) : out_(out), capacity_(capacity) {
        buf_ = static_cast<char*>(std::malloc(capacity));
        *out_ = buf_;
    }
    bool ok() const { return buf_ != nullptr; }
    std::size_t used() const { return used_; }

    bool append(const char* p, std::size_t k) {
        if (used_ + k >= capacity_) {
            if (k > kMaxOutput - kHeadroom - used_) return fail();
            const std::size_t capacity = used_ + k + kHeadroom;
            char* grown = static_cast<char*>(std::realloc(buf_, capacity));
            if (!grown) return fail();
            buf_ = grown;
            capacity_ = capacity;
            *out_ = buf_;
        }
        if (k) std::memcpy(buf_ + used_, p, k);
        used_ += k;
        return true;
    }
    void finish() { buf_[used_] = '\0'; }

private:
    bool fail() {
        std::free(buf_);
        buf_ = nullptr;
        *out_ = nullptr;
        return false;
    }
    char** out_;
    char* buf_ = nullptr;
    std::size_t capacity_;
    std::size_t used_ = 0;
};

// First position p >= from with p + a + b <= end where the start delimiter occurs.
const char* find_start(const char* from, const char* end, const char* d1, std::size_t a, std::size_t b) {
    if (static_cast<std::size_t>(end - from) < a + b) return nullptr;
    const char* last = end - a - b;
    for (const char* p = from; p <= last; ++p)
        if (std::memcmp(p, d1, a) == 0) return p;
    return nullptr;
}
std::size_t value_length(const char (&v)[kTokenValueBytes]) {
    const void* nul = std::memchr(v, '\0', sizeof v);
    return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - v) : sizeof v;
}
}  // namespace

int32_t expand_tokens(const char* src, uint32_t length, char** out, const token_entry* table, const char* start_delim,
                      const char* end_delim) {
    if (!src || !out || !table || !start_delim || !end_delim || !*start_delim || !*end_delim || length == 0)
        return kTokenBadArguments;
    const std::size_t a = std::strlen(start_delim);
    const std::size_t b = std::strlen(end_delim);
    if (length > kMaxOutput - kHeadroom) {
        *out = nullptr;
        return kTokenNoMemory;
    }
    Output o(out, std::size_t{length} + kHeadroom);
    if (!o.ok()) return kTokenNoMemory;

    const char* cursor = src;
    const char* const end = src + length;
    std::size_t remaining = length;
    while (remaining > a + b) {
        const char* p = find_start(cursor, end, start_delim, a, b);
        if (!p) break;
        if (!o.append(cursor, static_cast<std::size_t>(p - cursor))) return kTokenNoMemory;
        cursor = p + a;
        remaining = static_cast<std::size_t>(end - cursor);
        const token_entry* hit = nullptr;
        for (const token_entry* t = table; t->name; ++t) {
            const std::size_t n = std::strlen(t->name);
            if (remaining >= n + b && std::memcmp(cursor, t->name, n) == 0 &&
                std::memcmp(cursor + n, end_delim, b) == 0) {
                hit = t;
                break;
            }
        }
        if (hit) {
            if (!o.append(hit->value, value_length(hit->value))) return kTokenNoMemory;
            const std::size_t n = std::strlen(hit->name);
            cursor += n + b;
            remaining -= n + b;
        } else {
            // Unknown name: keep the delimiter and scan what follows again, so that the
            // closing delimiter of an unknown field can open the next one.
            if (!o.append(start_delim, a)) return kTokenNoMemory;
        }
    }
    if (remaining > 0 && !o.append(cursor, remaining)) return kTokenNoMemory;
    o.finish();
    return static_cast<int32_t>(o.used());
}
