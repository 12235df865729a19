// The export daemon's task store as every program sees it, the one home of
// its rules: the task folder's name, the names of the files in it, and the
// task's state with its "state" file, written and read. The export daemon
// writes the store; the client, prune and the HTTP side read it.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "handles.h"

namespace archive {

// The files of a task folder.
constexpr const char* TASK_META = "index.json";
constexpr const char* TASK_STATE = "state";
constexpr const char* TASK_PLAYLIST = "playlist.m3u8";
constexpr const char* TASK_THUMB = "thumb.jpg";
constexpr const char* TASK_THUMB_LOG = "thumb.log";
constexpr const char* TASK_CUT = "cut.mp4";
constexpr const char* TASK_CUT_LOG = "cut.log";

// All of them, the state last: removed in this order, a folder whose removal
// stops half way still reads as the task it was.
constexpr std::array<const char*, 7> TASK_FILES = {TASK_META, TASK_PLAYLIST, TASK_THUMB, TASK_THUMB_LOG,
                                                   TASK_CUT,  TASK_CUT_LOG,  TASK_STATE};

bool is_task_file(std::string_view name);

// The export daemon's one file beside the task folders: the sequence numbers
// of its live playlists, kept across restarts, and the name it is written
// under before it replaces the file. Dot names, which no rule of task
// folders takes (task_folder_number), so every listing of tasks passes over
// them.
constexpr const char* LIVE_SEQUENCE_FILE = ".live-sequence";
constexpr const char* LIVE_SEQUENCE_NEW = ".live-sequence.new";

// A task's state. Any negative value is a load error instead: the negated
// errno value, or -22, of loading the task's meta file. The "state" file and
// the announcements carry the bare number.
enum class task_state : int { queued = 0, running = 1, done = 2, failed = 3 };
constexpr std::array<task_state, 4> TASK_STATES = {task_state::queued, task_state::running, task_state::done,
                                                   task_state::failed};

inline task_state task_state_of(int value) { return static_cast<task_state>(value); }
inline int task_state_value(task_state s) { return static_cast<int>(s); }

// "queued", "running", "done" or "failed"; null for a load error or an
// unknown value.
const char* task_state_name(task_state s);
bool task_state_is_load_error(task_state s);
// Done, failed or never loaded: nothing more happens to the task.
bool task_state_ended(task_state s);

// The "state" file's text: the number printed with "%d", nothing else.
std::string task_state_text(task_state s);
// Reads that text; blanks and line ends around the number are allowed, as a
// hand-edited file has them. False for anything else, an empty or half
// written file included.
bool parse_task_state(std::string_view text, task_state* s);

// Writes task sys_id's state file under the tasks folder, creating the task
// folder first: 0, or the negated errno value.
int write_task_state(const char* tasks, int sys_id, task_state s);
// Reads it: 0, the negated errno value, or -22 when it holds no state.
int read_task_state(const char* tasks, int sys_id, task_state* s);
// The same from the task folder open as task_fd, never through a link; *st
// (when given) gets the file's status.
int read_task_state_at(int task_fd, task_state* s, struct stat* st = nullptr);

// A trim or length as a task's meta file keeps it: whole seconds, cut
// toward zero, NaN as 0, and values a 64-bit integer cannot hold at its
// limits. The daemon writes it, the client checks a stored task by it.
int64_t task_meta_seconds(double v);

// The task folder's name: the number printed with "%.05d" (00042, 123456).
constexpr size_t TASK_FOLDER_LEN = 16;
void format_task_folder(int sys_id, char (&name)[TASK_FOLDER_LEN]);
std::string task_folder(int sys_id);
// The number a folder name stands for: the names that rule makes, and no
// others (not 42, 000042, 00042.old, or a name beginning with "." or "~").
bool task_folder_number(std::string_view name, int* number);

// "<tasks>/<NNNNN>", or "<tasks>/<NNNNN>/<file>" when file is given; false
// when it does not fit in size bytes.
bool task_path(char* buf, size_t size, const char* tasks, int sys_id, const char* file = nullptr);
std::string task_path(const std::string& tasks, int sys_id, const char* file);

// Every file of the store is written whole: the text goes to a part file
// beside it, which is synced and then renamed over the file. A reader, or a
// start after a kill, finds the old file or the new one, never a piece.

// The part a task file is written under: ".part-<file>".
std::string task_part_name(const char* file);
bool is_task_part_file(std::string_view name);
// The files a tool run makes: "thumb.jpg" and "cut.mp4".
bool is_task_output(std::string_view name);

// Writes task sys_id's file whole, creating the task folder first: 0, or the
// negated errno value (the file is then as it was).
int write_task_file(const char* tasks, int sys_id, const char* file, std::string_view text);
// Syncs a file a tool has made, and the folder's entry of it, so that the
// name survives a power cut as well. 0, or the negated errno value (-ENOENT
// when the tool made no file).
int sync_task_output(const char* tasks, int sys_id, const char* file);
// Removes what runs of task sys_id left (the part files of a killed
// writer, a tool's outputs); returns how many.
int remove_task_outputs(const char* tasks, int sys_id);

// New tasks are stored in this folder beside the task folders, under the
// same layout (<tasks>/.drafts/<NNNNN>/...), and moved into place whole: a
// task folder never shows a task stored in part. A dot name, which no task
// listing takes.
constexpr const char* TASK_DRAFTS = ".drafts";
// "<tasks>/.drafts"; false when it does not fit in size bytes.
bool task_drafts_path(char* buf, size_t size, const char* tasks);
// Moves draft sys_id into place, never over an existing folder, and syncs
// both folders: 0, or the negated errno value (-EEXIST when the number's
// folder exists).
int publish_task_draft(const char* tasks, int sys_id);
// Removes the drafts folder with whatever a stop left in it: tasks that were
// never announced. Returns how many drafts it held, or the negated errno
// value.
int remove_task_drafts(const char* tasks);

// The number the next task gets, kept beside the task folders so that no
// number is given twice: not after a kill, not once the highest folder has
// been removed. "%d", nothing else, written whole.
constexpr const char* TASK_SEQUENCE_FILE = ".task-sequence";
constexpr const char* TASK_SEQUENCE_NEW = ".task-sequence.new";
int write_task_sequence(const char* tasks, int next);
// 0 with *next set, the negated errno value (-ENOENT for none), or -22 when
// the file holds no number from 1 to INT_MAX - 1.
int read_task_sequence(const char* tasks, int* next);

}  // namespace archive
