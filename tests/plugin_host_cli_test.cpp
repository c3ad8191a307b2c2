// The tervik-host program run as a child process: help, list and params of a foreign plug-in,
// render (WAV length, channels, format; Tervik's stage meters), bench figures, the script
// mode's answers, and inspect listing the live stages of another process without writing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "host/signal.h"
#include "registry/shared.h"
#include "tests/util/testutil.h"

namespace {

const char ZAM[] = "/usr/lib/clap/ZaMaximX2.clap";
bool have_zam() { return access(ZAM, R_OK) == 0; }

struct HostRun {
    int rc = -1;
    std::vector<std::string> lines;
    bool has(const std::string &prefix) const {
        for (const std::string &l : lines)
            if (l.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
    std::string first(const std::string &prefix) const {
        for (const std::string &l : lines)
            if (l.compare(0, prefix.size(), prefix) == 0) return l;
        return std::string();
    }
    std::string text() const {
        std::string t;
        for (const std::string &l : lines)
            t += l + "\n";
        return t;
    }
};

// Runs tervik-host with args; collects its stdout lines and exit status.
HostRun host(const std::vector<std::string> &args) {
    HostRun r;
    tk_test::Child c;
    std::vector<std::string> argv{TERVIK_HOST_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!c.start(argv)) return r;
    c.close_stdin();
    std::string l;
    while (c.read_line(&l, 60000))
        r.lines.push_back(l);
    r.rc = c.wait(60000);
    return r;
}

// The same with its standard error merged into the lines (for the messages of refusals).
HostRun host_all(const std::vector<std::string> &args) {
    std::vector<std::string> sh{"-c", "exec \"$0\" \"$@\" 2>&1", TERVIK_HOST_PATH};
    sh.insert(sh.end(), args.begin(), args.end());
    HostRun r;
    tk_test::Child c;
    sh.insert(sh.begin(), "/bin/sh");
    if (!c.start(sh)) return r;
    c.close_stdin();
    std::string l;
    while (c.read_line(&l, 60000))
        r.lines.push_back(l);
    r.rc = c.wait(60000);
    return r;
}

// Largest resident size of any child waited for so far, in KB.
long children_peak_kb() {
    struct rusage u;
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_maxrss;
}

// An 8-bit mono 48 kHz WAV of `bytes` samples whose header claims `claimed` frames.
std::string claiming_wav(uint32_t bytes, uint32_t claimed) {
    auto u32 = [](uint32_t v) { return std::string{(char)v, (char)(v >> 8), (char)(v >> 16), (char)(v >> 24)}; };
    auto u16 = [](uint16_t v) { return std::string{(char)v, (char)(v >> 8)}; };
    std::string w = "RIFF" + u32(36 + bytes) + "WAVEfmt " + u32(16) + u16(1) + u16(1) + u32(48000) + u32(48000) +
                    u16(1) + u16(8) + "data" + u32(claimed);
    for (uint32_t i = 0; i < bytes; i++)
        w += (char)(128 + (int)(100 * sin(i * 0.05)));
    return w;
}

struct WavInfo {
    bool ok = false;
    long frames = 0;
    int channels = 0, rate = 0, format = 0;
};

WavInfo wav_info(const std::string &path) {
    WavInfo w;
    SF_INFO info;
    memset(&info, 0, sizeof info);
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return w;
    w.ok = true;
    w.frames = (long)info.frames;
    w.channels = info.channels;
    w.rate = info.samplerate;
    w.format = info.format;
    sf_close(f);
    return w;
}

// Script session helper: sends a command and collects the answer up to "ok" / "error: ...".
struct Session {
    tk_test::Child child;
    bool start(const std::string &plugin) {
        std::vector<std::string> argv{TERVIK_HOST_PATH, "script"};
        if (!plugin.empty()) {
            argv.push_back("--plugin");
            argv.push_back(plugin);
        }
        return child.start(argv);
    }
    // Returns the answer's lines; the last is "ok" or "error: ..." (or missing on timeout).
    std::vector<std::string> cmd(const std::string &line) {
        std::vector<std::string> out;
        if (!child.send(line)) return out;
        std::string l;
        while (child.read_line(&l, 60000)) {
            out.push_back(l);
            if (l == "ok" || l.compare(0, 7, "error: ") == 0) break;
        }
        return out;
    }
    bool ok(const std::string &line) {
        std::vector<std::string> a = cmd(line);
        return !a.empty() && a.back() == "ok";
    }
};

} // namespace

TEST(HostCli, HelpNamesEveryCommandAndBadUsageFails) {
    HostRun r = host({"--help"});
    EXPECT_EQ(r.rc, 0);
    for (const char *c : {"list", "params", "render", "bench", "script", "inspect", "editor"})
        EXPECT_NE(r.text().find(std::string("  ") + c), std::string::npos) << c;
    for (const char *c : {"list", "params", "render", "bench", "script", "inspect", "editor"}) {
        HostRun h = host({"help", c});
        EXPECT_EQ(h.rc, 0) << c;
        EXPECT_TRUE(h.has(std::string("usage: tervik-host ") + c)) << c;
        HostRun h2 = host({c, "--help"});
        EXPECT_EQ(h2.rc, 0) << c;
        EXPECT_EQ(h2.lines, h.lines) << c;
    }
    EXPECT_EQ(host({"frobnicate"}).rc, 2);
    EXPECT_EQ(host({"render", "--stages"}).rc, 2);         // missing value
    EXPECT_EQ(host({"render", "--stages", "zero"}).rc, 2); // not a number
    EXPECT_EQ(host({"render", "--bogus", "1"}).rc, 2);     // unknown option
    EXPECT_EQ(host({"list"}).rc, 2);
    EXPECT_EQ(host({"list", "/nonexistent.clap"}).rc, 1);
}

TEST(HostCli, ListAndParamsDescribeAForeignPlugin) {
    if (!have_zam()) GTEST_SKIP() << ZAM << " is not installed";
    HostRun l = host({"list", ZAM});
    EXPECT_EQ(l.rc, 0);
    EXPECT_TRUE(l.has("id: com.zamaudio.ZaMaximX2")) << l.text();
    EXPECT_TRUE(l.has("  name: ZaMaximX2"));
    EXPECT_TRUE(l.has("  features: audio-effect")) << l.text();
    HostRun p = host({"params", ZAM});
    EXPECT_EQ(p.rc, 0);
    EXPECT_TRUE(p.has("ZaMaximX2: 5 parameter(s)")) << p.text();
    EXPECT_NE(p.text().find("Threshold"), std::string::npos);
    EXPECT_NE(p.text().find("-30..0"), std::string::npos);
    EXPECT_NE(p.text().find("readonly"), std::string::npos);
}

TEST(HostCli, RenderWritesAWavOfTheInputsLengthAndChannels) {
    if (!have_zam()) GTEST_SKIP() << ZAM << " is not installed";
    std::string dir = tk_test::make_temp_dir("render");
    // The demo signal, 0.5 s at 48 kHz through two stages.
    HostRun r = host({"render", "--plugin", ZAM, "--stages", "2", "--seconds", "0.5", "--set", "Threshold=-12", "--set",
                      "2:Release=50", "--out", dir + "/demo.wav"});
    EXPECT_EQ(r.rc, 0) << r.text();
    EXPECT_TRUE(r.has("input: demo signal, 0.50 s, 2 ch, 48000 Hz, peak -6.00 dBFS")) << r.text();
    EXPECT_TRUE(r.has("stage 1: output sample peak ")) << r.text();
    EXPECT_NE(r.first("stage 2:").find("(host-measured)"), std::string::npos);
    EXPECT_TRUE(r.has("chain latency: ")) << r.text();
    WavInfo w = wav_info(dir + "/demo.wav");
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.frames, 24000);
    EXPECT_EQ(w.channels, 2);
    EXPECT_EQ(w.rate, 48000);
    EXPECT_EQ(w.format & SF_FORMAT_TYPEMASK, SF_FORMAT_WAV);
    EXPECT_EQ(w.format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT);
    // A mono 44.1 kHz file keeps its channel count, rate and length (also uncompensated).
    Audio mono = demo_signal(44100, 0.3, 1);
    std::string err;
    ASSERT_TRUE(wav_write(dir + "/mono.wav", mono, &err)) << err;
    for (const char *extra : {"--block=100", "--no-compensate"}) {
        HostRun m = host({"render", "--plugin", ZAM, "--stages", "1", "--in", dir + "/mono.wav", extra, "--out",
                          dir + "/mono_out.wav"});
        EXPECT_EQ(m.rc, 0) << m.text();
        WavInfo mw = wav_info(dir + "/mono_out.wav");
        ASSERT_TRUE(mw.ok);
        EXPECT_EQ(mw.frames, (long)mono.frames());
        EXPECT_EQ(mw.channels, 1);
        EXPECT_EQ(mw.rate, 44100);
    }
    // Settings that name nothing are refused before any audio is written.
    HostRun bad = host({"render", "--plugin", ZAM, "--set", "Loudness=3", "--out", dir + "/bad.wav"});
    EXPECT_EQ(bad.rc, 2);
    EXPECT_FALSE(wav_info(dir + "/bad.wav").ok);
    EXPECT_EQ(host({"render", "--plugin", ZAM, "--set", "4:Threshold=-3"}).rc, 2); // no stage 4
    tk_test::remove_tree(dir);
}

TEST(HostCli, RenderReportsTervikStageMetersAndChainLatency) {
    tk_test::ScopedSegment seg; // inherited by the child through the environment
    HostRun r = host({"render", "--stages", "2", "--seconds", "1", "--set", "Gain=6", "--set", "2:Style=Punchy"});
    ASSERT_EQ(r.rc, 0) << r.text();
    EXPECT_TRUE(r.has("render: 2 stage(s) of Tervik (com.morvane.tervik)")) << r.text();
    for (const char *s : {"stage 1: gain reduction max ", "stage 2: gain reduction max "}) {
        std::string l = r.first(s);
        ASSERT_FALSE(l.empty()) << r.text();
        EXPECT_NE(l.find("dBTP"), std::string::npos) << l;
        EXPECT_NE(l.find("LUFS"), std::string::npos) << l;
        EXPECT_NE(l.find("latency 80 samples"), std::string::npos) << l;
    }
    EXPECT_TRUE(r.has("chain latency: 160 samples (3.33 ms)")) << r.text();
    EXPECT_TRUE(r.has("output: not written (no --out)"));
}

TEST(HostCli, BenchPrintsFiguresForEveryRow) {
    tk_test::ScopedSegment seg;
    std::vector<std::string> args{"bench", "--seconds", "0.02"};
    if (have_zam()) {
        args.push_back("--plugin");
        args.push_back(ZAM);
    }
    HostRun r = host(args);
    ASSERT_EQ(r.rc, 0) << r.text();
    int tervik = 0, zam = 0;
    for (const std::string &l : r.lines) {
        char name[64], tp[16];
        int stages = 0;
        double fps = 0, rt = 0, us = 0;
        if (sscanf(l.c_str(), "%63s %15s %d %lf %lf %lf", name, tp, &stages, &fps, &rt, &us) != 6) continue;
        EXPECT_GT(fps, 0) << l;
        EXPECT_GT(rt, 0) << l;
        EXPECT_TRUE(stages == 1 || stages == 4 || stages == 8) << l;
        if (!strcmp(name, "Tervik")) {
            tervik++;
            EXPECT_TRUE(!strcmp(tp, "on") || !strcmp(tp, "off")) << l;
        } else if (!strcmp(name, "ZaMaximX2")) {
            zam++;
            EXPECT_STREQ(tp, "-");
        }
    }
    EXPECT_EQ(tervik, 6) << r.text();
    EXPECT_EQ(zam, have_zam() ? 3 : 0) << r.text();
}

TEST(HostCli, ScriptAnswersEveryCommandWithOkOrError) {
    if (!have_zam()) GTEST_SKIP() << ZAM << " is not installed";
    Session s;
    ASSERT_TRUE(s.start(ZAM));
    EXPECT_EQ(s.cmd("echo hello there"), (std::vector<std::string>{"hello there", "ok"}));
    EXPECT_EQ(s.cmd("process 1 64").back().compare(0, 7, "error: "), 0); // no stages yet
    EXPECT_EQ(s.cmd("create 2"), (std::vector<std::string>{"created 2", "ok"}));
    EXPECT_TRUE(s.ok("activate 48000 256"));
    EXPECT_TRUE(s.ok("input sine 440 -6"));
    std::vector<std::string> a = s.cmd("set * threshold=-12");
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0], "set 1 2 -12");
    EXPECT_EQ(a[1], "set 2 2 -12");
    EXPECT_EQ(s.cmd("process 20 256"), (std::vector<std::string>{"processed 20", "ok"}));
    a = s.cmd("value 2 Threshold");
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0].compare(0, 14, "value 2 2 -12 "), 0) << a[0];
    a = s.cmd("latency *");
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0].compare(0, 10, "latency 1 "), 0);
    a = s.cmd("calls");
    bool saw = false;
    for (const std::string &l : a)
        saw = saw || l == "call 1 get_extension:clap.params";
    EXPECT_TRUE(saw);
    EXPECT_EQ(s.cmd("calls"), (std::vector<std::string>{"ok"})); // cleared
    EXPECT_TRUE(s.ok("events"));
    EXPECT_EQ(s.cmd("meter 1 0").back().compare(0, 7, "error: "), 0); // no debug extension
    EXPECT_EQ(s.cmd("value 3 Threshold").back().compare(0, 7, "error: "), 0);
    EXPECT_EQ(s.cmd("set 1 Volume=3").back().compare(0, 7, "error: "), 0);
    EXPECT_EQ(s.cmd("process 1 4096").back().compare(0, 7, "error: "), 0); // above max frames
    EXPECT_EQ(s.cmd("frobnicate").back().compare(0, 7, "error: "), 0);
    a = s.cmd("run start 128");
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0], "running 128 realtime");
    EXPECT_EQ(s.cmd("process 1 64").back().compare(0, 7, "error: "), 0); // busy
    EXPECT_TRUE(s.ok("transport stop"));
    EXPECT_TRUE(s.ok("transport play"));
    a = s.cmd("swap 1 2");
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[1], "order 2 1");
    EXPECT_TRUE(s.ok("idle 20"));
    a = s.cmd("run stop");
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0].compare(0, 8, "stopped "), 0);
    EXPECT_GT(atol(a[0].c_str() + 8), 20);
    a = s.cmd("status");
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0].compare(0, 40, "status stages 2 active 1 running 0 trans"), 0) << a[0];
    EXPECT_TRUE(s.ok("deactivate"));
    EXPECT_TRUE(s.ok("quit"));
    EXPECT_EQ(s.child.wait(20000), 0);
}

