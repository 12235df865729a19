// Export tasks: request parsing, the meta and state files, the listing and
// the playlist, on real files.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <filesystem>
#include <memory>

#include "exporter/export_task.h"
#include "json_handle.h"
#include "logger.h"
#include "support/support.h"

using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

const char* const FULL = R"({ "date": "D", "from": "F", "to": "T", "title": "X", "lib_idx": 1,
    "head_offs": 2.9, "tail_rem": 1.5, "length": 66,
    "timestamps": [ { "t": 1619863200, "d": 540000 }, { "t": 5 }, { "t": 1619863212, "d": 543600 } ] })";

// Parses text as a request; the result, and the record in *task.
int parse(const std::string& text, export_task_ptr* task) {
    json_ptr json(json_tokener_parse(text.c_str()));
    export_task_t* raw = nullptr;
    const int r = export_task_from_json(json.get(), &raw);
    task->reset(raw);
    return r;
}

// FULL with one key removed or replaced.
std::string without(const std::string& key) {
    json_ptr json(json_tokener_parse(FULL));
    json_object_object_del(json.get(), key.c_str());
    return json_object_to_json_string(json.get());
}

std::string with(const std::string& key, const std::string& value_json) {
    json_ptr json(json_tokener_parse(FULL));
    json_object_object_add(json.get(), key.c_str(), json_tokener_parse(value_json.c_str()));
    return json_object_to_json_string(json.get());
}

std::string playlist_of(export_task_t* task, const char* lib) {
    TempDir tmp;
    EXPECT_EQ(export_task_save_m3u8(tmp.path().c_str(), task, lib), 0);
    char name[32];
    snprintf(name, sizeof name, "/%.05d/playlist.m3u8", task->sys_id);
    return read_file(tmp.path() + name);
}

export_task_ptr two_segments(time_t t1, int64_t d1, time_t t2, int64_t d2) {
    export_task_ptr task;
    EXPECT_EQ(parse("{ \"date\": \"\", \"from\": \"\", \"to\": \"\", \"head_offs\": 0, \"tail_rem\": 0, \"length\": "
                    "0, \"timestamps\": [ { \"t\": " + std::to_string(t1) + ", \"d\": " + std::to_string(d1) +
                        " }, { \"t\": " + std::to_string(t2) + ", \"d\": " + std::to_string(d2) + " } ] }",
                    &task),
              0);
    return task;
}

const char* const HEADER =
    "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:6\n#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-PLAYLIST-TYPE:VOD\n";

}  // namespace

TEST(TaskRequest, FullRequest) {
    export_task_ptr task;
    ASSERT_EQ(parse(FULL, &task), 0);
    EXPECT_EQ(task->sys_id, 0);
    EXPECT_EQ(task->state, 0);
    EXPECT_EQ(task->lib_idx, 1);
    EXPECT_STREQ(task->date, "D");
    EXPECT_STREQ(task->title, "X");
    EXPECT_DOUBLE_EQ(task->head_offs, 2.9);
    EXPECT_DOUBLE_EQ(task->tail_rem, 1.5);
    EXPECT_DOUBLE_EQ(task->length, 66);
    ASSERT_EQ(task->timestamps_cnt, 3);
    EXPECT_EQ(task->timestamps_list[0].t, 1619863200);
    EXPECT_EQ(task->timestamps_list[0].d, 540000);
    EXPECT_EQ(task->timestamps_list[1].t, 0) << "an element without \"d\" stays zero";
    EXPECT_EQ(task->timestamps_list[1].d, 0);
    EXPECT_EQ(task->timestamps_list[2].d, 543600);
}

TEST(TaskRequest, EveryRequiredKeyAndMalformedShapesAreRefused) {
    export_task_ptr task;
    for (const char* key : {"date", "from", "to", "head_offs", "tail_rem", "length", "timestamps"}) {
        EXPECT_EQ(parse(without(key), &task), -22) << key;
        EXPECT_EQ(task, nullptr);
    }
    EXPECT_EQ(parse(with("timestamps", "[]"), &task), -22);
    EXPECT_EQ(parse(with("timestamps", "null"), &task), -22);
    EXPECT_EQ(parse(with("timestamps", "{ \"t\": 1, \"d\": 2 }"), &task), -22);
    EXPECT_EQ(parse(with("timestamps", "7"), &task), -22);
    EXPECT_EQ(parse("[ 1, 2 ]", &task), -22);
    EXPECT_EQ(parse("42", &task), -22);
    export_task_t* raw = nullptr;
    EXPECT_EQ(export_task_from_json(nullptr, &raw), -22);
    EXPECT_EQ(raw, nullptr);
}

