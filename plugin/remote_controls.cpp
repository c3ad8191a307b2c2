// clap.remote-controls: two pages of eight controls for hardware controllers, grouped as a
// mixing engineer reaches for them: the limiter's core, then output and monitoring.
#include <cstdio>
#include <cstring>

#include "plugin/extensions.h"

namespace {

struct RemotePage {
    const char *section;
    const char *name;
    clap_id ids[CLAP_REMOTE_CONTROLS_COUNT];
};

constexpr uint32_t REMOTE_PAGE_COUNT = 2;

// Parameter ids (PARAMS): Input 1, Gain 2, Ceiling 3, Release 4, Stereo link 5, True peak 6,
// Adaptive release 7, Style 9, Dither 10, Noise shaping 11, Bypass 12, Delta listen 13,
// Unity gain 14, Mix 15. Lookahead, Stage and Group are not for live control.
const RemotePage REMOTE_PAGES[REMOTE_PAGE_COUNT] = {
    {"Limiter", "Limiter", {2, 3, 4, 1, 9, 6, 7, 5}},
    {"Output", "Output and monitoring", {15, 12, 13, 14, 10, 11, CLAP_INVALID_ID, CLAP_INVALID_ID}},
};

} // namespace

static uint32_t remote_count(const clap_plugin_t *) { return REMOTE_PAGE_COUNT; }

static bool remote_get(const clap_plugin_t *, uint32_t index, clap_remote_controls_page_t *page) {
    if (index >= REMOTE_PAGE_COUNT || !page) return false;
    const RemotePage &r = REMOTE_PAGES[index];
    memset(page, 0, sizeof *page);
    snprintf(page->section_name, sizeof page->section_name, "%s", r.section);
    snprintf(page->page_name, sizeof page->page_name, "%s", r.name);
    page->page_id = index + 1;
    for (int i = 0; i < CLAP_REMOTE_CONTROLS_COUNT; i++)
        page->param_ids[i] = r.ids[i];
    page->is_for_preset = false;
    return true;
}

const clap_plugin_remote_controls_t EXT_REMOTE_CONTROLS = {remote_count, remote_get};
