// The editor command: a chain playing in real time on an audio thread while the editor of
// every stage is embedded in its own X11 parent window, the host's timers running every tick.
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <memory>

#include "host/chain.h"
#include "host/cli.h"
#include "host/gui.h"
#include "host/host.h"
#include "host/signal.h"

// SIGINT or SIGTERM ends the session as its time running out would: the screenshots are
// still taken and everything is closed in order.
static volatile sig_atomic_t g_stop = 0;
static void stop_session(int) { g_stop = 1; }

namespace {
// The stop handler for the command's lifetime, the old ones back after.
struct StopOnSignal {
    struct sigaction old_int {
    }, old_term{};
    StopOnSignal() {
        g_stop = 0;
        struct sigaction sa {};
        sa.sa_handler = stop_session;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old_int);
        sigaction(SIGTERM, &sa, &old_term);
    }
    ~StopOnSignal() {
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGTERM, &old_term, nullptr);
    }
    StopOnSignal(const StopOnSignal &) = delete;
    StopOnSignal &operator=(const StopOnSignal &) = delete;
};
} // namespace

int cmd_editor(const std::vector<std::string> &argv) {
    StopOnSignal stop_on_signal; // at once: a stop asked for during the set-up counts too
    CliArgs a;
    std::string err;
    if (!cli_parse(argv,
                   {"plugin", "id", "stages", "seconds", "in", "width", "height", "scale", "shot", "set", "block"}, {},
                   &a, &err) ||
        !a.positional.empty()) {
        fprintf(stderr, "error: %s\n", err.empty() ? "editor takes no positional arguments" : err.c_str());
        usage_hint("editor");
        return 2;
    }
    if (a.help) {
        help_command("editor", stdout);
        return 0;
    }
    long stages = 3, w = 0, h = 0, block = 256;
    double seconds = 0, scale = 1.0;
    if (!a.get_int("stages", 3, 1, 16, &stages, &err) || !a.get_int("width", 0, 0, 16384, &w, &err) ||
        !a.get_int("height", 0, 0, 16384, &h, &err) || !a.get_int("block", 256, 16, 8192, &block, &err) ||
        !a.get_double("seconds", 0, 0, 86400, &seconds, &err) || !a.get_double("scale", 1.0, 0.1, 8, &scale, &err)) {
        fprintf(stderr, "error: %s\n", err.c_str());
        return 2;
    }
    if ((w == 0) != (h == 0)) {
        fprintf(stderr, "error: give both --width and --height\n");
        return 2;
    }
    Audio in;
    if (a.has("in")) {
        if (!wav_read(a.get("in"), &in, &err)) {
            fprintf(stderr, "error: %s\n", err.c_str());
            return 1;
        }
    } else {
        in = demo_signal(48000, 8.0, 2);
    }
    HostLib lib;
    if (!lib.load(a.get("plugin", default_plugin_path()))) {
        fprintf(stderr, "error: %s\n", lib.error().c_str());
        return 1;
    }
    Chain chain(in.channels());
    std::vector<Setting> settings;
    HostOptions opt;
    opt.record_calls = false; // a long session: nobody reads the call list
    if (!chain.create(lib, (int)stages, opt, a.get("id"), &err) ||
        !resolve_settings(chain, a.all("set"), &settings, &err)) {
        fprintf(stderr, "error: %s\n", err.c_str());
        return 1;
    }
    apply_settings(chain, settings);
    chain.fit_channels_to_ports();
    if (!chain.activate(in.rate, 1, (uint32_t)block, &err)) {
        fprintf(stderr, "error: %s\n", err.c_str());
        return 1;
    }
    for (size_t i = 0; i < chain.size(); i++) {
        HostInstance &s = chain.stage(i);
        char title[64];
        snprintf(title, sizeof title, "stage %zu", i + 1);
        if (!s.gui_open((uint32_t)w, (uint32_t)h, scale, title)) {
            fprintf(stderr, "error: stage %zu: %s\n", i + 1, s.error().c_str());
            chain.clear();
            return 1;
        }
        s.parent()->move((int)i * 48, (int)i * 48);
        printf("stage %zu: editor %ux%u in window 0x%lx\n", i + 1, s.parent()->width(), s.parent()->height(),
               s.parent()->window());
    }
    fflush(stdout);
    BufferSource src(in, true);
    chain.set_source(&src);
    chain.start((uint32_t)block, true);
    uint64_t end = seconds > 0 ? host_now_ns() + (uint64_t)(seconds * 1e9) : 0;
    int rc = 0;
    std::vector<bool> lost(chain.size(), false);
    for (;;) {
        chain.idle();
        bool open = false;
        for (size_t i = 0; i < chain.size(); i++) {
            HostInstance &s = chain.stage(i);
            if (s.gui_lost() && !lost[i]) { // the session goes on with the other editors
                fprintf(stderr, "error: stage %zu: %s\n", i + 1, s.error().c_str());
                lost[i] = true;
                rc = 1;
            }
            open = open || s.gui_created();
        }
        if (!open || g_stop) break;
        if (end && host_now_ns() >= end) break;
        usleep(2000);
    }
    if (a.has("shot")) {
        for (size_t i = 0; i < chain.size(); i++) {
            HostInstance &s = chain.stage(i);
            std::string path = a.get("shot") + "-" + std::to_string(i + 1) + ".ppm";
            const tervik_plugin_debug_t *d = s.debug_ext();
            bool ok = false;
            if (d && d->editor_dump) {
                // The editor writes the dump at its next frame: this stage's timer runs until
                // it has. Only this stage's: every other tick would draw all the editors
                // again first (they share one world), and a software-GL frame is slow.
                unlink(path.c_str());
                if (d->editor_dump(s.plugin(), path.c_str()))
                    for (int k = 0; k < 1500 && !ok; k++) {
                        s.idle();
                        ok = access(path.c_str(), F_OK) == 0;
                        if (!ok) usleep(2000);
                    }
                if (ok) usleep(20000); // let the file be completed
            }
            if (!ok && s.parent()) ok = s.parent()->save_ppm(path);
            printf("stage %zu: %s %s\n", i + 1, ok ? "screenshot" : "no screenshot", path.c_str());
            if (!ok) rc = 1;
        }
    }
    chain.stop();
    printf("processed %llu blocks (%llu late)\n", (unsigned long long)chain.cycles(),
           (unsigned long long)chain.late_cycles());
    chain.clear();
    return rc;
}