TEST(TaskRequest, NullsOptionalsAndConversions) {
    export_task_ptr task;
    ASSERT_EQ(parse(with("date", "null"), &task), 0) << "null counts as present";
    EXPECT_STREQ(task->date, "");
    ASSERT_EQ(parse(with("head_offs", "null"), &task), 0);
    EXPECT_DOUBLE_EQ(task->head_offs, 0);
    ASSERT_EQ(parse(with("date", "20210501"), &task), 0);
    EXPECT_STREQ(task->date, "20210501") << "a number yields its text";
    ASSERT_EQ(parse(without("title"), &task), 0);
    EXPECT_STREQ(task->title, "");
    ASSERT_EQ(parse(with("timestamps", "[ null, 3, { \"t\": 9, \"d\": 1 } ]"), &task), 0);
    EXPECT_EQ(task->timestamps_cnt, 3);
    EXPECT_EQ(task->timestamps_list[2].t, 9);
    for (const auto& [value, expect] : {std::pair{"4", 0}, {"-1", 0}, {"3", 3}, {"7", 0}}) {
        ASSERT_EQ(parse(with("lib_idx", value), &task), 0);
        EXPECT_EQ(task->lib_idx, expect) << value;
    }
    ASSERT_EQ(parse(without("lib_idx"), &task), 0);
    EXPECT_EQ(task->lib_idx, 0);
}

TEST(TaskRequest, OverLongTextIsCutTo4095Bytes) {
    export_task_ptr task;
    ASSERT_EQ(parse(with("title", "\"" + std::string(5000, 'x') + "\""), &task), 0);
    EXPECT_EQ(strlen(task->title), 4095u);
    ASSERT_EQ(parse(with("from", "\"" + std::string(4096, 'y') + "\""), &task), 0);
    EXPECT_EQ(strlen(task->from), 4095u);
}

TEST(TaskStore, MetaFileIsJsonCsSpacedTextWithWholeSeconds) {
    TempDir tmp;
    export_task_ptr task;
    ASSERT_EQ(parse(with("head_offs", "2.5"), &task), 0);
    task->sys_id = 12;
    ASSERT_EQ(export_task_save_meta(tmp.path().c_str(), task.get()), 0);
    EXPECT_EQ(read_file(tmp / "00012/index.json"),
              "{ \"lib_idx\": 1, \"title\": \"X\", \"head_offs\": 2, \"tail_rem\": 1, \"length\": 66, \"date\": \"D\", "
              "\"from\": \"F\", \"to\": \"T\" }");
    task->head_offs = -0.5;
    ASSERT_EQ(export_task_save_meta(tmp.path().c_str(), task.get()), 0);
    EXPECT_NE(read_file(tmp / "00012/index.json").find("\"head_offs\": 0,"), std::string::npos);
}

TEST(TaskStore, HeadOffsetIsStoredAndLoadedAsWholeSeconds) {
    TempDir tmp;
    export_task_ptr task;
    ASSERT_EQ(parse(FULL, &task), 0);
    EXPECT_DOUBLE_EQ(task->head_offs, 2.9);
    task->sys_id = 3;
    ASSERT_EQ(export_task_save_meta(tmp.path().c_str(), task.get()), 0);
    export_task_t* raw = nullptr;
    ASSERT_EQ(export_task_load_meta(tmp.path().c_str(), 3, &raw), 0);
    export_task_ptr loaded(raw);
    EXPECT_DOUBLE_EQ(loaded->head_offs, 2.0);
    EXPECT_DOUBLE_EQ(loaded->tail_rem, 1.0);
    EXPECT_EQ(loaded->sys_id, 0);
    EXPECT_EQ(loaded->timestamps_cnt, 0);
    EXPECT_EQ(loaded->lib_idx, 1);
    EXPECT_STREQ(loaded->to, "T");
}

