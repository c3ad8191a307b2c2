// Test helpers shared by every test executable: a unique shared-segment name and preset
// folder per test, child processes, and a private Xvfb server for editor tests.
#pragma once
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

#include <string>
#include <vector>

namespace tk_test {

// Sets TERVIK_SHM to a name unique to this process and test, and shm_unlinks it when the
// object goes out of scope (also before, in case a crashed run left one behind).
class ScopedSegment {
  public:
    explicit ScopedSegment(const char *tag = nullptr);
    ~ScopedSegment();
    const std::string &name() const { return name_; } // without the leading '/'
    std::string path() const { return "/" + name_; }  // as passed to shm_open
  private:
    std::string name_;
    std::string old_;
    bool had_old_ = false;
};

// A fresh temporary folder, set as TERVIK_PRESET_DIR while the object lives; removed after.
class ScopedPresetDir {
  public:
    ScopedPresetDir();
    ~ScopedPresetDir();
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// Sets (or, with null, unsets) an environment variable for the scope.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();

  private:
    std::string name_, old_;
    bool had_old_ = false;
};

std::string make_temp_dir(const char *tag);
void remove_tree(const std::string &path);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);

// A child process with pipes to its stdin and stdout (stderr is inherited).
class Child {
  public:
    // argv[0] is the program path. env entries "NAME=value" are added to the environment.
    bool start(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});
    ~Child();
    bool send(const std::string &line); // writes line + '\n'
    // Reads one line (without '\n'); false on EOF or after timeout_ms.
    bool read_line(std::string *line, int timeout_ms = 10000);
    // Reads lines until one starts with prefix; returns it (empty on timeout/EOF).
    std::string wait_for(const std::string &prefix, int timeout_ms = 10000);
    void close_stdin();
    int wait(int timeout_ms = 10000); // exit status, -1 on timeout (then killed)
    void kill_hard();                 // SIGKILL and reap
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string buf_;
};

// A private Xvfb on a free display, started once per test process and stopped at exit.
// Returns the display string (":N"), and sets DISPLAY. Empty when Xvfb cannot start.
std::string xvfb_display();

// Polls pred, napping nap_us between looks, until it holds (true) or timeout_ms of real time
// have passed (false). For waits on other threads and processes; the deadline runs on
// CLOCK_MONOTONIC itself, so stepped time does not shorten it.
template <class F> bool poll_until(F pred, int timeout_ms = 20000, int nap_us = 1000) {
    auto now_ms = [] {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
    };
    for (int64_t end = now_ms() + timeout_ms;;) {
        if (pred()) return true;
        if (now_ms() >= end) return pred();
        usleep((useconds_t)nap_us);
    }
}

} // namespace tk_test

namespace tk_test {

// A `tervik-host script` child running the Tervik plug-in: the owning host of stages that
// tests in this process see and edit through the shared segment.
class ScriptHost {
  public:
    bool start(); // the host and plug-in paths the build gives the tests
    ~ScriptHost();
    // Sends a command; the answer's lines (without the final "ok") go to *lines. False
    // when the answer is an error or does not come.
    bool cmd(const std::string &c, std::vector<std::string> *lines = nullptr);
    // Identity of a stage (1-based), from the start of its saved state; 0 when unknown.
    uint64_t uid(int stage);
    // Events of the next process call of one block, as (stage, type, param id, value).
    struct Event {
        int stage, type;
        uint32_t id;
        double value;
    };
    std::vector<Event> events_after_block();
    static std::vector<Event> parse_events(const std::vector<std::string> &lines);
    Child child;
};

} // namespace tk_test
