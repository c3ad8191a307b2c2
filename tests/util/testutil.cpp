// Shared test helpers: unique segment names, preset folders, child processes, Xvfb.
#include "tests/util/testutil.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace tk_test {

static std::string test_tag() {
    const ::testing::TestInfo *ti = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string t = ti ? std::string(ti->test_suite_name()) + "." + ti->name() : "none";
    std::string out;
    for (char c : t)
        out += (isalnum((unsigned char)c) ? c : '_');
    if (out.size() > 60) out = out.substr(out.size() - 60);
    return out;
}

ScopedSegment::ScopedSegment(const char *tag) {
    static std::atomic<int> counter{0};
    char buf[160];
    snprintf(buf, sizeof buf, "tktest-%d-%d-%s", (int)getpid(), counter++, tag ? tag : test_tag().c_str());
    name_ = buf;
    if (const char *o = getenv("TERVIK_SHM")) {
        old_ = o;
        had_old_ = true;
    }
    shm_unlink(path().c_str());
    setenv("TERVIK_SHM", name_.c_str(), 1);
}

ScopedSegment::~ScopedSegment() {
    shm_unlink(path().c_str());
    if (had_old_)
        setenv("TERVIK_SHM", old_.c_str(), 1);
    else
        unsetenv("TERVIK_SHM");
}

std::string make_temp_dir(const char *tag) {
    std::string tmpl = std::string("/tmp/tktest-") + (tag ? tag : "dir") + "-XXXXXX";
    std::vector<char> b(tmpl.begin(), tmpl.end());
    b.push_back(0);
    if (!mkdtemp(b.data())) return std::string();
    return std::string(b.data());
}

void remove_tree(const std::string &path) {
    if (path.empty() || path == "/") return;
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &data) {
    std::ofstream f(path, std::ios::binary);
    f << data;
}

ScopedPresetDir::ScopedPresetDir() {
    path_ = make_temp_dir("presets");
    setenv("TERVIK_PRESET_DIR", path_.c_str(), 1);
}

