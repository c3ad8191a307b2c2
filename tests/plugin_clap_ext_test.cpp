// The newer CLAP extensions of the real Tervik.clap through the real host library: the
// preset-discovery factory crawled by an indexer that checks what a strict validator checks,
// every preset found loaded into a fresh instance through preset-load, stage and chain
// presets applied through the edit path, remote-control pages, the state contexts and the
// render mode.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <set>

#include "host/chain.h"
#include "host/preset_index.h"
#include "params/params.h"
#include "plugin_fixture.h"

namespace {

constexpr uint32_t GAIN = 2, CEILING = 3, RELEASE = 4, LINK = 5, STYLE = 9, DITHER = 10, BYPASS = 12, MIX = 15,
                   STAGE = 100, GROUP = 101;

std::string real(const std::string &path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : path;
}

const IndexedPreset *find(const PresetIndex &ix, const std::string &name) {
    for (const IndexedPreset &p : ix.presets)
        if (p.name == name) return &p;
    return nullptr;
}

bool has(const std::vector<std::string> &v, const std::string &s) {
    for (const std::string &x : v)
        if (x == s) return true;
    return false;
}

std::string joined(const std::vector<std::string> &v) {
    std::string s;
    for (const std::string &x : v)
        s += x + "\n";
    return s;
}

} // namespace

class PresetDiscoveryTest : public ClapTest {
  protected:
    // A stage preset, a chain preset, one in a subfolder, and a file of another kind.
    void write_user_presets() {
        tk_test::write_file(dir.path() + "/Glue.tervik",
                            "Tervik preset 1\nname=Glue\nstages=1\nstage=1\np2=4.5 # Gain\np4=300 # Release\n");
        tk_test::write_file(dir.path() + "/Two steps.tervik",
                            "Tervik preset 1\nname=Two steps\nstages=2\nstage=1\np2=5\nstage=2\np2=7\np3=-1\n");
        ASSERT_EQ(mkdir((dir.path() + "/Mastering").c_str(), 0755), 0);
        tk_test::write_file(dir.path() + "/Mastering/Air.tervik", "Tervik preset 1\nstages=1\nstage=1\np15=80\n");
        tk_test::write_file(dir.path() + "/notes.txt", "not a preset\n");
    }
    tk_test::ScopedPresetDir dir;
};

