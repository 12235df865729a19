#include "exporter/metrics.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

namespace {

using clock_type = std::chrono::steady_clock;

// Upper bounds of the ffmpeg duration buckets, in seconds; +Inf follows.
constexpr std::array<double, 11> BUCKETS = {0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120, 300};

struct histogram {
    std::array<uint64_t, BUCKETS.size()> counts{};  // per bucket, not cumulative
    uint64_t count = 0;
    double sum = 0;
};

struct registry {
    const clock_type::time_point start = clock_type::now();
    std::mutex lock;
    std::unordered_map<int, archive::task_state> states;  // by task number
    std::map<std::string, histogram> runs;
    std::map<std::string, uint64_t> refused{{"origin", 0}, {"token", 0}};
    std::atomic<uint64_t> bytes{0};
    std::atomic<int64_t> buffered{0};
    std::atomic<int> in_hand{-1};
};

registry& reg() {
    static registry r;
    return r;
}

// Every value that names no state is a load error.
const char* state_label(archive::task_state state) {
    const char* name = archive::task_state_name(state);
    return name != nullptr ? name : "load_error";
}

void append(std::string* out, const char* fmt, auto... args) {
    char line[256];
    const int n = snprintf(line, sizeof line, fmt, args...);
    if (n > 0) out->append(line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

void append_tasks(std::string* out, const std::unordered_map<int, archive::task_state>& states) {
    std::map<std::string, int> by_state{{"load_error", 0}};
    for (const archive::task_state s : archive::TASK_STATES) by_state[archive::task_state_name(s)] = 0;
    for (const auto& [task, state] : states) ++by_state[state_label(state)];
    out->append("# HELP brindlewood_tasks Stored export tasks by state.\n# TYPE brindlewood_tasks gauge\n");
    for (const auto& [label, n] : by_state) append(out, "brindlewood_tasks{state=\"%s\"} %d\n", label.c_str(), n);
}

void append_runs(std::string* out, const std::map<std::string, histogram>& runs) {
    out->append("# HELP brindlewood_ffmpeg_run_seconds Durations of the worker's ffmpeg runs.\n"
                "# TYPE brindlewood_ffmpeg_run_seconds histogram\n");
    for (const char* run : {"thumb", "cut"}) {
        const auto it = runs.find(run);
        const histogram h = it == runs.end() ? histogram{} : it->second;
        uint64_t cumulative = 0;
        for (size_t i = 0; i < BUCKETS.size(); ++i) {
            cumulative += h.counts[i];
            append(out, "brindlewood_ffmpeg_run_seconds_bucket{run=\"%s\",le=\"%g\"} %llu\n", run, BUCKETS[i],
                   static_cast<unsigned long long>(cumulative));
        }
        append(out, "brindlewood_ffmpeg_run_seconds_bucket{run=\"%s\",le=\"+Inf\"} %llu\n", run,
               static_cast<unsigned long long>(h.count));
        append(out, "brindlewood_ffmpeg_run_seconds_sum{run=\"%s\"} %.6f\n", run, h.sum);
        append(out, "brindlewood_ffmpeg_run_seconds_count{run=\"%s\"} %llu\n", run,
               static_cast<unsigned long long>(h.count));
    }
}

}  // namespace

void metrics_task_state(int sys_id, archive::task_state state) {
    registry& r = reg();
    std::lock_guard<std::mutex> guard(r.lock);
    r.states[sys_id] = state;
}

void metrics_task_in_hand(int sys_id) { reg().in_hand = sys_id; }

int metrics_task_in_hand() { return reg().in_hand.load(); }

void metrics_ffmpeg_run(const char* run, double seconds) {
    registry& r = reg();
    std::lock_guard<std::mutex> guard(r.lock);
    histogram& h = r.runs[run];
    size_t i = 0;
    while (i < BUCKETS.size() && seconds > BUCKETS[i]) ++i;
    if (i < BUCKETS.size()) ++h.counts[i];
    ++h.count;
    h.sum += seconds;
}

void metrics_refused(const char* reason) {
    registry& r = reg();
    std::lock_guard<std::mutex> guard(r.lock);
    ++r.refused[reason];
}

void metrics_bytes_served(uint64_t n) { reg().bytes += n; }

void metrics_http_buffered(int64_t delta) { reg().buffered += delta; }

int64_t metrics_http_buffered() { return reg().buffered.load(); }

double metrics_uptime() {
    return std::chrono::duration<double>(clock_type::now() - reg().start).count();
}

std::string metrics_prometheus_text(const metrics_gauges& gauges) {
    registry& r = reg();
    std::unordered_map<int, archive::task_state> states;
    std::map<std::string, histogram> runs;
    std::map<std::string, uint64_t> refused;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        states = r.states;
        runs = r.runs;
        refused = r.refused;
    }
    std::string out;
    append_tasks(&out, states);
    out.append("# HELP brindlewood_queue_length Task numbers waiting for the worker.\n"
               "# TYPE brindlewood_queue_length gauge\n");
    append(&out, "brindlewood_queue_length %d\n", gauges.queue_length);
    out.append("# HELP brindlewood_connections Open WebSocket connections: all, and those in the 32 announcement "
               "slots.\n# TYPE brindlewood_connections gauge\n");
    append(&out, "brindlewood_connections{kind=\"pooled\"} %d\n", gauges.pooled_connections);
    append(&out, "brindlewood_connections{kind=\"total\"} %d\n", gauges.total_connections);
    append_runs(&out, runs);
    out.append("# HELP brindlewood_refused_handshakes_total Handshakes and requests refused, by reason.\n"
               "# TYPE brindlewood_refused_handshakes_total counter\n");
    for (const auto& [reason, n] : refused) {
        append(&out, "brindlewood_refused_handshakes_total{reason=\"%s\"} %llu\n", reason.c_str(),
               static_cast<unsigned long long>(n));
    }
    out.append("# HELP brindlewood_http_sent_bytes_total Body bytes sent to HTTP clients.\n"
               "# TYPE brindlewood_http_sent_bytes_total counter\n");
    append(&out, "brindlewood_http_sent_bytes_total %llu\n", static_cast<unsigned long long>(r.bytes.load()));
    out.append("# HELP brindlewood_library_last_segment_timestamp_seconds Start time of the newest segment registered "
               "in each library; absent while it holds none.\n"
               "# TYPE brindlewood_library_last_segment_timestamp_seconds gauge\n");
    for (const auto& [lib, t] : gauges.last_segments) {
        append(&out, "brindlewood_library_last_segment_timestamp_seconds{library=\"%d\"} %lld\n", lib,
               static_cast<long long>(t));
    }
    out.append("# HELP brindlewood_http_buffered_bytes Bytes held for HTTP replies in progress: bodies in memory, "
               "file pieces, and what the socket has not taken yet.\n"
               "# TYPE brindlewood_http_buffered_bytes gauge\n");
    append(&out, "brindlewood_http_buffered_bytes %lld\n", static_cast<long long>(r.buffered.load()));
    return out;
}