ScopedPresetDir::~ScopedPresetDir() {
    unsetenv("TERVIK_PRESET_DIR");
    remove_tree(path_);
}

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name) {
    if (const char *o = getenv(name)) {
        old_ = o;
        had_old_ = true;
    }
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (had_old_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

bool Child::start(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
    int pin[2], pout[2];
    if (pipe(pin) != 0) return false;
    if (pipe(pout) != 0) {
        close(pin[0]);
        close(pin[1]);
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(pin[0], 0);
        dup2(pout[1], 1);
        close(pin[0]);
        close(pin[1]);
        close(pout[0]);
        close(pout[1]);
        for (const std::string &e : env)
            putenv(strdup(e.c_str()));
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pin[0]);
    close(pout[1]);
    pid_ = pid;
    in_ = pin[1];
    out_ = pout[0];
    signal(SIGPIPE, SIG_IGN);
    return true;
}

Child::~Child() {
    if (in_ >= 0) close(in_);
    if (pid_ > 0) kill_hard();
    if (out_ >= 0) close(out_);
}

bool Child::send(const std::string &line) {
    if (in_ < 0) return false;
    std::string s = line + "\n";
    const char *p = s.data();
    size_t left = s.size();
    while (left > 0) {
        ssize_t w = write(in_, p, left);
        if (w <= 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        left -= (size_t)w;
    }
    return true;
}

bool Child::read_line(std::string *line, int timeout_ms) {
    for (;;) {
        size_t nl = buf_.find('\n');
        if (nl != std::string::npos) {
            *line = buf_.substr(0, nl);
            buf_.erase(0, nl + 1);
            return true;
        }
        if (out_ < 0) return false;
        pollfd pfd{out_, POLLIN, 0};
        int r = poll(&pfd, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char tmp[4096];
        ssize_t n = read(out_, tmp, sizeof tmp);
        if (n <= 0) return false;
        buf_.append(tmp, (size_t)n);
    }
}

std::string Child::wait_for(const std::string &prefix, int timeout_ms) {
    std::string line;
    while (read_line(&line, timeout_ms))
        if (line.compare(0, prefix.size(), prefix) == 0) return line;
    return std::string();
}

void Child::close_stdin() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

int Child::wait(int timeout_ms) {
    if (pid_ <= 0) return -1;
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        usleep(10000);
    }
    kill_hard();
    return -1;
}

void Child::kill_hard() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
}

static pid_t g_xvfb_pid = -1;

static void stop_xvfb() {
    if (g_xvfb_pid > 0) {
        kill(g_xvfb_pid, SIGTERM);
        int st = 0;
        waitpid(g_xvfb_pid, &st, 0);
        g_xvfb_pid = -1;
    }
}

// The GL driver keeps a few allocations for the life of the process; once it is unloaded
// (the last context gone) a leak checker can no longer name their module. Keeping the
// libraries loaded lets the suppressions in tests/lsan.supp recognise them.
static void pin_gl_libraries() {
    for (const char *l : {"libGL.so.1", "libGLX.so.0", "libGLX_mesa.so.0", "libGLdispatch.so.0",
                          "/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so"})
        dlopen(l, RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE);
}

std::string xvfb_display() {
    static std::once_flag once;
    static std::string display;
    std::call_once(once, [] {
        pin_gl_libraries();
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_t pid = fork();
        if (pid < 0) return;
        if (pid == 0) {
            close(fds[0]);
            setpgid(0, 0);
            int devnull = open("/dev/null", O_RDWR);
            if (devnull >= 0) {
                dup2(devnull, 1);
                dup2(devnull, 2);
            }
            char fdarg[16];
            snprintf(fdarg, sizeof fdarg, "%d", fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fdarg, "-screen", "0", "2560x1600x24", "-nolisten", "tcp",
                   "+extension", "GLX", "-noreset", (char *)nullptr);
            _exit(127);
        }
        close(fds[1]);
        g_xvfb_pid = pid;
        atexit(stop_xvfb);
        std::string num;
        pollfd pfd{fds[0], POLLIN, 0};
        while (poll(&pfd, 1, 15000) > 0) {
            char c;
            if (read(fds[0], &c, 1) != 1 || c == '\n') break;
            num += c;
        }
        close(fds[0]);
        if (num.empty()) {
            stop_xvfb();
            return;
        }
        display = ":" + num;
        setenv("DISPLAY", display.c_str(), 1);
    });
    return display;
}

} // namespace tk_test

namespace tk_test {

bool ScriptHost::start() { return child.start({TERVIK_HOST_PATH, "script", "--plugin", TERVIK_CLAP_PATH}); }

ScriptHost::~ScriptHost() {
    child.send("quit");
    child.wait(5000);
}

bool ScriptHost::cmd(const std::string &c, std::vector<std::string> *lines) {
    if (!child.send(c)) return false;
    std::string line;
    while (child.read_line(&line, 20000)) {
        if (line == "ok") return true;
        if (line.rfind("error", 0) == 0) {
            ADD_FAILURE() << c << ": " << line;
            return false;
        }
        if (lines) lines->push_back(line);
    }
    ADD_FAILURE() << c << ": no answer";
    return false;
}

uint64_t ScriptHost::uid(int stage) {
    std::string dir = make_temp_dir("uid");
    std::string path = dir + "/s.blob";
    uint64_t id = 0;
    if (cmd("save " + std::to_string(stage) + " " + path)) {
        std::string blob = read_file(path);
        if (blob.size() >= 16) memcpy(&id, blob.data() + 8, 8);
    }
    remove_tree(dir);
    return id;
}

std::vector<ScriptHost::Event> ScriptHost::parse_events(const std::vector<std::string> &lines) {
    std::vector<Event> out;
    for (const std::string &l : lines) {
        std::istringstream in(l);
        std::string word;
        Event e{};
        if (in >> word && word == "event" && in >> e.stage >> e.type >> e.id >> e.value) out.push_back(e);
    }
    return out;
}

std::vector<ScriptHost::Event> ScriptHost::events_after_block() {
    std::vector<std::string> lines;
    if (!cmd("process 1 256") || !cmd("events", &lines)) return {};
    return parse_events(lines);
}

} // namespace tk_test
