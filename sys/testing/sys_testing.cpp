// Platform helpers that only tests use (see sys_testing.h).
#include "sys/testing/sys_testing.h"

int sys_mutex_destroy(pthread_mutex_t *m) { return pthread_mutex_destroy(m); }
