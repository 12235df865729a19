// The Range header against a body size taken from the input's first eight
// bytes. The properties: a part lies within the body, first to last; the
// part written back as "bytes=first-last" asks for the same part; an
// unsatisfiable answer comes only for a header of the bytes unit; and a
// larger body never turns a part into something else.
#include <cstring>
#include <string>

#include "exporter/http_parse.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    uint64_t body = 0;
    std::memcpy(&body, data, sizeof body);
    const std::string_view header = fuzz::bytes(data + 8, size - 8);
    const http_range r = http_parse_range(header, body);
    switch (r.kind) {
        case http_range_kind::whole: FUZZ_CHECK(r.first == 0 && r.last == 0); break;
        case http_range_kind::unsatisfiable: FUZZ_CHECK(header.starts_with("bytes=")); break;
        case http_range_kind::part: {
            FUZZ_CHECK(header.starts_with("bytes="));
            FUZZ_CHECK(r.first <= r.last && r.last < body);
            const std::string canonical = "bytes=" + std::to_string(r.first) + "-" + std::to_string(r.last);
            const http_range again = http_parse_range(canonical, body);
            FUZZ_CHECK(again.kind == http_range_kind::part && again.first == r.first && again.last == r.last);
            if (body < UINT64_MAX) {
                FUZZ_CHECK(http_parse_range(header, body + 1).kind == http_range_kind::part);
            }
            break;
        }
    }
    return 0;
}
