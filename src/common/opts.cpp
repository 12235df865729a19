#include "common/opts.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "handles.h"

namespace {

struct file_id {
    dev_t dev;
    ino_t ino;
};

// The option files being read right now, outermost first. Option parsing runs
// on the main thread before any other thread exists.
std::vector<file_id> reading;

constexpr char BLANKS[] = "\n\t\r ";

// The argument a line holds, or an empty string for blank and comment lines.
// A NUL ends the line's text, as it ends a C string.
std::string argument_of(std::string_view line) {
    line = line.substr(0, line.find('\0'));
    const size_t end = line.find_last_not_of(BLANKS);
    if (end == std::string_view::npos) return {};
    line = line.substr(0, end + 1);
    line.remove_prefix(line.find_first_not_of(BLANKS));
    if (line[0] == '#') return {};
    return std::string(line);
}

bool is_being_read(const file_id& id) {
    for (const file_id& r : reading) {
        if (r.dev == id.dev && r.ino == id.ino) return true;
    }
    return false;
}

// The line a read of at most OPTS_LINE_MAX - 1 bytes gives, as fgets reads
// it: through the first line feed, or that many bytes of a longer line.
constexpr size_t OPTS_LINE_MAX = 4096;

std::string_view next_line(std::string_view* text) {
    const size_t limit = std::min(text->size(), OPTS_LINE_MAX - 1);
    const size_t eol = text->substr(0, limit).find('\n');
    const size_t n = eol == std::string_view::npos ? limit : eol + 1;
    const std::string_view line = text->substr(0, n);
    text->remove_prefix(n);
    return line;
}

// Reads the whole stream into *text; false with errno set on a read error,
// *text then holding what came before it.
bool read_all(FILE* f, std::string* text) {
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text->append(buf, n);
    return ferror(f) == 0;
}

// Collects the file's arguments after slot 0 (its name). False on a read
// error, which is reported; the arguments collected so far are then unused.
bool collect(FILE* f, const char* filename, std::vector<std::string>* args) {
    std::string text;
    const bool read = read_all(f, &text);
    const int err = errno;
    bool more = false;
    for (std::string& arg : opts_from_text(text, &more)) args->push_back(std::move(arg));
    if (more) {
        fprintf(stderr, "opts_from_file: [%s] holds more than %d arguments, the rest is ignored\n", filename,
                MAX_OPTS_FILE_ARGS);
    }
    if (!read) {
        fprintf(stderr, "opts_from_file: failed to read [%s]: %s\n", filename, strerror(err));
        return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> opts_from_text(std::string_view text, bool* more) {
    std::vector<std::string> args;
    *more = false;
    while (!text.empty()) {
        std::string arg = argument_of(next_line(&text));
        if (arg.empty()) continue;
        if (args.size() >= static_cast<size_t>(MAX_OPTS_FILE_ARGS)) {
            *more = true;
            continue;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

int opts_from_file(const char* filename, void* instance, opts_callback cb) {
    file_ptr f(fopen(filename, "r"));
    if (!f) {
        fprintf(stderr, "%s: failed to open [%s]\n", "opts_from_file", filename);
        return 1;
    }
    struct stat st = {};
    fstat(fileno(f.get()), &st);
    const file_id id{st.st_dev, st.st_ino};
    if (is_being_read(id)) {
        fprintf(stderr, "opts_from_file: [%s] is already being read, not read again inside itself\n", filename);
        return 1;
    }
    if (reading.size() >= static_cast<size_t>(MAX_OPTS_FILE_DEPTH)) {
        fprintf(stderr, "opts_from_file: [%s] not read, option files nest deeper than %d\n", filename,
                MAX_OPTS_FILE_DEPTH);
        return 1;
    }

    std::vector<std::string> args{filename};
    if (!collect(f.get(), filename, &args)) return 1;
    f.reset();
    if (args.size() < 2) return 0;

    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    reading.push_back(id);
    const int r = cb(static_cast<int>(args.size()), argv.data(), instance);
    reading.pop_back();
    return r;
}
