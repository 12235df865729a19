// The WebSocket service in-process, with a client that stops reading while
// announcements continue: its queue must never overrun, the connection is
// closed with a log line, and a client that keeps reading loses nothing.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "client/ws_link.h"
#include "exporter/instance.h"
#include "exporter/ws.h"
#include "logger.h"
#include "support/support.h"

using namespace testsupport;

namespace {

// An export daemon's service without its worker, on a free port.
class Service {
public:
    Service() {
        logger_init((dir_ / "ws.log").c_str(), 86400);
        EXPECT_EQ(instance_init(&instance_), 0);
        instance_->p_exit = &exit_;
        instance_->ws.port = free_port();
        std::filesystem::create_directories(dir_ / "tasks");
        snprintf(instance_->path.tasks, sizeof instance_->path.tasks, "%s", (dir_ / "tasks").c_str());
        pthread_mutex_init(&instance_->lock, nullptr);
        EXPECT_EQ(ws_init(instance_), 0);
        thread_ = std::thread([this] { ws_service(instance_); });
    }
    ~Service() {
        exit_ = 1;
        thread_.join();
        ws_release(instance_);
        pthread_mutex_destroy(&instance_->lock);
        instance_release(&instance_);
        logger_release();
    }

    instance_t* instance() { return instance_; }
    int port() const { return instance_->ws.port; }
    std::string log() const { return read_file(dir_ / "ws.log"); }

private:
    TempDir dir_;
    std::atomic<int> exit_{0};
    instance_t* instance_ = nullptr;
    std::thread thread_;
};

// Announcement i: its number, padded to 64 KiB so queues fill quickly.
std::string announcement(int i) {
    std::string text = "{ \"seq\" : " + std::to_string(i) + ", \"pad\" : \"";
    text += std::string(64 * 1024 - text.size() - 3, 'x');
    return text + "\" }";
}

int seq_of(const std::string& msg) {
    int n = -1;
    return sscanf(msg.c_str(), "{ \"seq\" : %d", &n) == 1 ? n : -1;
}

}  // namespace

TEST(WsQueue, StalledClientIsClosedOthersGetEverything) {
    Service svc;
    std::string error;
    auto stalled = ws_link::open("127.0.0.1", svc.port(), 5s, &error);
    ASSERT_NE(stalled, nullptr) << error;
    stalled->set_reading(false);

    std::atomic<int> received{0};
    std::atomic<bool> in_order{true};
    std::atomic<bool> reader_closed{false};
    std::atomic<bool> done{false};
    auto reader = ws_link::open("127.0.0.1", svc.port(), 5s, &error);
    ASSERT_NE(reader, nullptr) << error;
    ASSERT_TRUE(wait_until([&] {
        const std::string log = svc.log();
        size_t n = 0;
        for (size_t at = log.find("ctx at slot"); at != std::string::npos; at = log.find("ctx at slot", at + 1)) ++n;
        return n == 2;
    }));
    std::thread reading([&] {
        while (!done) {
            auto msg = reader->receive(50ms);
            if (msg) {
                if (seq_of(*msg) != received) in_order = false;
                ++received;
            } else if (reader->closed()) {
                reader_closed = true;
                return;
            }
        }
    });

    // Announce, keeping the reading client at most a few messages behind,
    // until the stalled one's queue has overflowed (kernel buffers first).
    int sent = 0;
    bool overflowed = false;
    for (; sent < 4000 && !overflowed; ++sent) {
        ASSERT_TRUE(wait_until([&] { return received >= sent - 4 || reader_closed; }, 20s));
        ws_notify_all(svc.instance(), announcement(sent).c_str());
        if (sent % 16 == 15) overflowed = svc.log().find("outgoing queue of ctx=") != std::string::npos;
    }
    ASSERT_TRUE(wait_until([&] { return svc.log().find("closing that connection") != std::string::npos; }))
        << "after " << sent << " announcements";

    // The stalled client, reading again, finds its connection closed.
    stalled->set_reading(true);
    EXPECT_TRUE(stalled->wait_closed(20s));

    // Announcements continue for the one that reads; it has every one.
    for (int i = 0; i < 8; ++i, ++sent) {
        ASSERT_TRUE(wait_until([&] { return received >= sent - 4; }, 20s));
        ws_notify_all(svc.instance(), announcement(sent).c_str());
    }
    EXPECT_TRUE(wait_until([&] { return received == sent; }, 20s)) << received << " of " << sent;
    done = true;
    reading.join();
    EXPECT_TRUE(in_order);
    EXPECT_FALSE(reader_closed);
    EXPECT_NE(svc.log().find("(slot 0) is full at "), std::string::npos) << "the stalled client held slot 0";
}

// A message that can never fit a session's queue is refused for that
// session alone, not written past the buffer.
TEST(WsQueue, MessageLargerThanTheQueueClosesInsteadOfOverrunning) {
    Service svc;
    std::string error;
    auto client = ws_link::open("127.0.0.1", svc.port(), 5s, &error);
    ASSERT_NE(client, nullptr) << error;
    ASSERT_TRUE(wait_until([&] { return svc.log().find("ctx at slot 0") != std::string::npos; }));
    const std::string huge(WS_RECV_BUF, 'h');
    ws_notify_all(svc.instance(), huge.c_str());
    EXPECT_TRUE(client->wait_closed(10s));
    EXPECT_TRUE(wait_until([&] { return svc.log().find("is full at 0 bytes, closing that connection") !=
                                        std::string::npos; }));
}
