#!/usr/bin/env python3
"""Writes quillmarformat.ini: for each of the 115 output formats its container keyword, file
extension, the choice lists of the ten parameter boxes with their default positions, and the
extra H.264 settings where H.264 is offered.

Run from anywhere: python3 data/make_format_file.py  (rewrites data/quillmarformat.ini).
Each profile keeps to what its device family plays: container, codecs, frame sizes, frame and
sample rates and bit rates within the device's limits, and only encoders this FFmpeg has.
"""
import os

# ---- Shared lists ----------------------------------------------------------------------------

VOLUME = ["25%", "50%", "75%", "100%", "125%", "150%", "175%", "200%", "250%", "300%", "350%", "400%"]
CH = ["mono 1 channel", "stereo 2 channels"]
CH_ANY = ["as source", "mono 1 channel", "stereo 2 channels"]

FPS_DEVICE = ["15", "20", "23.976", "24", "25", "29.97", "30"]
FPS_ANY = ["as source", "15", "23.976", "24", "25", "29.97", "30", "50", "59.94", "60"]
FPS_MPEG = ["23.976", "24", "25", "29.97", "30"]
FPS_MPEG_HD = ["23.976", "24", "25", "29.97", "30", "50", "59.94", "60"]
FPS_PHONE = ["10", "12", "15", "20", "25", "29.97"]

SR = ["22050", "32000", "44100", "48000"]
SR_PSP = ["24000", "44100", "48000"]
SR_PHONE = ["8000", "16000", "22050", "32000", "44100"]
SR_FLASH = ["11025", "22050", "44100"]
SR_DV = ["32000", "48000"]
SR_DV_NTSC = ["48000"]  # the DV muxer takes 32 kHz sound only with 625-line pictures
SR_MP2_FULL = ["32000", "44100", "48000"]  # below 32 kHz MP2 allows no more than 160 kbit/s
SR_WAV = ["8000", "11025", "22050", "32000", "44100", "48000"]

ABR_AAC = ["32", "48", "64", "96", "128", "160", "192"]
ABR_AAC_HI = ["64", "96", "128", "160", "192", "256", "320"]
ABR_MP3 = ["32", "48", "64", "96", "128", "160", "192", "224", "256", "320"]
ABR_WMA = ["32", "48", "64", "96", "128", "160", "192"]
ABR_PHONE = ["4.75", "5.15", "5.9", "6.7", "7.4", "7.95", "10.2", "12.2", "24", "32", "48", "64"]
ABR_MP2 = ["64", "96", "128", "160", "192", "224", "256", "320", "384"]
ABR_AC3 = ["96", "128", "160", "192", "224", "256", "320", "384", "448", "640"]
ABR_PCM = ["as source"]

H263_SIZES = ["128x96", "176x144", "352x288"]


class Video:
    def __init__(self, encoders, encoder, sizes, size, rates, rate, fps=FPS_DEVICE, frame_rate="29.97"):
        self.encoders, self.encoder = encoders, encoder
        self.sizes, self.size = sizes, size
        self.rates, self.rate = [str(r) for r in rates], str(rate)
        self.fps, self.frame_rate = fps, frame_rate


class Audio:
    def __init__(self, encoders, encoder, rates, rate, sample_rates=SR, sample_rate="44100",
                 channels=CH, channel="stereo 2 channels"):
        self.encoders, self.encoder = encoders, encoder
        self.rates, self.rate = [str(r) for r in rates], str(rate)
        self.sample_rates, self.sample_rate = sample_rates, sample_rate
        self.channels, self.channel = channels, channel


class H264:
    """Extra settings of a format that offers H.264: level (x10), VBV limits in kbit/s and kbit,
    entropy coder (0 CAVLC for baseline players, 1 CABAC), key-frame interval, quantiser."""

    def __init__(self, level, max_rate, coder, buffer_size=None, gop=250, qscale=23, bit_exact="false"):
        self.level, self.max_rate, self.coder = level, max_rate, coder
        self.buffer_size = buffer_size if buffer_size is not None else 2 * max_rate
        self.gop, self.qscale, self.bit_exact = gop, qscale, bit_exact


# Audio of the families.
def aac(rate=128, rates=ABR_AAC, sample_rates=SR, sample_rate="44100", channels=CH, channel="stereo 2 channels"):
    return Audio(["AAC"], "AAC", rates, rate, sample_rates, sample_rate, channels, channel)


def mp3(rate=128, sample_rates=SR, sample_rate="44100", channels=CH, channel="stereo 2 channels"):
    return Audio(["MP3"], "MP3", ABR_MP3, rate, sample_rates, sample_rate, channels, channel)


def wma(rate=128, sample_rate="44100", channels=CH):
    return Audio(["WMA2", "WMA1"], "WMA2", ABR_WMA, rate, SR, sample_rate, channels)


