// The render command: audio through a chain of stages in series, with the stages' own meters
// (Tervik's debug extension) or the host's measurement.
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>

#include "host/chain.h"
#include "host/cli.h"
#include "host/host.h"
#include "host/preset_cli.h"
#include "host/signal.h"

namespace {

std::string trim_spaces(const std::string &s) {
    size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string number_text(double v) {
    char b[32];
    snprintf(b, sizeof b, "%g", v);
    return b;
}

// The leading number of a value text the plug-in printed ("-3.0 dB" gives -3, with one
// decimal) and the text after it ("dB"). False when the text does not start with a number.
bool split_shown(const std::string &shown, double *num, int *decimals, std::string *unit) {
    const char *b = shown.c_str(), *e = b + shown.size();
    if (b < e && *b == '+') b++;
    std::from_chars_result r = std::from_chars(b, e, *num);
    if (r.ec != std::errc()) return false;
    const char *point = std::find(b, r.ptr, '.');
    const char *exponent = std::find_if(b, r.ptr, [](char c) { return c == 'e' || c == 'E'; });
    *decimals = point < exponent ? (int)(exponent - point - 1) : 0;
    *unit = trim_spaces(std::string(r.ptr, e));
    return true;
}

// Reads a setting's value the way the user means it: a plain number (finite, inside the
// parameter's range), a number followed by the unit the plug-in prints for that value
// ("-3 dB", "16 bit"), or the start of a text the plug-in prints ("Punchy", "p", "on"),
// each parsed by the plug-in's own text_to_value. Anything else ("nan", "2;rm", an empty
// text, a number the plug-in would only clamp) is refused with *why set.
bool read_setting_value(const HostInstance &h, const ParamDesc &d, const std::string &value, double *out,
                        std::string *why) {
    const std::string t = trim_spaces(value);
    if (t.empty()) {
        *why = "no value for " + d.name;
        return false;
    }
    for (char c : t) {
        if ((unsigned char)c < 0x20 || c == 0x7F) {
            *why = "a control character in the value of " + d.name;
            return false;
        }
    }
    const char *b = t.c_str(), *e = b + t.size();
    if (*b == '+' && b + 1 < e && (isdigit((unsigned char)b[1]) || b[1] == '.')) b++;
    double num = 0;
    std::from_chars_result r = std::from_chars(b, e, num);
    double parsed = 0;
    bool plugin_read = h.text_to_value(d.id, t, &parsed);
    const std::string unreadable = "cannot read \"" + t + "\" as a value of " + d.name;
    if (r.ec == std::errc::result_out_of_range || (r.ec == std::errc() && !std::isfinite(num))) {
        *why = d.name + " needs a finite number, not \"" + t + "\"";
        return false;
    }
    if (plugin_read && !std::isfinite(parsed)) {
        *why = unreadable;
        return false;
    }
    if (r.ec == std::errc()) {
        double v = plugin_read ? parsed : num;
        std::string rest = trim_spaces(std::string(r.ptr, e));
        bool shown_ok = false;
        std::string shown = plugin_read ? h.value_to_text(d.id, v, &shown_ok) : std::string();
        double shown_num = 0;
        int decimals = 0;
        std::string unit;
        bool labelled = shown_ok && split_shown(shown, &shown_num, &decimals, &unit);
        // Only the unit the plug-in itself prints may follow the number.
        if (!rest.empty() && (!labelled || strcasecmp(unit.c_str(), rest.c_str()) != 0)) {
            *why = unreadable;
            return false;
        }
        // A number outside the range is taken only as the plug-in's own label of the value it
        // reads ("16" for Dither's "16 bit"), never when the plug-in would merely clamp it.
        if (num < d.min || num > d.max) {
            double tolerance = 0.5 * pow(10.0, -decimals) * (1 + 1e-9);
            if (!labelled || fabs(shown_num - num) > tolerance) {
                *why = d.name + " goes from " + number_text(d.min) + " to " + number_text(d.max);
                return false;
            }
        }
        *out = v;
        return true;
    }
    // A word: it must begin the text the plug-in prints for the value it read.
    bool shown_ok = false;
    std::string shown = plugin_read ? h.value_to_text(d.id, parsed, &shown_ok) : std::string();
    if (!shown_ok || shown.size() < t.size() || strncasecmp(shown.c_str(), t.c_str(), t.size()) != 0) {
        *why = unreadable;
        return false;
    }
    *out = parsed;
    return true;
}

bool param_desc(const HostInstance &h, uint32_t id, ParamDesc *out) {
    uint32_t n = h.param_count();
    for (uint32_t i = 0; i < n && i < 100000; i++)
        if (h.param_info(i, out) && out->id == id) return true;
    return false;
}

} // namespace

bool resolve_settings(Chain &chain, const std::vector<std::string> &texts, std::vector<Setting> *out,
                      std::string *err) {
    out->clear();
    for (const std::string &text : texts) {
        const std::string shown = "setting \"" + printable_name(text.c_str()) + "\"";
        int stage = 0;
        std::string name, value;
        if (!split_setting(text, &stage, &name, &value)) {
            *err = "bad " + shown + " (expected NAME=VALUE or STAGE:NAME=VALUE)";
            return false;
        }
        if (stage > (int)chain.size()) {
            *err = shown + ": there are only " + std::to_string(chain.size()) + " stages";
            return false;
        }
        for (size_t i = 0; i < chain.size(); i++) {
            if (stage && (size_t)stage != i + 1) continue;
            HostInstance &h = chain.stage(i);
            uint32_t id = 0;
            ParamDesc d;
            if (!h.find_param(name, &id) || !param_desc(h, id, &d)) {
                *err = "stage " + std::to_string(i + 1) + " has no parameter \"" + printable_name(name.c_str()) + "\"";
                return false;
            }
            double v = 0;
            std::string why;
            if (!read_setting_value(h, d, value, &v, &why)) {
                *err = shown + ": " + printable_name(why.c_str());
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
    if (!std::isfinite(db) || db <= -200)
        snprintf(b, sizeof b, "-inf %s", unit);
    else
        snprintf(b, sizeof b, "%.2f %s", db, unit);
    return b;
}

// ---- render ---------------------------------------------------------------------------------

static bool same_file(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Audio goes through the chain block by block (read, process, write), so that memory does
// not grow with the length of the input, whatever its header claims.
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

    // Input: a file read as it goes (cut or padded to --seconds), or the demo signal made
    // as it goes.
    std::unique_ptr<SoundFileReader> file;
    std::unique_ptr<DemoStream> demo;
    std::string in_desc;
    uint32_t channels = 2;
    bool length_known = true; // a file without --seconds: its data decides, not its header
    uint64_t length = 0;
    if (a.has("in")) {
        file = std::make_unique<SoundFileReader>();
        if (!file->open(a.get("in"), &err)) {
            fprintf(stderr, "error: %s\n", err.c_str());
            return 1;
        }
        if (a.has("rate") && fabs(rate - file->rate()) > 0.5)
            fprintf(stderr, "note: %s is %.0f Hz; processing at the file's rate\n", a.get("in").c_str(), file->rate());
        rate = file->rate();
        channels = file->channels();
        length_known = a.has("seconds");
        length = (uint64_t)(seconds * rate + 0.5);
        in_desc = a.get("in");
    } else {
        length = (uint64_t)(seconds * rate + 0.5);
        in_desc = "demo signal";
    }
    if (a.has("out")) {
        if (file && same_file(a.get("in"), a.get("out"))) {
            fprintf(stderr, "error: --out names the input file; write the output to another file\n");
            return 2;
        }
        if (length_known && length > WavWriter::max_frames(channels)) {
            fprintf(stderr, "error: %.0f s of %u channels at %.0f Hz do not fit in a WAV file (4 GiB); render less\n",
                    (double)length / rate, channels, rate);
            return 2;
        }
    }
    if (!file) demo = std::make_unique<DemoStream>(rate, seconds, channels);

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
        preset_names.push_back(printable_name(p.c_str()) + " (" + what + ")");
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
    const bool writing = a.has("out");
    WavWriter writer;
    if (writing && !writer.open(a.get("out"), channels, rate, &err)) {
        fprintf(stderr, "error: %s\n", err.c_str());
        return 1;
    }

    const clap_plugin_descriptor_t *desc = chain.stage(0).plugin()->desc;
    printf("render: %ld stage(s) of %s (%s), %s\n", stages, desc && desc->name ? desc->name : "?",
           desc && desc->id ? desc->id : "?", plugin.c_str());
    fflush(stdout);

    uint64_t latency = 0;
    std::vector<uint32_t> lat(chain.size());
    for (size_t i = 0; i < chain.size(); i++)
        latency += lat[i] = chain.stage(i).latency();
    uint64_t skip = a.has("no-compensate") ? 0 : latency;

    struct Track {
        bool debug = false;
        double min_gain = 1.0, max_tp = 0.0, host_peak = 0.0;
    };
    std::vector<Track> tr(chain.size());
    for (size_t i = 0; i < chain.size(); i++)
        tr[i].debug = chain.stage(i).debug_ext() != nullptr;

    // One block of input at a time; the source plays it from its start every cycle.
    Audio in_block;
    in_block.rate = rate;
    in_block.ch.assign(channels, std::vector<float>((size_t)block, 0.0f));
    std::vector<float *> in_ptrs(channels);
    for (uint32_t c = 0; c < channels; c++)
        in_ptrs[c] = in_block.ch[c].data();
    std::vector<const float *> out_ptrs(channels);
    BufferSource src(in_block, false);
    chain.set_source(&src);

    uint64_t in_frames = 0, out_frames = 0, done = 0, total = UINT64_MAX;
    double in_peak = 0, out_peak = 0;
    bool write_ok = true;
    while (done < total) {
        uint32_t got = 0;
        if (total == UINT64_MAX) { // the input has not ended yet
            uint32_t want = (uint32_t)block;
            if (length_known && length - in_frames < want) want = (uint32_t)(length - in_frames);
            got = demo ? demo->read(in_ptrs.data(), want) : file->read(in_ptrs.data(), want);
            for (uint32_t c = 0; c < channels; c++) {
                for (uint32_t k = 0; k < got; k++)
                    in_peak = fmax(in_peak, fabs((double)in_ptrs[c][k]));
                std::fill(in_ptrs[c] + got, in_ptrs[c] + block, 0.0f);
            }
            if (file && length_known) got = want; // padded with silence up to --seconds
            in_frames += got;
            if (got < (uint32_t)block) total = in_frames + skip;
        } else {
            for (uint32_t c = 0; c < channels; c++)
                std::fill(in_ptrs[c], in_ptrs[c] + block, 0.0f);
        }
        uint32_t f = (uint32_t)std::min<uint64_t>((uint64_t)block, total - done);
        if (f == 0) break;
        src.rewind();
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
                for (uint32_t k = 0; k < f; k++)
                    t.host_peak = fmax(t.host_peak, fabs((double)o[c][k]));
        }
        // The output starts `skip` frames in, which lines it up with the input.
        uint32_t first = done >= skip ? 0 : (uint32_t)std::min<uint64_t>(skip - done, f);
        if (first < f) {
            float *const *o = chain.output();
            for (uint32_t c = 0; c < channels; c++) {
                out_ptrs[c] = o[c] + first;
                for (uint32_t k = first; k < f; k++)
                    out_peak = fmax(out_peak, fabs((double)o[c][k]));
            }
            if (writing && !writer.write(out_ptrs.data(), f - first, &err)) {
                write_ok = false;
                break;
            }
            out_frames += f - first;
        }
        done += f;
        chain.idle();
    }

    printf("input: %s, %.2f s, %u ch, %.0f Hz, peak %s\n", in_desc.c_str(), (double)in_frames / rate, channels, rate,
           db_text(lin_to_db(in_peak), "dBFS").c_str());
    for (const std::string &p : preset_names)
        printf("preset: %s\n", p.c_str());
    for (const std::string &p : a.all("set"))
        printf("set: %s\n", printable_name(p.c_str()).c_str());
    for (size_t i = 0; i < chain.size(); i++) {
        HostInstance &h = chain.stage(i);
        const Track &t = tr[i];
        if (t.debug) {
            double lufs = -100;
            h.debug_meter(DBG_LUFS_I, &lufs);
            uint32_t csize = 0, cpos = 0;
            h.debug_chain(&csize, &cpos);
            char lufs_t[32];
            if (lufs <= -99.9)
                snprintf(lufs_t, sizeof lufs_t, "n/a");
            else
                snprintf(lufs_t, sizeof lufs_t, "%.1f LUFS", lufs);
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
    printf("output peak: %s (host-measured)\n", db_text(lin_to_db(out_peak), "dBFS").c_str());

    chain.deactivate();
    int rc = 0;
    if (writing) {
        if (write_ok && writer.close(&err)) {
            printf("output: %s (%llu frames, %u ch, %.0f Hz, float 32)\n", a.get("out").c_str(),
                   (unsigned long long)out_frames, channels, rate);
        } else {
            writer.close(nullptr);
            fprintf(stderr, "error: %s\n", err.c_str());
            rc = 1;
        }
    } else {
        printf("output: not written (no --out)\n");
    }
    chain.clear();
    return rc;
}
