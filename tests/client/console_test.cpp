// The web console in a real headless Chromium against a real export daemon,
// real ffmpeg and a generated library across an hour boundary with a gap: the
// whole road an operator walks, from the login to a clip played and sought.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <regex>

#include "client_fixture.h"
#include "support/browser.h"

using namespace clienttest;
namespace fs = std::filesystem;

namespace {

const std::string TOKEN = "Y29uc29sZQ-test";

// The test library: six-second segments from 10:59:42 to 11:00:21 UTC, with
// the one at 11:00:06 missing.
const std::vector<long long> TIMES = {HOUR - 18, HOUR - 12, HOUR - 6, HOUR, HOUR + 6, HOUR + 12, HOUR + 18};
constexpr long long GAP_FROM = HOUR + 6;

// A daemon that can be stopped and started again on the same port.
class Console {
public:
    explicit Console(const TempDir& dir) : dir_(dir), lib_(dir / "lib"), port_(free_port()) {
        fs::create_directories(tasks());
        write_file(dir / "token", TOKEN + "\n");
        const auto& segments = recording();
        for (size_t i = 0; i < TIMES.size(); ++i) {
            if (TIMES[i] != GAP_FROM && i < segments.size()) lib_.add(TIMES[i], segments[i]);
        }
    }

    void start() {
        proc_ = std::make_unique<Process>(
            BRINDLEWOOD_EXPORTER_BIN,
            std::vector<std::string>{"--ws-port=" + std::to_string(port_), "--tasks-path=" + tasks(),
                                     "--lib0-path=" + lib_.root(), "--ffmpeg-path=ffmpeg",
                                     "--access-token-file=" + dir_ / "token", "--log-file-name=" + dir_ / "e.log"},
            dir_.path());
        ASSERT_TRUE(wait_until([&] { return read_file(dir_ / "e.log").find("ws_init: listening") != std::string::npos; },
                               30s));
    }

    int stop() {
        proc_->signal(SIGTERM);
        const int status = proc_->wait_exit(60s).value_or(-1);
        fs::remove(dir_ / "e.log");
        return status;
    }

    std::string url(const std::string& path = "/") const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::string tasks() const { return dir_ / "tasks"; }
    std::string task(int n, const std::string& file) const { return task_folder(tasks(), n) + "/" + file; }
    bool has_all_segments() const { return recording().size() >= TIMES.size(); }

private:
    const TempDir& dir_;
    Library lib_;
    int port_;
    std::unique_ptr<Process> proc_;
};

// What a finished run leaves in a task folder, written by hand.
void stored_task(const Console& c, int n, const std::string& title, int state, const std::string& log = "") {
    fs::create_directories(task_folder(c.tasks(), n));
    write_file(c.task(n, "index.json"),
               "{ \"lib_idx\": 0, \"title\": \"" + title + "\", \"head_offs\": 0, \"tail_rem\": 0, \"length\": 6, "
               "\"date\": \"2021-05-01\", \"from\": \"2021-05-01T10:00:00Z\", \"to\": \"2021-05-01T10:00:06Z\" }");
    write_file(c.task(n, "state"), std::to_string(state));
    if (!log.empty()) write_file(c.task(n, "cut.log"), log);
}

// Types a value into an input as a user would, so that its handlers run.
std::string set_input(const std::string& id, const std::string& value) {
    return "(() => { const e = document.getElementById('" + id + "'); e.value = '" + value +
           "'; e.dispatchEvent(new Event('input', {bubbles: true})); e.dispatchEvent(new Event('change', "
           "{bubbles: true})); return e.value; })()";
}

// The local "YYYY-MM-DDTHH:MM:SS" of a time in Europe/Berlin, two hours
// ahead of UTC on 1 May 2021 (summer time).
std::string berlin(long long t) { return utc_text(t + 2 * 3600, "%Y-%m-%dT%H:%M:%S"); }

}  // namespace

