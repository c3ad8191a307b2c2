// The script command: a line-oriented control mode on stdin/stdout, so that tests in other
// processes and power users can drive a real host. Every command answers with zero or more
// lines followed by "ok" or "error: ..."; stdout is flushed after each answer.
//
// Sections: token and number parsing; the Script record; its commands (c_*, one per
// script command); dispatch; the read-answer loop (run); cmd_script.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "host/chain.h"
#include "host/cli.h"
#include "host/gui.h"
#include "host/host.h"
#include "host/signal.h"

namespace {

std::string next_token(std::string *rest) {
    size_t i = 0;
    while (i < rest->size() && isspace((unsigned char)(*rest)[i]))
        i++;
    size_t j = i;
    while (j < rest->size() && !isspace((unsigned char)(*rest)[j]))
        j++;
    std::string t = rest->substr(i, j - i);
    size_t k = j;
    while (k < rest->size() && isspace((unsigned char)(*rest)[k]))
        k++;
    *rest = rest->substr(k);
    return t;
}

std::string trim(const std::string &s) {
    size_t a = 0, b = s.size();
    while (a < b && isspace((unsigned char)s[a]))
        a++;
    while (b > a && isspace((unsigned char)s[b - 1]))
        b--;
    return s.substr(a, b - a);
}

bool to_long(const std::string &s, long lo, long hi, long *out) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(s.c_str(), &end, 10);
    if (*end || errno || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool to_double(const std::string &s, double *out) {
    if (s.empty()) return false;
    char *end = nullptr;
    double v = strtod(s.c_str(), &end);
    if (*end || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

std::string one_line(const std::string &s) {
    std::string o = s;
    for (char &c : o)
        if (c == '\n' || c == '\r') c = ' ';
    return o;
}

class Script {
  public:
    explicit Script(const std::string &plugin) : plugin_path_(plugin) {}
    ~Script() {
        chain_.reset();
        parked_.clear();
        lib_.unload();
    }
    int run();

  private:
    // Answering.
    void line(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        va_list ap;
        va_start(ap, fmt);
        vfprintf(stdout, fmt, ap);
        va_end(ap);
        fputc('\n', stdout);
    }
    bool fail(const std::string &msg) {
        error_ = msg;
        return false;
    }

    bool dispatch(const std::string &cmd, std::string rest);
    bool need_chain();
    bool need_stopped(const char *what);
    bool stages_of(const std::string &tok, std::vector<size_t> *out, bool allow_all = true);
    bool one_stage(const std::string &tok, size_t *out);
    void pump(uint32_t ms);

    bool c_create(std::string rest);
    bool c_activate(std::string rest);
    bool c_set(std::string rest, bool flush_now);
    bool c_midi(std::string rest);
    bool c_input(std::string rest);
    bool c_process(std::string rest);
    bool c_run(std::string rest);
    bool c_events();
    bool c_calls();
    bool c_value(std::string rest);
    bool c_params(std::string rest);
    bool c_meter(std::string rest);
    bool c_slot(std::string rest);
    bool c_state(std::string rest, bool save);
    bool c_host(std::string rest);
    bool c_steady(std::string rest);
    bool c_gui(std::string rest);
    bool c_status();

    std::string plugin_path_;
    HostLib lib_;
    HostOptions opt_;
    std::unique_ptr<Chain> chain_;
    bool active_ = false;
    double rate_ = 48000;
    uint32_t max_frames_ = 0;
    bool autoidle_ = false;
    bool quit_ = false;
    std::string error_;
    // Sources stay alive until the chain is replaced (an audio thread may still read one).
    std::vector<std::unique_ptr<Source>> sources_;
    std::vector<std::unique_ptr<Audio>> audio_;

    // Buses: the fields above are the current bus; the others wait here (entry cur_ is
    // empty while its bus is the current one).
    struct Bus {
        std::unique_ptr<Chain> chain;
        bool active = false;
        double rate = 48000;
        uint32_t max_frames = 0;
        std::vector<std::unique_ptr<Source>> sources;
        std::vector<std::unique_ptr<Audio>> audio;
    };
    std::vector<Bus> parked_ = std::vector<Bus>(1);
    size_t cur_ = 0;
    void switch_bus(size_t n);
    std::vector<Chain *> all_chains();
    bool c_process_all(std::string rest);
};

void Script::switch_bus(size_t n) {
    if (n == cur_) return;
    Bus &old = parked_[cur_];
    old.chain = std::move(chain_);
    old.active = active_;
    old.rate = rate_;
    old.max_frames = max_frames_;
    old.sources = std::move(sources_);
    old.audio = std::move(audio_);
    if (parked_.size() <= n) parked_.resize(n + 1);
    Bus &b = parked_[n];
    chain_ = std::move(b.chain);
    active_ = b.active;
    rate_ = b.rate;
    max_frames_ = b.max_frames;
    sources_ = std::move(b.sources);
    audio_ = std::move(b.audio);
    b = Bus();
    cur_ = n;
}

std::vector<Chain *> Script::all_chains() {
    std::vector<Chain *> v;
    for (size_t i = 0; i < parked_.size(); i++) {
        Chain *c = i == cur_ ? chain_.get() : parked_[i].chain.get();
        if (c) v.push_back(c);
    }
    return v;
}

bool Script::c_process_all(std::string rest) {
    long n, f;
    if (!to_long(next_token(&rest), 0, 1L << 30, &n) || !to_long(next_token(&rest), 1, 1 << 20, &f))
        return fail("process-all BLOCKS FRAMES");
    std::vector<Chain *> run;
    for (size_t i = 0; i < parked_.size(); i++) {
        Chain *c = i == cur_ ? chain_.get() : parked_[i].chain.get();
        bool act = i == cur_ ? active_ : parked_[i].active;
        uint32_t mx = i == cur_ ? max_frames_ : parked_[i].max_frames;
        if (!c || c->size() == 0) continue;
        if (c->running()) return fail("bus " + std::to_string(i + 1) + " is running (run stop)");
        if (!act) return fail("bus " + std::to_string(i + 1) + " is not active");
        if ((uint32_t)f > mx) return fail("FRAMES is above the maximum of bus " + std::to_string(i + 1));
        run.push_back(c);
    }
    if (run.empty()) return fail("no active bus");
    Chain::run_parallel(run, (uint64_t)n, (uint32_t)f);
    line("processed %ld on %zu buses", n, run.size());
    return true;
}

bool Script::need_chain() {
    if (!chain_ || chain_->size() == 0) return fail("no stages (use create N)");
    return true;
}

bool Script::need_stopped(const char *what) {
    if (chain_ && chain_->running()) return fail(std::string(what) + " is not possible while running (run stop)");
    return true;
}

bool Script::stages_of(const std::string &tok, std::vector<size_t> *out, bool allow_all) {
    out->clear();
    if (!need_chain()) return false;
    if (tok == "*" && allow_all) {
        for (size_t i = 0; i < chain_->size(); i++)
            out->push_back(i);
        return true;
    }
    long n;
    if (!to_long(tok, 1, (long)chain_->size(), &n))
        return fail("bad stage \"" + tok + "\" (1 to " + std::to_string(chain_->size()) + (allow_all ? " or *)" : ")"));
    out->push_back((size_t)n - 1);
    return true;
}

bool Script::one_stage(const std::string &tok, size_t *out) {
    std::vector<size_t> v;
    if (!stages_of(tok, &v, false)) return false;
    *out = v[0];
    return true;
}

void Script::pump(uint32_t ms) {
    uint64_t end = host_now_ns() + (uint64_t)ms * 1000000ull;
    for (;;) {
        for (Chain *c : all_chains())
            c->idle();
        uint64_t now = host_now_ns();
        if (now >= end) break;
        uint64_t left = end - now;
        usleep((useconds_t)std::min<uint64_t>(left / 1000, 4000));
    }
}

bool Script::c_create(std::string rest) {
    long n;
    std::string tok = next_token(&rest);
    if (!to_long(tok, 1, 64, &n)) return fail("create N: N from 1 to 64");
    std::string id = next_token(&rest);
    chain_.reset();
    sources_.clear();
    audio_.clear();
    active_ = false;
    if (!lib_.loaded() && !lib_.load(plugin_path_)) return fail(lib_.error());
    chain_.reset(new Chain(2));
    std::string err;
    if (!chain_->create(lib_, (int)n, opt_, id, &err)) {
        chain_.reset();
        return fail(err);
    }
    line("created %ld", n);
    return true;
}

bool Script::c_activate(std::string rest) {
    if (!need_chain() || !need_stopped("activate")) return false;
    double rate;
    long mx, mn = 1;
    std::string r = next_token(&rest), m = next_token(&rest), lo = next_token(&rest);
    if (!to_double(r, &rate) || rate < 1000 || rate > 768000) return fail("activate RATE MAX [MIN]: bad rate");
    if (!to_long(m, 1, 1 << 20, &mx)) return fail("activate RATE MAX [MIN]: bad max frames");
    if (!lo.empty() && !to_long(lo, 0, mx, &mn)) return fail("activate RATE MAX [MIN]: bad min frames");
    std::string err;
    if (!chain_->activate(rate, (uint32_t)mn, (uint32_t)mx, &err)) return fail(err);
    active_ = true;
    rate_ = rate;
    max_frames_ = (uint32_t)mx;
    line("active %zu", chain_->size());
    return true;
}

bool Script::c_set(std::string rest, bool flush_now) {
    std::vector<size_t> st;
    if (!stages_of(next_token(&rest), &st)) return false;
    std::string text = trim(rest);
    if (flush_now && !need_stopped("flush")) return false;
    if (text.empty()) {
        if (!flush_now) return fail("set STAGE NAME=VALUE");
        for (size_t s : st)
            if (!chain_->stage(s).flush(nullptr))
                return fail("stage " + std::to_string(s + 1) + " has no params flush");
        return true;
    }
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) return fail("expected NAME=VALUE");
    std::string name = trim(text.substr(0, eq)), value = trim(text.substr(eq + 1));
    for (size_t s : st) {
        HostInstance &h = chain_->stage(s);
        uint32_t id;
        double v;
        if (!h.find_param(name, &id))
            return fail("stage " + std::to_string(s + 1) + " has no parameter \"" + name + "\"");
        if (!h.parse_value(id, value, &v)) return fail("cannot read \"" + value + "\" as a value of " + name);
        if (flush_now) {
            InputEvents ev(2);
            ev.add_param(0, id, v);
            if (!h.flush(&ev)) return fail("stage " + std::to_string(s + 1) + " has no params flush");
        } else if (!h.post_param(id, v)) {
            return fail("event queue full");
        }
        line("set %zu %u %.17g", s + 1, id, v);
    }
    return true;
}

bool Script::c_midi(std::string rest) {
    std::vector<size_t> st;
    if (!stages_of(next_token(&rest), &st)) return false;
    long b[3];
    for (int i = 0; i < 3; i++)
        if (!to_long(next_token(&rest), 0, 255, &b[i])) return fail("midi STAGE B0 B1 B2 (bytes 0..255)");
    for (size_t s : st)
        if (!chain_->stage(s).post_midi((uint8_t)b[0], (uint8_t)b[1], (uint8_t)b[2])) return fail("event queue full");
    return true;
}

bool Script::c_input(std::string rest) {
    if (!need_chain()) return false;
    std::string kind = next_token(&rest);
    double rate = active_ ? rate_ : 48000;
    if (kind == "silence") {
        sources_.emplace_back(new SilenceSource());
    } else if (kind == "demo") {
        audio_.emplace_back(new Audio(demo_signal(rate, 8.0, 2)));
        sources_.emplace_back(new BufferSource(*audio_.back(), true));
    } else if (kind == "sine") {
        double f, db;
        if (!to_double(next_token(&rest), &f) || !to_double(next_token(&rest), &db) || f <= 0)
            return fail("input sine FREQ DB");
        sources_.emplace_back(new SineSource(f, db, rate));
    } else if (kind == "file") {
        std::string path = trim(rest), err;
        std::unique_ptr<Audio> au(new Audio());
        if (!wav_read(path, au.get(), &err)) return fail(err);
        audio_.push_back(std::move(au));
        sources_.emplace_back(new BufferSource(*audio_.back(), true));
    } else {
        return fail("input demo|silence|sine F DB|file PATH");
    }
    chain_->set_source(sources_.back().get());
    return true;
}

bool Script::c_process(std::string rest) {
    if (!need_chain() || !need_stopped("process")) return false;
    long n, f;
    if (!to_long(next_token(&rest), 0, 1L << 30, &n)) return fail("process BLOCKS FRAMES");
    if (!to_long(next_token(&rest), 1, 1 << 20, &f)) return fail("process BLOCKS FRAMES");
    if (!active_) return fail("not active (activate RATE MAX)");
    if ((uint32_t)f > max_frames_) return fail("FRAMES is above the activated maximum " + std::to_string(max_frames_));
    chain_->run_blocks((uint64_t)n, (uint32_t)f);
    line("processed %ld", n);
    return true;
}

bool Script::c_run(std::string rest) {
    if (!need_chain()) return false;
    std::string what = next_token(&rest);
    if (what == "stop") {
        chain_->stop();
        line("stopped %llu", (unsigned long long)chain_->cycles());
        return true;
    }
    if (what != "start") return fail("run start [fast] [FRAMES] | run stop");
    if (!active_) return fail("not active (activate RATE MAX)");
    if (chain_->running()) return fail("already running");
    bool realtime = true;
    long frames = max_frames_ < 256 ? max_frames_ : 256;
    for (std::string t = next_token(&rest); !t.empty(); t = next_token(&rest)) {
        if (t == "fast")
            realtime = false;
        else if (t == "realtime")
            realtime = true;
        else if (!to_long(t, 1, max_frames_, &frames))
            return fail("run start: bad FRAMES \"" + t + "\"");
    }
    chain_->start((uint32_t)frames, realtime);
    line("running %ld %s", frames, realtime ? "realtime" : "fast");
    return true;
}

bool Script::c_events() {
    if (!need_chain()) return false;
    for (size_t s = 0; s < chain_->size(); s++)
        for (const OutEvent &e : chain_->stage(s).take_events())
            line("event %zu %u %u %.17g", s + 1, (unsigned)e.type, (unsigned)e.param_id, e.value);
    return true;
}

bool Script::c_calls() {
    if (!need_chain()) return false;
    for (size_t s = 0; s < chain_->size(); s++)
        for (const std::string &c : chain_->stage(s).take_calls())
            line("call %zu %s", s + 1, one_line(c).c_str());
    return true;
}

bool Script::c_value(std::string rest) {
    std::vector<size_t> st;
    if (!stages_of(next_token(&rest), &st)) return false;
    std::string name = trim(rest);
    for (size_t s : st) {
        HostInstance &h = chain_->stage(s);
        uint32_t id;
        double v;
        if (!h.find_param(name, &id))
            return fail("stage " + std::to_string(s + 1) + " has no parameter \"" + name + "\"");
        if (!h.param_value(id, &v)) return fail("get_value failed");
        line("value %zu %u %.17g %s", s + 1, id, v, one_line(h.value_to_text(id, v)).c_str());
    }
    return true;
}

bool Script::c_params(std::string rest) {
    size_t s;
    if (!one_stage(next_token(&rest), &s)) return false;
    for (const ParamDesc &d : chain_->stage(s).param_list())
        line("param %u %.17g %.17g %.17g %u %s", d.id, d.min, d.max, d.def, d.flags, one_line(d.name).c_str());
    return true;
}

bool Script::c_meter(std::string rest) {
    std::vector<size_t> st;
    if (!stages_of(next_token(&rest), &st)) return false;
    long n;
    if (!to_long(next_token(&rest), 0, 1L << 31, &n)) return fail("meter STAGE N");
    for (size_t s : st) {
        double v;
        if (!chain_->stage(s).debug_meter((uint32_t)n, &v)) return fail("stage has no Tervik debug extension");
        line("meter %zu %ld %.17g", s + 1, n, v);
    }
    return true;
}

bool Script::c_slot(std::string rest) {
    std::vector<size_t> st;
    if (!stages_of(next_token(&rest), &st)) return false;
    for (size_t s : st) {
        HostInstance &h = chain_->stage(s);
        uint32_t size = 0, pos = 0;
        if (h.debug_chain(&size, &pos)) {
            line("slot %zu chain %u %u", s + 1, size, pos);
            std::string m;
            char b[40];
            for (uint32_t i = 0; i <= DBG_BLOCK_MAX; i++) {
                double v = 0;
                h.debug_meter(i, &v);
                snprintf(b, sizeof b, " %.9g", v);
                m += b;
            }
            line("slot %zu meters%s", s + 1, m.c_str());
        }
        line("slot %zu latency %u active %d processing %d", s + 1, h.latency(), h.active() ? 1 : 0,
             h.processing() ? 1 : 0);
        for (const ParamDesc &d : h.param_list()) {
            double v = 0;
            h.param_value(d.id, &v);
            line("value %zu %u %.17g %s", s + 1, d.id, v, one_line(h.value_to_text(d.id, v)).c_str());
        }
    }
    return true;
}

bool Script::c_state(std::string rest, bool save) {
    size_t s;
    if (!one_stage(next_token(&rest), &s)) return false;
    std::string path = trim(rest);
    if (path.empty()) return fail(save ? "save STAGE FILE" : "load STAGE FILE");
    HostInstance &h = chain_->stage(s);
    if (save) {
        std::vector<uint8_t> blob;
        if (!h.state_save(&blob)) return fail("state save failed");
        std::ofstream f(path, std::ios::binary);
        f.write((const char *)blob.data(), (std::streamsize)blob.size());
        if (!f) return fail("cannot write " + path);
        line("saved %zu %zu", s + 1, blob.size());
    } else {
        // Read in pieces up to a bound: a device such as /dev/zero never ends.
        const size_t max_bytes = (size_t)64 << 20;
        std::ifstream f(path, std::ios::binary);
        if (!f) return fail("cannot read " + path);
        std::vector<uint8_t> blob;
        char piece[65536];
        while (f.read(piece, sizeof piece) || f.gcount() > 0) {
            if (blob.size() + (size_t)f.gcount() > max_bytes) return fail(path + " is larger than 64 MiB");
            blob.insert(blob.end(), piece, piece + f.gcount());
        }
        if (!h.state_load(blob)) return fail("state load failed");
        line("loaded %zu %zu", s + 1, blob.size());
    }
    return true;
}

bool Script::c_host(std::string rest) {
    std::string what = next_token(&rest);
    if (what == "ext") {
        std::string id = next_token(&rest), mode = next_token(&rest);
        ExtOffer o;
        if (mode == "on")
            o = ExtOffer::On;
        else if (mode == "off")
            o = ExtOffer::Off;
        else if (mode == "null")
            o = ExtOffer::NullFns;
        else
            return fail("host ext ID on|off|null");
        if (!opt_.set_ext(id, o)) return fail("unknown host extension \"" + id + "\"");
        return true;
    }
    if (what == "version") {
        long v[3];
        for (int i = 0; i < 3; i++)
            if (!to_long(next_token(&rest), 0, 1 << 30, &v[i])) return fail("host version MAJOR MINOR REVISION");
        opt_.clap_version = clap_version_t{(uint32_t)v[0], (uint32_t)v[1], (uint32_t)v[2]};
        return true;
    }
    if (what == "log") {
        std::string m = next_token(&rest);
        if (m != "stderr" && m != "quiet") return fail("host log stderr|quiet");
        opt_.log_to_stderr = m == "stderr";
        return true;
    }
    return fail("host ext ID on|off|null | host version MAJ MIN REV | host log stderr|quiet");
}

bool Script::c_steady(std::string rest) {
    if (!need_chain() || !need_stopped("steady")) return false;
    std::string t = next_token(&rest);
    long long v;
    if (t == "none") {
        chain_->set_steady_none(true);
    } else if (t == "auto") {
        chain_->set_steady_none(false);
    } else {
        char *end = nullptr;
        v = strtoll(t.c_str(), &end, 10);
        if (t.empty() || *end) return fail("steady auto|none|N");
        chain_->set_steady_none(false);
        chain_->set_steady(v);
    }
    return true;
}

bool Script::c_gui(std::string rest) {
    std::string what = next_token(&rest);
    size_t s;
    if (!one_stage(next_token(&rest), &s)) return false;
    HostInstance &h = chain_->stage(s);
    if (what == "open") {
        long w = 0, hh = 0;
        double scale = 1.0;
        std::string a = next_token(&rest), b = next_token(&rest), c = next_token(&rest);
        if (!a.empty() && (!to_long(a, 1, 16384, &w) || !to_long(b, 1, 16384, &hh)))
            return fail("gui open STAGE [W H [SCALE]]");
        if (!c.empty() && (!to_double(c, &scale) || scale <= 0)) return fail("gui open STAGE [W H [SCALE]]");
        if (!h.gui_open((uint32_t)w, (uint32_t)hh, scale)) return fail(h.error());
        h.parent()->move((int)(s % 4) * 40, (int)(s % 4) * 40);
        line("gui %zu %ux%u", s + 1, h.parent()->width(), h.parent()->height());
        return true;
    }
    if (what == "close") {
        h.gui_close();
        return true;
    }
    if (what == "size") {
        uint32_t w = 0, hh = 0;
        if (!h.gui_get_size(&w, &hh)) return fail("gui get_size failed");
        X11Parent *p = h.parent();
        line("gui %zu size %u %u parent %u %u", s + 1, w, hh, p ? p->width() : 0, p ? p->height() : 0);
        return true;
    }
    if (what == "resize") {
        long w, hh;
        if (!to_long(next_token(&rest), 1, 16384, &w) || !to_long(next_token(&rest), 1, 16384, &hh))
            return fail("gui resize STAGE W H");
        uint32_t aw = (uint32_t)w, ah = (uint32_t)hh;
        if (!h.gui_can_resize()) return fail("editor cannot resize");
        h.gui_adjust_size(&aw, &ah);
        if (!h.gui_set_size(aw, ah)) return fail("gui set_size failed");
        if (h.parent()) h.parent()->resize(aw, ah);
        line("gui %zu %ux%u", s + 1, aw, ah);
        return true;
    }
    if (what == "scale") {
        double f;
        if (!to_double(next_token(&rest), &f)) return fail("gui scale STAGE F");
        line("gui %zu scale %d", s + 1, h.gui_set_scale(f) ? 1 : 0);
        return true;
    }
    if (what == "timer") {
        long n = 1;
        std::string t = next_token(&rest);
        if (!t.empty() && !to_long(t, 1, 100000, &n)) return fail("gui timer STAGE [N]");
        for (long i = 0; i < n; i++)
            h.fire_timers();
        line("gui %zu timers %zu", s + 1, h.timer_count());
        return true;
    }
    if (what == "show" || what == "hide") {
        bool ok = what == "show" ? h.gui_show() : h.gui_hide();
        if (!ok) return fail("gui " + what + " failed");
        return true;
    }
    if (what == "shot") {
        std::string path = trim(rest);
        if (path.empty()) return fail("gui shot STAGE FILE");
        const tervik_plugin_debug_t *d = h.debug_ext();
        if (d && d->editor_dump) {
            // The editor writes the dump at its next frame: run the timers until it is there.
            unlink(path.c_str());
            if (d->editor_dump(h.plugin(), path.c_str())) {
                for (int k = 0; k < 1500; k++) {
                    chain_->idle();
                    if (access(path.c_str(), F_OK) == 0) {
                        usleep(20000);
                        line("shot %zu %s editor", s + 1, path.c_str());
                        return true;
                    }
                    usleep(2000);
                }
            }
        }
        if (h.parent() && h.parent()->save_ppm(path)) {
            line("shot %zu %s window", s + 1, path.c_str());
            return true;
        }
        return fail("no editor to capture");
    }
    return fail("gui open|close|size|resize|scale|timer|show|hide|shot STAGE ...");
}

bool Script::c_status() {
    size_t n = chain_ ? chain_->size() : 0;
    line("status stages %zu active %d running %d transport %s rate %.0f max %u cycles %llu bus %zu of %zu", n,
         active_ ? 1 : 0, chain_ && chain_->running() ? 1 : 0, chain_ && !chain_->transport_playing() ? "stop" : "play",
         rate_, max_frames_, chain_ ? (unsigned long long)chain_->cycles() : 0ull, cur_ + 1, parked_.size());
    if (chain_) {
        std::string o;
        for (size_t p = 0; p < chain_->size(); p++) {
            o += ' ';
            o += std::to_string(chain_->stage_at(p) + 1);
        }
        line("order%s", o.c_str());
    }
    return true;
}

bool Script::dispatch(const std::string &cmd, std::string rest) {
    if (cmd == "create") return c_create(rest);
    if (cmd == "plugin") {
        std::string p = trim(rest);
        if (p.empty()) return fail("plugin PATH");
        chain_.reset();
        sources_.clear();
        audio_.clear();
        parked_.clear();
        parked_.resize(1);
        cur_ = 0;
        active_ = false;
        lib_.unload();
        plugin_path_ = p;
        if (!lib_.load(p)) return fail(lib_.error());
        return true;
    }
    if (cmd == "activate") return c_activate(rest);
    if (cmd == "deactivate") {
        if (!need_chain()) return false;
        chain_->deactivate();
        active_ = false;
        return true;
    }
    if (cmd == "set") return c_set(rest, false);
    if (cmd == "flush") return c_set(rest, true);
    if (cmd == "midi") return c_midi(rest);
    if (cmd == "input") return c_input(rest);
    if (cmd == "process") return c_process(rest);
    if (cmd == "process-all") return c_process_all(rest);
    if (cmd == "bus") {
        long n;
        if (!to_long(next_token(&rest), 1, 16, &n)) return fail("bus N (1 to 16)");
        switch_bus((size_t)n - 1);
        line("bus %ld", n);
        return true;
    }
    if (cmd == "run") return c_run(rest);
    if (cmd == "transport") {
        if (!need_chain()) return false;
        std::string t = next_token(&rest);
        if (t != "play" && t != "stop") return fail("transport play|stop");
        chain_->set_transport(t == "play");
        return true;
    }
    if (cmd == "swap") {
        if (!need_chain()) return false;
        long a, b;
        if (!to_long(next_token(&rest), 1, (long)chain_->size(), &a) ||
            !to_long(next_token(&rest), 1, (long)chain_->size(), &b))
            return fail("swap A B (positions 1 to " + std::to_string(chain_->size()) + ")");
        chain_->swap_positions((size_t)a - 1, (size_t)b - 1);
        return c_status();
    }
    if (cmd == "idle") {
        long ms = 0;
        std::string t = next_token(&rest);
        if (!t.empty() && !to_long(t, 0, 600000, &ms)) return fail("idle [MS]");
        pump((uint32_t)ms);
        return true;
    }
    if (cmd == "autoidle") {
        std::string t = next_token(&rest);
        if (t != "on" && t != "off") return fail("autoidle on|off");
        autoidle_ = t == "on";
        return true;
    }
    if (cmd == "events") return c_events();
    if (cmd == "calls") return c_calls();
    if (cmd == "value") return c_value(rest);
    if (cmd == "params") return c_params(rest);
    if (cmd == "meter") return c_meter(rest);
    if (cmd == "latency") {
        std::vector<size_t> st;
        if (!stages_of(next_token(&rest), &st)) return false;
        for (size_t s : st)
            line("latency %zu %u", s + 1, chain_->stage(s).latency());
        return true;
    }
    if (cmd == "slot") return c_slot(rest);
    if (cmd == "save") return c_state(rest, true);
    if (cmd == "load") return c_state(rest, false);
    if (cmd == "reset") {
        std::vector<size_t> st;
        if (!stages_of(next_token(&rest), &st) || !need_stopped("reset")) return false;
        for (size_t s : st)
            chain_->stage(s).reset();
        return true;
    }
    if (cmd == "learn") {
        size_t s;
        long idx;
        if (!one_stage(next_token(&rest), &s)) return false;
        if (!to_long(next_token(&rest), -1000000, 1000000, &idx)) return fail("learn STAGE INDEX");
        const tervik_plugin_debug_t *d = chain_->stage(s).debug_ext();
        if (!d || !d->midi_learn) return fail("stage has no Tervik debug extension");
        d->midi_learn(chain_->stage(s).plugin(), (int32_t)idx);
        return true;
    }
    if (cmd == "render") {
        std::vector<size_t> st;
        if (!stages_of(next_token(&rest), &st)) return false;
        std::string m = next_token(&rest);
        if (m != "offline" && m != "realtime") return fail("render STAGE offline|realtime");
        for (size_t s : st) {
            if (!chain_->stage(s).render_set(m == "offline" ? CLAP_RENDER_OFFLINE : CLAP_RENDER_REALTIME))
                return fail("stage " + std::to_string(s + 1) + " refused the render mode (clap.render)");
            line("render %zu %s", s + 1, m.c_str());
        }
        return true;
    }
    if (cmd == "host") return c_host(rest);
    if (cmd == "steady") return c_steady(rest);
    if (cmd == "gui") return c_gui(rest);
    if (cmd == "status") return c_status();
    if (cmd == "sleep") {
        long ms;
        if (!to_long(next_token(&rest), 0, 600000, &ms)) return fail("sleep MS");
        usleep((useconds_t)ms * 1000);
        return true;
    }
    if (cmd == "echo") {
        line("%s", rest.c_str());
        return true;
    }
    if (cmd == "help") {
        help_command("script", stdout);
        return true;
    }
    if (cmd == "quit" || cmd == "exit") {
        quit_ = true;
        return true;
    }
    return fail("unknown command \"" + cmd + "\" (help lists them)");
}

int Script::run() {
    std::string buf;
    bool eof = false;
    while (!quit_) {
        size_t nl = buf.find('\n');
        if (nl == std::string::npos) {
            if (eof) {
                if (buf.empty()) break;
                nl = buf.size();
                buf += '\n';
            } else {
                pollfd pfd{0, POLLIN, 0};
                int r = poll(&pfd, 1, autoidle_ ? 8 : 1000);
                if (r < 0 && errno != EINTR) break;
                if (r <= 0) {
                    if (autoidle_)
                        for (Chain *c : all_chains())
                            c->idle();
                    continue;
                }
                char tmp[4096];
                ssize_t n = read(0, tmp, sizeof tmp);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0)
                    eof = true;
                else
                    buf.append(tmp, (size_t)n);
                continue;
            }
        }
        std::string l = trim(buf.substr(0, nl));
        buf.erase(0, nl + 1);
        if (l.empty() || l[0] == '#') continue;
        std::string rest = l;
        std::string cmd = next_token(&rest);
        error_.clear();
        bool ok = dispatch(cmd, rest);
        if (ok)
            line("ok");
        else
            line("error: %s", one_line(error_.empty() ? "failed" : error_).c_str());
        fflush(stdout);
    }
    for (Chain *c : all_chains())
        c->stop();
    return 0;
}

} // namespace

int cmd_script(const std::vector<std::string> &argv) {
    CliArgs a;
    std::string err;
    if (!cli_parse(argv, {"plugin"}, {}, &a, &err) || !a.positional.empty()) {
        fprintf(stderr, "error: %s\n", err.empty() ? "script takes no positional arguments" : err.c_str());
        usage_hint("script");
        return 2;
    }
    if (a.help) {
        help_command("script", stdout);
        return 0;
    }
    Script s(a.get("plugin", default_plugin_path()));
    return s.run();
}
