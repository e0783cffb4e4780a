#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Measures quorlin side by side with what it is built on and prints a
# table: streaming throughput against a minimal writer of the same
# bytes, the audio writer's instructions per payload byte, STOP latency,
# start-up, the English corpus spoken end to end against the engine on
# its own and against espeak-ng, and the time to first audio. A second
# table sets the two ways of speaking side by side (the configuration's
# CorvaneStreaming 0 and 1): first audio, STOP and peak memory for long
# messages, the corpus through quorlin-say against espeak-ng, and the
# module's CPU time against the engine alone.
#
# usage: scripts/measure.sh [--quick] [--corpus FILE] [build-dir]
#   --quick     fewer repeats and no callgrind runs of the whole corpus
#   --corpus    the English text spoken end to end, one message a line;
#               default bench/corpus.txt (the figures in BENCHMARKS.md);
#               the script says which it used, and leaves markup and
#               blank lines out of what is spoken
#   build-dir   where to configure and build (default build/measure);
#               a RelWithDebInfo build with the reference engine
#
# It is for people, not for CI: a figure that cannot be measured is
# shown as "n/a" with the reason on standard error, and the script still
# ends with status 0. Wall-clock figures move with the load of the
# machine; the callgrind figures (instructions) repeat exactly.
set -uo pipefail

note() { echo "measure.sh: $*" >&2; }

quick=0
corpus=
while [[ $# -gt 0 ]]; do
  case $1 in
    --quick) quick=1; shift ;;
    --corpus)
      if [[ $# -lt 2 ]]; then
        note "--corpus needs a file"
        exit 2
      fi
      corpus=$2
      shift 2
      ;;
    *) break ;;
  esac
done
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/measure}
phrase="Good morning everyone"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The corpus in bench/ keeps figures comparable with BENCHMARKS.md.
# Every program is given the same copy, without markup and blank lines:
# the module drops markup before speaking and refuses a message left
# empty, and the measuring side would wait in vain for its 702.
[[ -n $corpus ]] || corpus=$root/bench/corpus.txt
corpus_source=$corpus
if [[ -r $corpus_source ]]; then
  corpus=$work/corpus.txt
  sed -e 's/<[^>]*>//g' "$corpus_source" | grep -v '^[[:space:]]*$' >"$corpus"
  corpus_about="$corpus_source ($(wc -l <"$corpus") lines, $(wc -c <"$corpus") bytes spoken)"
  note "corpus: $corpus_about"
else
  corpus_about="none"
  note "no corpus at $corpus_source: no figures of the corpus"
fi

# field NAME LINE: the value of NAME=value in a line of figures.
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }

# ratio A B [digits]: A / B, or n/a.
ratio() {
  awk -v a="$1" -v b="$2" -v d="${3:-2}" \
    'BEGIN { if (a == "" || b == "" || b + 0 == 0) print "n/a"; else printf "%.*f", d, a / b }'
}

# percent A B: how much A exceeds B, in percent.
percent() {
  awk -v a="$1" -v b="$2" \
    'BEGIN { if (a == "" || b == "" || b + 0 == 0) print "n/a"; else printf "%+.1f %%", (a / b - 1) * 100 }'
}

or_na() { [[ -n $1 ]] && echo "$1" || echo "n/a"; }

rows=()
row() { rows+=("$(printf '%-44s | %-22s | %-22s | %s' "$@")"); }
mode_rows=()
stream_rss=()
mode_row() { mode_rows+=("$(printf '%-40s | %-20s | %-20s | %s' "$@")"); }

echo "Building in $build ..." >&2
if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DQUORLIN_BENCH=ON -DQUORLIN_REFERENCE_ENGINE=ON >"$work/configure.log" 2>&1 &&
       cmake --build "$build" -j2 --target quorlin_fake_module quorlin eci_reference \
         measure_protocol stream_reference writer_cost writer_cost_portable engine_time quorlin_say \
         >"$work/build.log" 2>&1; }; then
  note "the build failed; see below"
  tail -n 30 "$work/configure.log" "$work/build.log" >&2
  exit 0
fi

mp=$build/bench/measure_protocol
fake=$build/fake/bin/quorlin
module=$build/bin/quorlin
have_valgrind=0
command -v valgrind >/dev/null && have_valgrind=1
[[ $have_valgrind == 1 ]] || note "valgrind is missing: no instruction counts"