TEST(Console, TheWholeRoadInARealBrowser) {
    TempDir dir;
    Console console(dir);
    ASSERT_TRUE(console.has_all_segments()) << "ffmpeg could not make the recording";
    stored_task(console, 1, "an old clip", 2);
    stored_task(console, 2, "a failed one", 3, "frame=1\nInvalid data found when processing input\n");
    ASSERT_NO_FATAL_FAILURE(console.start());

    testsupport::Browser browser;
    browser.set_timezone("Europe/Berlin");

    // Without the token: the login form, and a wrong token is refused.
    browser.open(console.url());
    ASSERT_TRUE(browser.wait_for("document.getElementById('login-form') !== null"));
    browser.evaluate(set_input("token", "wrong") + "; document.getElementById('login-form').submit()");
    ASSERT_TRUE(browser.wait_for("document.body.dataset.loginFailed === '1'"));
    // Shown once the form's style has come.
    EXPECT_TRUE(browser.wait_for("getComputedStyle(document.getElementById('login-refused')).display === 'block'"));
    browser.evaluate(set_input("token", TOKEN) + "; document.getElementById('login-form').submit()");

    // The console lists the stored tasks, newest first, the failed one with
    // the end of its log.
    ASSERT_TRUE(browser.wait_for("document.querySelectorAll('#task-list li[data-loaded=\"1\"]').length === 2", 15s))
        << browser.browser_log();
    EXPECT_EQ(browser.evaluate_json("[...document.querySelectorAll('#task-list li')].map(li => li.dataset.task)"),
              "[\"2\",\"1\"]");
    EXPECT_EQ(browser.evaluate_json("document.getElementById('conn-status').dataset.state"), "\"open\"");
    EXPECT_NE(browser.evaluate_string("document.querySelector('#task-2 [data-role=log]').textContent")
                  .find("Invalid data found when processing input"),
              std::string::npos);
    EXPECT_NE(browser.evaluate_string("document.getElementById('tz-name').textContent").find("Europe/Berlin"),
              std::string::npos);

    // A clip by time across the hour, exact trim; the timeline marks the gap.
    const long long from = HOUR - 10;
    const long long to = HOUR + 4;
    browser.evaluate("window.notReloaded = true");
    browser.evaluate(set_input("clip-from", berlin(from)));
    browser.evaluate(set_input("clip-to", berlin(to)));
    browser.evaluate("document.getElementById('trim-exact').click()");
    browser.evaluate(set_input("clip-title", "across the hour"));
    EXPECT_NE(browser.evaluate_string("document.getElementById('clip-from-utc').textContent").find("10:59:50"),
              std::string::npos);
    ASSERT_TRUE(browser.wait_for("document.getElementById('timeline').dataset.state === 'ready' && "
                                 "document.querySelectorAll('#timeline-bars .gap').length > 0",
                                 15s));
    EXPECT_EQ(browser.evaluate_json("[...document.querySelectorAll('#timeline-bars .gap')].some(g => "
                                    "+g.dataset.from === " + std::to_string(GAP_FROM) + " && +g.dataset.to === " +
                                    std::to_string(GAP_FROM + 6) + ")"),
              "true")
        << browser.evaluate_json("[...document.querySelectorAll('#timeline-bars .gap')].map(g => [g.dataset.from, "
                                 "g.dataset.to])");
    browser.evaluate("document.getElementById('clip-submit').click()");

    // The new task goes to done on the page, without a reload.
    ASSERT_TRUE(browser.wait_for("document.getElementById('task-3')?.dataset.state === '2'", 60s))
        << browser.evaluate_json("document.getElementById('clip-message').textContent");
    EXPECT_EQ(browser.evaluate_json("window.notReloaded === true && document.getElementById('task-3').dataset.mine"),
              "\"1\"");
    EXPECT_EQ(browser.evaluate_json("document.querySelector('#task-list li').dataset.task"), "\"3\"");
    const std::string meta = read_file(console.task(3, "index.json"));
    EXPECT_NE(meta.find("\"title\": \"across the hour\""), std::string::npos) << meta;
    EXPECT_NE(meta.find("\"from\": \"2021-05-01T10:59:50Z\""), std::string::npos) << meta;
    EXPECT_NE(meta.find("\"exact_trim\": 1"), std::string::npos) << meta;

    // The player: as long as the span, and it seeks through ranges.
    ASSERT_TRUE(browser.wait_for("(v => v && v.readyState >= 1)(document.querySelector('#task-3 video'))", 20s));
    const double duration = std::stod(browser.evaluate_json("document.querySelector('#task-3 video').duration"));
    EXPECT_NEAR(duration, static_cast<double>(to - from), 0.1);
    browser.evaluate("new Promise(done => { const v = document.querySelector('#task-3 video'); "
                     "v.addEventListener('seeked', () => done(v.currentTime), {once: true}); v.currentTime = 9; })");
    const auto& got = browser.responses();
    EXPECT_TRUE(std::any_of(got.begin(), got.end(), [](const auto& r) {
        return r.first.ends_with("/tasks/00003/cut.mp4") && r.second == 206;
    })) << "the player's requests are answered with ranges";
    const std::string shot = std::string(ARTIFACTS_DIR) + "/console.png";
    fs::create_directories(ARTIFACTS_DIR);
    browser.screenshot(shot, true);
    EXPECT_GT(fs::file_size(shot), 10000u);

    // The daemon restarts: the page says so, comes back by itself and takes
    // the list afresh.
    const std::string generation = browser.evaluate_json("document.getElementById('task-list').dataset.generation");
    EXPECT_EQ(console.stop(), 0);
    EXPECT_TRUE(browser.wait_for("document.getElementById('conn-status').dataset.state === 'closed'", 10s));
    ASSERT_NO_FATAL_FAILURE(console.start());
    EXPECT_TRUE(browser.wait_for("document.getElementById('conn-status').dataset.state === 'open' && "
                                 "document.getElementById('task-list').dataset.generation !== '" +
                                     generation.substr(1, generation.size() - 2) + "'",
                                 20s));
    EXPECT_EQ(browser.evaluate_json("document.querySelectorAll('#task-list li').length"), "3");
    EXPECT_TRUE(browser.page_errors().empty()) << browser.page_errors().front();
    EXPECT_EQ(console.stop(), 0);
}
