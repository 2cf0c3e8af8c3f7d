#include "player/PlayerTypes.h"

const char* PlayStateName(TPlayState state) {
    switch (state) {
        case psPlay: return "psPlay";
        case psPause: return "psPause";
        case psResume: return "psResume";
        case psStep: return "psStep";
        case psStop: return "psStop";
        case psEnd: return "psEnd";
    }
    return "?";
}

const char* AudioDriverName(TAudioDriver driver) {
    switch (driver) {
        case adDefault: return nullptr;
        case adDirectSound: return "pulseaudio";
        case adWaveOut: return "alsa";
    }
    return nullptr;
}
