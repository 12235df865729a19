// Option files. The properties: every argument read is a trimmed, non-empty,
// non-comment text of one line; the file reader hands the daemon exactly the
// arguments the text reader finds; and the arguments written one per line
// read back unchanged.
#include <string>
#include <vector>

#include "common/opts.h"
#include "fuzz_check.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

struct seen {
    std::vector<std::string> args;
    int calls = 0;
};

int collect(int argc, char** argv, void* app) {
    auto* s = static_cast<seen*>(app);
    ++s->calls;
    for (int i = 1; i < argc; ++i) s->args.emplace_back(argv[i]);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = fuzz::bytes(data, size);
    bool more = false;
    const std::vector<std::string> args = opts_from_text(text, &more);
    FUZZ_CHECK(args.size() <= static_cast<size_t>(MAX_OPTS_FILE_ARGS));
    FUZZ_CHECK(!more || args.size() == static_cast<size_t>(MAX_OPTS_FILE_ARGS));
    for (const std::string& a : args) {
        FUZZ_CHECK(!a.empty() && a.size() < 4096);
        FUZZ_CHECK(a.find('\n') == std::string::npos && a.find('\0') == std::string::npos);
        FUZZ_CHECK(!is_blank(a.front()) && !is_blank(a.back()) && a.front() != '#');
        FUZZ_CHECK(text.find(a) != std::string_view::npos);
    }

    const std::string file = fuzz::scratch_dir() + "/opts";
    FUZZ_CHECK(fuzz::write_file(file, text));
    seen got;
    FUZZ_CHECK(opts_from_file(file.c_str(), &got, collect) == 0);
    FUZZ_CHECK(got.calls == (args.empty() ? 0 : 1));
    FUZZ_CHECK(got.args == args);

    std::string rewritten;
    for (const std::string& a : args) rewritten += a + "\n";
    bool more_again = false;
    FUZZ_CHECK(opts_from_text(rewritten, &more_again) == args);
    FUZZ_CHECK(!more_again);
    return 0;
}
