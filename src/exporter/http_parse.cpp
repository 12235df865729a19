#include "exporter/http_parse.h"

#include <algorithm>
#include <charconv>

namespace {

bool is_header_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && is_header_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_header_blank(s.back())) s.remove_suffix(1);
    return s;
}

// A whole decimal number, nothing before or after it.
bool range_number(std::string_view s, uint64_t* v) {
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *v);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size();
}

}  // namespace

http_range http_parse_range(std::string_view h, uint64_t size) {
    const http_range whole;
    const http_range unsatisfiable{http_range_kind::unsatisfiable, 0, 0};
    if (!h.starts_with("bytes=")) return whole;
    h.remove_prefix(6);
    if (h.find(',') != std::string_view::npos) return whole;
    const size_t dash = h.find('-');
    if (dash == std::string_view::npos) return whole;
    const std::string_view a = h.substr(0, dash);
    const std::string_view b = h.substr(dash + 1);
    uint64_t x = 0;
    uint64_t y = 0;
    if (a.empty()) {  // the last y bytes
        if (!range_number(b, &y)) return whole;
        if (y == 0 || size == 0) return unsatisfiable;
        return {http_range_kind::part, y >= size ? 0 : size - y, size - 1};
    }
    if (!range_number(a, &x) || (!b.empty() && !range_number(b, &y))) return whole;
    if (!b.empty() && y < x) return whole;
    if (x >= size) return unsatisfiable;
    return {http_range_kind::part, x, b.empty() ? size - 1 : std::min(y, size - 1)};
}

std::string http_form_token(std::string_view body) {
    std::string out;
    for (std::string_view rest = body; !rest.empty();) {
        const size_t amp = rest.find('&');
        const std::string_view field = rest.substr(0, amp);
        rest.remove_prefix(amp == std::string_view::npos ? rest.size() : amp + 1);
        if (!field.starts_with("token=")) continue;
        const std::string_view v = field.substr(6);
        for (size_t i = 0; i < v.size(); ++i) {
            if (v[i] == '+') {
                out.push_back(' ');
            } else if (v[i] == '%' && i + 2 < v.size()) {
                unsigned value = 0;
                const auto [end, ec] = std::from_chars(v.data() + i + 1, v.data() + i + 3, value, 16);
                if (ec != std::errc() || end != v.data() + i + 3) return {};
                out.push_back(static_cast<char>(value));
                i += 2;
            } else {
                out.push_back(v[i]);
            }
        }
        return out;
    }
    return out;
}

std::optional<std::string> http_url_arg(std::span<const std::string> args, std::string_view name) {
    for (const std::string_view arg : args) {
        if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=') {
            return std::string(arg.substr(name.size() + 1));
        }
    }
    return std::nullopt;
}

std::string_view http_cookie_value(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const size_t end = header.find(';');
        const std::string_view pair = trim_blanks(header.substr(0, end));
        const size_t eq = pair.find('=');
        if (eq != std::string_view::npos && trim_blanks(pair.substr(0, eq)) == name)
            return trim_blanks(pair.substr(eq + 1));
        if (end == std::string_view::npos) break;
        header.remove_prefix(end + 1);
    }
    return {};
}

std::string_view http_bearer_token(std::string_view authorization) {
    const std::string_view auth = trim_blanks(authorization);
    if (auth.size() <= 7 || !http_same_nocase(auth.substr(0, 7), "bearer ")) return {};
    return trim_blanks(auth.substr(7));
}

bool http_same_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}