TEST(HostCli, ScriptEchoesMidiMappedChangesAsOutputEvents) {
    tk_test::ScopedSegment seg;
    Session s;
    ASSERT_TRUE(s.start(""));
    ASSERT_TRUE(s.ok("create 1"));
    ASSERT_TRUE(s.ok("activate 48000 128"));
    ASSERT_TRUE(s.ok("learn 1 13"));        // Bypass (index 13)
    ASSERT_TRUE(s.ok("midi 1 176 64 127")); // learns control 64
    ASSERT_TRUE(s.ok("process 1 128"));
    ASSERT_TRUE(s.ok("midi 1 177 64 127")); // control 64 on channel 2: Bypass on
    ASSERT_TRUE(s.ok("process 1 128"));
    std::vector<std::string> a = s.cmd("events");
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0], "event 1 5 12 1");
    a = s.cmd("value 1 bypass");
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0], "value 1 12 1 On");
    a = s.cmd("meter 1 9");
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0], "meter 1 9 128");
    std::string dir = tk_test::make_temp_dir("script");
    a = s.cmd("save 1 " + dir + "/stage.state");
    ASSERT_EQ(a.back(), "ok");
    EXPECT_TRUE(s.ok("flush 1 Bypass=Off"));
    a = s.cmd("load 1 " + dir + "/stage.state");
    ASSERT_EQ(a.back(), "ok");
    a = s.cmd("value 1 Bypass");
    EXPECT_EQ(a[0], "value 1 12 1 On");
    tk_test::remove_tree(dir);
    s.child.close_stdin(); // end of input ends the session
    EXPECT_EQ(s.child.wait(20000), 0);
}

