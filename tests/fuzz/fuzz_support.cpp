#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"

namespace fuzz {
namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

struct scratch {
    std::string path;
    scratch() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/brindlewood-fuzz-XXXXXX";
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        path = pattern;
    }
    ~scratch() { nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }
};

}  // namespace

const std::string& scratch_dir() {
    static const scratch dir;
    return dir.path;
}

bool read_file(const std::string& path, std::string* text) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    text->clear();
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text->append(buf, n);
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

bool write_file(const std::string& path, std::string_view text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool wrote = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && wrote;
}

}  // namespace fuzz