def phone_audio():
    return Audio(["AMR_NB", "AAC"], "AMR_NB", ABR_PHONE, "12.2", SR_PHONE, "8000", CH, "mono 1 channel")


FORMATS = {}


def fmt(code, keyword, ext, video, audio, h264=None):
    assert code not in FORMATS, code
    offers_h264 = video is not None and "H264" in video.encoders
    assert offers_h264 == (h264 is not None), code
    FORMATS[code] = (keyword, ext, video, audio, h264)


# Sizes of the players (pixels), smallest first.
QVGA = ["320x240", "320x180"]
IPOD_SIZES = ["320x240", "320x180", "480x320", "640x480"]
TOUCH_SIZES = ["480x320", "320x240", "640x480"]
WIDE_SIZES = ["480x272", "320x176", "640x352"]

# ---- 0 Apple iPod: MPEG-4 SP up to 2.5 Mbit/s at 640x480; H.264 baseline, 768 kbit/s at
# 320x240 (level 1.3), up to 1.5 Mbit/s at 640x480 (level 3.0); AAC-LC up to 160 kbit/s.
MP4_DEV_RATES = [384, 512, 768, 1000, 1500, 2000, 2500]
fmt(0, "ipod", "mp4", Video(["MPEG-4"], "MPEG-4", IPOD_SIZES, "320x240", MP4_DEV_RATES, 768), aac(128))
fmt(1, "ipod", "mp4", Video(["H264"], "H264", IPOD_SIZES, "320x240", [256, 384, 512, 768, 1000, 1500], 768),
    aac(128), H264(13, 768, 0, buffer_size=3000))
fmt(2, "ipod", "mp4", Video(["MPEG-4"], "MPEG-4", QVGA, "320x240", MP4_DEV_RATES, 1500), aac(160))
fmt(3, "ipod", "mp4", Video(["MPEG-4"], "MPEG-4", QVGA, "320x240", MP4_DEV_RATES, 768), aac(128))
fmt(4, "ipod", "mp4", Video(["MPEG-4"], "MPEG-4", QVGA, "320x240", MP4_DEV_RATES, 384, FPS_DEVICE, "15"), aac(64))
fmt(5, "ipod", "mp4", Video(["MPEG-4"], "MPEG-4", TOUCH_SIZES, "480x320", MP4_DEV_RATES, 1500), aac(160))
fmt(6, "ipod", "mp4", Video(["MPEG-4"], "MPEG-4", TOUCH_SIZES, "480x320", MP4_DEV_RATES, 1000), aac(128))
fmt(7, "ipod", "mp4", Video(["MPEG-4"], "MPEG-4", QVGA, "320x240", MP4_DEV_RATES, 768), aac(128))
fmt(8, "ipod", "mp4", Video(["MPEG-4"], "MPEG-4", WIDE_SIZES, "480x272", MP4_DEV_RATES, 1000), aac(128))

# ---- 1 Apple iPhone: 480x320 screen, the same decoders as the iPod touch; TV out at 480p/576p.
fmt(100, "ipod", "mp4", Video(["MPEG-4"], "MPEG-4", TOUCH_SIZES, "480x320", MP4_DEV_RATES, 2000), aac(160))
fmt(101, "ipod", "mp4", Video(["MPEG-4"], "MPEG-4", WIDE_SIZES, "480x272", MP4_DEV_RATES, 1500), aac(128))
fmt(102, "ipod", "mp4", Video(["MPEG-4", "H264"], "MPEG-4", TOUCH_SIZES, "480x320", MP4_DEV_RATES, 1000), aac(128),
    H264(30, 1500, 0, buffer_size=3000))
fmt(103, "ipod", "mp4", Video(["MPEG-4", "H264"], "MPEG-4", ["640x480", "640x352", "480x320"], "640x480",
                              MP4_DEV_RATES, 2000), aac(160), H264(30, 1500, 0, buffer_size=3000))
fmt(104, "ipod", "mp4", Video(["MPEG-4", "H264"], "MPEG-4", ["640x480", "640x352", "480x320"], "640x480",
                              MP4_DEV_RATES, 2000, FPS_DEVICE, "25"), aac(160, sample_rate="48000"),
    H264(30, 1500, 0, buffer_size=3000))

# ---- 2 Apple TV: MPEG-4 SP up to 3 Mbit/s at 640x480; H.264 main profile up to 5 Mbit/s at 720p.
TV_RATES = [768, 1000, 1500, 2000, 2500, 3000]
fmt(200, "ipod", "mp4", Video(["MPEG-4"], "MPEG-4", ["640x480", "640x352"], "640x480", TV_RATES, 2500), aac(160))
fmt(201, "ipod", "mp4", Video(["MPEG-4"], "MPEG-4", ["640x480", "640x352"], "640x480", TV_RATES, 1500), aac(128))
fmt(202, "ipod", "mp4", Video(["MPEG-4"], "MPEG-4", ["640x480", "640x352"], "640x480", TV_RATES, 768), aac(96))
fmt(203, "ipod", "mp4", Video(["H264"], "H264", ["320x240", "320x180"], "320x240", [384, 512, 768], 768), aac(128),
    H264(13, 768, 0, buffer_size=3000))