# ---- Streaming throughput ----
# The fake engine makes 5 million samples (10 MB) per message; both sides
# are timed from the first 705 block to "702 END", in alternating rounds.
# Where the two processes run moves the figures more than anything else,
# so both are pinned: first to one core (writer and reader take turns),
# then to two (the writer alone sets the pace).
stream_samples=5000000
stream_repeats=$((quick ? 5 : 10))
middle() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }
# stream_rate PROGRAM MEASURER_CPU CHILD_CPU: payload MB/s, median of a run.
stream_rate() {
  local pin=() wrap="" line
  if command -v taskset >/dev/null; then
    pin=(taskset -c "$2")
    wrap="taskset -c $3"
  fi
  line=$(QUORLIN_FAKE_SAMPLES=$stream_samples QUORLIN_MEASURE_WRAP=$wrap timeout 300 \
           "${pin[@]}" "$mp" stream "$1" $((stream_samples * 2)) $stream_repeats) &&
    field median_mb_s "$line"
}
command -v taskset >/dev/null || note "taskset is missing: streaming runs unpinned"
for placement in "0 0" "0 1"; do
  module_rates=() reference_rates=()
  for round in 1 2 3; do
    module_rates+=("$(stream_rate "$fake" $placement)")
    reference_rates+=("$(stream_rate "$build/bench/stream_reference" $placement)")
  done
  m_rate=$(middle "${module_rates[@]}")
  r_rate=$(middle "${reference_rates[@]}")
  where=$([[ $placement == "0 0" ]] && echo "one core" || echo "two cores")
  row "streaming MB/s, $where (median of 3 rounds)" "$(or_na "$m_rate")" \
      "$(or_na "$r_rate") (minimal writer)" "ratio $(ratio "$m_rate" "$r_rate") (target >= 0.9)"
done

# ---- The writer's instructions per payload byte ----
# cost PROGRAM KIND MODE FUNCTION: callgrind's count in FUNCTION over the
# payload bytes.
cost() {
  local out ir bytes
  out=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect="$4" \
          "$build/bench/$1" "$2" 8 "$3" 2>&1) || return 0
  ir=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' <<<"$out")
  bytes=$(field payload_bytes "$out")
  ratio "$ir" "$bytes"
}
if [[ $have_valgrind == 1 ]]; then
  for kind in speech random plain; do
    row "writer instructions/byte, $kind samples" \
        "$(cost writer_cost $kind writer module_tts_output_server)" \
        "$(cost writer_cost $kind fwrite write_escaped_blocks) (one fwrite)" \
        "target <= 1.5; without SSE2: $(cost writer_cost_portable $kind writer module_tts_output_server)"
  done
fi

# ---- STOP latency ----
line=$(QUORLIN_FAKE_SAMPLES=2000000 timeout 300 "$mp" stop "$fake" $((quick ? 30 : 100)))
row "STOP written to 702 read, ms" "median $(or_na "$(field median_ms "$line")")" \
    "worst $(or_na "$(field worst_ms "$line")")" "blocks of 10000 bytes, fake engine"

# ---- Start-up ----
line=$(timeout 300 "$mp" startup "$module" $((quick ? 10 : 30)))
row "start to 299, ms (reference engine)" "median $(or_na "$(field median_ms "$line")")" \
    "worst $(or_na "$(field worst_ms "$line")")" "best $(or_na "$(field best_ms "$line")")"

# ---- End to end: the corpus ----
# The module and the engine alone run on core 1, the measuring side on
# core 0, so that both meet the same placement.
on0=() on1=() wrap1=""
if command -v taskset >/dev/null; then
  on0=(taskset -c 0)
  on1=(taskset -c 1)
  wrap1="taskset -c 1"
