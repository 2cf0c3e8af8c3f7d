/* What the test plug-in records of its calls; the tests read it through dlsym("TestHookState"). */
#ifndef QUILLMAR_TEST_VHOOK_STATE_H
#define QUILLMAR_TEST_VHOOK_STATE_H
#include <stdint.h>

struct TestHookState {
    int configures;
    int processes;
    int releases;
    int last_argc;
    int last_pix_fmt;
    int last_width;
    int last_height;
    int64_t last_pts;
    char last_arg[64];
};

#endif
