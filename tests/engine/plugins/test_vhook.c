/* Test plug-in: inverts the first plane of every picture, or with the arguments "mark N" sets its
 * first byte to N. Configure refuses the argument "fail". The host-visible record lets tests see
 * what the plug-in was called with. */
#include <stdlib.h>
#include <string.h>

#include "engine/FrameHookApi.h"
#include "tests/engine/plugins/test_vhook_state.h"


__attribute__((visibility("default"))) struct TestHookState TestHookState;

struct Context {
    int mark; /* -1: invert */
};

int Configure(void** ctx, int argc, char* argv[]) {
    TestHookState.configures++;
    TestHookState.last_argc = argc;
    TestHookState.last_arg[0] = 0;
    if (argc > 1) strncpy(TestHookState.last_arg, argv[argc - 1], sizeof TestHookState.last_arg - 1);
    if (argc > 1 && strcmp(argv[1], "fail") == 0) return 1;
    struct Context* c = malloc(sizeof *c);
    if (!c) return 1;
    c->mark = argc > 2 && strcmp(argv[1], "mark") == 0 ? atoi(argv[2]) : -1;
    *ctx = c;
    return 0;
}

void Process(void* ctx, uint8_t* data[4], int linesize[4], int pix_fmt, int width, int height, int64_t pts) {
    struct Context* c = ctx;
    TestHookState.processes++;
    TestHookState.last_pix_fmt = pix_fmt;
    TestHookState.last_width = width;
    TestHookState.last_height = height;
    TestHookState.last_pts = pts;
    if (c->mark >= 0) {
        data[0][0] = (uint8_t)c->mark;
        return;
    }
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) data[0][y * linesize[0] + x] = (uint8_t)(255 - data[0][y * linesize[0] + x]);
}

void Release(void* ctx) {
    TestHookState.releases++;
    free(ctx);
}