TEST_F(PresetDiscoveryTest, IndexerFindsTheFileTypeBothLocationsAndEveryPreset) {
    write_user_presets();
    PresetIndex ix;
    ASSERT_TRUE(preset_index(lib, &ix)) << "no preset-discovery factory";
    EXPECT_EQ(ix.factory_id, "clap.preset-discovery-factory/2");
    EXPECT_TRUE(ix.errors.empty()) << joined(ix.errors);
    // The provider's own descriptor is the factory's (the indexer reports a difference).
    ASSERT_EQ(ix.providers.size(), 1u);
    EXPECT_EQ(ix.providers[0].id, "com.morvane.tervik.presets");
    EXPECT_EQ(ix.providers[0].vendor, "Morvane");
    ASSERT_EQ(ix.file_types.size(), 1u);
    EXPECT_EQ(ix.file_types[0].extension, "tervik");
    ASSERT_EQ(ix.locations.size(), 2u);
    EXPECT_EQ(ix.locations[0].kind, (uint32_t)CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN);
    EXPECT_EQ(ix.locations[0].flags, (uint32_t)CLAP_PRESET_DISCOVERY_IS_FACTORY_CONTENT);
    EXPECT_TRUE(ix.locations[0].location.empty());
    EXPECT_EQ(ix.locations[1].kind, (uint32_t)CLAP_PRESET_DISCOVERY_LOCATION_FILE);
    EXPECT_EQ(ix.locations[1].flags, (uint32_t)CLAP_PRESET_DISCOVERY_IS_USER_CONTENT);
    EXPECT_EQ(ix.locations[1].location, real(dir.path()));

    // Thirteen factory presets inside the plug-in, each with a load key, and three files.
    ASSERT_EQ(ix.presets.size(), 16u);
    EXPECT_EQ(ix.files, 3u) << "notes.txt is not of the declared type";
    std::set<std::string> keys;
    int stage_presets = 0, chain_presets = 0;
    for (const IndexedPreset &p : ix.presets) {
        EXPECT_TRUE(p.for_plugin("com.morvane.tervik")) << p.name;
        EXPECT_TRUE(has(p.features, "stage-preset") != has(p.features, "chain-preset")) << p.name;
        if (p.location_kind != CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN) continue;
        EXPECT_TRUE(p.has_key) << p.name;
        EXPECT_TRUE(keys.insert(p.load_key).second) << "load key " << p.load_key << " twice";
        EXPECT_EQ(p.flags, (uint32_t)CLAP_PRESET_DISCOVERY_IS_FACTORY_CONTENT) << p.name;
        (has(p.features, "chain-preset") ? chain_presets : stage_presets)++;
    }
    EXPECT_EQ(stage_presets, 7);
    EXPECT_EQ(chain_presets, 6);
    const IndexedPreset *loud = find(ix, "Loud"), *master = find(ix, "Master: CD (-0.3 dB, 16 bit)");
    ASSERT_TRUE(loud && master);
    EXPECT_EQ(loud->load_key, "stage:6");
    EXPECT_EQ(master->load_key, "chain:5");
    EXPECT_NE(master->description.find("3 stages"), std::string::npos) << master->description;

    const IndexedPreset *glue = find(ix, "Glue"), *two = find(ix, "Two steps"), *air = find(ix, "Air");
    ASSERT_TRUE(glue && two && air);
    EXPECT_FALSE(glue->has_key);
    EXPECT_EQ(glue->location, real(dir.path()) + "/Glue.tervik");
    EXPECT_EQ(glue->flags, (uint32_t)CLAP_PRESET_DISCOVERY_IS_USER_CONTENT);
    EXPECT_TRUE(has(glue->features, "stage-preset"));
    EXPECT_TRUE(has(two->features, "chain-preset"));
    EXPECT_EQ(air->location, real(dir.path()) + "/Mastering/Air.tervik");
    EXPECT_GT(glue->modified, 0u);
}

TEST_F(PresetDiscoveryTest, AFileThatIsNotAPresetIsReportedAndTheRestIsFound) {
    write_user_presets();
    tk_test::write_file(dir.path() + "/Broken.tervik", "Tervik preset 1\nname=no stages line\n");
    tk_test::write_file(dir.path() + "/Junk.tervik", std::string("\x7f"
                                                                 "ELF\x02\x01\x01",
                                                                 7));
    PresetIndex ix;
    ASSERT_TRUE(preset_index(lib, &ix));
    ASSERT_EQ(ix.errors.size(), 2u) << joined(ix.errors);
    EXPECT_NE(ix.errors[0].find("Broken.tervik: on_error"), std::string::npos) << ix.errors[0];
    EXPECT_NE(ix.errors[1].find("Junk.tervik: on_error"), std::string::npos) << ix.errors[1];
    EXPECT_EQ(ix.presets.size(), 16u);
    EXPECT_EQ(find(ix, "Broken"), nullptr);
}

TEST_F(PresetDiscoveryTest, TheDraftIdentifiersAnswerTheSameTables) {
    const clap_plugin_entry_t *e = lib.entry();
    const void *f = e->get_factory(CLAP_PRESET_DISCOVERY_FACTORY_ID);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(e->get_factory(CLAP_PRESET_DISCOVERY_FACTORY_ID_COMPAT), f);
    HostInstance *h = make();
    const void *load = h->get_extension(CLAP_EXT_PRESET_LOAD);
    ASSERT_NE(load, nullptr);
    EXPECT_EQ(h->get_extension(CLAP_EXT_PRESET_LOAD_COMPAT), load);
    EXPECT_EQ(h->get_extension(CLAP_EXT_REMOTE_CONTROLS_COMPAT), h->get_extension(CLAP_EXT_REMOTE_CONTROLS));
    EXPECT_EQ(h->get_extension(CLAP_EXT_PARAM_INDICATION_COMPAT), h->get_extension(CLAP_EXT_PARAM_INDICATION));
    EXPECT_EQ(h->get_extension(CLAP_EXT_CONTEXT_MENU_COMPAT), h->get_extension(CLAP_EXT_CONTEXT_MENU));
    EXPECT_NE(h->get_extension(CLAP_EXT_STATE_CONTEXT), nullptr);
    EXPECT_NE(h->get_extension(CLAP_EXT_RENDER), nullptr);
}

