#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the two libFuzzer targets (fuzz/) under AddressSanitizer, LeakSanitizer
# and UndefinedBehaviorSanitizer, seeds their corpora from ../shared/corpus when
# it is there and with small files made here by the ffmpeg tool, runs each for
# the given seconds, one after the other, and prints a summary per target.
# Exits non-zero when a target finds a crash, leak, timeout or memory blow-up.
#
#   bash scripts/fuzz.sh [SECONDS_PER_TARGET]     (default 60; run as root or with sudo)
#
# Everything goes to build-fuzz/: binaries, corpus/<target> (inputs found, kept
# between runs), seeds/<target> (links to the shared media files and to made/,
# the files made here), scratch/ (the fuzzers' TMPDIR, where each input is
# written, beside the files an ffconcat input may name), logs/ and
# findings/<target>/ (the inputs that failed, to replay with the binary).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
# libFuzzer reads -max_total_time=0 as "no limit", so 0 is refused too.
case "${seconds}" in
  '' | *[!0-9]* | 0*) echo "usage: $0 [SECONDS_PER_TARGET >= 1]" >&2; exit 2 ;;
esac

# --- tools ---------------------------------------------------------------
bash "$(dirname "$0")/setup.sh" clang-14 libclang-rt-14-dev
CXX=clang++-14

# --- build ---------------------------------------------------------------
out=build-fuzz
mkdir -p "${out}/obj" "${out}/logs"

# The library's sources are the ones CMakeLists.txt lists, so the fuzzers
# follow the build as files come and go.
mapfile -t sources < <(sed -n '/^set(GIFEXPORT_SOURCES/,/)/p' CMakeLists.txt |
                       grep -o 'src/[^ )]*\.cpp')
