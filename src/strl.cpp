#include "strl.h"

namespace keelson {
namespace {

// Length of str, but never more than size.
size_t strlen_local(const char* str, size_t size) {
    size_t n = 0;
    while (n < size && str[n] != '\0') ++n;
    return n;
}

// Forward byte-by-byte copy; dst and src never overlap backwards here.
void memcpy_local(char* dest, const char* src, size_t count) {
    for (size_t i = 0; i < count; ++i) dest[i] = src[i];
}

}  // namespace

size_t strlcpy(char* dst, const char* src, size_t size) {
    if (size == 0) return 0;
    const size_t n = strlen_local(src, size - 1);
    memcpy_local(dst, src, n);
    dst[n] = '\0';
    return n;
}

size_t strlcat(char* dst, const char* src, size_t size) {
    const size_t used = strlen_local(dst, size);
    if (used + 1 >= size) return used;  // no room: leave dst alone
    const size_t n = strlen_local(src, size - used - 1);
    memcpy_local(dst + used, src, n);
    dst[used + n] = '\0';
    return used + n;
}

}  // namespace keelson

char* utils_cleanup_mediaid(char* src) {
    char* out = src;
    for (const char* in = src; *in != '\0'; ++in) {
        if (*in != '\t' && *in != '\n' && *in != '\r') *out++ = *in;
    }
    *out = '\0';
    return src;
}