// As a strict validator does after crawling: every preset found, grouped by the CLAP
// plug-in it names, is loaded into one fresh instance of that plug-in through preset-load;
// the host must hear no error, and the instance then processes a block.
TEST_F(PresetDiscoveryTest, EveryPresetFoundLoadsIntoAFreshInstance) {
    write_user_presets();
    PresetIndex ix;
    ASSERT_TRUE(preset_index(lib, &ix));
    ASSERT_TRUE(ix.errors.empty()) << joined(ix.errors);
    std::map<std::string, std::vector<const IndexedPreset *>> by_plugin;
    for (const IndexedPreset &p : ix.presets)
        for (const auto &id : p.plugin_ids)
            if (id.first == "clap") by_plugin[id.second].push_back(&p);
    ASSERT_EQ(by_plugin.size(), 1u);
    for (const auto &group : by_plugin) {
        HostOptions opt;
        opt.log_to_stderr = false;
        instances.push_back(std::make_unique<HostInstance>(lib, opt));
        HostInstance *h = instances.back().get();
        ASSERT_TRUE(h->create_and_init(group.first)) << h->error();
        ASSERT_NE(h->preset_load_ext(), nullptr);
        for (const IndexedPreset *p : group.second) {
            h->clear_calls();
            bool file = p->location_kind == CLAP_PRESET_DISCOVERY_LOCATION_FILE;
            EXPECT_TRUE(h->preset_load(p->location_kind, file ? p->location.c_str() : nullptr,
                                       p->has_key ? p->load_key.c_str() : nullptr))
                << p->name;
            EXPECT_EQ(h->count_calls("preset_error:*"), 0u) << p->name;
            std::string told = "preset_loaded:" + std::to_string(p->location_kind) + ":" +
                               (file ? p->location : "(null)") + ":" + (p->has_key ? p->load_key : "(null)");
            EXPECT_EQ(h->count_calls(told), 1u) << p->name << "\n" << joined(h->calls());
            h->idle();
            ASSERT_TRUE(h->activate(48000, 32, 512));
            Stereo in(512, 0.1f), out(512);
            EXPECT_EQ(h->process(in.p(), out.p(), 2, 512), CLAP_PROCESS_CONTINUE);
            h->deactivate();
            h->idle();
        }
        // The last one loaded, "Two steps" in a chain of one: its first stage.
        EXPECT_EQ(value(h, GAIN), 5);
    }
}

class PresetLoadTest : public ClapTest {
  protected:
    void SetUp() override {
        ClapTest::SetUp();
        HostOptions opt;
        opt.log_to_stderr = false;
        ASSERT_TRUE(chain.create(lib, 3, opt));
        ASSERT_TRUE(chain.activate(48000, 32, 512));
        run();
    }
    void TearDown() override {
        chain.clear();
        ClapTest::TearDown();
    }
    // The stages process in series a while, so that each knows its chain and order.
    void run() {
        ASSERT_TRUE(chain.run_blocks(40, 512));
        uint32_t size = 0, pos = 0;
        ASSERT_TRUE(chain.stage(2).debug_chain(&size, &pos));
        ASSERT_EQ(size, 3u);
        ASSERT_EQ(pos, 3u);
    }
    double v(size_t stage, uint32_t id) { return value(&chain.stage(stage), id); }
    // Serves the flushes the edits asked for; returns each stage's events.
    std::vector<std::vector<OutEvent>> events() {
        for (int i = 0; i < 3; i++)
            chain.idle();
        std::vector<std::vector<OutEvent>> ev;
        for (size_t s = 0; s < chain.size(); s++)
            ev.push_back(chain.stage(s).take_events());
        return ev;
    }
    static size_t count(const std::vector<OutEvent> &ev, uint16_t type, uint32_t id) {
        size_t n = 0;
        for (const OutEvent &e : ev)
            n += e.type == type && e.param_id == id;
        return n;
    }
    tk_test::ScopedPresetDir dir;
    Chain chain;
};