if [ ${#sources[@]} -eq 0 ]; then
  echo "fuzz.sh: no GIFEXPORT_SOURCES found in CMakeLists.txt" >&2
  exit 1
fi

av_modules=(libavformat libavcodec libavfilter libavutil libswscale)
read -r -a av_cflags <<< "$(pkg-config --cflags "${av_modules[@]}")"
read -r -a av_libs <<< "$(pkg-config --libs "${av_modules[@]}")"
# The library's objects get coverage instrumentation too (fuzzer-no-link
# below), so libFuzzer is guided by what our code does with an input, not only
# by the harness. Warnings are asked for the fuzz targets only: the library's
# own build (g++) already reports those of src/.
cxxflags=(-std=c++17 -g -O1 -fno-omit-frame-pointer
          -fsanitize=address,undefined -fno-sanitize-recover=undefined
          -DGIFEXPORT_BUILD -Iinclude -Isrc "${av_cflags[@]}")

echo "=== building fuzzers (${#sources[@]} library sources) ==="
# Each source is compiled in a background job, as many at a time as there
# are cores; a failed compile fails the script at its wait.
objects=()
for src in "${sources[@]}"; do
  objects+=("${out}/obj/$(echo "${src%.cpp}" | tr '/' '_').o")
done
compile() {
  "${CXX}" "${cxxflags[@]}" -fsanitize=fuzzer-no-link -c "$1" -o "$2"
}
pids=()
for i in "${!sources[@]}"; do
  compile "${sources[$i]}" "${objects[$i]}" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$(nproc)" ]; then
    wait "${pids[0]}"
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "${pid}"; done

targets=(probe_fuzzer job_fuzzer)
for t in "${targets[@]}"; do
  # The known-leak wrapper must be what libavfilter calls: exported from the
  # executable, it comes before libswscale's definition.
  "${CXX}" "${cxxflags[@]}" -Wall -Wextra -fsanitize=fuzzer "fuzz/${t}.cpp" \
    fuzz/ffmpeg_known_leaks.cpp "${objects[@]}" "${av_libs[@]}" -pthread \
    -Wl,--export-dynamic-symbol=sws_init_context -o "${out}/${t}"
done

# --- seeds ---------------------------------------------------------------
# Links, not copies: the shared files stay where they are. The job target
# leaves out files above 2 MB, which only slow every pass over the corpus.
shared=../shared/corpus
for t in "${targets[@]}"; do
  rm -rf "${out}/seeds/${t}"
  mkdir -p "${out}/seeds/${t}" "${out}/corpus/${t}" "${out}/findings/${t}"
  if [ -d "${shared}" ]; then
    for f in "${shared}"/*; do
      [ -f "$f" ] || continue
      [ "$(basename "$f")" = MANIFEST.md ] && continue
      if [ "$t" = job_fuzzer ] && [ "$(stat -c %s "$f")" -gt $((2 * 1024 * 1024)) ]; then
        continue
      fi
      ln -s "$(realpath "$f")" "${out}/seeds/${t}/$(basename "$f")"
    done
  fi
done

# Small files made here reach what the shared corpus lacks or holds only in
# large files: MPEG-4 part 2 in AVI and H.264 in FLV, both with B-frames (so
# decode order differs from display order), and ffconcat lists. A missing
# ffmpeg tool or encoder only leaves its files out.
made="${out}/made"
scratch="${out}/scratch"
rm -rf "${made}" "${scratch}"
mkdir -p "${made}" "${scratch}"
# make_clip FILE ARGS...: 2 s of 64x48 at 10 fps, encoded as ARGS ask.
make_clip() {
  local file=$1
  shift
  ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=64x48:rate=10 -t 2 \
    "$@" "${file}" > /dev/null 2>&1 || rm -f "${file}"
}
if command -v ffmpeg > /dev/null; then
  make_clip "${made}/mpeg4_xvid_bframes.avi" -c:v mpeg4 -vtag XVID -bf 2 -g 12 -q:v 10
  make_clip "${made}/h264_bframes.flv" -c:v libx264 -preset ultrafast -bf 2 -g 12 -crf 36 \
    -pix_fmt yuv420p
  # A picture that changes size mid-stream: two transport streams of
  # different sizes, joined byte for byte.
  make_clip "${made}/part_a.ts" -c:v mpeg2video -q:v 10
  make_clip "${made}/part_b.ts" -c:v mpeg2video -q:v 10 -s 32x24 -output_ts_offset 2
  if [ -f "${made}/part_a.ts" ] && [ -f "${made}/part_b.ts" ]; then
    cat "${made}/part_a.ts" "${made}/part_b.ts" > "${made}/size_change.ts"
  fi
  # A stream cut in the middle of a group of pictures: its first key frame
  # comes late. A quarter of the transport packets are cut from the front.
  make_clip "${made}/late_key_src.ts" -c:v mpeg4 -g 15 -q:v 10
  if [ -f "${made}/late_key_src.ts" ]; then
    cut_packets=$(( $(stat -c %s "${made}/late_key_src.ts") / 188 / 4 ))
    tail -c +$(( cut_packets * 188 + 1 )) "${made}/late_key_src.ts" > "${made}/late_key.ts"
  fi
  rm -f "${made}/part_a.ts" "${made}/part_b.ts" "${made}/late_key_src.ts"
else
  echo "fuzz.sh: no ffmpeg tool; the made seeds are left out" >&2
fi
# An ffconcat list names files relative to itself, and the fuzzers write each
# input into the scratch folder: the parts it names stand there, as regular
# files (the library opens nothing else, nested opens included).
# concat_list FILE [PART DIRECTIVES]...: a list playing each PART of made/
# with its DIRECTIVES (in/out points, duration), if every part was made.
concat_list() {
  local file=$1
  shift
  local text="ffconcat version 1.0"$'\n'
  while [ $# -gt 0 ]; do
    [ -f "${made}/$1" ] || return 0
    cp "${made}/$1" "${scratch}/seed_part.${1##*.}"
    text+="file seed_part.${1##*.}"$'\n'"$2"
    shift 2
  done
  printf '%s' "${text}" > "${file}"
}
concat_list "${made}/one_part.ffconcat" mpeg4_xvid_bframes.avi $'duration 2\n'
concat_list "${made}/two_parts.ffconcat" \
  mpeg4_xvid_bframes.avi $'inpoint 0.4\noutpoint 1.2\n' mpeg4_xvid_bframes.avi $'duration 0.8\n'
# The list's streams are its first part's: the H.264 part reaches the MPEG-4
# decoder.
concat_list "${made}/mixed_codecs.ffconcat" \
  mpeg4_xvid_bframes.avi $'outpoint 0.6\n' h264_bframes.flv ""
# A list behind an ID3v2 tag, which FFmpeg skips before it looks at a file.
if [ -f "${made}/one_part.ffconcat" ]; then
  { printf 'ID3\x04\x00\x00\x00\x00\x00\x10'; head -c 16 /dev/zero; cat "${made}/one_part.ffconcat"; } \
    > "${made}/tagged.ffconcat"
fi
# The job fuzzer runs inputs of odd length in two passes: each made file is
# also given one byte longer, so both ways start seeded.
for f in "${made}"/*; do
  [ -f "$f" ] || continue
  { cat "$f"; printf '\n'; } > "${f%.*}+1.${f##*.}"
done
for t in "${targets[@]}"; do
  for f in "${made}"/*; do
    [ -f "$f" ] || continue
    ln -s "$(realpath "$f")" "${out}/seeds/${t}/made_$(basename "$f")"
  done
done

# --- runs ----------------------------------------------------------------
# Inputs are written into the scratch folder, beside the ffconcat parts.
export TMPDIR
TMPDIR="$(realpath "${scratch}")"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:symbolize=1"
export LSAN_OPTIONS="suppressions=$(pwd)/fuzz/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

declare -A rc timeout_s
timeout_s[probe_fuzzer]=25
timeout_s[job_fuzzer]=25
for t in "${targets[@]}"; do
  echo "=== ${t}: ${seconds} s ==="
  set +e
  "${out}/${t}" "${out}/corpus/${t}" "${out}/seeds/${t}" \
    -max_total_time="${seconds}" -timeout="${timeout_s[$t]}" -rss_limit_mb=4096 \
    -max_len=1048576 -print_final_stats=1 \
    -artifact_prefix="${out}/findings/${t}/" > "${out}/logs/${t}.log" 2>&1
  rc[$t]=$?
  set -e
  tail -n 12 "${out}/logs/${t}.log"
done

# --- summary -------------------------------------------------------------
status=0
echo
echo "=== fuzzing summary (${seconds} s per target) ==="
for t in "${targets[@]}"; do
  log="${out}/logs/${t}.log"
  # A run that fails on its first inputs has no coverage line yet: every
  # look-up tolerates finding nothing (pipefail would end the script here).
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "${log}" | tail -n 1 || true)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "${log}" | tail -n 1 || true)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "${log}" | tail -n 1 || true)
  cov=$({ grep -o 'cov: [0-9]* ft: [0-9]*' "${log}" || true; } | tail -n 1)
  findings=$(grep -E '^(==[0-9]+== ?ERROR|SUMMARY|FUZZ CHECK FAILED)' "${log}" | head -n 3 || true)
  artifacts=$(find "${out}/findings/${t}" -type f \
                \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) \
                -newer "${out}/${t}" 2>/dev/null || true)
  printf '%-13s executions: %s (%s/s)  coverage: %s  peak RSS: %s MB  exit: %s\n' \
    "${t}" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${rss:-?}" "${rc[$t]}"
  if [ "${rc[$t]}" -ne 0 ] || [ -n "${artifacts}" ]; then
    status=1
    echo "  findings:"
    [ -n "${findings}" ] && echo "${findings}" | sed 's/^/    /'
    [ -n "${artifacts}" ] && echo "${artifacts}" | sed 's/^/    input: /'
    echo "    log: ${log}"
  else
    echo "  findings: none"
  fi
done
exit "${status}"
