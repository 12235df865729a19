#include "client/status.h"

#include <dirent.h>
#include <json-c/json.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "archive/task_store.h"
#include "client/protocol.h"
#include "client/ws_link.h"
#include "handles.h"
#include "json_handle.h"
#include "text.h"
#include "utils.h"

namespace client {
namespace {

using steady = std::chrono::steady_clock;

// One row; what is not known stays empty.
struct task_row {
    int task = 0;
    std::optional<int> state;
    std::optional<std::string> title, date, from, to;
};

bool task_number(const std::string& dir, const char* name, int* number) {
    struct stat st;
    return archive::task_folder_number(name, number) && stat((dir + "/" + name).c_str(), &st) == 0 &&
           S_ISDIR(st.st_mode);
}

std::optional<std::string> text_member(json_object* o, const char* key) {
    json_object* v = nullptr;
    if (o == nullptr || !json_object_object_get_ex(o, key, &v) || v == nullptr) return std::nullopt;
    return std::string(json_object_get_string(v));
}

task_row read_task(const std::string& tasks, int number) {
    task_row row;
    row.task = number;
    archive::task_state state;
    if (archive::read_task_state(tasks.c_str(), number, &state) == 0) row.state = archive::task_state_value(state);
    std::string meta_text;
    if (utils_read_text(archive::task_path(tasks, number, archive::TASK_META).c_str(), &meta_text) == 0) {
        json_ptr meta(json_tokener_parse(meta_text.c_str()));
        row.title = text_member(meta.get(), "title");
        row.date = text_member(meta.get(), "date");
        row.from = text_member(meta.get(), "from");
        row.to = text_member(meta.get(), "to");
    }
    return row;
}

bool read_folder(const std::string& tasks, std::vector<task_row>* rows, std::string* error) {
    dir_ptr dir(opendir(tasks.c_str()));
    if (!dir) {
        *error = "the tasks folder " + tasks +
                 (errno == ENOENT ? " does not exist" : ": " + std::string(strerror(errno)));
        return false;
    }
    while (const struct dirent* entry = readdir(dir.get())) {
        int number = 0;
        if (task_number(tasks, entry->d_name, &number)) rows->push_back(read_task(tasks, number));
    }
    return true;
}

// The numbers of the "tasks" message, and the states announced while we
// listen: the daemon sends states only as they change.
bool ask_daemon(const server_opts& server, std::chrono::milliseconds wait, std::vector<task_row>* rows,
                std::string* error) {
    auto link = connect_to(server);
    if (!link) return false;
    std::map<int, task_row> by_number;
    const auto deadline = steady::now() + wait;
    while (steady::now() < deadline) {
        auto msg = link->receive(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()));
        if (!msg) {
            if (link->closed()) {
                *error = "the server closed the connection";
                return false;
            }
            continue;
        }
        const announcement a = parse_announcement(*msg);
        if (a.what == announcement::kind::tasks) {
            for (int t : a.tasks) by_number[t].task = t;
        } else if (a.what == announcement::kind::new_task) {
            by_number[a.task].task = a.task;
        } else if (a.what == announcement::kind::state) {
            by_number[a.task].task = a.task;
            by_number[a.task].state = a.state;
        }
    }
    for (auto& [number, row] : by_number) rows->push_back(std::move(row));
    return true;
}

std::string state_text(const task_row& row) { return row.state ? state_name(*row.state) : "unknown"; }

json_object* optional_string(const std::optional<std::string>& s) {
    return s ? json_object_new_string(s->c_str()) : nullptr;
}

void print_json(const std::vector<task_row>& rows) {
    json_ptr list(json_object_new_array());
    for (const auto& row : rows) {
        json_object* o = json_object_new_object();
        json_object_object_add(o, "task", json_object_new_int(row.task));
        json_object_object_add(o, "state", row.state ? json_object_new_int(*row.state) : nullptr);
        json_object_object_add(o, "state_text", json_object_new_string(state_text(row).c_str()));
        json_object_object_add(o, "title", optional_string(row.title));
        json_object_object_add(o, "date", optional_string(row.date));
        json_object_object_add(o, "from", optional_string(row.from));
        json_object_object_add(o, "to", optional_string(row.to));
        json_object_array_add(list.get(), o);
    }
    printf("%s\n", json_object_to_json_string_ext(list.get(), JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE));
}

// Columns padded to their widest cell; the title, free text, comes last
// and escaped so that it cannot break the table. Without the stored fields
// (the daemon gives none) only the number and the state are shown.
void print_table(const std::vector<task_row>& rows, bool stored_fields) {
    std::vector<std::vector<std::string>> cells = {{"task", "state"}};
    if (stored_fields) cells.front().insert(cells.front().end(), {"date", "from", "to", "title"});
    for (const auto& row : rows) {
        const std::string state = row.state ? std::to_string(*row.state) + " " + state_text(row) : state_text(row);
        cells.push_back({std::to_string(row.task), state});
        if (!stored_fields) continue;
        for (const auto* field : {&row.date, &row.from, &row.to, &row.title}) {
            cells.back().push_back(text_escape(field->value_or("")));
        }
    }
    std::vector<size_t> width(cells.front().size(), 0);
    for (const auto& line : cells) {
        for (size_t c = 0; c < line.size(); ++c) width[c] = std::max(width[c], line[c].size());
    }
    for (const auto& line : cells) {
        std::string out;
        for (size_t c = 0; c + 1 < line.size(); ++c) out += line[c] + std::string(width[c] - line[c].size() + 2, ' ');
        out += line.back();
        out.erase(out.find_last_not_of(' ') + 1);
        printf("%s\n", out.c_str());
    }
}

}  // namespace

int cmd_status(const server_opts& server, const status_opts& opts) {
    std::vector<task_row> rows;
    std::string error;
    const bool ok = opts.tasks_path.empty() ? ask_daemon(server, opts.wait, &rows, &error)
                                            : read_folder(opts.tasks_path, &rows, &error);
    if (!ok) {
        // connect_to has said why already.
        if (!error.empty()) fprintf(stderr, "BrindlewoodClient: %s\n", error.c_str());
        return 1;
    }
    std::sort(rows.begin(), rows.end(), [](const task_row& a, const task_row& b) { return a.task < b.task; });
    if (opts.json) {
        print_json(rows);
    } else {
        print_table(rows, !opts.tasks_path.empty());
    }
    return 0;
}

}  // namespace client