fmt(204, "ipod", "mp4", Video(["H264"], "H264", ["640x480", "640x352"], "640x480", [768, 1000, 1500], 1500), aac(160),
    H264(30, 1500, 0, buffer_size=3000))
fmt(205, "mp4", "mp4", Video(["H264"], "H264", ["1280x720", "960x540", "640x480"], "1280x720",
                             [2000, 3000, 4000, 5000], 4000), aac(160, rates=ABR_AAC_HI, sample_rate="48000"),
    H264(31, 5000, 1, buffer_size=10000))

# ---- 3 GPhone (first Android phones): 480x320 screen, MPEG-4 SP / H.264 baseline, AAC.
fmt(300, "mp4", "mp4", Video(["MPEG-4", "H264"], "MPEG-4", ["480x320", "320x240", "480x272"], "480x320",
                             [384, 512, 768, 1000, 1500], 768), aac(128), H264(30, 1500, 0))

# ---- 4 Sony PSP: MPEG-4 SP up to 480x272, AVC main profile up to 720x480 (level 3.0);
# AAC at 24 or 48 kHz plays on every firmware.
PSP_SIZES = ["480x272", "320x240", "368x208"]
PSP_RATES = [384, 512, 768, 1000, 1500]
fmt(400, "psp", "mp4", Video(["MPEG-4"], "MPEG-4", PSP_SIZES, "480x272", PSP_RATES, 1000),
    aac(128, sample_rates=SR_PSP, sample_rate="48000"))
fmt(401, "psp", "mp4", Video(["MPEG-4"], "MPEG-4", PSP_SIZES, "320x240", PSP_RATES, 768),
    aac(96, sample_rates=SR_PSP, sample_rate="48000"))
fmt(402, "psp", "mp4", Video(["MPEG-4"], "MPEG-4", PSP_SIZES, "320x240", PSP_RATES, 384),
    aac(64, sample_rates=SR_PSP, sample_rate="24000"))
fmt(403, "psp", "mp4", Video(["H264"], "H264", PSP_SIZES + ["720x480"], "480x272", [384, 512, 768, 1000, 1500], 768),
    aac(128, sample_rates=SR_PSP, sample_rate="48000"), H264(30, 1500, 1, buffer_size=4000))
fmt(404, "psp", "mp4", Video(["H264"], "H264", ["720x480", "480x272"], "720x480", [768, 1000, 1500, 2000], 1500),
    aac(128, sample_rates=SR_PSP, sample_rate="48000"), H264(30, 2000, 1, buffer_size=4000))

# ---- 5 Sony PS3: MPEG-4 SP/ASP and H.264 high profile in MP4 up to 1080p.
PS3_AUDIO = aac(160, rates=ABR_AAC_HI, sample_rate="48000")
fmt(500, "ps3", "mp4", Video(["MPEG-4", "H264"], "MPEG-4", ["720x480", "720x576", "640x480"], "720x480",
                             [1000, 1500, 2000, 3000, 4000], 2000), PS3_AUDIO, H264(30, 3500, 1, buffer_size=7000))
fmt(501, "ps3", "mp4", Video(["MPEG-4", "H264"], "MPEG-4", ["720x480", "720x576", "640x480"], "720x480",
                             [1000, 1500, 2000, 3000, 4000, 5000], 3000), PS3_AUDIO, H264(30, 5000, 1, buffer_size=10000))
fmt(502, "ps3", "mp4", Video(["MPEG-4", "H264"], "H264", ["1280x720", "720x480"], "1280x720",
                             [2000, 3000, 4000, 6000, 8000], 4000), PS3_AUDIO, H264(31, 10000, 1, buffer_size=10000))
fmt(503, "ps3", "mp4", Video(["MPEG-4", "H264"], "H264", ["1920x1080", "1280x720"], "1920x1080",
                             [4000, 6000, 8000, 10000, 15000], 8000), PS3_AUDIO, H264(41, 20000, 1, buffer_size=20000))

# ---- 6 Microsoft Zune / 7 Sony Walkman: 320x240, MPEG-4 SP and H.264 baseline up to 768 kbit/s
# and more, WMV; Windows Media 8 is the newest video this FFmpeg encodes.
POCKET_RATES = [256, 384, 512, 768, 1000, 1500]
for base in (600, 700):
    fmt(base + 0, "mp4", "mp4", Video(["MPEG-4"], "MPEG-4", QVGA, "320x240", POCKET_RATES, 768), aac(128))
    fmt(base + 1, "mp4", "mp4", Video(["H264"], "H264", QVGA, "320x240", POCKET_RATES, 768), aac(128),
        H264(30, 1500, 0))
    fmt(base + 2, "asf", "wmv", Video(["WMV2", "WMV1"], "WMV2", QVGA, "320x240", POCKET_RATES, 768), wma(128))

