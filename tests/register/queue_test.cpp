// The register queue in this process: hard links, order, a full queue, the
// pick-up of links an earlier run left, and the register thread's exit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "helpers.h"
#include "logger.h"
#include "register/register.h"

using namespace regtest;

namespace {

class Queue {
public:
    Queue() {
        instance_init(&instance);
        instance->p_exit = &exit_flag;
        keelson::strlcpy(instance->path.watch, watch.c_str(), PATH_MAX);
        keelson::strlcpy(instance->path.tmp, tmp.c_str(), PATH_MAX);
        keelson::strlcpy(instance->path.ffprobe, "/bin/false", PATH_MAX);
        std::filesystem::create_directories(watch);
        std::filesystem::create_directories(tmp);
        pthread_mutex_init(&instance->lock, nullptr);
        pthread_cond_init(&instance->reg_queue.cond, nullptr);
        logger_dup(0);
        logger_init(log.c_str(), 86400);
    }
    ~Queue() {
        pthread_cond_destroy(&instance->reg_queue.cond);
        pthread_mutex_destroy(&instance->lock);
        instance_release(&instance);
    }
    // Writes out every line; the logger is done afterwards.
    std::vector<std::string> final_log() {
        logger_release();
        return log_texts(log);
    }
    std::vector<std::string> queued() const {
        std::vector<std::string> names;
        for (int i = 0; i < instance->reg_queue.len; ++i) names.emplace_back(instance->reg_queue.items[i].get());
        return names;
    }

    TempDir dir;
    std::string watch = dir / "watch";
    std::string tmp = dir / "hold";
    std::string log = dir / "q.log";
    std::atomic<int> exit_flag{0};
    instance_t* instance = nullptr;
};

std::string name_of(int i) { return std::to_string(i) + ".ts"; }

}  // namespace

TEST(RegisterQueue, LinksQueuesInOrderAndReportsAFullQueue) {
    Queue q;
    for (int i = 1; i <= MAX_REG_QUEUE_LEN + 1; ++i) write_file(q.watch + "/" + name_of(i), "");
    for (int i = 1; i <= MAX_REG_QUEUE_LEN; ++i) ASSERT_EQ(register_enqueue(q.instance, name_of(i).c_str()), i);
    const std::string last = name_of(MAX_REG_QUEUE_LEN + 1);
    EXPECT_EQ(register_enqueue(q.instance, last.c_str()), -12);
    EXPECT_TRUE(file_exists(q.tmp + "/" + last)) << "its link stays for the next start";
    const auto names = q.queued();
    ASSERT_EQ(names.size(), static_cast<size_t>(MAX_REG_QUEUE_LEN));
    EXPECT_EQ(names.front(), "1.ts");
    EXPECT_EQ(names.back(), name_of(MAX_REG_QUEUE_LEN));

    EXPECT_EQ(register_enqueue(q.instance, "1.ts"), -EEXIST);
    EXPECT_EQ(register_enqueue(q.instance, "missing.ts"), -ENOENT);
    keelson::strlcpy(q.instance->path.tmp, (q.dir / std::string(4090, 'h')).c_str(), PATH_MAX);
    EXPECT_EQ(register_enqueue(q.instance, "2.ts"), -ENAMETOOLONG);

    const auto log = q.final_log();
    EXPECT_TRUE(has_line(log, "!register_enqueue: queue full (8196 names waiting), [" + last + "] stays in [" +
                                  q.tmp + "]"));
    EXPECT_TRUE(has_line(log, "!register_enqueue: link([" + q.watch + "/1.ts], [" + q.tmp +
                                  "/1.ts]) failed -17 (File exists)"));
    EXPECT_TRUE(has_line(log, "!register_enqueue: link([" + q.watch + "/missing.ts], [" + q.tmp +
                                  "/missing.ts]) failed -2 (No such file or directory)"));
    EXPECT_TRUE(has_line(log, "!register_enqueue: path too long for [2.ts]"));
}

TEST(RegisterQueue, LeftoverLinksAreQueuedOldestFirstUntilTheQueueIsFull) {
    Queue q;
    for (const char* name : {"30.ts", "10.ts", "abc.ts", "-5.ts", "20.ts", "x.txt", "a.TS"}) {
        write_file(q.tmp + "/" + name, "");
    }
    std::filesystem::create_directory(q.tmp + "/d.ts");
    std::filesystem::create_symlink(q.tmp + "/10.ts", q.tmp + "/15.ts");
    const std::vector<std::string> order{"-5.ts", "10.ts", "20.ts", "30.ts", "abc.ts"};
    EXPECT_EQ(register_recover(q.instance), 5);
    EXPECT_EQ(q.queued(), order);

    // Room for two more only.
    q.instance->reg_queue.len = MAX_REG_QUEUE_LEN - 2;
    EXPECT_EQ(register_recover(q.instance), 2);
    EXPECT_EQ(q.instance->reg_queue.len, MAX_REG_QUEUE_LEN);

    const auto log = q.final_log();
    for (const auto& name : order) {
        EXPECT_TRUE(has_line(log, " register_recover: [" + name + "] left in [" + q.tmp + "] by an earlier run, queued"));
    }
    EXPECT_TRUE(has_line(log, "!register_recover: queue full, 3 left in [" + q.tmp + "] for the next start"));
}

// The register thread takes names in order and, once the exit flag is up,
// finishes the one in hand and leaves the rest queued links.
TEST(RegisterQueue, ThreadWorksInOrderAndLeavesTheRestAtExit) {
    Queue q;
    const int total = 300;
    for (int i = 1; i <= total; ++i) write_file(q.watch + "/" + name_of(i), "");
    pthread_t th;
    ASSERT_EQ(pthread_create(&th, nullptr, register_thread_proc, q.instance), 0);
    for (int i = 1; i <= total; ++i) ASSERT_GT(register_enqueue(q.instance, name_of(i).c_str()), 0);
    ASSERT_TRUE(wait_until([&] { return !file_exists(q.tmp + "/" + name_of(20)); }, 60s));
    q.exit_flag.store(1);
    pthread_mutex_lock(&q.instance->lock);
    pthread_cond_broadcast(&q.instance->reg_queue.cond);
    pthread_mutex_unlock(&q.instance->lock);
    pthread_join(th, nullptr);
    EXPECT_EQ(q.instance->reg_queue.len, 0);

    int done = 0;
    while (done < total && !file_exists(q.tmp + "/" + name_of(done + 1))) ++done;
    EXPECT_GE(done, 20);
    EXPECT_LT(done, total) << "names queued at exit are not worked on";
    for (int i = done + 1; i <= total; ++i) EXPECT_TRUE(file_exists(q.tmp + "/" + name_of(i))) << i;
    const auto log = q.final_log();
    std::vector<std::string> taken;
    for (const auto& t : log) {
        if (t.starts_with(" register_thread_proc: [")) taken.push_back(t);
    }
    ASSERT_EQ(taken.size(), static_cast<size_t>(done));
    for (int i = 0; i < done; ++i) EXPECT_EQ(taken[i], " register_thread_proc: [" + name_of(i + 1) + "]");
    EXPECT_TRUE(has_line(log, " register_ffprobe: ffprobe(" + q.tmp + "/1.ts)=-4"));
}