TEST_F(PresetLoadTest, AStagePresetGoesToItsStageAndAChainPresetToEveryPosition) {
    HostInstance &two = chain.stage(1);
    events();
    ASSERT_TRUE(two.preset_load(CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN, nullptr, "stage:3")); // Punchy stage
    EXPECT_EQ(v(1, RELEASE), 40);
    EXPECT_EQ(v(1, LINK), 60);
    EXPECT_EQ(v(0, RELEASE), 100);
    EXPECT_EQ(v(2, RELEASE), 100);
    auto ev = events();
    EXPECT_EQ(count(ev[1], CLAP_EVENT_PARAM_GESTURE_BEGIN, RELEASE), 1u);
    EXPECT_EQ(count(ev[1], CLAP_EVENT_PARAM_GESTURE_END, RELEASE), 1u);
    EXPECT_TRUE(ev[0].empty() && ev[2].empty());

    // Transparent > punchy > final, loaded into the middle stage, sets all three in order,
    // and each stage's own host hears its changes.
    ASSERT_TRUE(two.preset_load(CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN, nullptr, "chain:1"));
    EXPECT_EQ(v(0, RELEASE), 260);
    EXPECT_EQ(v(1, RELEASE), 40);
    EXPECT_EQ(v(2, RELEASE), 120);
    EXPECT_EQ(v(2, CEILING), -1);
    EXPECT_EQ(v(2, DITHER), 1);
    ev = events();
    EXPECT_EQ(count(ev[0], CLAP_EVENT_PARAM_GESTURE_BEGIN, RELEASE), 1u);
    EXPECT_GE(count(ev[2], CLAP_EVENT_PARAM_VALUE, DITHER), 1u);
    EXPECT_EQ(two.count_calls("preset_loaded:1:(null):chain:1"), 1u);
    for (size_t s = 0; s < 3; s++) {
        EXPECT_EQ(v(s, STAGE), 0); // the stages' places and groups stay
        EXPECT_EQ(v(s, GROUP), 0);
    }
}

TEST_F(PresetLoadTest, UserPresetFilesLoadByPathFromAnyFolder) {
    std::string other = tk_test::make_temp_dir("elsewhere");
    tk_test::write_file(other + "/Wide.tervik", "Tervik preset 1\nstages=1\nstage=1\np5=20\np12=1\np100=4\np15=70\n");
    tk_test::write_file(other + "/Pair.tervik", "Tervik preset 1\nstages=2\nstage=1\np2=5\nstage=2\np2=7\n");
    HostInstance &one = chain.stage(0);
    ASSERT_TRUE(one.preset_load(CLAP_PRESET_DISCOVERY_LOCATION_FILE, (other + "/Wide.tervik").c_str(), nullptr));
    EXPECT_EQ(v(0, LINK), 20);
    EXPECT_EQ(v(0, MIX), 70);
    EXPECT_EQ(v(0, BYPASS), 0); // never carried by presets
    EXPECT_EQ(v(0, STAGE), 0);
    EXPECT_EQ(v(1, LINK), 100);
    EXPECT_EQ(one.count_calls("preset_loaded:0:" + other + "/Wide.tervik:(null)"), 1u);
    ASSERT_TRUE(
        chain.stage(2).preset_load(CLAP_PRESET_DISCOVERY_LOCATION_FILE, (other + "/Pair.tervik").c_str(), nullptr));
    EXPECT_EQ(v(0, GAIN), 5);
    EXPECT_EQ(v(1, GAIN), 7);
    EXPECT_EQ(v(2, GAIN), 7); // the chain is longer than the preset: its last stage repeats
    tk_test::remove_tree(other);
}