# ---- 8 Archos: MP4 players of the 5/7 generation, WMV on the 105, MPEG-4 SP in AVI elsewhere.
AVI_VIDEO = ["MPEG-4", "XVID"]
AVI_RATES = [384, 512, 768, 1000, 1500, 2000, 2500]
fmt(800, "mp4", "mp4", Video(["H264"], "H264", ["720x480", "800x480", "480x272", "320x240"], "720x480",
                             [768, 1000, 1500, 2000], 1500), aac(128), H264(30, 2000, 0))
fmt(801, "mp4", "mp4", Video(["MPEG-4"], "MPEG-4", ["720x480", "800x480", "480x272", "320x240"], "720x480",
                             AVI_RATES, 1500), aac(128))
fmt(802, "asf", "wmv", Video(["WMV2", "WMV1"], "WMV2", ["160x128", "176x144", "320x240"], "160x128",
                             [128, 192, 256, 384, 512], 256, FPS_DEVICE, "15"), wma(96, channels=CH))
fmt(803, "avi", "avi", Video(AVI_VIDEO, "MPEG-4", ["320x240", "640x480", "720x480"], "320x240", AVI_RATES, 768),
    mp3(128))
fmt(804, "avi", "avi", Video(AVI_VIDEO, "MPEG-4", ["480x272", "320x240", "640x480", "720x480"], "480x272",
                             AVI_RATES, 1000), mp3(128))
fmt(805, "avi", "avi", Video(AVI_VIDEO, "MPEG-4", ["720x480", "720x576", "640x480", "480x272"], "720x480",
                             AVI_RATES, 2000), mp3(160))
fmt(806, "avi", "avi", Video(AVI_VIDEO, "MPEG-4", ["480x272", "320x240", "640x480"], "480x272", AVI_RATES, 1000),
    mp3(128))

# ---- 9 Creative Zen: 320x240 players (Vision: 640x480, Vision W: 480x272), Xvid/MPEG-4 in AVI.
ZEN_RATES = [256, 384, 512, 768, 1000, 1500]
fmt(900, "mp4", "mp4", Video(["H264"], "H264", QVGA, "320x240", ZEN_RATES, 768), aac(128), H264(30, 1500, 0))
fmt(901, "mp4", "mp4", Video(["MPEG-4"], "MPEG-4", QVGA, "320x240", ZEN_RATES, 768), aac(128))
fmt(902, "avi", "avi", Video(["XVID", "MPEG-4"], "XVID", QVGA, "320x240", ZEN_RATES, 768), mp3(128))
fmt(903, "avi", "avi", Video(["XVID", "MPEG-4"], "XVID", QVGA, "320x240", ZEN_RATES, 512, FPS_DEVICE, "20"), mp3(128))
fmt(904, "avi", "avi", Video(["XVID", "MPEG-4"], "XVID", ["640x480", "320x240"], "640x480", ZEN_RATES, 1500),
    mp3(128))
fmt(905, "avi", "avi", Video(["XVID", "MPEG-4"], "XVID", QVGA, "320x240", ZEN_RATES, 768), mp3(128))
fmt(906, "avi", "avi", Video(["XVID", "MPEG-4"], "XVID", ["480x272", "320x240"], "480x272", ZEN_RATES, 1000),
    mp3(128))

# ---- 10 iRiver: MP4 and WMV on the newer players, Xvid in AVI with MP3 elsewhere.
fmt(1000, "mp4", "mp4", Video(["H264"], "H264", QVGA, "320x240", ZEN_RATES, 768), aac(128), H264(30, 1500, 0))
fmt(1001, "mp4", "mp4", Video(["MPEG-4"], "MPEG-4", QVGA, "320x240", ZEN_RATES, 768), aac(128))
fmt(1002, "asf", "wmv", Video(["WMV2", "WMV1"], "WMV2", QVGA, "320x240", ZEN_RATES, 768), wma(128))
fmt(1003, "avi", "avi", Video(["XVID", "MPEG-4"], "XVID", QVGA, "320x240", ZEN_RATES, 768), mp3(128))
fmt(1004, "avi", "avi", Video(["XVID", "MPEG-4"], "XVID", ["160x128", "128x96"], "160x128", [128, 192, 256, 384], 256,
                              FPS_DEVICE, "15"), mp3(96))
fmt(1005, "avi", "avi", Video(["XVID", "MPEG-4"], "XVID", ["320x240", "160x128"], "320x240", ZEN_RATES, 512,
                              FPS_DEVICE, "15"), mp3(128))
fmt(1006, "avi", "avi", Video(["XVID", "MPEG-4"], "XVID", ["320x240", "220x176", "160x128"], "320x240", ZEN_RATES,
                              512, FPS_DEVICE, "15"), mp3(128))
