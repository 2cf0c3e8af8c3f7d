/* Test plug-in with Process only: usable without arguments, refused with them. */
#include "engine/FrameHookApi.h"

int NoConfigureCalls;

void Process(void* ctx, uint8_t* data[4], int linesize[4], int pix_fmt, int width, int height, int64_t pts) {
    (void)ctx;
    (void)linesize;
    (void)pix_fmt;
    (void)width;
    (void)height;
    (void)pts;
    NoConfigureCalls++;
    data[0][0] = 7;
}
