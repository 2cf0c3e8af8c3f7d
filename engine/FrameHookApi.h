/* The interface of a frame-hook plug-in: a shared object exporting these C functions.
 *
 *   Configure  optional (required when the hook is given arguments); called once when a task adds
 *              the hook, with argv[0] = the plug-in's file name and the hook's arguments after it.
 *              Stores its own state in *ctx. Returns 0 on success; anything else refuses the hook.
 *   Process    required; called on the task's worker thread for every decoded picture, in the
 *              order the hooks were added. The picture is writable and may be changed in place
 *              (same size and pixel format). pix_fmt is an AVPixelFormat, pts is in microseconds.
 *   Release    optional; called once when the task ends, with the context Configure stored.
 *
 * The argument strings stay valid until Release. Plug-ins may be written in C or C++.
 */
#ifndef QUILLMAR_FRAME_HOOK_API_H
#define QUILLMAR_FRAME_HOOK_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*FrameHookConfigureFn)(void** ctx, int argc, char* argv[]);
typedef void (*FrameHookProcessFn)(void* ctx, uint8_t* data[4], int linesize[4], int pix_fmt, int width, int height,
                                   int64_t pts);
typedef void (*FrameHookReleaseFn)(void* ctx);

/* Prototypes for plug-in sources (the host resolves the functions by name and never declares them). */
#ifndef QUILLMAR_FRAME_HOOK_HOST
int Configure(void** ctx, int argc, char* argv[]);
void Process(void* ctx, uint8_t* data[4], int linesize[4], int pix_fmt, int width, int height, int64_t pts);
void Release(void* ctx);
#endif

#ifdef __cplusplus
}
#endif

#endif