TEST(HostCli, ScriptReadsEndlessAndLyingFilesWithinBounds) {
    tk_test::ScopedSegment seg;
    std::string dir = tk_test::make_temp_dir("script-files");
    Session s;
    ASSERT_TRUE(s.start(""));
    ASSERT_TRUE(s.ok("create 1"));
    ASSERT_TRUE(s.ok("activate 48000 256"));
    EXPECT_EQ(s.cmd("load 1 /dev/zero"), (std::vector<std::string>{"error: /dev/zero is larger than 64 MiB"}));
    // An input file read through a pipe, whose header claims 2^31 frames: memory follows the
    // 18 KB that arrive.
    ASSERT_EQ(mkfifo((dir + "/pipe.wav").c_str(), 0600), 0);
    ASSERT_TRUE(s.child.send("input file " + dir + "/pipe.wav"));
    int fd = -1;
    for (int waited = 0; fd < 0 && waited < 60000; waited += 5) {
        fd = open((dir + "/pipe.wav").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) usleep(5000);
    }
    ASSERT_GE(fd, 0);
    fcntl(fd, F_SETFL, 0);
    const std::string wav = claiming_wav(18000, 0x80000000u);
    EXPECT_EQ(write(fd, wav.data(), wav.size()), (ssize_t)wav.size());
    close(fd);
    std::string answer;
    ASSERT_TRUE(s.child.read_line(&answer, 60000));
    EXPECT_EQ(answer, "ok");
    EXPECT_TRUE(s.ok("process 10 256"));
    EXPECT_TRUE(s.ok("quit"));
    EXPECT_EQ(s.child.wait(20000), 0);
    tk_test::remove_tree(dir);
}