fi
if [[ -r $corpus ]]; then
  passes=$((quick ? 5 : 20))
  for code in 2 1 0; do
    printf 'CorvaneSampleRate %s\n' "$code" >"$work/rate$code.conf"
  done
  q22=$(QUORLIN_MEASURE_WRAP=$wrap1 timeout 600 "${on0[@]}" "$mp" corpus "$module" "$corpus" $passes "$work/rate2.conf")
  e22=$(timeout 600 "${on1[@]}" "$build/bench/engine_time" corpus "$corpus" $passes 2)
  row "corpus at 22050 Hz, wall ms per pass" "$(or_na "$(field median_ms "$q22")") (best $(field best_ms "$q22"))" \
      "$(or_na "$(field median_ms "$e22")") (best $(field best_ms "$e22"), engine)" \
      "$(percent "$(field median_ms "$q22")" "$(field median_ms "$e22")") ($(field messages "$q22") messages, $(field audio_s "$q22") s of audio)"
  row "corpus at 22050 Hz, CPU ms per pass" "$(or_na "$(field cpu_ms "$q22")")" \
      "$(or_na "$(field cpu_ms "$e22")") (engine)" \
      "$(percent "$(field cpu_ms "$q22")" "$(field cpu_ms "$e22")") (target < +5 %)"
  if command -v espeak-ng >/dev/null; then
    # The engine's own defaults: en-us at 175 words a minute, pitch 65,
    # eSpeak NG's normal volume, no pause after the last sentence.
    cli=$(timeout 600 "$mp" command $((quick ? 3 : 10)) espeak-ng -v en-us -s 175 -p 65 -a 100 -z \
            --stdout -f "$corpus")
    cli0=$(timeout 600 "$mp" command $((quick ? 3 : 10)) espeak-ng -v en-us -s 175 -p 65 -a 100 -z \
             --stdout "Ready.")
    cli_net=$(awk -v a="$(field median_ms "$cli")" -v b="$(field median_ms "$cli0")" \
                'BEGIN { if (a != "" && b != "") printf "%.2f", a - b }')
    row "corpus, espeak-ng --stdout -f, wall ms" "$(or_na "$(field median_ms "$q22")") (quorlin)" \
        "$(or_na "$cli_net") (start-up taken off)" \
        "$(percent "$(field median_ms "$q22")" "$cli_net"); whole process $(field median_ms "$cli"), start-up $(field median_ms "$cli0")"
  else
    note "espeak-ng is missing: no comparison with its command line"
  fi
  for code in 1 0; do
    hz=$([[ $code == 1 ]] && echo 11025 || echo 8000)
    q=$(QUORLIN_MEASURE_WRAP=$wrap1 timeout 600 "${on0[@]}" "$mp" corpus "$module" "$corpus" $passes "$work/rate$code.conf")
    e=$(timeout 600 "${on1[@]}" "$build/bench/engine_time" corpus "$corpus" $passes $code)
    row "corpus at $hz Hz, CPU ms per pass" "$(or_na "$(field cpu_ms "$q")")" \
        "$(or_na "$(field cpu_ms "$e")") (engine)" \
        "resampling: $(percent "$(field cpu_ms "$q")" "$(field cpu_ms "$q22")") over 22050 Hz"
  done

  # Instructions for one pass of the corpus: a run with two passes less a
  # run with one, so that start-up and the first message drop out.
  if [[ $have_valgrind == 1 && $quick == 0 ]]; then
    module_ir() {
      local r
      for r in 1 2; do
        QUORLIN_MEASURE_WRAP="valgrind --tool=callgrind --callgrind-out-file=$work/q$1.$r" \
          timeout 900 "$mp" corpus "$module" "$corpus" $r "$work/rate$1.conf" >/dev/null
      done
      awk '/^summary:/ { v[FILENAME] = $2 } END { a = v[ARGV[1]]; b = v[ARGV[2]];
             if (a != "" && b != "") print b - a }' "$work/q$1.1" "$work/q$1.2" 2>/dev/null
    }
    engine_ir() {
      local r
      for r in 1 2; do
        valgrind --tool=callgrind --callgrind-out-file="$work/e$1.$r" \
          "$build/bench/engine_time" corpus "$corpus" $r "$1" >/dev/null 2>&1
      done
      awk '/^summary:/ { v[FILENAME] = $2 } END { a = v[ARGV[1]]; b = v[ARGV[2]];
             if (a != "" && b != "") print b - a }' "$work/e$1.1" "$work/e$1.2" 2>/dev/null
    }
    echo "Counting instructions for the corpus (a few minutes) ..." >&2
    qi2=$(module_ir 2)
    ei2=$(engine_ir 2)
    row "corpus at 22050 Hz, instructions per pass" "$(or_na "$qi2")" "$(or_na "$ei2") (engine)" \
        "$(percent "$qi2" "$ei2") (callgrind)"
    for code in 1 0; do
      hz=$([[ $code == 1 ]] && echo 11025 || echo 8000)
      qi=$(module_ir $code)
      row "corpus at $hz Hz, instructions per pass" "$(or_na "$qi")" "" \
          "resampling: $(percent "$qi" "$qi2") over 22050 Hz (callgrind)"
    done
  fi