fmt(1007, "avi", "avi", Video(["XVID", "MPEG-4"], "XVID", ["320x240", "400x240", "480x272"], "320x240", ZEN_RATES,
                              768), mp3(128))
fmt(1008, "avi", "avi", Video(["XVID", "MPEG-4"], "XVID", ["320x240", "640x480"], "320x240", ZEN_RATES, 768), mp3(128))
fmt(1009, "avi", "avi", Video(["XVID", "MPEG-4"], "XVID", ["320x240", "640x480"], "320x240", ZEN_RATES, 768), mp3(128))

# ---- 11 Sandisk Sansa: 220x176 and 320x240 screens.
SANSA_SIZES = ["320x240", "220x176", "176x144"]
fmt(1100, "avi", "avi", Video(["XVID", "MPEG-4"], "XVID", SANSA_SIZES, "320x240", ZEN_RATES, 512, FPS_DEVICE, "20"),
    mp3(128))
fmt(1101, "asf", "wmv", Video(["WMV2", "WMV1"], "WMV2", SANSA_SIZES, "320x240", ZEN_RATES, 512), wma(128))
fmt(1102, "mp4", "mp4", Video(["MPEG-4"], "MPEG-4", SANSA_SIZES, "320x240", ZEN_RATES, 512), aac(128))

# ---- 12 Xbox 360: WMV and MPEG-4 up to 720p, H.264 up to 1080p.
XBOX_SIZES = ["1280x720", "640x480", "720x480", "1920x1080"]
XBOX_RATES = [1500, 2000, 3000, 4000, 5000, 8000]
fmt(1200, "asf", "wmv", Video(["WMV2", "WMV1"], "WMV2", XBOX_SIZES, "1280x720", XBOX_RATES, 4000),
    Audio(["WMA2"], "WMA2", ABR_WMA, 192, SR, "48000"))
fmt(1201, "avi", "avi", Video(AVI_VIDEO, "MPEG-4", XBOX_SIZES[:3], "1280x720", XBOX_RATES[:5], 3000),
    Audio(["MP3", "AC-3"], "MP3", ABR_MP3, 192, SR, "48000"))
fmt(1202, "mp4", "mp4", Video(["MPEG-4", "H264"], "H264", XBOX_SIZES, "1280x720", XBOX_RATES, 4000),
    aac(160, rates=ABR_AAC_HI, sample_rate="48000"), H264(41, 10000, 1, buffer_size=10000))

# ---- 13 Wii photo channel: Motion JPEG up to 640x480 at 30 frames/s with PCM sound.
WII_SIZES = ["640x480", "512x384", "320x240"]
WII_RATES = [2000, 3000, 4000, 6000, 8000]
fmt(1300, "avi", "avi", Video(["MJPEG"], "MJPEG", WII_SIZES, "640x480", WII_RATES, 4000, FPS_DEVICE, "29.97"),
    Audio(["PCM_S16", "ADPCM_IMA_WAV"], "PCM_S16", ABR_PCM, "as source", SR, "32000"))
fmt(1301, "mov", "mov", Video(["MJPEG"], "MJPEG", WII_SIZES, "640x480", WII_RATES, 4000, FPS_DEVICE, "29.97"),
    Audio(["PCM_S16"], "PCM_S16", ABR_PCM, "as source", SR, "32000"))

# ---- 14 Mobile phones: 3GP with H.263 (its fixed picture sizes) or MPEG-4 SP, AMR-NB speech
# or AAC; phones of the MP4 generation at 320x240.
PHONE_RATES = [64, 96, 128, 192, 256, 384]
fmt(1400, "3gp", "3gp", Video(["H263"], "H263", H263_SIZES, "176x144", PHONE_RATES, 128, FPS_PHONE, "15"),
    phone_audio())
fmt(1401, "3gp", "3gp", Video(["MPEG-4", "H263"], "MPEG-4", ["176x144", "320x240", "352x288"], "176x144",
                              PHONE_RATES, 192, FPS_PHONE, "15"), phone_audio())
fmt(1402, "3g2", "3gp", Video(["H263"], "H263", H263_SIZES, "176x144", PHONE_RATES, 128, FPS_PHONE, "15"),
    phone_audio())
fmt(1403, "3g2", "3gp", Video(["MPEG-4", "H263"], "MPEG-4", ["176x144", "320x240", "352x288"], "176x144",
                              PHONE_RATES, 192, FPS_PHONE, "15"), phone_audio())
fmt(1404, "mp4", "mp4", Video(["MPEG-4"], "MPEG-4", ["320x240", "176x144", "480x320"], "320x240",
                              [128, 256, 384, 512, 768], 384, FPS_DEVICE, "15"), aac(96, rates=ABR_AAC))
NOKIA = Video(["MPEG-4"], "MPEG-4", ["320x240", "640x360", "176x144"], "320x240", [256, 384, 512, 768, 1000], 512,
              FPS_DEVICE, "25")
fmt(1405, "mp4", "mp4", NOKIA, aac(128))