TEST_F(PresetLoadTest, WhatCannotBeLoadedIsReportedToTheHostAndChangesNothing) {
    tk_test::write_file(dir.path() + "/Half.tervik", "Tervik preset 1\nstage=1\np2=9\n"); // no stages= line
    tk_test::write_file(dir.path() + "/Other.tervik", "Some other format\nstages=1\np2=9\n");
    std::string fifo = dir.path() + "/Pipe.tervik";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    HostInstance &h = chain.stage(0);
    struct Case {
        uint32_t kind;
        std::string location;
        const char *key;
        std::string report;
    } cases[] = {
        {CLAP_PRESET_DISCOVERY_LOCATION_FILE, dir.path() + "/Half.tervik", nullptr, ":0:Tervik: not a Tervik preset"},
        {CLAP_PRESET_DISCOVERY_LOCATION_FILE, dir.path() + "/Other.tervik", nullptr, ":0:Tervik: not a Tervik preset"},
        {CLAP_PRESET_DISCOVERY_LOCATION_FILE, dir.path() + "/Missing.tervik", nullptr,
         std::string(":") + std::to_string(ENOENT) + ":Tervik: the preset file cannot be opened"},
        {CLAP_PRESET_DISCOVERY_LOCATION_FILE, dir.path(), nullptr, ":0:Tervik: the preset is not a regular file"},
        {CLAP_PRESET_DISCOVERY_LOCATION_FILE, fifo, nullptr, ":0:Tervik: the preset is not a regular file"},
        {CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN, "", "stage:7", ":0:Tervik: no factory preset has this load key"},
        {CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN, "", "chain:01", ":0:Tervik: no factory preset has this load key"},
        {CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN, "", nullptr, ":0:Tervik: no factory preset has this load key"},
        {7, "", "stage:1", ":0:Tervik: unknown preset location kind"},
    };
    for (const Case &c : cases) {
        h.clear_calls();
        const char *loc = c.location.empty() ? nullptr : c.location.c_str();
        EXPECT_FALSE(h.preset_load(c.kind, loc, c.key)) << c.location << " " << (c.key ? c.key : "");
        std::string want = "preset_error:" + std::to_string(c.kind) + ":" + (loc ? loc : "(null)") + ":" +
                           (c.key ? c.key : "(null)") + c.report;
        EXPECT_EQ(h.count_calls(want + "*"), 1u) << joined(h.calls()) << "wanted " << want;
        EXPECT_EQ(h.count_calls("preset_loaded:*"), 0u);
    }
    for (size_t s = 0; s < 3; s++)
        EXPECT_EQ(v(s, GAIN), 0);
    EXPECT_TRUE(events()[0].empty());
}

TEST_F(ClapTest, RemoteControlPagesHoldEveryAutomatableParameterOnce) {
    HostInstance *h = make();
    std::vector<RemotePageDesc> pages = h->remote_pages();
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].name, "Limiter");
    EXPECT_EQ(pages[1].name, "Output and monitoring");
    std::map<clap_id, int> seen;
    std::set<uint32_t> page_ids;
    for (const RemotePageDesc &p : pages) {
        EXPECT_TRUE(page_ids.insert(p.id).second);
        EXPECT_FALSE(p.for_preset);
        ASSERT_EQ(p.params.size(), 8u);
        for (clap_id id : p.params)
            if (id != CLAP_INVALID_ID) seen[id]++;
    }
    // The limiter's core first, in the order a mixing engineer reaches for it.
    std::vector<clap_id> core(pages[0].params.begin(), pages[0].params.end());
    EXPECT_EQ(core, (std::vector<clap_id>{GAIN, CEILING, RELEASE, 1, STYLE, 6, 7, LINK}));
    std::vector<clap_id> out(pages[1].params.begin(), pages[1].params.begin() + 6);
    EXPECT_EQ(out, (std::vector<clap_id>{MIX, BYPASS, 13, 14, DITHER, 11}));
    for (const ParamDesc &d : h->param_list()) {
        bool automatable = d.flags & CLAP_PARAM_IS_AUTOMATABLE;
        if (automatable || seen.count(d.id)) {
            EXPECT_EQ(seen[d.id], 1) << d.name << " is not on exactly one page";
        }
    }
    for (const auto &s : seen)
        EXPECT_GE(param_index_from_id(s.first), 0) << "unknown id " << s.first;
}

