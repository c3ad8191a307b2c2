// Read-only view of the user's shared segment: every live stage with its identity, group,
// chain position, Gain, meters, latency and activation, for `tervik-host inspect`.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct StageView {
    int slot = -1;          // slot index 0..63
    int pid = 0;
    bool alive = false;     // owner process exists (kill(pid, 0))
    uint64_t uid = 0;
    uint32_t generation = 0;
    int group = -1;         // 0..15, -1 when the stored value is out of range
    int stage_param = 0;    // Stage parameter (0 = automatic)
    bool position_known = false;
    uint32_t position = 0;  // 1-based chain position (99: automatic stage without one yet)
    uint32_t chain_size = 0;
    bool manual = false;
    bool recent = false;    // processed audio within the last 500 ms
    double gain_db = 0;     // the Gain parameter
    double gr_db = 0;       // gain reduction of the last block, dB (positive)
    double tp_out_db = 0;   // output true peak, dBTP
    double lufs_s = -100, lufs_i = -100;
    uint32_t latency = 0;
    bool active = false;
    double rate = 0;
};

// Opens the segment named by the usual rules (TERVIK_SHM or "tervik3-<uid>") read-only,
// checks its header and collects the claimed slots (only live ones unless all is set).
// False with *err set when there is no segment or its layout differs. *name gets the name.
bool inspect_segment(std::vector<StageView> *out, bool all, std::string *name, std::string *err);

// Fills position, chain_size, manual and recent from the registry's chain resolution
// (registry_chain_for). Attaches to the segment read-write without claiming a slot; call
// only when inspect_segment found one. False when resolution is not possible.
bool inspect_resolve_chains(std::vector<StageView> *stages);