TEST(HostCli, InspectListsTheLiveStagesOfAnotherProcess) {
    tk_test::ScopedSegment seg;
    HostRun none = host({"inspect"});
    EXPECT_EQ(none.rc, 0);
    EXPECT_TRUE(none.has("0 live stages")) << none.text();
    Session s;
    ASSERT_TRUE(s.start(""));
    ASSERT_TRUE(s.ok("create 2"));
    ASSERT_TRUE(s.ok("set 2 Gain=4.5"));
    ASSERT_TRUE(s.ok("activate 44100 256"));
    ASSERT_TRUE(s.ok("input demo"));
    ASSERT_TRUE(s.ok("process 40 256"));
    std::vector<std::string> lat = s.cmd("latency 1");
    ASSERT_EQ(lat.size(), 2u);
    std::string latency = lat[0].substr(10); // "latency 1 N"
    HostRun r = host({"inspect"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.has("segment /" + seg.name() + ": 2 live stage(s)")) << r.text();
    int rows = 0;
    std::string pid = std::to_string(s.child.pid());
    for (const std::string &l : r.lines) {
        char slot[16], p[16], group[8];
        if (sscanf(l.c_str(), "%15s %15s %7s", slot, p, group) != 3 || pid != p) continue;
        rows++;
        EXPECT_STREQ(group, "A");
        EXPECT_NE(l.find("active 44100 Hz"), std::string::npos) << l;
        EXPECT_NE(l.find(" " + latency + " "), std::string::npos) << l;
    }
    EXPECT_EQ(rows, 2) << r.text();
    EXPECT_NE(r.text().find("4.5 dB"), std::string::npos) << r.text();
    ASSERT_TRUE(s.ok("quit"));
    EXPECT_EQ(s.child.wait(20000), 0);
    HostRun after = host({"inspect"});
    EXPECT_TRUE(after.has("segment /" + seg.name() + ": 0 live stage(s)")) << after.text();
}

TEST(HostCli, ScriptBusesAreSeparateChainsRunTogether) {
    tk_test::ScopedSegment seg;
    Session s;
    ASSERT_TRUE(s.start(""));
    ASSERT_TRUE(s.ok("create 2"));
    ASSERT_TRUE(s.ok("activate 48000 256"));
    ASSERT_TRUE(s.ok("input demo"));
    EXPECT_EQ(s.cmd("bus 2"), (std::vector<std::string>{"bus 2", "ok"}));
    ASSERT_TRUE(s.ok("create 3"));
    EXPECT_EQ(s.cmd("process-all 1 256").back().compare(0, 7, "error: "), 0); // bus 2 not active
    ASSERT_TRUE(s.ok("activate 48000 128"));
    ASSERT_TRUE(s.ok("input sine 220 -12"));
    EXPECT_EQ(s.cmd("process-all 1 256").back().compare(0, 7, "error: "), 0); // above bus 2's maximum
    EXPECT_EQ(s.cmd("process-all 60 128"), (std::vector<std::string>{"processed 60 on 2 buses", "ok"}));
    std::vector<std::string> a = s.cmd("status");
    ASSERT_FALSE(a.empty());
    EXPECT_NE(a[0].find("status stages 3 "), std::string::npos) << a[0];
    EXPECT_NE(a[0].find("cycles 60 bus 2 of 2"), std::string::npos) << a[0];
    EXPECT_EQ(s.cmd("meter 3 9"), (std::vector<std::string>{"meter 3 9 128", "ok"})); // largest block
    ASSERT_TRUE(s.ok("bus 1"));
    a = s.cmd("status");
    ASSERT_FALSE(a.empty());
    EXPECT_NE(a[0].find("status stages 2 "), std::string::npos) << a[0];
    EXPECT_NE(a[0].find("cycles 60 bus 1 of 2"), std::string::npos) << a[0];
    EXPECT_EQ(s.cmd("meter 2 9"), (std::vector<std::string>{"meter 2 9 128", "ok"}));
    EXPECT_EQ(s.cmd("meter 3 9").back().compare(0, 7, "error: "), 0); // bus 1 has two stages
    EXPECT_TRUE(s.ok("quit"));
    EXPECT_EQ(s.child.wait(20000), 0);
}

TEST(HostCli, RenderStreamsAnInputWhoseHeaderClaimsBillionsOfFrames) {
    tk_test::ScopedSegment seg;
    std::string dir = tk_test::make_temp_dir("claim");
    const std::string wav = claiming_wav(18000, 0x80000000u); // 18 KB claiming 2^31 frames
    tk_test::write_file(dir + "/claim.wav", wav);
    HostRun f = host({"render", "--stages", "1", "--in", dir + "/claim.wav", "--out", dir + "/file_out.wav"});
    EXPECT_EQ(f.rc, 0) << f.text();
    EXPECT_EQ(wav_info(dir + "/file_out.wav").frames, 18000);
    // Through a pipe the reader cannot check the claim against the file's size.
    ASSERT_EQ(mkfifo((dir + "/pipe.wav").c_str(), 0600), 0);
    tk_test::Child c;
    ASSERT_TRUE(c.start(
        {TERVIK_HOST_PATH, "render", "--stages", "1", "--in", dir + "/pipe.wav", "--out", dir + "/pipe_out.wav"}));
    c.close_stdin();
    int fd = -1; // opens once the child has opened the pipe for reading
    for (int waited = 0; fd < 0 && waited < 60000; waited += 5) {
        fd = open((dir + "/pipe.wav").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) usleep(5000);
    }
    ASSERT_GE(fd, 0);
    fcntl(fd, F_SETFL, 0);
    EXPECT_EQ(write(fd, wav.data(), wav.size()), (ssize_t)wav.size());
    close(fd);
    std::string text, l;
    while (c.read_line(&l, 60000))
        text += l + "\n";
    EXPECT_EQ(c.wait(60000), 0) << text;
    EXPECT_NE(text.find("input: " + dir + "/pipe.wav, 0.38 s, 1 ch, 48000 Hz"), std::string::npos) << text;
    EXPECT_EQ(wav_info(dir + "/pipe_out.wav").frames, 18000);
    tk_test::remove_tree(dir);
}

TEST(HostCli, RenderMemoryDoesNotGrowWithTheLength) {
    tk_test::ScopedSegment seg;
    std::string dir = tk_test::make_temp_dir("long");
    auto render = [&](const char *seconds) {
        return host({"render", "--stages", "1", "--rate", "8000", "--seconds", seconds, "--set", "True peak=Off",
                     "--out", dir + "/out.wav"});
    };
    HostRun s = render("1");
    ASSERT_EQ(s.rc, 0) << s.text();
    long short_kb = children_peak_kb();
    HostRun l = render("300");
    ASSERT_EQ(l.rc, 0) << l.text();
    long long_kb = children_peak_kb();
    EXPECT_TRUE(l.has("input: demo signal, 300.00 s, 2 ch, 8000 Hz, peak -6.00 dBFS")) << l.text();
    EXPECT_EQ(wav_info(dir + "/out.wav").frames, 2400000);
    // Holding the signal, the input and the output whole takes some 25 bytes a frame: 60 MB.
    EXPECT_LT(long_kb - short_kb, 16 * 1024)
        << "peak resident size " << short_kb << " KB for 1 s, " << long_kb << " KB for 300 s";
    tk_test::remove_tree(dir);
}

TEST(HostCli, RenderRefusesWhatItCannotDoWithAMessage) {
    tk_test::ScopedSegment seg;
    std::string dir = tk_test::make_temp_dir("refuse");
    // An hour at 768 kHz: 22 GB of float WAV, more than the format holds.
    HostRun big = host_all({"render", "--rate", "768000", "--seconds", "3600", "--out", dir + "/big.wav"});
    EXPECT_EQ(big.rc, 2) << big.text();
    EXPECT_NE(big.first("error: ").find("do not fit in a WAV file"), std::string::npos) << big.text();
    EXPECT_FALSE(wav_info(dir + "/big.wav").ok);
    // Writing over the input while reading it.
    Audio a = demo_signal(48000, 0.1, 2);
    std::string err;
    ASSERT_TRUE(wav_write(dir + "/in.wav", a, &err)) << err;
    HostRun same = host_all({"render", "--in", dir + "/in.wav", "--out", dir + "/in.wav"});
    EXPECT_EQ(same.rc, 2) << same.text();
    EXPECT_EQ(wav_info(dir + "/in.wav").frames, 4800);
    tk_test::remove_tree(dir);
}

TEST(HostCli, RenderRefusesBadValuesWithAMessageNamingThem) {
    tk_test::ScopedSegment seg;
    std::string dir = tk_test::make_temp_dir("values");
    const std::string out = dir + "/out.wav";
    for (const char *bad : {"Gain=nan", "Gain=inf", "Gain=-inf", "Gain=1e999", "Gain=2;rm", "Gain=", "Gain=  ",
                            "Gain=0x10", "Gain=99", "Gain=3 ms", "Style=Punchy;rm", "Bypass=on;rm", "2:Release=3"}) {
        HostRun r = host_all({"render", "--stages", "2", "--seconds", "0.05", "--set", bad, "--out", out});
        EXPECT_EQ(r.rc, 2) << bad << "\n" << r.text();
        EXPECT_EQ(r.first("error: "), r.first(std::string("error: setting \"") + bad + "\": ")) << r.text();
        EXPECT_FALSE(r.first("error: ").empty()) << bad;
        EXPECT_FALSE(wav_info(out).ok) << bad;
    }
    // Numbers with the plug-in's units, and the starts of its texts.
    HostRun good =
        host_all({"render",  "--stages",     "2",          "--seconds",     "0.05",      "--set",     "Gain=3 dB",
                  "--set",   "Input= -1.5 ", "--set",      "Dither=16 bit", "--set",     "2:Style=p", "--set",
                  "Group=b", "--set",        "Stage=auto", "--set",         "Mix=100 %", "--set",     "Bypass=off"});
    EXPECT_EQ(good.rc, 0) << good.text();
    // Option numbers: the whole text, in decimal, inside the range.
    const std::vector<std::vector<std::string>> options = {
        {"--stages", " 3"},   {"--stages", "3.0"}, {"--stages", "0x3"},
        {"--block", "0"},     {"--block", "512k"}, {"--block", "99999999999999999999"},
        {"--rate", "nan"},    {"--rate", "48k"},   {"--rate", "0x1p16"},
        {"--seconds", "inf"}, {"--seconds", "-1"}, {"--seconds", "1e-400"}};
    for (const std::vector<std::string> &o : options) {
        HostRun r = host_all({"render", o[0], o[1], "--out", out});
        EXPECT_EQ(r.rc, 2) << o[0] << " " << o[1] << "\n" << r.text();
        EXPECT_TRUE(r.has("error: " + o[0] + ": ")) << r.text();
    }
    EXPECT_EQ(host_all({"render", "--preset", "", "--seconds", "0.05"}).rc, 2);
    EXPECT_FALSE(wav_info(out).ok);
    tk_test::remove_tree(dir);
}

namespace {

// The bytes of a segment that its stages do not change while they play: the header but
// seq_next, free slots whole, and of a claimed slot its claim, identity, values, edit queue
// and pending bits, its MIDI map and its serial tag (the pipeline writes the rest).
std::string unchanged_by_playing(const uint8_t *m) {
    std::string out((const char *)m, offsetof(SharedHeader, seq_next));
    out.append((const char *)m + offsetof(SharedHeader, reserved1), sizeof(SharedHeader::reserved1));
    for (uint32_t i = 0; i < SHARED_SLOTS; i++) {
        const uint8_t *s = m + sizeof(SharedHeader) + (size_t)i * sizeof(SharedSlot);
        if (shm_load(((const SharedSlot *)s)->ident.in_use) == 0) {
            out.append((const char *)s, sizeof(SharedSlot));
            continue;
        }
        out.append((const char *)s, offsetof(SharedSlot, meters.meter_gain));
        out.append((const char *)s + offsetof(SharedSlot, midi),
                   offsetof(SharedSlot, calls) - offsetof(SharedSlot, midi));
        out.append((const char *)s + offsetof(SharedSlot, calls.serial), sizeof(uint32_t));
    }
    out.append((const char *)m + SHARED_SIZE - 40, 40);
    return out;
}

} // namespace

TEST(HostCli, InspectClaimsAndWritesNothing) {
    tk_test::ScopedSegment seg;
    Session s;
    ASSERT_TRUE(s.start(""));
    ASSERT_TRUE(s.ok("create 2"));
    ASSERT_TRUE(s.ok("activate 48000 256"));
    ASSERT_TRUE(s.ok("input demo"));
    ASSERT_TRUE(s.ok("run start 256"));
    int fd = shm_open(seg.path().c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    void *map = mmap(nullptr, SHARED_SIZE, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(map, MAP_FAILED);
    const uint8_t *m = (const uint8_t *)map;
    const SharedSlot *slots = (const SharedSlot *)(m + sizeof(SharedHeader));
    // Play until both stages have full call histories, so that their chain resolves.
    auto histories = [&] {
        int full = 0;
        for (uint32_t i = 0; i < SHARED_SLOTS; i++)
            full += shm_load(slots[i].ident.in_use) && shm_load(slots[i].calls.ring_count) >= CALL_RING;
        return full;
    };
    for (int i = 0; i < 2000 && histories() < 2; i++)
        usleep(10000);
    ASSERT_EQ(histories(), 2);
    std::string before = unchanged_by_playing(m);
    uint32_t serial_next = shm_load(((const SharedHeader *)m)->serial_next);
    HostRun r = host({"inspect"});
    std::string after = unchanged_by_playing(m);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(shm_load(((const SharedHeader *)m)->serial_next), serial_next);
    EXPECT_TRUE(before == after) << "inspect changed the segment";
    // It did resolve the chain: both stages with their positions.
    std::string pid = std::to_string(s.child.pid());
    std::set<std::string> positions;
    for (const std::string &l : r.lines) {
        char slot[16], p[16], group[8], pos[16], how[16];
        if (sscanf(l.c_str(), "%15s %15s %7s %15s %15s", slot, p, group, pos, how) == 5 && pid == p)
            positions.insert(std::string(pos) + " " + how);
    }
    EXPECT_EQ(positions, (std::set<std::string>{"1 auto", "2 auto"})) << r.text();
    munmap(map, SHARED_SIZE);
    ASSERT_TRUE(s.ok("run stop"));
    ASSERT_TRUE(s.ok("quit"));
    EXPECT_EQ(s.child.wait(20000), 0);
}

TEST(HostCli, ListShowsThePresetsHostsDiscoverAndParamsTheRemotePages) {
    tk_test::ScopedSegment seg("cliext");
    tk_test::ScopedPresetDir dir;
    tk_test::write_file(dir.path() + "/Glue.tervik", "Tervik preset 1\nstages=1\nstage=1\np2=4\n");
    HostRun l = host({"list", TERVIK_CLAP_PATH});
    EXPECT_EQ(l.rc, 0);
    EXPECT_TRUE(l.has("preset discovery (clap.preset-discovery-factory/2): 1 provider(s), 14 preset(s)")) << l.text();
    EXPECT_TRUE(l.has("  file type: Tervik preset (.tervik)")) << l.text();
    EXPECT_TRUE(l.has("  location: Tervik factory presets [factory] plug-in")) << l.text();
    EXPECT_TRUE(l.has("  location: Tervik user presets [user] file ")) << l.text();
    EXPECT_TRUE(l.has("  preset: Loud [factory] key stage:6 (audio-effect,limiter,stage-preset)")) << l.text();
    EXPECT_TRUE(l.has("  preset: Chain: bus 4 x 1.5 dB [factory] key chain:2 (audio-effect,limiter,chain-preset)"))
        << l.text();
    EXPECT_TRUE(l.has("  preset: Glue [user] file ")) << l.text();
    EXPECT_FALSE(l.has("preset discovery error")) << l.text();
    HostRun p = host({"params", TERVIK_CLAP_PATH});
    EXPECT_EQ(p.rc, 0);
    EXPECT_TRUE(p.has("remote controls: 2 page(s)")) << p.text();
    EXPECT_TRUE(p.has("  page 1 \"Limiter\" (section Limiter): Gain, Ceiling, Release, Input, Style, True peak, "
                      "Adaptive release, Stereo link"))
        << p.text();
    EXPECT_TRUE(p.has("  page 2 \"Output and monitoring\" (section Output): Mix, Bypass, Delta listen, Unity gain, "
                      "Dither, Noise shaping"))
        << p.text();
    if (have_zam()) {
        EXPECT_TRUE(host({"list", ZAM}).has("preset discovery: none"));
        EXPECT_TRUE(host({"params", ZAM}).has("remote controls: none"));
    }
}

TEST(HostCli, PresetsLoadsADiscoveredPresetThroughPresetLoad) {
    tk_test::ScopedSegment seg("cliload");
    tk_test::ScopedPresetDir dir;
    HostRun r = host({"presets", "--plugin", TERVIK_CLAP_PATH, "--load", "chain:1", "--stages", "3", "--stage", "2"});
    EXPECT_EQ(r.rc, 0) << r.text();
    EXPECT_TRUE(
        r.has("loaded \"Chain: transparent > punchy > final\" into stage 2 of 3 (preset_loaded:1:(null):chain:1)"))
        << r.text();
    EXPECT_NE(r.first("stage 1:").find("Release=260 ms"), std::string::npos) << r.text();
    EXPECT_NE(r.first("stage 2:").find("Release=40 ms"), std::string::npos) << r.text();
    EXPECT_NE(r.first("stage 3:").find("Dither=24 bit"), std::string::npos) << r.text();
    // By name, and a file by its path.
    r = host({"presets", "--plugin", TERVIK_CLAP_PATH, "--load", "punchy STAGE"});
    EXPECT_EQ(r.rc, 0) << r.text();
    EXPECT_NE(r.first("stage 1:").find("Style=Punchy"), std::string::npos) << r.text();
    tk_test::write_file(dir.path() + "/Wide.tervik", "Tervik preset 1\nstages=1\nstage=1\np5=20\n");
    r = host({"presets", "--plugin", TERVIK_CLAP_PATH, "--load", dir.path() + "/Wide.tervik"});
    EXPECT_EQ(r.rc, 0) << r.text();
    EXPECT_NE(r.first("stage 1:").find("Stereo link=20 %"), std::string::npos) << r.text();
    // The plug-in's refusal reaches the user; nothing unknown loads.
    tk_test::write_file(dir.path() + "/Bad.tervik", "not a preset\n");
    HostRun bad = host_all({"presets", "--plugin", TERVIK_CLAP_PATH, "--load", dir.path() + "/Bad.tervik"});
    EXPECT_EQ(bad.rc, 1);
    EXPECT_NE(bad.text().find("Tervik: not a Tervik preset file"), std::string::npos) << bad.text();
    EXPECT_EQ(host_all({"presets", "--plugin", TERVIK_CLAP_PATH, "--load", "no such preset"}).rc, 1);
    EXPECT_EQ(host_all({"presets", "--load", "Loud", "--stage", "2"}).rc, 2) << "only one stage";
}

TEST(HostCli, TheInstalledHostUsesThePluginOfItsInstallation) {
    tk_test::ScopedSegment seg("cliinst");
    tk_test::ScopedPresetDir presets;
    // The package's layout: <prefix>/bin/tervik-host and <prefix>/lib/clap/Tervik.clap.
    std::string prefix = tk_test::make_temp_dir("prefix");
    ASSERT_EQ(mkdir((prefix + "/bin").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((prefix + "/lib").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((prefix + "/lib/clap").c_str(), 0755), 0);
    tk_test::write_file(prefix + "/bin/tervik-host", tk_test::read_file(TERVIK_HOST_PATH));
    tk_test::write_file(prefix + "/lib/clap/Tervik.clap", tk_test::read_file(TERVIK_CLAP_PATH));
    ASSERT_EQ(chmod((prefix + "/bin/tervik-host").c_str(), 0755), 0);
    tk_test::Child c;
    ASSERT_TRUE(c.start({prefix + "/bin/tervik-host", "presets", "--load", "Loud"}));
    c.close_stdin();
    std::string line, out;
    while (c.read_line(&line, 60000))
        out += line + "\n";
    EXPECT_EQ(c.wait(60000), 0) << out;
    EXPECT_NE(out.find("loaded \"Loud\" into stage 1 of 1"), std::string::npos) << out;
    tk_test::remove_tree(prefix);
}
