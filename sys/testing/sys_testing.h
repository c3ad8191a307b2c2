// Platform helpers that only tests use; built into tk_sys_testing, which the plug-in does
// not link.
#pragma once
#include <pthread.h>

// [any-thread] pthread_mutex_destroy; returns its result (0 on success).
int sys_mutex_destroy(pthread_mutex_t *m);