class StateContextTest : public ClapTest {
  protected:
    // A stage with a sound, a place, a group and a MIDI map of its own.
    HostInstance *shaped() {
        HostInstance *h = make();
        InputEvents in(8);
        in.add_param(0, GAIN, 6);
        in.add_param(0, RELEASE, 333);
        in.add_param(0, BYPASS, 1);
        in.add_param(0, STAGE, 2);
        in.add_param(0, GROUP, 3);
        EXPECT_TRUE(h->flush(&in));
        const tervik_plugin_debug_t *d = h->debug_ext();
        d->midi_learn(h->plugin(), P_CEILING);
        InputEvents cc(2);
        cc.add_midi(0, 0xB0, 21, 64);
        EXPECT_TRUE(h->flush(&cc));
        return h;
    }
    static uint64_t uid_in(const std::vector<uint8_t> &blob) {
        uint64_t u = 0;
        if (blob.size() >= 16) memcpy(&u, blob.data() + 8, 8);
        return u;
    }
    static int midi_cc(HostInstance *h, int row) { return shm_load(slot_of(h)->midi.midi_cc[row]); }
};

TEST_F(StateContextTest, APresetCarriesTheSoundButNotTheStagesPlaceGroupIdentityOrMidiMap) {
    HostInstance *a = shaped();
    std::vector<uint8_t> preset;
    ASSERT_TRUE(a->state_save_context(CLAP_STATE_CONTEXT_FOR_PRESET, &preset));
    // "TKM1", version 1, identity 0, then 12 records (all but Stage, Group, Bypass, Delta
    // listen and Unity gain) and nothing after them.
    ASSERT_EQ(preset.size(), 20u + 12u * 12u);
    EXPECT_EQ(memcmp(preset.data(), "TKM1", 4), 0);
    EXPECT_EQ(uid_in(preset), 0u);
    for (size_t k = 0; k < 12; k++) {
        uint32_t id;
        memcpy(&id, preset.data() + 20 + 12 * k, 4);
        EXPECT_TRUE(id != STAGE && id != GROUP && id != BYPASS) << id;
    }

    HostInstance *b = make();
    InputEvents in(4);
    in.add_param(0, STAGE, 5);
    in.add_param(0, GROUP, 9);
    ASSERT_TRUE(b->flush(&in));
    const tervik_plugin_debug_t *d = b->debug_ext();
    d->midi_learn(b->plugin(), P_MIX);
    InputEvents cc(2);
    cc.add_midi(0, 0xB0, 30, 1);
    ASSERT_TRUE(b->flush(&cc));
    uint64_t b_uid = uid_of(b);
    b->clear_calls();
    ASSERT_TRUE(b->state_load_context(CLAP_STATE_CONTEXT_FOR_PRESET, preset));
    EXPECT_EQ(value(b, GAIN), 6);
    EXPECT_EQ(value(b, RELEASE), 333);
    EXPECT_EQ(value(b, BYPASS), 0);
    EXPECT_EQ(value(b, STAGE), 5);
    EXPECT_EQ(value(b, GROUP), 9);
    EXPECT_EQ(midi_cc(b, P_MIX), 30);
    EXPECT_EQ(midi_cc(b, P_CEILING), -1);
    EXPECT_EQ(uid_of(b), b_uid);
    EXPECT_EQ(b->count_calls("rescan:1"), 1u);

    // A whole project blob loaded as a preset gives the sound only, too.
    std::vector<uint8_t> project;
    ASSERT_TRUE(a->state_save_context(CLAP_STATE_CONTEXT_FOR_PROJECT, &project));
    std::vector<uint8_t> plain;
    ASSERT_TRUE(a->state_save(&plain));
    EXPECT_EQ(project, plain) << "a project saves as clap.state does, byte for byte";
    HostInstance *c = make();
    ASSERT_TRUE(c->state_load_context(CLAP_STATE_CONTEXT_FOR_PRESET, project));
    EXPECT_EQ(value(c, GAIN), 6);
    EXPECT_EQ(value(c, STAGE), 0);
    EXPECT_EQ(midi_cc(c, P_CEILING), -1);

    // A later project load (clap.state) still reads the preset form: the stage keeps its
    // identity, place and group.
    HostInstance *e = make();
    uint64_t e_uid = uid_of(e);
    ASSERT_TRUE(e->state_load(preset));
    EXPECT_EQ(value(e, GAIN), 6);
    EXPECT_EQ(uid_of(e), e_uid);
    EXPECT_EQ(value(e, GROUP), 0);
}

