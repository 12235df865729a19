#include "exporter/peer_log.h"

#include <cxxabi.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <typeinfo>

#include "logger.h"
#include "text.h"

namespace {

using clock_type = std::chrono::steady_clock;

// What one reason may still write: a bucket of lines that fills at its
// rate's lines a second up to its burst, and the lines left out since it
// last ran dry.
struct reason_count {
    const char* reason = nullptr;
    peer_log_rate rate = PEER_LOG_RATE;
    double lines = 0;
    clock_type::time_point filled;
    uint64_t left_out = 0;
    clock_type::time_point left_since;
};

// Reasons are a handful of literals; one more than fits shares the last slot.
constexpr size_t REASONS = 32;

struct limiter {
    std::mutex lock;
    std::array<reason_count, REASONS> counts;
};

limiter& the_limiter() {
    static limiter l;
    return l;
}

reason_count& count_of(limiter& l, const char* reason, const peer_log_rate& rate, clock_type::time_point now) {
    for (auto& c : l.counts) {
        if (c.reason == nullptr) {
            c.reason = reason;
            c.rate = rate;
            c.lines = rate.burst;
            c.filled = now;
            return c;
        }
        if (c.reason == reason || strcmp(c.reason, reason) == 0) return c;
    }
    return l.counts.back();
}

void fill(reason_count& c, clock_type::time_point now) {
    const double seconds = std::chrono::duration<double>(now - c.filled).count();
    c.lines = std::min<double>(c.rate.burst, c.lines + seconds * c.rate.per_second);
    c.filled = now;
}

// Says how many lines were left out, if any.
void say_left_out(reason_count& c, clock_type::time_point now) {
    if (c.left_out == 0) return;
    const double seconds = std::chrono::duration<double>(now - c.left_since).count();
    logger_printf(1, "%s: %llu more such lines left out in %.1f s", c.reason,
                  static_cast<unsigned long long>(c.left_out), seconds);
    c.left_out = 0;
}

// Takes one line of the reason's allowance; false when there is none left.
bool allowed(const peer_log_rate& rate, const char* reason) {
    limiter& l = the_limiter();
    std::lock_guard<std::mutex> guard(l.lock);
    const auto now = clock_type::now();
    reason_count& c = count_of(l, reason, rate, now);
    fill(c, now);
    if (c.lines < 1) {
        if (c.left_out++ == 0) c.left_since = now;
        return false;
    }
    c.lines -= 1;
    say_left_out(c, now);
    return true;
}

void write_line(int type, const char* fmt, va_list ap) {
    va_list again;
    va_copy(again, ap);
    const int n = vsnprintf(nullptr, 0, fmt, ap);
    std::string line(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) vsnprintf(line.data(), line.size() + 1, fmt, again);
    va_end(again);
    logger_printf(type, "%s", line.c_str());
}

}  // namespace

void peer_log(const char* reason, int type, const char* fmt, ...) {
    if (!allowed(PEER_LOG_RATE, reason)) return;
    va_list ap;
    va_start(ap, fmt);
    write_line(type, fmt, ap);
    va_end(ap);
}

void peer_log_at(const peer_log_rate& rate, const char* reason, int type, const char* fmt, ...) {
    if (!allowed(rate, reason)) return;
    va_list ap;
    va_start(ap, fmt);
    write_line(type, fmt, ap);
    va_end(ap);
}

void peer_log_flush() {
    limiter& l = the_limiter();
    std::lock_guard<std::mutex> guard(l.lock);
    const auto now = clock_type::now();
    for (auto& c : l.counts) {
        if (c.reason == nullptr) break;
        if (c.left_out > 0 && now - c.left_since >= std::chrono::seconds(1)) say_left_out(c, now);
    }
}

namespace {

// The readable name of a type.
std::string type_name(const std::type_info& type) {
    int status = 0;
    const std::unique_ptr<char, decltype(&free)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                      &free);
    return status == 0 && name ? name.get() : type.name();
}

// The type and message of the exception being handled.
std::string current_exception_text() {
    try {
        throw;
    } catch (const std::exception& e) {
        return type_name(typeid(e)) + " (" + peer_log_quote(e.what()) + ")";
    } catch (...) {
        const std::type_info* type = abi::__cxa_current_exception_type();
        return type != nullptr ? type_name(*type) : "an exception of unknown type";
    }
}

}  // namespace

void peer_log_escaped(const char* where, const std::string& request, int reason, const char* outcome) {
    // Called where nothing may be thrown: a line that cannot be made is not.
    try {
        const std::string what = current_exception_text();
        const std::string answering =
            request.empty() ? std::string() : " while answering [" + peer_log_quote(request) + "]";
        peer_log("callback: exception escaped", 1, "%s: %s escaped%s (callback reason %d); %s", where, what.c_str(),
                 answering.c_str(), reason, outcome);
    } catch (...) {
    }
}

std::string peer_log_quote(std::string_view text) {
    if (text.size() <= PEER_LOG_QUOTE_MAX) return text_escape(text);
    return text_escape(text.substr(0, text_utf8_fit(text, PEER_LOG_QUOTE_MAX)), PEER_LOG_QUOTE_MAX * 4) +
           "... (" + std::to_string(text.size()) + " bytes)";
}
