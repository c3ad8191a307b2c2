// The render command: audio through a chain of stages in series, with the stages' own meters
// (Tervik's debug extension) or the host's measurement.
#include <cmath>
#include <cstring>
#include <memory>

#include "host/chain.h"
#include "host/cli.h"
#include "host/preset_cli.h"
#include "host/host.h"
#include "host/signal.h"

bool resolve_settings(Chain &chain, const std::vector<std::string> &texts, std::vector<Setting> *out,
                      std::string *err) {
    out->clear();
    for (const std::string &text : texts) {
        int stage = 0;
        std::string name, value;
        if (!split_setting(text, &stage, &name, &value)) {
            *err = "bad setting \"" + text + "\" (expected NAME=VALUE or STAGE:NAME=VALUE)";
            return false;
        }
        if (stage > (int)chain.size()) {
            *err = "setting \"" + text + "\": there are only " + std::to_string(chain.size()) + " stages";
            return false;
        }
        for (size_t i = 0; i < chain.size(); i++) {
            if (stage && (size_t)stage != i + 1) continue;
            HostInstance &h = chain.stage(i);
            uint32_t id = 0;
            if (!h.find_param(name, &id)) {
                *err = "stage " + std::to_string(i + 1) + " has no parameter \"" + name + "\"";
                return false;
            }
            double v = 0;
            if (!h.parse_value(id, value, &v)) {
                *err = "stage " + std::to_string(i + 1) + ": cannot read \"" + value + "\" as a value of " + name;
                return false;
            }
            out->push_back(Setting{(int)i, id, v});
        }
    }
    return true;
}

void apply_settings(Chain &chain, const std::vector<Setting> &settings) {
    for (size_t i = 0; i < chain.size(); i++) {
        InputEvents ev(settings.size() + 1, 64 * (settings.size() + 1));
        for (const Setting &s : settings)
            if (s.stage == (int)i) ev.add_param(0, s.id, s.value);
        if (ev.size() == 0) continue;
        HostInstance &h = chain.stage(i);
        if (!h.flush(&ev))
            for (const Setting &s : settings)
                if (s.stage == (int)i) h.post_param(s.id, s.value);
        h.take_events();
    }
}

static std::string db_text(double db, const char *unit) {
    char b[48];
    if (!std::isfinite(db) || db <= -200) snprintf(b, sizeof b, "-inf %s", unit);
    else snprintf(b, sizeof b, "%.2f %s", db, unit);
    return b;
}

// ---- render ---------------------------------------------------------------------------------