# ---- 15 BlackBerry (Curve 320x240, Bold 480x320) / 16 Nokia N series.
fmt(1500, "mp4", "mp4", Video(["MPEG-4"], "MPEG-4", ["320x240", "480x320", "240x160"], "320x240",
                              [256, 384, 512, 768, 1000], 512, FPS_DEVICE, "24"), aac(96))
fmt(1600, "mp4", "mp4", NOKIA, aac(128))

# ---- 17 Windows Mobile: WMV at the screen sizes of the devices (portrait screens turned).
def pocket(code, sizes, size, rate):
    fmt(code, "asf", "wmv", Video(["WMV2", "WMV1"], "WMV2", sizes, size, [256, 384, 512, 768, 1000, 1500], rate,
                                  FPS_DEVICE, "24"), wma(96))


pocket(1700, ["320x240", "240x180"], "320x240", 512)
pocket(1701, ["640x480", "320x240"], "640x480", 1000)
pocket(1702, ["240x240", "240x180"], "240x180", 384)
pocket(1703, ["320x240", "240x180"], "320x240", 512)
pocket(1704, ["640x480", "320x240"], "640x480", 1000)
pocket(1705, ["240x240", "240x180", "320x240"], "240x180", 384)
pocket(1706, ["640x480", "640x360", "320x240"], "640x480", 1000)
pocket(1707, ["320x240", "240x180", "640x480"], "320x240", 512)

# ---- 18 QuickTime.
GENERIC_SIZES = ["640x480", "320x240", "720x480", "720x576", "1280x720", "as source"]
GENERIC_RATES = [512, 768, 1000, 1500, 2000, 3000, 4000, 6000]
fmt(1800, "mov", "mov", Video(["MPEG-4", "H264", "MJPEG", "SVQ1"], "MPEG-4", GENERIC_SIZES, "640x480", GENERIC_RATES,
                              1500, FPS_ANY, "as source"),
    Audio(["AAC", "MP3", "PCM_S16"], "AAC", ABR_AAC_HI, 128, SR, "44100", CH_ANY), H264(30, 6000, 1))

# ---- 19 Flash: Sorenson Spark (or H.264) in FLV; SWF carries Spark and MP3 only.
FLASH_SIZES = ["320x240", "400x300", "480x360", "640x480"]
fmt(1900, "flv", "flv", Video(["FLV", "H264"], "FLV", FLASH_SIZES, "320x240", [256, 384, 512, 768, 1000, 1500], 512,
                              FPS_DEVICE, "25"),
    Audio(["MP3", "AAC"], "MP3", ABR_MP3, 96, SR_FLASH, "44100"), H264(30, 1500, 1))
fmt(1901, "swf", "swf", Video(["SWF"], "SWF", FLASH_SIZES, "320x240", [256, 384, 512, 768, 1000], 512,
                              FPS_DEVICE, "25"),
    Audio(["MP3"], "MP3", ABR_MP3, 96, SR_FLASH, "44100"))

# ---- 20 Toshiba Gigabeat: 320x240 WMV.
fmt(2000, "asf", "wmv", Video(["WMV2", "WMV1"], "WMV2", QVGA, "320x240", POCKET_RATES, 768), wma(128))

# ---- 21 HD video.
HD_SIZES = ["1280x720", "1920x1080", "1440x1080", "as source"]
HD_RATES = [2000, 4000, 6000, 8000, 10000, 15000]
HD_AAC = Audio(["AAC", "AC-3"], "AAC", ABR_AAC_HI, 192, SR, "48000", CH_ANY)
fmt(2100, "avi", "avi", Video(["MPEG-4", "XVID", "MJPEG"], "MPEG-4", HD_SIZES, "1280x720", HD_RATES, 6000,
                              FPS_ANY, "as source"),
    Audio(["MP3", "AC-3"], "MP3", ABR_MP3, 192, SR, "48000", CH_ANY))
fmt(2101, "avi", "avi", Video(["MPEG-4", "MSMPEG4"], "MPEG-4", HD_SIZES, "1280x720", HD_RATES, 6000,
                              FPS_ANY, "as source"),
    Audio(["MP3", "AC-3"], "MP3", ABR_MP3, 192, SR, "48000", CH_ANY))
fmt(2102, "mp4", "mp4", Video(["H264"], "H264", HD_SIZES, "1280x720", HD_RATES, 6000, FPS_ANY, "as source"), HD_AAC,
    H264(41, 20000, 1, buffer_size=20000))
fmt(2103, "mov", "mov", Video(["H264", "MPEG-4", "MJPEG"], "H264", HD_SIZES, "1280x720", HD_RATES, 6000,
                              FPS_ANY, "as source"), HD_AAC, H264(41, 20000, 1, buffer_size=20000))
