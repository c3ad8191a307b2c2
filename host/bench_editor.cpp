// The editor part of the bench command: a chain of 1, 4 or 8 Tervik stages playing in real
// time with the first stage's editor open (controls and grid shown, graph and meters live),
// driven by the host timer; prints the editor's main-thread CPU time and wall time per frame.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "host/bench_editor.h"
#include "host/chain.h"
#include "host/gui.h"
#include "host/host.h"
#include "host/signal.h"

namespace {

uint64_t thread_cpu_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

// Frames the editor has drawn so far: the first word of its graph summary.
uint32_t frames_drawn(HostInstance &h) {
    const tervik_plugin_debug_t *d = h.debug_ext();
    if (!d || !d->editor_graph) return 0;
    alignas(8) unsigned char info[128] = {0};
    d->editor_graph(h.plugin(), nullptr, info, 0);
    uint32_t f;
    memcpy(&f, info, 4);
    return f;
}

// Turns the grid on through the stage's own state (the editor preferences travel there):
// the last 40 bytes of a saved blob are the "UI01" chunk, show_grid its third word.
bool show_grid(HostInstance &h) {
    std::vector<uint8_t> blob;
    if (!h.state_save(&blob) || blob.size() < 40 || memcmp(blob.data() + blob.size() - 40, "UI01", 4) != 0)
        return false;
    uint32_t one = 1;
    memcpy(blob.data() + blob.size() - 40 + 4, &one, 4); // controls
    memcpy(blob.data() + blob.size() - 40 + 8, &one, 4); // grid
    return h.state_load(blob);
}

} // namespace

int bench_editor(HostLib &lib, double seconds) {
    if (!getenv("DISPLAY") || !*getenv("DISPLAY")) {
        printf("editor: no DISPLAY (run under Xvfb, e.g. xvfb-run -a tervik-host bench --editor)\n");
        return 1;
    }
    printf("editor: 960x600, controls and grid open, chain playing in real time, %.1f s per row\n", seconds);
    printf("%-6s %8s %16s %16s %12s\n", "stages", "frames", "cpu ms/frame", "wall ms/frame", "columns");
    fflush(stdout);
    Audio demo = demo_signal(48000, 8.0, 2);
    int rc = 0;
    for (int n : {1, 4, 8}) {
        Chain chain(2);
        HostOptions opt;
        opt.log_to_stderr = false;
        opt.record_calls = false;
        std::string err;
        if (!chain.create(lib, n, opt, std::string(), &err) || !show_grid(chain.stage(0)) ||
            !chain.activate(48000, 1, 256, &err)) {
            printf("%-6d error: %s\n", n, err.empty() ? "cannot set up the chain" : err.c_str());
            rc = 1;
            continue;
        }
        BufferSource src(demo, true);
        chain.set_source(&src);
        chain.start(256, true);
        HostInstance &h = chain.stage(0);
        if (!h.gui_open()) {
            printf("%-6d error: %s\n", n, h.error().c_str());
            chain.stop();
            rc = 1;
            continue;
        }
        // Let the chain be found and the history fill before measuring.
        for (uint64_t end = host_now_ns() + 1500000000ull; host_now_ns() < end;) {
            chain.idle();
            usleep(2000);
        }
        uint32_t f0 = frames_drawn(h);
        uint64_t cpu = 0, wall = 0;
        for (uint64_t end = host_now_ns() + (uint64_t)(seconds * 1e9); host_now_ns() < end;) {
            uint64_t c0 = thread_cpu_ns(), w0 = host_now_ns();
            h.fire_timers(); // the editor's tick: pending events and, when due, one frame
            cpu += thread_cpu_ns() - c0;
            wall += host_now_ns() - w0;
            for (size_t i = 1; i < chain.size(); i++)
                chain.stage(i).idle();
            h.parent()->pump();
            usleep(4000);
        }
        uint32_t frames = frames_drawn(h) - f0;
        const tervik_plugin_debug_t *d = h.debug_ext();
        alignas(8) unsigned char info[128] = {0};
        int cols = d && d->editor_graph ? d->editor_graph(h.plugin(), nullptr, info, 4096) : 0;
        if (frames == 0) {
            printf("%-6d %8u %16s %16s %12d\n", n, 0u, "-", "-", cols);
            rc = 1;
        } else {
            printf("%-6d %8u %16.2f %16.2f %12d\n", n, frames, cpu / 1e6 / frames, wall / 1e6 / frames, cols);
        }
        fflush(stdout);
        h.gui_close();
        chain.stop();
        chain.clear();
    }
    return rc;
}