TEST_F(StateContextTest, ADuplicateIsAStageOfItsOwnInTheChain) {
    Chain chain;
    HostOptions opt;
    opt.log_to_stderr = false;
    ASSERT_TRUE(chain.create(lib, 2, opt));
    HostInstance &origin = chain.stage(0);
    InputEvents in(2);
    in.add_param(0, GAIN, 4);
    ASSERT_TRUE(origin.flush(&in));
    origin.debug_ext()->midi_learn(origin.plugin(), P_CEILING);
    InputEvents cc(2);
    cc.add_midi(0, 0xB0, 21, 64);
    ASSERT_TRUE(origin.flush(&cc));

    std::vector<uint8_t> dup, project;
    ASSERT_TRUE(origin.state_save_context(CLAP_STATE_CONTEXT_FOR_DUPLICATE, &dup));
    ASSERT_TRUE(origin.state_save(&project));
    EXPECT_EQ(uid_in(dup), 0u);
    uint64_t origin_uid = uid_in(project);
    ASSERT_NE(origin_uid, 0u);

    // Loaded for a project, a copy would take the origin's identity; for a duplicate it is
    // a stage of its own with everything else of the origin.
    std::unique_ptr<HostInstance> copy(new HostInstance(lib, opt));
    ASSERT_TRUE(copy->create_and_init());
    ASSERT_TRUE(copy->state_load_context(CLAP_STATE_CONTEXT_FOR_PROJECT, project));
    EXPECT_EQ(uid_of(copy.get()), origin_uid);
    ASSERT_TRUE(copy->state_load_context(CLAP_STATE_CONTEXT_FOR_DUPLICATE, project));
    uint64_t copy_uid = uid_of(copy.get());
    EXPECT_NE(copy_uid, origin_uid);
    EXPECT_NE(copy_uid, 0u);
    EXPECT_EQ(value(copy.get(), GAIN), 4);
    EXPECT_EQ(shm_load(slot_of(copy.get())->midi.midi_cc[P_CEILING]), 21);
    // The duplicate form loads through clap.state too, keeping the loader's identity.
    std::unique_ptr<HostInstance> third(new HostInstance(lib, opt));
    ASSERT_TRUE(third->create_and_init());
    uint64_t third_uid = uid_of(third.get());
    ASSERT_TRUE(third->state_load(dup));
    EXPECT_EQ(uid_of(third.get()), third_uid);
    EXPECT_EQ(value(third.get(), GAIN), 4);

    // In series after the origin's chain, the copy is a third stage with an identity of
    // its own.
    HostInstance *placed = chain.add(std::move(copy));
    ASSERT_TRUE(chain.activate(48000, 32, 512));
    ASSERT_TRUE(chain.run_blocks(40, 512));
    std::set<uint64_t> uids;
    for (size_t s = 0; s < 3; s++) {
        uint32_t size = 0, pos = 0;
        ASSERT_TRUE(chain.stage(s).debug_chain(&size, &pos));
        EXPECT_EQ(size, 3u);
        EXPECT_EQ(pos, s + 1);
        uids.insert(uid_of(&chain.stage(s)));
    }
    EXPECT_EQ(uids.size(), 3u);
    EXPECT_EQ(placed, &chain.stage(2));
    EXPECT_FALSE(origin.state_save_context(77, &dup));
    EXPECT_FALSE(origin.state_load_context(0, project));
    chain.clear();
    third.reset();
}

TEST_F(ClapTest, RenderModeIsPublishedInTheSlotAndNeverHardRealTime) {
    HostInstance *h = make();
    SharedSlot *s = slot_of(h);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(h->render_hard_realtime(), 0);
    EXPECT_EQ(shm_load(s->render_mode), 0u);
    EXPECT_TRUE(h->render_set(CLAP_RENDER_OFFLINE));
    EXPECT_EQ(shm_load(s->render_mode), 1u);
    EXPECT_FALSE(h->render_set(2));
    EXPECT_EQ(shm_load(s->render_mode), 1u);
    EXPECT_TRUE(h->render_set(CLAP_RENDER_REALTIME));
    EXPECT_EQ(shm_load(s->render_mode), 0u);
}