fmt(2104, "asf", "wmv", Video(["WMV2", "WMV1"], "WMV2", HD_SIZES, "1280x720", HD_RATES, 6000, FPS_ANY, "as source"),
    Audio(["WMA2", "WMA1"], "WMA2", ABR_WMA, 192, SR, "48000", CH_ANY))
fmt(2105, "mp4", "mp4", Video(["MPEG-4"], "MPEG-4", HD_SIZES, "1280x720", HD_RATES, 6000, FPS_ANY, "as source"),
    HD_AAC)
fmt(2106, "avi", "avi", Video(["XVID"], "XVID", HD_SIZES, "1280x720", HD_RATES, 6000, FPS_ANY, "as source"),
    Audio(["MP3", "AC-3"], "MP3", ABR_MP3, 192, SR, "48000", CH_ANY))
MPEG2_HD = ["1920x1080", "1280x720", "1440x1080"]
fmt(2107, "vob", "mpg", Video(["mpeg2video"], "mpeg2video", MPEG2_HD, "1920x1080", [6000, 8000, 10000, 15000, 20000],
                              15000, FPS_MPEG_HD, "29.97"),
    Audio(["AC-3", "MP2"], "AC-3", ABR_AC3, 384, ["48000"], "48000", CH_ANY))
fmt(2108, "mpegts", "ts", Video(["mpeg2video", "H264"], "mpeg2video", MPEG2_HD, "1920x1080",
                                [6000, 8000, 10000, 15000, 20000], 15000, FPS_MPEG_HD, "29.97"),
    Audio(["AC-3", "MP2", "AAC"], "AC-3", ABR_AC3, 384, ["48000"], "48000", CH_ANY),
    H264(41, 20000, 1, buffer_size=20000))

# ---- 22 Matroska.
fmt(2200, "matroska", "mkv", Video(["H264", "MPEG-4", "XVID"], "H264",
                                   ["1280x720", "640x480", "720x480", "720x576", "1920x1080", "as source"], "1280x720",
                                   [768, 1000, 1500, 2000, 4000, 6000, 8000], 4000, FPS_ANY, "as source"),
    Audio(["AAC", "MP3", "AC-3", "OGG", "FLAC"], "AAC", ABR_AAC_HI, 160, SR, "48000", CH_ANY),
    H264(40, 20000, 1, buffer_size=20000))

# ---- 23 General video.
GEN_SIZES = ["640x480", "320x240", "720x480", "720x576", "1280x720", "as source"]
fmt(2300, "mpeg", "mpg", Video(["mpeg1video"], "mpeg1video", ["352x240", "352x288", "320x240", "640x480"], "352x240",
                               [768, 1150, 1500, 2000, 3000], 1150, FPS_MPEG, "29.97"),
    Audio(["MP2", "MP3"], "MP2", ABR_MP2, 224, SR_MP2_FULL, "44100"))
fmt(2301, "vob", "mpg", Video(["mpeg2video"], "mpeg2video", ["720x480", "720x576", "352x480", "352x576"], "720x480",
                              [2000, 3000, 4000, 6000, 8000, 9000], 6000, FPS_MPEG, "29.97"),
    Audio(["MP2", "AC-3"], "MP2", ABR_MP2, 224, ["48000", "44100"], "48000", CH_ANY))
fmt(2302, "mp4", "mp4", Video(["MPEG-4"], "MPEG-4", GEN_SIZES, "640x480", GENERIC_RATES, 1500, FPS_ANY, "as source"),
    Audio(["AAC", "MP3"], "AAC", ABR_AAC_HI, 128, SR, "44100", CH_ANY))
fmt(2303, "mp4", "mp4", Video(["H264"], "H264", GEN_SIZES, "640x480", GENERIC_RATES, 1500, FPS_ANY, "as source"),
    Audio(["AAC", "MP3"], "AAC", ABR_AAC_HI, 128, SR, "44100", CH_ANY), H264(30, 6000, 1, buffer_size=12000))
fmt(2304, "avi", "avi", Video(["MPEG-4", "XVID", "MSMPEG4", "MJPEG", "H264"], "MPEG-4", GEN_SIZES, "640x480",
                              GENERIC_RATES, 1500, FPS_ANY, "as source"),
    Audio(["MP3", "MP2", "AC-3", "PCM_S16"], "MP3", ABR_MP3, 128, SR, "44100", CH_ANY),
    H264(30, 6000, 1, buffer_size=12000))
fmt(2305, "asf", "wmv", Video(["WMV2", "WMV1"], "WMV2", GEN_SIZES, "640x480", GENERIC_RATES, 1500, FPS_ANY,
                              "as source"),
    Audio(["WMA2", "WMA1"], "WMA2", ABR_WMA, 128, SR, "44100", CH_ANY))
fmt(2306, "avi", "avi", Video(["MPEG-4", "MSMPEG4"], "MPEG-4", GEN_SIZES, "640x480", GENERIC_RATES, 1500, FPS_ANY,
                              "as source"),
    Audio(["MP3", "AC-3"], "MP3", ABR_MP3, 128, SR, "44100", CH_ANY))
