// The export daemon's one process-wide record and its option parser.
#pragma once

#include <pthread.h>

#include "common/instance.h"
#include "common/queue.h"
#include "exporter/access.h"

#define PRODUCT_NAME "BrindlewoodExporter"
#define PRODUCT_STRING PRODUCT_BANNER(PRODUCT_NAME)

constexpr int MAX_LIBS = 8;
constexpr int WS_POOL_SIZE = 32;

// The export daemon's record and its functions have a namespace of their
// own: the register daemon's have the same names.
namespace exporter {

struct instance_desc {
    void* ctl;
    int port;
    int id;
    struct {
        char ffmpeg[PATH_MAX];
        char ffprobe[PATH_MAX];
        char libs[MAX_LIBS][PATH_MAX];
        char tasks[PATH_MAX];
    } path;
    pthread_mutex_t lock;
    // Numbers of the tasks waiting for the worker, oldest first.
    keelson::bounded_queue<int> reg_queue;
    struct {
        int sys_id;  // the number the next task gets
    } tasks;
    struct {
        int port;
        void* ctx;                  // the WebSocket library's context
        void* pool[WS_POOL_SIZE];   // sessions that receive announcements
        char listen[PATH_MAX];      // the address to listen on; empty: all
        char token_file[PATH_MAX];  // where the access token is read from
        char token[ACCESS_TOKEN_MAX + 1];  // what every request must carry; empty: nothing
    } ws;
    DEFAULT_INSTANCE_PARAMS
};
typedef struct instance_desc instance_t;

int instance_init(instance_t** pinstance);
int instance_release(instance_t** pinstance);
int instance_opts(instance_t* instance, int argc, char** argv);
int instance_usage(instance_t* instance);
int opts_from_file_cb(int argc, char** argv, void* app);
// The whole option table, own rows and common ones, as the parser reads it.
const struct option* instance_long_options();

}  // namespace exporter

// The daemon's modules name the record plainly. A file that included both
// daemons' records would not compile, which is as it should be.
using exporter::instance_t;
