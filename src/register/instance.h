// The register daemon's one process-wide record and its option parser.
#pragma once

#include <pthread.h>

#include <memory>

#include "common/instance.h"
#include "common/queue.h"

#define PRODUCT_NAME "Brindlewood"
#define PRODUCT_STRING PRODUCT_BANNER(PRODUCT_NAME)

// The register daemon's record and its functions have a namespace of their
// own: the export daemon's have the same names.
namespace brindlewood {

struct instance_desc {
    void* ctl;
    int port;
    int id;
    struct {
        char ffmpeg[PATH_MAX];
        char ffprobe[PATH_MAX];
        char lib[PATH_MAX];
        char tmp[PATH_MAX];
        char watch[PATH_MAX];
    } path;
    pthread_mutex_t lock;
    // Segment file names waiting for registration, oldest first; each is
    // owned by the queue until the register thread takes it.
    keelson::bounded_queue<std::unique_ptr<char[]>> reg_queue;
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

}  // namespace brindlewood

// The daemon's modules name the record plainly. A file that included both
// daemons' records would not compile, which is as it should be.
using brindlewood::instance_t;
