// What the host shows about each parameter through its parameter-indication extension: a
// controller mapping and the automation state, each with the host's colour. Kept per stage
// by the plug-in (not in the saved state) and reached by the editors of the process
// through the stage's StageOwner.
#pragma once
#include <cstdint>

// ParamIndication::automation, numbered as the host's states.
enum IndicationAutomation : uint8_t {
    INDICATION_AUTOMATION_NONE = 0,
    INDICATION_AUTOMATION_PRESENT = 1,
    INDICATION_AUTOMATION_PLAYING = 2,
    INDICATION_AUTOMATION_RECORDING = 3,
    INDICATION_AUTOMATION_OVERRIDING = 4,
};

struct ParamIndication {
    uint8_t mapped;         // a controller is mapped to the parameter
    uint8_t automation;     // IndicationAutomation
    uint8_t map_has_color;  // the host gave a colour for the mapping
    uint8_t auto_has_color; // the host gave a colour for the automation
    uint8_t map_rgba[4];    // the mapping's colour (red, green, blue, alpha)
    uint8_t auto_rgba[4];   // the automation's colour
};
