#pragma once
// Races that ThreadSanitizer reports inside the media and SDL libraries: they are not built with
// it, so it cannot see their atomics (reference-counted buffers, frame threads) and reports
// their own frees and locks as races. Our code is instrumented and is not suppressed.
inline const char* const kLibraryRaceSuppressions =
    "race:libavcodec.so\n"
    "race:libavutil.so\n"
    "race:libavformat.so\n"
    "race:libavfilter.so\n"
    "race:libswscale.so\n"
    "race:libswresample.so\n"
    "race:libSDL2\n";
