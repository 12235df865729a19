#include "common/opts.h"

#include <sys/stat.h>

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
std::string argument_of(const char* line) {
    std::string s(line);
    const size_t end = s.find_last_not_of(BLANKS);
    if (end == std::string::npos) return {};
    s.erase(end + 1);
    s.erase(0, s.find_first_not_of(BLANKS));
    if (s[0] == '#') return {};
    return s;
}

bool is_being_read(const file_id& id) {
    for (const file_id& r : reading) {
        if (r.dev == id.dev && r.ino == id.ino) return true;
    }
    return false;
}

// Collects the file's arguments after slot 0 (its name). False on a read
// error, which is reported; the arguments collected so far are then unused.
bool collect(FILE* f, const char* filename, std::vector<std::string>* args) {
    char line[4096];
    bool warned = false;
    while (fgets(line, sizeof line, f) != nullptr) {
        std::string arg = argument_of(line);
        if (arg.empty()) continue;
        if (args->size() > static_cast<size_t>(MAX_OPTS_FILE_ARGS)) {
            if (!warned) {
                fprintf(stderr, "opts_from_file: [%s] holds more than %d arguments, the rest is ignored\n",
                        filename, MAX_OPTS_FILE_ARGS);
            }
            warned = true;
            continue;
        }
        args->push_back(std::move(arg));
    }
    if (ferror(f)) {
        fprintf(stderr, "opts_from_file: failed to read [%s]: %s\n", filename, strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

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