fmt(2307, "avi", "avi", Video(["XVID"], "XVID", GEN_SIZES, "640x480", GENERIC_RATES, 1500, FPS_ANY, "as source"),
    Audio(["MP3", "AC-3"], "MP3", ABR_MP3, 128, SR, "44100", CH_ANY))
# DV: fixed picture, rate and data rate; 16-bit PCM at 48 kHz, or 32 kHz with PAL.
fmt(2308, "dv", "dv", Video(["DVVIDEO"], "DVVIDEO", ["720x480"], "720x480", [25000], 25000, ["29.97"], "29.97"),
    Audio(["PCM_S16"], "PCM_S16", ABR_PCM, "as source", SR_DV_NTSC, "48000", ["stereo 2 channels"]))
fmt(2309, "dv", "dv", Video(["DVVIDEO"], "DVVIDEO", ["720x576"], "720x576", [25000], 25000, ["25"], "25"),
    Audio(["PCM_S16"], "PCM_S16", ABR_PCM, "as source", SR_DV, "48000", ["stereo 2 channels"]))

# ---- 24 General audio. The video lists hold only "as source" so that Default and Start find a
# valid text there; without a video encoder the five boxes stay greyed out.
def audio_only(code, keyword, ext, audio):
    fmt(code, keyword, ext, None, audio)


audio_only(2400, "mp3", "mp3", Audio(["MP3"], "MP3", ABR_MP3, 128, SR, "44100", CH_ANY))
audio_only(2401, "adts", "aac", Audio(["AAC"], "AAC", ABR_AAC_HI, 128, SR, "44100", CH_ANY))
audio_only(2402, "ipod", "m4a", Audio(["AAC"], "AAC", ABR_AAC_HI, 128, SR, "44100", CH_ANY))
audio_only(2403, "asf", "wma", Audio(["WMA2", "WMA1"], "WMA2", ABR_WMA, 128, SR, "44100", CH_ANY))
# "PCM_MULAW " keeps its trailing blank: that is the item text the encoder table knows.
audio_only(2404, "wav", "wav", Audio(["PCM_S16", "PCM_ALAW", "PCM_MULAW ", "ADPCM_MS", "ADPCM_IMA_WAV"], "PCM_S16",
                                     ABR_PCM, "as source", SR_WAV, "44100", CH_ANY))
audio_only(2405, "ogg", "ogg", Audio(["OGG"], "OGG", ABR_AAC_HI, 128, SR, "44100", CH_ANY))
audio_only(2406, "ac3", "ac3", Audio(["AC-3"], "AC-3", ABR_AC3, 192, ["32000", "44100", "48000"], "48000", CH_ANY))


# ---- Writing ---------------------------------------------------------------------------------

def lines_of(code):
    keyword, ext, video, audio, h264 = FORMATS[code]
    out = ["[formatInfo%d]" % code, "Format=" + keyword, "FileExt=" + ext]

    def put(key, items, default):
        assert default in items, (code, key, default)
        out.append("%s=%s" % (key, ",".join(items)))
        out.append("i%s=%d" % (key, items.index(default)))

    if video is not None:
        put("VideoSize", video.sizes, video.size)
        put("VideoBitRate", video.rates, video.rate)
        put("FrameRate", video.fps, video.frame_rate)
        put("VideoEncoder", video.encoders, video.encoder)
    else:
        put("VideoSize", ["as source"], "as source")
        put("VideoBitRate", ["as source"], "as source")
        put("FrameRate", ["as source"], "as source")
        out += ["VideoEncoder=null", "iVideoEncoder=0"]
    put("AudioBitRate", audio.rates, audio.rate)
    put("SampleRate", audio.sample_rates, audio.sample_rate)
    put("AudioEncoder", audio.encoders, audio.encoder)
    put("Channel", audio.channels, audio.channel)
    put("Volume", VOLUME, "100%")
    if h264 is not None:
        out += ["paraBitExact=" + h264.bit_exact,
                "paraMaxBitrate=%d" % h264.max_rate,
                "paraBufferSize=%d" % h264.buffer_size,
                "paraLevel=%d" % h264.level,
                "paraQscale=%d" % h264.qscale,
                "paraGop=%d" % h264.gop,
                "paraCoder=%d" % h264.coder]
    return out


def main():
    assert len(FORMATS) == 115, len(FORMATS)
    text = ["; Output formats of Quillmar: container keyword, file extension, the choice lists of the",
            "; parameter boxes with their default positions, and extra H.264 settings.",
            "; Written by data/make_format_file.py; edit the script, not this file.", ""]
    for code in sorted(FORMATS):
        text += lines_of(code) + [""]
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "quillmarformat.ini")
    with open(path, "w", newline="\n") as f:
        f.write("\n".join(text))
    print("wrote %s (%d formats)" % (path, len(FORMATS)))


if __name__ == "__main__":
    main()
