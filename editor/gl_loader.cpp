// The run-time OpenGL loader: one global pointer per entry point the editor needs, filled
// through pugl's glXGetProcAddress wrapper while the view's context is current.
#include "editor/gl.h"

#include <cstdio>

extern "C" {
#include <pugl/gl.h>
}

#define TKGL_DEFINE(type, name) type tkgl_##name = nullptr;
TKGL_FUNCS(TKGL_DEFINE)
#undef TKGL_DEFINE

bool tkgl_load() {
    int missing = 0;
    // Every lookup is made and stored, also after one failed, so that a partial set is
    // visible (tests count it); the editor only draws when the whole set is there.
#define TKGL_LOOKUP(type, name)                                                                                        \
    tkgl_##name = reinterpret_cast<type>(puglGetProcAddress(#name));                                                   \
    if (!tkgl_##name) missing++;
    TKGL_FUNCS(TKGL_LOOKUP)
#undef TKGL_LOOKUP
    return missing == 0;
}

int tkgl_version() {
    if (!tkgl_glGetString) return 0;
    const char *v = reinterpret_cast<const char *>(tkgl_glGetString(GL_VERSION));
    if (!v) return 0;
    int major = 0, minor = 0;
    // "4.5 (Core Profile) Mesa ..." or, for ES contexts, "OpenGL ES 3.2 ...": skip to the
    // first digit.
    while (*v && (*v < '0' || *v > '9'))
        v++;
    if (sscanf(v, "%d.%d", &major, &minor) != 2) return 0;
    if (major < 0 || major > 99 || minor < 0 || minor > 9) return 0;
    return major * 10 + minor;
}