fi

# ---- Time to first audio ----
line=$(timeout 300 "$mp" first-audio "$module" "$phrase" $((quick ? 20 : 100)))
eng=$(timeout 300 "$build/bench/engine_time" phrase "$phrase" $((quick ? 20 : 100)))
row "\"$phrase\": SPEAK to first 705, ms" "median $(or_na "$(field median_ms "$line")")" \
    "$(or_na "$(field median_ms "$eng")") (engine synthesis)" \
    "added $(awk -v a="$(field median_ms "$line")" -v b="$(field median_ms "$eng")" \
               'BEGIN { if (a != "" && b != "") printf "%.3f ms", a - b; else print "n/a" }')"

# ---- The two ways of speaking ----
# The same module with CorvaneStreaming 0 (synthesise the whole message,
# then stream it) and 1 (stream while the engine synthesises), each in a
# process of its own, one after the other.
for mode in 0 1; do
  printf 'CorvaneSampleRate 2\nCorvaneStreaming %s\n' "$mode" >"$work/mode$mode.conf"
done
# plus A B: A + B, or empty.
plus() { awk -v a="$1" -v b="$2" 'BEGIN { if (a != "" && b != "") printf "%.3f", a + b }'; }
# verdict VALUE LIMIT: whether VALUE is at most LIMIT.
verdict() {
  awk -v v="$1" -v l="$2" 'BEGIN { if (v == "" || l == "") print "n/a"; else if (v + 0 <= l + 0) print "met"; else print "missed" }'
}
if [[ -r $corpus ]]; then
  echo "Timing long messages both ways (a few minutes) ..." >&2
  for bytes in 1000 10000 100000; do
    case $bytes in
      1000) repeats=$((quick ? 5 : 10)) ;;
      10000) repeats=$((quick ? 2 : 5)) ;;
      *) repeats=$((quick ? 1 : 3)) ;;
    esac
    kb=$((bytes / 1000))
    eng=$(timeout 600 "${on1[@]}" "$build/bench/engine_time" first-callback "$corpus" $bytes $((repeats * 2)))
    m0=$(QUORLIN_MEASURE_WRAP=$wrap1 timeout 900 "${on0[@]}" "$mp" message "$module" "$corpus" $bytes $repeats "$work/mode0.conf")
    m1=$(QUORLIN_MEASURE_WRAP=$wrap1 timeout 900 "${on0[@]}" "$mp" message "$module" "$corpus" $bytes $repeats "$work/mode1.conf")
    limit=$(plus "$(field median_ms "$eng")" 1)
    mode_row "$kb KB: closing dot to first 705, ms (median)" \
        "$(or_na "$(field first_median_ms "$m0")") (worst $(or_na "$(field first_worst_ms "$m0")"))" \
        "$(or_na "$(field first_median_ms "$m1")") (worst $(or_na "$(field first_worst_ms "$m1")"))" \
        "engine to first callback $(or_na "$(field median_ms "$eng")"), whole message $(or_na "$(field whole_ms "$eng")"); streaming <= $(or_na "$limit"): $(verdict "$(field first_median_ms "$m1")" "$limit")"
    mode_row "$kb KB: STOP 20 ms after the dot to 702, ms" \
        "worst $(or_na "$(field stop_worst_ms "$m0")") (median $(or_na "$(field stop_median_ms "$m0")"))" \
        "worst $(or_na "$(field stop_worst_ms "$m1")") (median $(or_na "$(field stop_median_ms "$m1")"))" \
        "streaming worst <= 5: $(verdict "$(field stop_worst_ms "$m1")" 5); ended before the STOP: $(field ended_before_stop "$m0") / $(field ended_before_stop "$m1") of $repeats"
    r0=$(field peak_rss_kb "$m0")
    r1=$(field peak_rss_kb "$m1")
    mode_row "$kb KB: module's peak RSS, kB" "$(or_na "$r0")" "$(or_na "$r1")" \
        "$(field audio_s "$eng") s of audio; streaming within 1 MB at every size: compare the rows"
    stream_rss+=("$r1")
  done
  spread=$(printf '%s\n' "${stream_rss[@]}" | awk 'NF { if (min == "" || $1 < min) min = $1; if ($1 > max) max = $1 }
             END { if (min != "") print max - min }')
  mode_row "peak RSS spread over the three sizes, kB" "" "$(or_na "$spread")" \
      "streaming <= 1024: $(verdict "$spread" 1024)"

  # The module's CPU time on the corpus against the engine alone.
  cpu_e=$(timeout 600 "${on1[@]}" "$build/bench/engine_time" corpus "$corpus" $passes 2)
  cpu_0=$(QUORLIN_MEASURE_WRAP=$wrap1 timeout 600 "${on0[@]}" "$mp" corpus "$module" "$corpus" $passes "$work/mode0.conf")
  cpu_1=$(QUORLIN_MEASURE_WRAP=$wrap1 timeout 600 "${on0[@]}" "$mp" corpus "$module" "$corpus" $passes "$work/mode1.conf")
  mode_row "corpus, module CPU ms per pass" \
      "$(or_na "$(field cpu_ms "$cpu_0")") ($(percent "$(field cpu_ms "$cpu_0")" "$(field cpu_ms "$cpu_e")"))" \
      "$(or_na "$(field cpu_ms "$cpu_1")") ($(percent "$(field cpu_ms "$cpu_1")" "$(field cpu_ms "$cpu_e")"))" \
      "engine alone $(or_na "$(field cpu_ms "$cpu_e")"); target < +5 %"

  # The corpus end to end: quorlin-say against espeak-ng writing a WAV.
  say=$build/bin/quorlin-say
  if command -v hyperfine >/dev/null && command -v espeak-ng >/dev/null && [[ -x $say ]]; then
    runs=$((quick ? 10 : 20))
    if timeout 900 hyperfine -N --style none --warmup 3 --runs $runs --export-csv "$work/e2e.csv" \
         -n espeak "espeak-ng -v en-us -w $work/e.wav -f $corpus" \
         -n synchronous "$say --lines -f $corpus -o $work/y.wav -c $work/mode0.conf" \
         -n streaming "$say --lines -f $corpus -o $work/s.wav -c $work/mode1.conf" \
         >"$work/hyperfine.log" 2>&1; then
      # mean (s) of a command in the CSV: command,mean,stddev,median,...
      e2e() { awk -F, -v n="$1" -v c="$2" '$1 == n { print $c }' "$work/e2e.csv"; }
      for what in "mean 2" "median 4"; do
        set -- $what
        mode_row "corpus end to end / espeak-ng -w, $1" \
            "$(ratio "$(e2e synchronous "$2")" "$(e2e espeak "$2")" 3)" \
            "$(ratio "$(e2e streaming "$2")" "$(e2e espeak "$2")" 3)" \
            "ms: espeak-ng $(awk -v v="$(e2e espeak "$2")" 'BEGIN { printf "%.1f", v * 1000 }'), sync $(awk -v v="$(e2e synchronous "$2")" 'BEGIN { printf "%.1f", v * 1000 }'), streaming $(awk -v v="$(e2e streaming "$2")" 'BEGIN { printf "%.1f", v * 1000 }'); target <= 1.02"
      done
      mode_row "corpus end to end, CPU (user+system) ms" \
          "$(awk -F, '$1 == "synchronous" { printf "%.1f", ($5 + $6) * 1000 }' "$work/e2e.csv")" \
          "$(awk -F, '$1 == "streaming" { printf "%.1f", ($5 + $6) * 1000 }' "$work/e2e.csv")" \
          "espeak-ng $(awk -F, '$1 == "espeak" { printf "%.1f", ($5 + $6) * 1000 }' "$work/e2e.csv"); hyperfine, $runs runs each"
    else
      note "hyperfine failed; see below"
      tail -n 20 "$work/hyperfine.log" >&2
    fi
  else
    note "hyperfine, espeak-ng or quorlin-say is missing: no end-to-end comparison"
  fi
fi

echo
echo "quorlin measurements, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores," \
     "$(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n 1)"
echo "corpus: $corpus_about"
printf '%-44s | %-22s | %-22s | %s\n' "measurement" "quorlin" "reference" "comparison"
printf '%s\n' "--------------------------------------------------------------------------------------------------------------------------"
printf '%s\n' "${rows[@]}"
echo
printf '%-40s | %-20s | %-20s | %s\n' "the two ways of speaking" "synchronous" "streaming" "engine, target"
printf '%s\n' "--------------------------------------------------------------------------------------------------------------------------"
printf '%s\n' "${mode_rows[@]}"
exit 0
