// What the fuzz targets share: a check that stops the run on a broken
// property, whatever the build (libFuzzer or the corpus replay), and a
// scratch folder for the targets that go through real files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// abort() is what libFuzzer records as a crash, with the input that caused
// it; the replay fails on it the same way.
#define FUZZ_CHECK(cond)                                                                         \
    do {                                                                                         \
        if (!(cond)) {                                                                           \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #cond);    \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)

namespace fuzz {

inline std::string_view bytes(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A fresh folder under TMPDIR (or /tmp) for this process, removed with its
// contents when the process ends normally.
const std::string& scratch_dir();

// The whole content of a file; false when it cannot be read.
bool read_file(const std::string& path, std::string* text);
// Replaces a file's content; false on any failure.
bool write_file(const std::string& path, std::string_view text);

}  // namespace fuzz
