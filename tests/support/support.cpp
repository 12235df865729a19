#include "support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {
namespace fs = std::filesystem;

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/bwtest.XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return pred();
}

namespace {

std::vector<char*> c_vector(std::vector<std::string>& strings) {
    std::vector<char*> v;
    for (auto& s : strings) v.push_back(s.data());
    v.push_back(nullptr);
    return v;
}

}  // namespace

void default_signals(posix_spawnattr_t* attr, short more_flags) {
    posix_spawnattr_init(attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(attr, &all);
    posix_spawnattr_setsigmask(attr, &none);
    posix_spawnattr_setflags(attr, static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | more_flags));
}

namespace {

pid_t spawn(const std::string& program, const std::vector<std::string>& args, const std::string& work_dir,
            const std::string& out_path, const std::string& err_path, const std::vector<std::string>& env) {
    std::vector<std::string> argv_s{program};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    auto argv = c_vector(argv_s);
    std::vector<std::string> env_s;
    for (char** e = environ; *e; ++e) env_s.emplace_back(*e);
    env_s.insert(env_s.end(), env.begin(), env.end());
    auto envp = c_vector(env_s);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!work_dir.empty()) posix_spawn_file_actions_addchdir_np(&fa, work_dir.c_str());
    // A daemon must not keep a file of the test open (a segment the test is
    // writing would look still open to it).
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    posix_spawnattr_t attr;
    default_signals(&attr);
    pid_t pid = -1;
    const int r = posix_spawn(&pid, program.c_str(), &fa, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    if (r != 0) throw std::runtime_error("cannot start " + program + ": " + strerror(r));
    return pid;
}

int shell_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

std::atomic<int> process_counter{0};

}  // namespace

Process::Process(const std::string& program, const std::vector<std::string>& args, const std::string& work_dir,
                 const std::vector<std::string>& env) {
    const char* base = getenv("TMPDIR");
    const std::string dir = std::string(base && *base ? base : "/tmp");
    const std::string stem = dir + "/bwproc." + std::to_string(getpid()) + "." + std::to_string(process_counter++);
    out_path_ = stem + ".out";
    err_path_ = stem + ".err";
    pid_ = spawn(program, args, work_dir, out_path_, err_path_, env);
}

Process::~Process() {
    if (!reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
}

void Process::signal(int sig) const { kill(pid_, sig); }

bool Process::running() {
    if (reaped_) return false;
    const pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) reaped_ = true;
    return !reaped_;
}

std::optional<int> Process::wait_exit(std::chrono::milliseconds timeout) {
    if (!wait_until([this] { return !running(); }, timeout)) return std::nullopt;
    return shell_status(status_);
}

RunResult run(const std::string& program, const std::vector<std::string>& args, std::chrono::milliseconds timeout,
              const std::string& work_dir) {
    Process p(program, args, work_dir);
    RunResult res;
    auto st = p.wait_exit(timeout);
    if (!st) {
        p.signal(SIGKILL);
        st = p.wait_exit(5s);
    }
    res.status = st.value_or(-1);
    res.out = p.out();
    res.err = p.err();
    return res;
}

