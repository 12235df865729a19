// A task's "state" file. The properties: whatever the text parses to is
// written back as a text that parses to the same state; the file reader
// agrees with the text parser on the same bytes (a file of 64 bytes or
// more, too long to be a state, holds none); and a state written to a file reads back unchanged.
#include <string>

#include "archive/task_store.h"
#include "fuzz_check.h"

namespace {

constexpr int SYS_ID = 3;

bool only_number_text(std::string_view text) {
    for (const char c : text) {
        const bool allowed = (c >= '0' && c <= '9') || c == '-' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
        if (!allowed) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = fuzz::bytes(data, size);
    archive::task_state s{};
    const bool parsed = archive::parse_task_state(text, &s);
    if (parsed) {
        FUZZ_CHECK(only_number_text(text));
        archive::task_state back{};
        FUZZ_CHECK(archive::parse_task_state(archive::task_state_text(s), &back) && back == s);
        const char* name = archive::task_state_name(s);
        const int v = archive::task_state_value(s);
        FUZZ_CHECK((name != nullptr) == (v >= 0 && v <= 3));
        FUZZ_CHECK(archive::task_state_is_load_error(s) == (v < 0));
    }

    // The same bytes as the file a daemon left.
    const std::string& dir = fuzz::scratch_dir();
    const char* tasks = dir.c_str();
    FUZZ_CHECK(archive::write_task_state(tasks, SYS_ID, archive::task_state::queued) == 0);
    FUZZ_CHECK(fuzz::write_file(archive::task_path(dir, SYS_ID, archive::TASK_STATE), text));
    archive::task_state from_file{};
    const int r = archive::read_task_state(tasks, SYS_ID, &from_file);
    if (size < 64) {
        FUZZ_CHECK((r == 0) == parsed && (r == 0 || r == -22));
        if (parsed) FUZZ_CHECK(from_file == s);
    } else {
        FUZZ_CHECK(r == -22);
    }

    if (parsed) {
        FUZZ_CHECK(archive::write_task_state(tasks, SYS_ID, s) == 0);
        archive::task_state written{};
        FUZZ_CHECK(archive::read_task_state(tasks, SYS_ID, &written) == 0 && written == s);
    }
    return 0;
}
