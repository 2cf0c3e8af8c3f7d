/* Test plug-in without a Process entry point. */
#include "engine/FrameHookApi.h"

int Configure(void** ctx, int argc, char* argv[]) {
    (void)argc;
    (void)argv;
    *ctx = 0;
    return 0;
}

void Release(void* ctx) { (void)ctx; }