// Text as long as a request may carry is stored and loads back whole.
TEST(TaskStore, LongestTextsLoadBack) {
    TempDir tmp;
    export_task_ptr task;
    ASSERT_EQ(parse(with("title", "\"" + std::string(5000, 't') + "\""), &task), 0);
    memset(task->date, 'd', 4095);
    memset(task->from, '"', 4095);  // escaped, so the file is longer still
    memset(task->to, '/', 4095);
    task->sys_id = 1;
    ASSERT_EQ(export_task_save_meta(tmp.path().c_str(), task.get()), 0);
    EXPECT_GT(std::filesystem::file_size(tmp / "00001/index.json"), 16000u);
    export_task_t* raw = nullptr;
    ASSERT_EQ(export_task_load_meta(tmp.path().c_str(), 1, &raw), 0);
    export_task_ptr loaded(raw);
    EXPECT_EQ(std::string(loaded->title), std::string(4095, 't'));
    EXPECT_EQ(std::string(loaded->from), std::string(4095, '"'));
    EXPECT_EQ(std::string(loaded->to), std::string(4095, '/'));
}

TEST(TaskStore, LoadFailures) {
    TempDir tmp;
    TempDir logs;
    logger_dup(0);
    logger_init((logs / "log").c_str(), 86400);
    export_task_t* raw = nullptr;
    EXPECT_EQ(export_task_load_meta(tmp.path().c_str(), 4, &raw), -2);
    std::filesystem::create_directories(tmp / "00004");
    write_file(tmp / "00004/index.json", "{");
    EXPECT_EQ(export_task_load_meta(tmp.path().c_str(), 4, &raw), -22);
    write_file(tmp / "00004/index.json", "{ \"date\": \"d\", \"from\": \"f\", \"to\": \"t\" }");
    EXPECT_EQ(export_task_load_meta(tmp.path().c_str(), 4, &raw), -22) << "required keys missing";
    EXPECT_EQ(raw, nullptr);
    logger_release();
    const std::string log = read_file(logs / "log");
    EXPECT_NE(log.find("! ["), std::string::npos);
    EXPECT_NE(log.find("export_task_load_meta: failed to parse " + tmp.path() + " - ["), std::string::npos);
    EXPECT_NE(log.find("] text: {\n"), std::string::npos);
    EXPECT_EQ(testsupport::split_lines(log).size(), 1u) << "only the parse failure is logged";
}

TEST(TaskStore, StateFileHoldsTheBareNumber) {
    TempDir tmp;
    export_task_ptr task;
    ASSERT_EQ(parse(FULL, &task), 0);
    task->sys_id = 12;
    task->state = 3;
    const std::string tasks = tmp / "data/tasks";
    ASSERT_EQ(export_task_save_state(tasks.c_str(), task.get()), 0);
    EXPECT_EQ(read_file(tasks + "/00012/state"), "3");
    task->state = -2;
    ASSERT_EQ(export_task_save_state(tasks.c_str(), task.get()), 0);
    EXPECT_EQ(read_file(tasks + "/00012/state"), "-2");
    testsupport::write_file(tmp / "file", "");
    EXPECT_LT(export_task_save_state((tmp / "file").c_str(), task.get()), 0);
}

TEST(TaskStore, ListingKeepsOnlyTaskFolders) {
    TempDir tmp;
    for (const char* d : {"00001", "00003", "00002.tmp", "~00004", ".00005", "7", "123456", "000042"}) {
        std::filesystem::create_directories(tmp / d);
    }
    write_file(tmp / "00006", "a file, not a task");
    std::filesystem::create_directory_symlink(tmp / "00001", tmp / "00008");
    int* raw = nullptr;
    const int n = export_task_lists(tmp.path().c_str(), &raw);
    std::unique_ptr<int, decltype(&free)> list(raw, free);
    ASSERT_EQ(n, 4);
    std::vector<int> got(raw, raw + n);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<int>{1, 3, 8, 123456})) << "links to folders are followed";

    TempDir empty;
    int* none = reinterpret_cast<int*>(1);
    EXPECT_EQ(export_task_lists(empty.path().c_str(), &none), 0);
    EXPECT_EQ(none, nullptr);
    none = reinterpret_cast<int*>(1);
    EXPECT_EQ(export_task_lists((tmp / "missing").c_str(), &none), -22);
    EXPECT_EQ(none, nullptr);
}

