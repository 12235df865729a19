// The export daemon's WebSocket control service: clients receive the stored
// task list when they connect, submit tasks, and (in the pool's 32 slots)
// hear every new task and state change.
#pragma once

#include <chrono>
#include <cstddef>

#include "exporter/export_task.h"
#include "exporter/instance.h"

struct lws;

constexpr int WS_RECV_BUF = 1024 * 1024;

// Connections served at once; each may hold up to three WS_RECV_BUF buffers,
// so a flood of connections must not exhaust the machine.
constexpr int WS_MAX_SESSIONS = 128;

// Per-connection record. Allocated zero-filled per connection in memory that
// the kernel hands out page by page, so an idle connection costs the few
// pages it touches, not its three megabytes.
struct ws_cb_session_desc {
    instance_t* instance;
    char recv_buf[WS_RECV_BUF];
    int recv_len;
    char send_buf[WS_RECV_BUF];  // queued messages, each NUL-terminated, oldest first
    int send_len;
    unsigned char buf[WS_RECV_BUF];  // the message being sent, LWS_PRE bytes in
    int idx;                         // pool slot, for the send log line
    struct lws* wsi;                 // to close the connection from the service thread
    int f_overflow;                  // a message did not fit: the connection is being closed
    int f_counted;                   // counted against WS_MAX_SESSIONS
    int send_high;                   // bytes of send_buf touched since its pages went back
};
typedef struct ws_cb_session_desc ws_cb_session_t;

// Creates the library context listening on ws.port at ws.listen (all
// interfaces when empty), and reads the access token of ws.token_file when
// one is named. 0, or -14 (with the line that says why) when any of them
// fails: a bad port or address, no token, no listening socket.
int ws_init(instance_t* instance);

// Serves clients until the exit flag is set, noticing it within 100 ms
// whichever thread took the signal. Returns at once when there is no context.
void ws_service(instance_t* instance);

// Keeps serving until done() holds (used while the worker finishes the task
// in hand at shutdown, so its final state still reaches the clients).
void ws_service_until(instance_t* instance, bool (*done)(instance_t*));

// Services clients until every pooled queue is sent or `limit` passes; the
// last announcements at a stop still reach them.
void ws_flush(instance_t* instance, std::chrono::milliseconds limit);

// Closes every connection and destroys the context; call before `lock` goes.
void ws_release(instance_t* instance);

// Queues msg for every pooled session and wakes the service thread. Any
// thread; never with `lock` held. Returns 0.
int ws_notify_all(instance_t* instance, const char* msg);

// The WebSocket connections open now: those in the announcement pool, and
// all of them. On the service thread.
void ws_connection_counts(instance_t* instance, int* pooled, int* total);

// Announces task->state of task->sys_id to the pooled sessions.
int ws_notify_task_state(instance_t* instance, export_task_t* task);

int ws_cb_main(struct lws* wsi, int reason, void* user, void* in, size_t len);
int ws_cb_recv(instance_t* instance, ws_cb_session_t* ctx, struct lws* wsi);
int ws_cb_write(instance_t* instance, ws_cb_session_t* ctx, struct lws* wsi, void* queue);
