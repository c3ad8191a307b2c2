// The bench command: processing cost of 1, 4 and 8 stages in series of Tervik (True peak on
// and off) and of any other CLAP, measured side by side in one run, with the ratios.
#include <sys/stat.h>

#include <cmath>
#include <memory>

#include "host/bench_editor.h"
#include "host/chain.h"
#include "host/cli.h"
#include "host/host.h"
#include "host/signal.h"

namespace {

const char ZAM_PATH[] = "/usr/lib/clap/ZaMaximX2.clap";
const int STAGES[3] = {1, 4, 8};
const double DEFAULT_DRIVE_DB = 12.0; // Tervik's Gain in all, without --set

bool file_exists(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

bool is_tervik(const std::string &p) { return p.size() >= 11 && p.compare(p.size() - 11, 11, "Tervik.clap") == 0; }

// One row: a chain of one plug-in, kept alive for the whole run so that rows can take turns.
struct Row {
    std::string plugin; // descriptor name
    int variant;        // True peak 1 / 0, or -1 for a plug-in without it
    int stages;
    std::unique_ptr<Chain> chain;
    // The demo in a loop, the row's own copy, its blocks lent to the chain (a host hands a
    // plug-in its track's buffers): the measured loop spends its time in the plug-ins, not in
    // copying the source, and a plug-in that wrote into its input could spoil only its row.
    std::unique_ptr<Audio> audio;
    std::unique_ptr<BufferSource> src;
    double best_ns = 0; // smallest ns per frame (whole chain) over the rounds
};

// Runs the row's chain for about budget_ns and returns the ns per frame of that stretch.
double measure(Row &r, uint32_t block, uint64_t budget_ns) {
    uint64_t cycles = 0, t0 = host_now_ns(), t1 = t0;
    while (t1 - t0 < budget_ns) {
        for (int i = 0; i < 8; i++)
            r.chain->cycle(block);
        cycles += 8;
        t1 = host_now_ns();
    }
    return (double)(t1 - t0) / ((double)cycles * block);
}

const Row *find(const std::vector<Row> &rows, const std::string &plugin, int variant, int stages) {
    for (const Row &r : rows)
        if (r.plugin == plugin && r.variant == variant && r.stages == stages) return &r;
    return nullptr;
}

} // namespace

int cmd_bench(const std::vector<std::string> &argv) {
    CliArgs a;
    std::string err;
    if (!cli_parse(argv, {"plugin", "seconds", "block", "set", "rounds"}, {"editor", "alone"}, &a, &err) ||
        !a.positional.empty()) {
        fprintf(stderr, "error: %s\n", err.empty() ? "bench takes no positional arguments" : err.c_str());
        usage_hint("bench");
        return 2;
    }
    if (a.help) {
        help_command("bench", stdout);
        return 0;
    }
    // Many short rounds: on a shared machine the best of them is the figure that repeats.
    double seconds = 2.0;
    long block = 512, rounds = 100;
    if (!a.get_double("seconds", 2.0, 0.01, 600, &seconds, &err) || !a.get_int("block", 512, 1, 65536, &block, &err) ||
        !a.get_int("rounds", 100, 1, 1000, &rounds, &err)) {
        fprintf(stderr, "error: %s\n", err.c_str());
        return 2;
    }
    const double rate = 48000;
    if (a.has("editor")) {
        HostLib lib;
        std::string path = a.get("plugin", default_plugin_path());
        if (!lib.load(path)) {
            fprintf(stderr, "error: %s\n", lib.error().c_str());
            return 1;
        }
        return bench_editor(lib, a.has("seconds") ? seconds : 3.0);
    }
    // Plug-ins: Tervik next to this program first, then each --plugin; ZaMaximX2 beside it
    // when installed and no other plug-in was named (unless --alone).
    std::vector<std::string> plugins = a.all("plugin");
    bool have_tervik = false, have_other = false;
    for (const std::string &p : plugins)
        (is_tervik(p) ? have_tervik : have_other) = true;
    std::string def = default_plugin_path();
    if (!have_tervik && file_exists(def)) plugins.insert(plugins.begin(), def);
    if (!have_other && !a.has("alone") && file_exists(ZAM_PATH)) plugins.push_back(ZAM_PATH);
    if (plugins.empty()) {
        fprintf(stderr, "error: no plug-in to measure (%s not found; give --plugin PATH)\n", def.c_str());
        return 1;
    }
    // Settings for every stage of the plug-ins that have the parameter. By default Tervik is
    // driven 12 dB into its threshold in all (about 6 dB of gain reduction), the drive shared
    // evenly by the stages of a chain as a multi-stage limiter shares it.
    std::vector<std::string> sets = a.all("set");
    const bool default_drive = sets.empty();

    Audio demo = demo_signal(rate, 4.0, 2);
    std::vector<std::unique_ptr<HostLib>> libs;
    std::vector<Row> rows;
    std::vector<std::string> names;
    int rc = 0;
    for (const std::string &path : plugins) {
        libs.push_back(std::make_unique<HostLib>());
        HostLib &lib = *libs.back();
        if (!lib.load(path)) {
            printf("%-14s error: %s\n", path.c_str(), lib.error().c_str());
            rc = 1;
            continue;
        }
        std::string name = "?";
        bool has_tp = false;
        {
            HostInstance probe(lib);
            if (!probe.create_and_init()) {
                printf("%-14s error: %s\n", path.c_str(), probe.error().c_str());
                rc = 1;
                continue;
            }
            if (probe.plugin()->desc && probe.plugin()->desc->name) name = probe.plugin()->desc->name;
            uint32_t id;
            has_tp = probe.find_param("True peak", &id);
        }
        names.push_back(name);
        std::vector<std::string> texts = sets;
        for (int variant : has_tp ? std::vector<int>{1, 0} : std::vector<int>{-1})
            for (int n : STAGES) {
                Row r;
                r.plugin = name;
                r.variant = variant;
                r.stages = n;
                r.chain = std::make_unique<Chain>(2);
                HostOptions opt;
                opt.log_to_stderr = false;
                opt.record_calls = false;
                if (!r.chain->create(lib, n, opt, std::string(), &err)) {
                    printf("%-14s error: %s\n", name.c_str(), err.c_str());
                    rc = 1;
                    continue;
                }
                std::vector<std::string> row_texts;
                if (default_drive && is_tervik(path)) {
                    char gain[32];
                    snprintf(gain, sizeof gain, "Gain=%g", DEFAULT_DRIVE_DB / n);
                    row_texts.push_back(gain);
                }
                for (const std::string &t : texts) {
                    std::vector<Setting> probe;
                    std::string e;
                    if (resolve_settings(*r.chain, {t}, &probe, &e)) row_texts.push_back(t); // has it
                }
                if (variant >= 0) row_texts.push_back(std::string("True peak=") + (variant ? "1" : "0"));
                std::vector<Setting> s;
                if (resolve_settings(*r.chain, row_texts, &s, &err)) apply_settings(*r.chain, s);
                if (!r.chain->activate(rate, (uint32_t)block, (uint32_t)block, &err)) {
                    printf("%-14s error: %s\n", name.c_str(), err.c_str());
                    rc = 1;
                    continue;
                }
                r.audio = std::make_unique<Audio>(demo);
                r.src = std::make_unique<BufferSource>(*r.audio, true, true);
                r.chain->set_source(r.src.get());
                for (int i = 0; i < 16; i++)
                    r.chain->cycle((uint32_t)block); // warm up
                rows.push_back(std::move(r));
            }
    }

    printf("bench: %.0f Hz stereo, %ld-frame blocks, demo signal (peak -6 dBFS), one thread\n", rate, block);
    if (default_drive)
        printf("Tervik driven by 12 dB in all, shared by the stages (Gain 12, 3 and 1.5 dB per stage; about 6 dB\n"
               "of reduction); --set Gain=12 drives every stage by 12 dB\n");
    for (const std::string &t : sets)
        printf("set: %s (where the plug-in has it)\n", t.c_str());
    printf("each row: best of %ld rounds of %.3f s, the rows taking turns\n", rounds, seconds / (double)rounds);
    fflush(stdout);
    const uint64_t budget = (uint64_t)(seconds / (double)rounds * 1e9);
    for (long k = 0; k < rounds; k++)
        for (Row &r : rows) {
            const double ns = measure(r, (uint32_t)block, budget);
            if (r.best_ns == 0 || ns < r.best_ns) r.best_ns = ns;
        }

    // The rows: chain cost per frame, multiple of real time, cost per stage, per-stage cost
    // against one stage of the same kind, and how many times faster than each other plug-in
    // with as many stages.
    printf("%-14s %-9s %-6s %10s %12s %10s %11s", "plugin", "true peak", "stages", "ns/frame", "x real time",
           "ns/stage", "vs 1 stage");
    for (const std::string &n : names)
        if (n != "Tervik") printf("  x %-10s", n.c_str());
    printf("\n");
    for (const Row &r : rows) {
        const Row *one = find(rows, r.plugin, r.variant, 1);
        const double per_stage = r.best_ns / r.stages;
        printf("%-14s %-9s %-6d %10.2f %12.1f %10.2f %11.3f", r.plugin.c_str(),
               r.variant < 0 ? "-" : (r.variant ? "on" : "off"), r.stages, r.best_ns, 1e9 / (r.best_ns * rate),
               per_stage, one ? per_stage / one->best_ns : 0.0);
        for (const std::string &n : names) {
            if (n == "Tervik") continue;
            const Row *other = find(rows, n, -1, r.stages);
            if (r.plugin == "Tervik" && other)
                printf("  %12.1f", other->best_ns / r.best_ns);
            else
                printf("  %12s", "-");
        }
        printf("\n");
    }
    // The figures the goals are stated in.
    for (int tp = 1; tp >= 0; tp--) {
        const Row *one = find(rows, "Tervik", tp, 1), *eight = find(rows, "Tervik", tp, 8);
        if (!one) continue;
        printf("Tervik, True peak %s: one stage %.2f ns/frame", tp ? "on" : "off", one->best_ns);
        for (const std::string &n : names) {
            const Row *other = n == "Tervik" ? nullptr : find(rows, n, -1, 1);
            if (other) printf(", %.1f x %s", other->best_ns / one->best_ns, n.c_str());
        }
        if (eight) printf("; 8 stages cost %.3f x one stage per stage", eight->best_ns / 8 / one->best_ns);
        printf("\n");
    }
    fflush(stdout);
    for (Row &r : rows) {
        r.chain->deactivate();
        r.chain->clear();
    }
    return rc;
}
