// An hour's index, as the export daemon, the console and the client read it.
// The properties: every line read back is one the writer writes the same
// way, so an index rewritten from what was read reads back to the same
// entries; and a line written for any clean name and numbers reads back to
// exactly those.
#include <cstring>
#include <string>
#include <vector>

#include "archive/library.h"
#include "fuzz_check.h"

namespace {

bool same_entry(const archive::index_entry& a, const archive::index_entry& b) {
    return a.name == b.name && a.t == b.t && a.duration_ts == b.duration_ts && a.start_pts == b.start_pts;
}

std::vector<archive::index_entry> entries_of(std::string_view text) {
    std::vector<archive::index_entry> entries;
    archive::for_each_index_line(text, [&](std::string_view line) {
        FUZZ_CHECK(!line.empty() && line.find('\n') == std::string_view::npos);
        archive::index_fields f;
        const bool split = archive::split_index_line(line, &f);
        const auto e = archive::parse_index_line(line);
        FUZZ_CHECK(split == e.has_value());
        if (!e) return true;
        FUZZ_CHECK(!e->name.empty() && e->duration_ts > 0);
        FUZZ_CHECK(e->name.find('\t') == std::string::npos);
        FUZZ_CHECK(e->name == f.name && e->t == f.t && e->duration_ts == f.duration_ts && e->start_pts == f.start_pts);
        entries.push_back(*e);
        return true;
    });
    return entries;
}

int64_t number_at(std::string_view bytes, size_t at) {
    uint64_t v = 0;
    std::memcpy(&v, bytes.data() + at, sizeof v);
    return static_cast<int64_t>(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input = fuzz::bytes(data, size);

    const auto entries = entries_of(input);
    std::string rewritten;
    for (const auto& e : entries) rewritten += archive::index_line(e.name, e.t, e.duration_ts, e.start_pts);
    const auto again = entries_of(rewritten);
    FUZZ_CHECK(again.size() == entries.size());
    for (size_t i = 0; i < entries.size(); ++i) FUZZ_CHECK(same_entry(entries[i], again[i]));

    // The writer's side: three numbers and a name from the input.
    if (size < 24) return 0;
    const int64_t t = number_at(input, 0);
    const int64_t d = number_at(input, 8);
    const int64_t pts = number_at(input, 16);
    const std::string name(input.substr(24));
    if (name.empty() || !archive::segment_name_is_clean(name) || d <= 0) return 0;
    const std::string line = archive::index_line(name, t, d, pts);
    FUZZ_CHECK(!line.empty() && line.back() == '\n');
    const auto e = archive::parse_index_line(std::string_view(line).substr(0, line.size() - 1));
    FUZZ_CHECK(e.has_value());
    FUZZ_CHECK(same_entry(*e, archive::index_entry{name, t, d, pts}));
    return 0;
}
