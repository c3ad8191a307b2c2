// Read-only view of the user's shared segment: every live stage with its identity, group,
// chain position, Gain, meters, latency and activation, for `tervik-host inspect`.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct StageView {
    int slot = -1; // slot index 0..63
    int pid = 0;
    bool alive = false; // its owner still holds it (shared_alive)
    uint64_t uid = 0;
    uint32_t generation = 0;
    int group = -1;      // 0..15, -1 when the stored value is out of range
    int stage_param = 0; // Stage parameter (0 = automatic)
    bool position_known = false;
    uint32_t position = 0; // 1-based chain position (99: automatic stage without one yet)
    uint32_t chain_size = 0;
    bool manual = false;
    bool recent = false;  // processed audio within the last 500 ms
    double gain_db = 0;   // the Gain parameter
    double gr_db = 0;     // gain reduction of the last block, dB (positive)
    double tp_out_db = 0; // output true peak, dBTP
    double lufs_s = -100, lufs_i = -100;
    uint32_t latency = 0;
    bool active = false;
    double rate = 0;
};

// Attaches this process to the segment named by the usual rules (TERVIK_SHM or
// "tervik3-<uid>") for reading only (shared_attach_view: a read-only mapping, the same
// owner, mode and header checks as the plug-in's) and collects the claimed slots (only live
// ones unless all is set). False with *err set when there is no usable segment. *name gets
// the name. [main-thread]
bool inspect_segment(std::vector<StageView> *out, bool all, std::string *name, std::string *err);

// Fills position, chain_size, manual and recent from the registry's chain resolution in
// its read-only form (registry_chain_view), on the mapping inspect_segment attached: nothing
// is claimed or stored. False when there is no such mapping. [main-thread]
bool inspect_resolve_chains(std::vector<StageView> *stages);
