#pragma once
// Enumerations and event types of the preview player.
#include <cstdint>
#include <functional>

#include "engine/Bitmap.h"
#include "engine/Types.h"

enum TPlayState { psPlay, psPause, psResume, psStep, psStop, psEnd };

// SDL audio driver chosen at Open: adDefault lets SDL decide; the others name the Linux
// counterparts of the sound systems they stood for.
enum TAudioDriver { adDefault, adDirectSound, adWaveOut };
// Kept for the host's settings; the player draws through its video sink, not through SDL video.
enum TVideoDriver { vdDefault, vdDirectDraw, vdGDI };

// Mixing volume of the output, 0 ... 128 (128 = unchanged).
using TAudioVolume = int;
inline constexpr TAudioVolume kMaxAudioVolume = 128;

// "psPlay", "psPause", ...
const char* PlayStateName(TPlayState state);

// SDL's name for an audio driver, or nullptr for adDefault.
const char* AudioDriverName(TAudioDriver driver);

// Sender, duration in µs (-1 unknown, 0 picture sequence), frame width and height (-1 without
// video), and the video area's size which the handler may change.
using TFileOpenEvent = std::function<void(TFFBaseComponent* sender, int64_t durationUs, int frameWidth,
                                          int frameHeight, int& screenWidth, int& screenHeight)>;
// Sender, the picture as a 24-bit bitmap (what the handler draws is shown), the picture's time in µs.
using THookEvent = std::function<void(TFFBaseComponent* sender, const TBitmapView& bitmap, int64_t ptsUs)>;
using TPositionEvent = std::function<void(TFFBaseComponent* sender, int64_t ptsUs)>;
using TPlayStateEvent = std::function<void(TFFBaseComponent* sender, TPlayState state)>;