TEST(TaskStore, RepeatedCallsLeaveNoDescriptorOpen) {
    TempDir tmp;
    std::filesystem::create_directories(tmp / "00001");
    write_file(tmp / "00001/index.json", "{ \"date\": 1, \"from\": 2, \"to\": 3, \"head_offs\": 0, \"tail_rem\": 0, "
                                         "\"length\": 1 }");
    const auto open_fds = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = open_fds();
    for (int i = 0; i < 200; ++i) {
        int* raw = nullptr;
        ASSERT_EQ(export_task_lists(tmp.path().c_str(), &raw), 1);
        free(raw);
        export_task_t* task = nullptr;
        ASSERT_EQ(export_task_load_meta(tmp.path().c_str(), 1, &task), 0);
        free(task);
    }
    EXPECT_EQ(open_fds(), before);
}

TEST(TaskStore, ToJsonIsNotBuilt) {
    export_task_ptr task;
    ASSERT_EQ(parse(FULL, &task), 0);
    json_object* out = nullptr;
    EXPECT_EQ(export_task_to_json(task.get(), &out), -22);
    EXPECT_EQ(out, nullptr);
}

TEST(Playlist, WorkedExample) {
    auto task = two_segments(1619863200, 540000, 1619863206, 543600);
    task->sys_id = 1;
    EXPECT_EQ(playlist_of(task.get(), "/mnt/lib0"),
              std::string(HEADER) +
                  "#EXT-X-DISCONTINUITY\n#EXTINF: 6.000000\n/mnt/lib0/2021/05/01/10/1619863200.ts\n"
                  "#EXT-X-DISCONTINUITY\n#EXTINF: 6.040000\n/mnt/lib0/2021/05/01/10/1619863206.ts\n"
                  "#EXT-X-ENDLIST\n");
}

TEST(Playlist, ZeroEntryTwoHoursAndRequestOrder) {
    export_task_ptr task;
    ASSERT_EQ(parse("{ \"date\": \"\", \"from\": \"\", \"to\": \"\", \"head_offs\": 0, \"tail_rem\": 0, \"length\": 0, "
                    "\"timestamps\": [ { \"t\": 1619866800, \"d\": 90000 }, {}, { \"t\": 1619866799, \"d\": 1 } ] }",
                    &task),
              0);
    task->sys_id = 2;
    EXPECT_EQ(playlist_of(task.get(), "/mnt/lib0"),
              std::string(HEADER) +
                  "#EXT-X-DISCONTINUITY\n#EXTINF: 1.000000\n/mnt/lib0/2021/05/01/11/1619866800.ts\n"
                  "#EXT-X-DISCONTINUITY\n#EXTINF: 0.000000\n/mnt/lib0/1970/01/01/00/0.ts\n"
                  "#EXT-X-DISCONTINUITY\n#EXTINF: 0.000011\n/mnt/lib0/2021/05/01/10/1619866799.ts\n"
                  "#EXT-X-ENDLIST\n");
}

TEST(Playlist, HourBoundaryIgnoresTheLocalTimeZone) {
    setenv("TZ", "America/St_Johns", 1);  // -03:30: no hour of it matches UTC
    tzset();
    auto task = two_segments(1619866799, 540000, 1619866800, 540000);
    task->sys_id = 3;
    const std::string text = playlist_of(task.get(), "/lib/");
    EXPECT_NE(text.find("/lib//2021/05/01/10/1619866799.ts\n"), std::string::npos) << text;
    EXPECT_NE(text.find("/lib//2021/05/01/11/1619866800.ts\n"), std::string::npos) << text;
    EXPECT_NE(text.find("#EXT-X-TARGETDURATION:6\n"), std::string::npos);
}
