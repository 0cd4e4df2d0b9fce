// libFuzzer target for expand_tokens: sanitizers catch memory faults, and a plain std::string
// model of the same rules catches wrong output. Built by scripts/fuzz.sh, not by CMake.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "expand_tokens.h"

namespace {
token_entry table[6] = {{"INF_FILENAME", {}}, {"A", {}}, {"AB", {}}, {"EMPTY", {}}, {"BIG", {}}, {nullptr, {}}};

void init() {
    static bool done = false;
    if (done) return;
    done = true;
    std::strcpy(table[0].value, "device.inf");
    std::strcpy(table[1].value, "#A#");  // a value holding a field: never expanded again
    std::strcpy(table[2].value, "ab");
    std::memset(table[4].value, 'v', kTokenValueBytes - 1);
}

std::string model(const std::string& s, const std::string& d1, const std::string& d2) {
    std::string out;
    std::size_t cur = 0;
    const std::size_t a = d1.size(), b = d2.size();
    while (s.size() - cur > a + b) {
        std::size_t p = std::string::npos;
        for (std::size_t i = cur; i + a + b <= s.size(); ++i)
            if (s.compare(i, a, d1) == 0) {
                p = i;
                break;
            }
        if (p == std::string::npos) break;
        out += s.substr(cur, p - cur);
        cur = p + a;
        bool hit = false;
        for (const token_entry* t = table; t->name; ++t) {
            const std::string n = t->name;
            if (s.size() - cur >= n.size() + b && s.compare(cur, n.size(), n) == 0 &&
                s.compare(cur + n.size(), b, d2) == 0) {
                out += std::string(t->value);
                cur += n.size() + b;
                hit = true;
                break;
            }
        }
        if (!hit) out += d1;
    }
    out += s.substr(cur);
    return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    init();
    if (size < 1) return 0;
    static const char* const delims[][2] = {{"#", "#"}, {"#", "$"}, {"<<", ">>"}, {"ab", "b"}};
    const auto& d = delims[data[0] % 4];
    const std::string src(reinterpret_cast<const char*>(data + 1), size - 1);
    char* out = nullptr;
    const int32_t n = expand_tokens(src.data(), static_cast<uint32_t>(src.size()), &out, table, d[0], d[1]);
    if (src.empty()) {
        if (n != kTokenBadArguments) std::abort();
        return 0;
    }
    if (n < 0 || !out || out[n] != '\0') std::abort();
    if (std::string(out, static_cast<std::size_t>(n)) != model(src, d[0], d[1])) std::abort();
    std::free(out);
    return 0;
}
