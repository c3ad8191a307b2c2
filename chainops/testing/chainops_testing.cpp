// Preset-file helpers that only tests use (see chainops_testing.h).
#include "chainops/testing/chainops_testing.h"

#include "chainops/user_presets.h"
#include "sys/sys.h"

bool preset_delete(const char *name) {
    char path[PRESET_PATH_MAX];
    return preset_path(name, path, sizeof path) && sys_delete_file(path);
}