int cmd_render(const std::vector<std::string> &argv) {
    CliArgs a;
    std::string err;
    if (!cli_parse(argv, {"plugin", "id", "stages", "in", "out", "rate", "block", "seconds", "set", "preset"},
                   {"no-compensate"}, &a, &err) ||
        !a.positional.empty()) {
        fprintf(stderr, "error: %s\n", err.empty() ? "render takes no positional arguments" : err.c_str());
        usage_hint("render");
        return 2;
    }
    if (a.help) {
        help_command("render", stdout);
        return 0;
    }
    long stages = 3, block = 512;
    double rate = 48000, seconds = 8;
    if (!a.get_int("stages", 3, 1, 64, &stages, &err) || !a.get_int("block", 512, 1, 65536, &block, &err) ||
        !a.get_double("rate", 48000, 1000, 768000, &rate, &err) ||
        !a.get_double("seconds", 8, 0, 3600, &seconds, &err)) {
        fprintf(stderr, "error: %s\n", err.c_str());
        return 2;
    }
    std::string plugin = a.get("plugin", default_plugin_path());

    // Input.
    Audio in;
    std::string in_desc;
    if (a.has("in")) {
        if (!wav_read(a.get("in"), &in, &err)) {
            fprintf(stderr, "error: %s\n", err.c_str());
            return 1;
        }
        if (a.has("rate") && fabs(rate - in.rate) > 0.5)
            fprintf(stderr, "note: %s is %.0f Hz; processing at the file's rate\n", a.get("in").c_str(), in.rate);
        rate = in.rate;
        if (a.has("seconds")) {
            size_t n = (size_t)(seconds * rate + 0.5);
            for (std::vector<float> &c : in.ch) c.resize(n, 0.0f);
        }
        in_desc = a.get("in");
    } else {
        in = demo_signal(rate, seconds, 2);
        in_desc = "demo signal";
    }
    uint32_t channels = in.channels();
    if (channels == 0) {
        fprintf(stderr, "error: the input has no channels\n");
        return 1;
    }

    HostLib lib;
    if (!lib.load(plugin)) {
        fprintf(stderr, "error: %s\n", lib.error().c_str());
        return 1;
    }
    HostOptions opt;
    opt.record_calls = false;
    Chain chain(channels);
    if (!chain.create(lib, (int)stages, opt, a.get("id"), &err)) {
        fprintf(stderr, "error: %s\n", err.c_str());
        return 1;
    }
    // The stages get as many channels as their main ports have (a mono file feeds both
    // channels of a stereo plug-in); the output keeps the file's channels.
    chain.fit_channels_to_ports();
    // Presets first, then the single settings; all go in before activation, so that the
    // ones that change the latency need no restart.
    std::vector<Setting> settings;
    std::vector<std::string> preset_names;
    for (const std::string &p : a.all("preset")) {
        std::string what;
        if (!resolve_preset(chain, p, &settings, &what, &err)) {
            fprintf(stderr, "error: %s\n", err.c_str());
            return 2;
        }
        preset_names.push_back(p + " (" + what + ")");
    }
    std::vector<Setting> singles;
    if (!resolve_settings(chain, a.all("set"), &singles, &err)) {
        fprintf(stderr, "error: %s\n", err.c_str());
        return 2;
    }
    settings.insert(settings.end(), singles.begin(), singles.end());
    apply_settings(chain, settings);
    if (!chain.activate(rate, 1, (uint32_t)block, &err)) {
        fprintf(stderr, "error: %s\n", err.c_str());
        return 1;
    }

    const clap_plugin_descriptor_t *desc = chain.stage(0).plugin()->desc;
    printf("render: %ld stage(s) of %s (%s), %s\n", stages, desc && desc->name ? desc->name : "?",
           desc && desc->id ? desc->id : "?", plugin.c_str());
    printf("input: %s, %.2f s, %u ch, %.0f Hz, peak %s\n", in_desc.c_str(), in.frames() / rate, channels, rate,
           db_text(lin_to_db(audio_peak(in)), "dBFS").c_str());
    for (const std::string &s : preset_names) printf("preset: %s\n", s.c_str());
    for (const std::string &s : a.all("set")) printf("set: %s\n", s.c_str());

    uint64_t latency = 0;
    std::vector<uint32_t> lat(chain.size());
    for (size_t i = 0; i < chain.size(); i++) latency += lat[i] = chain.stage(i).latency();
    uint64_t skip = a.has("no-compensate") ? 0 : latency;

    struct Track {
        bool debug = false;
        double min_gain = 1.0, max_tp = 0.0, host_peak = 0.0;
    };
    std::vector<Track> tr(chain.size());
    for (size_t i = 0; i < chain.size(); i++) tr[i].debug = chain.stage(i).debug_ext() != nullptr;

    Audio out;
    out.rate = rate;
    out.ch.assign(channels, std::vector<float>(in.frames(), 0.0f));
    BufferSource src(in, false);
    chain.set_source(&src);
    uint64_t total = in.frames() + skip, done = 0;
    while (done < total) {
        uint32_t f = (uint32_t)std::min<uint64_t>((uint64_t)block, total - done);
        chain.cycle(f);
        for (size_t pos = 0; pos < chain.size(); pos++) {
            size_t si = (size_t)chain.stage_at(pos);
            Track &t = tr[si];
            HostInstance &h = chain.stage(si);
            double v;
            if (t.debug) {
                if (h.debug_meter(DBG_METER_GAIN, &v) && v < t.min_gain) t.min_gain = v;
                if (h.debug_meter(DBG_METER_TP_OUT, &v) && v > t.max_tp) t.max_tp = v;
            }
            float *const *o = chain.position_output(pos);
            for (uint32_t c = 0; c < channels; c++)
                for (uint32_t k = 0; k < f; k++) t.host_peak = fmax(t.host_peak, fabs((double)o[c][k]));
        }
        float *const *o = chain.output();
        for (uint32_t k = 0; k < f; k++) {
            uint64_t at = done + k;
            if (at < skip) continue;
            for (uint32_t c = 0; c < channels; c++) out.ch[c][(size_t)(at - skip)] = o[c][k];
        }
        done += f;
        chain.idle();
    }

    for (size_t i = 0; i < chain.size(); i++) {
        HostInstance &h = chain.stage(i);
        const Track &t = tr[i];
        if (t.debug) {
            double lufs = -100;
            h.debug_meter(DBG_LUFS_I, &lufs);
            uint32_t csize = 0, cpos = 0;
            h.debug_chain(&csize, &cpos);
            char lufs_t[32];
            if (lufs <= -99.9) snprintf(lufs_t, sizeof lufs_t, "n/a");
            else snprintf(lufs_t, sizeof lufs_t, "%.1f LUFS", lufs);
            printf("stage %zu: gain reduction max %.2f dB, true peak out %s, integrated %s, latency %u samples"
                   " (chain position %u of %u)\n",
                   i + 1, t.min_gain >= 1.0 ? 0.0 : (t.min_gain > 0 ? -20.0 * log10(t.min_gain) : 999.0),
                   db_text(lin_to_db(t.max_tp), "dBTP").c_str(), lufs_t, lat[i], cpos, csize);
        } else {
            printf("stage %zu: output sample peak %s (host-measured), latency %u samples\n", i + 1,
                   db_text(lin_to_db(t.host_peak), "dBFS").c_str(), lat[i]);
        }
    }
    printf("chain latency: %llu samples (%.2f ms)%s\n", (unsigned long long)latency, latency * 1000.0 / rate,
           skip ? ", compensated in the output" : "");
    printf("output peak: %s (host-measured)\n", db_text(lin_to_db(audio_peak(out)), "dBFS").c_str());

    chain.deactivate();
    int rc = 0;
    if (a.has("out")) {
        if (wav_write(a.get("out"), out, &err)) {
            printf("output: %s (%zu frames, %u ch, %.0f Hz, float 32)\n", a.get("out").c_str(), out.frames(), channels,
                   rate);
        } else {
            fprintf(stderr, "error: %s\n", err.c_str());
            rc = 1;
        }
    } else {
        printf("output: not written (no --out)\n");
    }
    chain.clear();
    return rc;
}
