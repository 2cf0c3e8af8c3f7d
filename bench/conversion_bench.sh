#!/usr/bin/env bash
# Whole-conversion benchmark: the same conversions through `quillmar-cli engine` and through the
# ffmpeg tool with the same options, on generated sources. Prints per case the median wall time
# of each, their ratio (goal: at most 1.05) and the ratio of the output sizes.
#
# usage: bench/conversion_bench.sh [path/to/quillmar-cli] [runs]
#        ONLY_EFFECTS=1 bench/conversion_bench.sh ...   only the effects section
set -euo pipefail
cd "$(dirname "$0")/.."
cli=${1:-build/cli/quillmar-cli}
runs=${2:-5}
[ -x "$cli" ] || { echo "no quillmar-cli at $cli (build it first)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "making sources in $work ..." >&2
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=6 \
    -f lavfi -i sine=frequency=440:sample_rate=48000:duration=6 -ac 2 \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac "$work/src1080.mp4"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25:duration=6 \
    -f lavfi -i sine=frequency=440:sample_rate=44100:duration=6 -ac 2 \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac "$work/src720.mp4"

# name | source | output extension | options (the same words for both programs)
cases=(
  "1080p_to_320x240_mpeg4_aac|src1080.mp4|mp4|-s 320x240 -vcodec mpeg4 -b 600k -acodec aac -ab 128k"
  "1080p_to_480x272_x264_aac|src1080.mp4|mp4|-s 480x272 -vcodec libx264 -b 500k -acodec aac -ab 128k"
  "720p_to_1280x720_x264|src720.mp4|mkv|-s 1280x720 -vcodec libx264 -b 2000k -acodec aac -ab 128k"
  "video_to_mp3|src720.mp4|mp3|-vn -acodec libmp3lame -ab 128k"
)

# The ffmpeg tool spells some options differently.
tool_options() {
  sed -e 's/-vcodec /-c:v /; s/-acodec /-c:a /; s/-b \([0-9]*k\)/-b:v \1/; s/-ab /-b:a /' <<<"$1"
}

now() { date +%s.%N; }
# Runs a command and appends its wall time in seconds to the array named by $1.
timed() {
  local -n times=$1
  shift
  local t0 t1
  t0=$(now)
  "$@" || return
  t1=$(now)
  times+=("$(echo "$t1 - $t0" | bc -l)")
}
median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

printf "%-28s %10s %10s %8s %8s\n" case quillmar_s ffmpeg_s time_x size_x
[ "${ONLY_EFFECTS:-0}" = 1 ] && cases=()
for c in "${cases[@]}"; do
  IFS='|' read -r name src ext opts <<<"$c"
  ours=() theirs=()
  for ((i = 0; i < runs; i++)); do
    # Alternate the order so that neither program profits from a warmer cache.
    for who in ours theirs; do
      out="$work/$name.$who.$ext"
      rm -f "$out"
      if [ $who = ours ]; then
        # shellcheck disable=SC2086
        timed ours "$cli" engine -i "$work/$src" $opts "$out" >/dev/null 2>&1 || { echo "quillmar failed on $name" >&2; exit 1; }
      else
        # shellcheck disable=SC2086
        timed theirs ffmpeg -nostdin -v error -y -i "$work/$src" $(tool_options "$opts") "$out" || { echo "ffmpeg failed on $name" >&2; exit 1; }
      fi
    done
  done
  mo=$(printf "%s\n" "${ours[@]}" | median)
  mt=$(printf "%s\n" "${theirs[@]}" | median)
  so=$(stat -c %s "$work/$name.ours.$ext")
  st=$(stat -c %s "$work/$name.theirs.$ext")
  printf "%-28s %10.3f %10.3f %8.3f %8.3f\n" "$name" "$mo" "$mt" "$(echo "$mo / $mt" | bc -l)" "$(echo "$so / $st" | bc -l)"
done

# The cost of picture effects and a watermark: the same `quillmar-cli convert` with a device format,
# once plain and once with colour, exposure, a text and an image watermark (goal: at most 1.5).
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=160x90 -frames:v 1 -pix_fmt bgr24 "$work/logo.bmp"
effects="--brightness 300 --contrast 20 --saturation 180 --exposure 40 --text Quillmar \
--font DejaVu\ Sans,24,0xFFFFFF,bold --text-pos 40,40 --image $work/logo.bmp --image-pos 200,120 --alpha 120"
# name | source | format code
effect_cases=(
  "720p_ipod_mpeg4_320x240|src720.mp4|0"
  "720p_appletv_x264_720p|src720.mp4|205"
  "1080p_hd_avi_mpeg4_720p|src1080.mp4|2100"
)
printf "\nconversions with effects and watermark vs without\n%-28s %10s %10s %8s\n" case effects_s plain_s time_x
for c in "${effect_cases[@]}"; do
  IFS='|' read -r name src code <<<"$c"
  plain=() decorated=()
  for ((i = 0; i < runs; i++)); do
    for who in plain decorated; do
      dir="$work/$name.$who"
      rm -rf "$dir"
      extra=""
      [ $who = decorated ] && extra=$effects
      timed $who eval "\"$cli\" convert --settings \"$work/settings.ini\" --format $code --output-dir \"$dir\" $extra \"$work/$src\"" \
        >/dev/null 2>&1 || { echo "quillmar convert failed on $name ($who)" >&2; exit 1; }
    done
  done
  mp=$(printf "%s\n" "${plain[@]}" | median)
  md=$(printf "%s\n" "${decorated[@]}" | median)
  printf "%-28s %10.3f %10.3f %8.3f\n" "$name" "$md" "$mp" "$(echo "$md / $mp" | bc -l)"
done