namespace {

std::string ffmpeg_media_args(Media media, double seconds) {
    const std::string t = std::to_string(seconds);
    const std::string video = "-f lavfi -i testsrc=size=320x180:rate=25:duration=" + t;
    const std::string audio = "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=" + t;
    const std::string vcodec = "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p";
    const std::string acodec = "-c:a aac -b:a 64k";
    switch (media) {
        case Media::audio_only: return audio + " " + acodec;
        case Media::video_only: return video + " " + vcodec;
        default: return video + " " + audio + " " + vcodec + " " + acodec;
    }
}

// The cache of generated segments lives as long as the test process.
TempDir& cache_dir() {
    static TempDir dir;
    return dir;
}

std::string shell_quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

std::string capture(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

}  // namespace

void make_segment(const std::string& path, double seconds, Media media) {
    static std::mutex mu;
    std::lock_guard<std::mutex> guard(mu);
    const std::string cached =
        cache_dir() / ("seg_" + std::to_string(static_cast<int>(media)) + "_" + std::to_string(seconds) + ".ts");
    if (!file_exists(cached)) {
        const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y " +
                                ffmpeg_media_args(media, seconds) + " -f mpegts " + shell_quote(cached);
        if (system(cmd.c_str()) != 0) throw std::runtime_error("ffmpeg could not make a segment");
    }
    fs::copy_file(cached, path, fs::copy_options::overwrite_existing);
}

double probe_duration(const std::string& path) {
    const std::string out = capture("ffprobe -v error -show_entries format=duration -of csv=p=0 " +
                                    shell_quote(path) + " 2>/dev/null");
    if (out.empty()) return -1;
    return atof(out.c_str());
}

std::string probe_size(const std::string& path) {
    return capture("ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=s=x:p=0 " +
                   shell_quote(path) + " 2>/dev/null");
}

std::string probe_codec(const std::string& path) {
    return capture("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " + shell_quote(path) +
                   " 2>/dev/null | head -n1");
}

StderrCapture::StderrCapture(const std::string& path) : path_(path) {
    saved_ = dup(STDERR_FILENO);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDERR_FILENO);
    close(fd);
}

void StderrCapture::restore() {
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
}

void write_hanging_tool(const std::string& path, const std::string& marker, const std::string& real) {
    // The daemons start tools with an empty environment: no PATH.
    write_file(path, "#!/bin/sh\ncase \"$*\" in *" + shell_quote(marker) + "*) exec /bin/sleep 1000000;; esac\nexec " +
                         shell_quote(real) + " \"$@\"\n");
    fs::permissions(path, fs::perms::owner_all);
}

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

descriptor_count process_descriptors(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    // Listening sockets by inode: state 0A in the socket tables.
    std::vector<std::string> listening;
    for (const char* table : {"/net/tcp", "/net/tcp6"}) {
        std::ifstream in(proc + table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::vector<std::string> f;
            for (std::string word; fields >> word;) f.push_back(word);
            if (f.size() > 9 && f[3] == "0A") listening.push_back("socket:[" + f[9] + "]");
        }
    }
    descriptor_count n;
    std::error_code ec;
    fs::directory_iterator it(proc + "/fd", ec);
    if (ec) return n;
    n.all = 0;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        ++n.all;
        const std::string target = fs::read_symlink(it->path(), ec).string();
        if (target.starts_with("socket:[") && std::find(listening.begin(), listening.end(), target) == listening.end())
            ++n.connections;
    }
    return n;
}

void expect_usage(const std::string& text, const std::string& program) {
    const size_t eol = text.find('\n');
    ASSERT_NE(eol, std::string::npos);
    EXPECT_TRUE(std::regex_match(text.substr(0, eol), std::regex(program + R"(-[^ ,]+, .+)"))) << text;
    const std::string rest = "Usage:\n"
                             "    " + program + " [args]\n"
                             "Where args:\n"
                             "    --port=<N>" + std::string(29, ' ') + "xmlrpc control port\n"
                             "    --demonize" + std::string(25, ' ') + "Become daemon on executing\n"
                             "\n" + std::string(39, ' ') + "Log file operation\n"
                             "    --log-file-name=<STR>\n"
                             "    --log-rotate-interval=<INT>\n"
                             "\n"
                             "    -h, --help" + std::string(25, ' ') + "Show this help and usage\n";
    EXPECT_EQ(text.substr(eol + 1), rest);
}

SmallFileSystem::SmallFileSystem(const std::string& at, const std::string& size) : at_(at) {
    fs::create_directories(at);
    if (geteuid() != 0) {
        error_ = "mounting a file system needs root";
    } else if (mount("tmpfs", at.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) {
        error_ = std::string("mount failed: ") + strerror(errno);
    }
}

SmallFileSystem::~SmallFileSystem() {
    if (error_.empty()) umount2(at_.c_str(), MNT_DETACH);
}

bool SmallFileSystem::resize(const std::string& size) {
    return mount(nullptr, at_.c_str(), nullptr, MS_REMOUNT, ("size=" + size).c_str()) == 0;
}

}  // namespace testsupport
