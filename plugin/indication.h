// What the host shows about each parameter through clap.param-indication: a controller
// mapping and the automation state, each with the host's colour. Kept per stage in its
// instance record (not in the saved state); the editors of the process draw it.
#pragma once
#include <cstdint>

struct ParamIndication {
    uint8_t mapped;         // a controller is mapped to the parameter
    uint8_t automation;     // CLAP_PARAM_INDICATION_AUTOMATION_* (0 none .. 4 overriding)
    uint8_t map_has_color;  // the host gave a colour for the mapping
    uint8_t auto_has_color; // the host gave a colour for the automation
    uint8_t map_rgba[4];    // the mapping's colour (red, green, blue, alpha)
    uint8_t auto_rgba[4];   // the automation's colour
};
