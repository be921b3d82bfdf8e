#!/usr/bin/env bash
# Samples the four signal functions through the running server with the
# client's CSV output and renders them as PNG plots into docs/ (or OUT_DIR).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VANTREL_BUILD_DIR:-$root/build}"
out="${1:-$root/docs/img}"
mkdir -p "$out"

"$root/scripts/build.sh" "$build" >/dev/null
source "$root/scripts/wine-env.sh" "$build"
vantrel_wine_session
cd "$build"
wine regsvr32 /s vantrel_ps.dll
wine Vantrel.exe -RegServer

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"; wineserver -k 2>/dev/null || true' EXIT

sample() {  # function-name set period minimum-samples
  local fct="$1" set="$2" period="$3" minimum="$4"
  shift 4
  wine opcda-client.exe watch --rate 20 --for 3.2 --csv \
    --write "set$set.fct=$fct" --write "set$set.period=$period" "$@" --write "set$set.on=on" \
    "set$set.item" | tr -d '\r' > "$tmp/$fct.csv"
  # seconds since the first sample, value
  awk -F, -v item="set$set.item" '$1 == item {
      split($5, dt, " "); split(dt[2], hms, ":");
      t = hms[1] * 3600 + hms[2] * 60 + hms[3];
      if (!started) { t0 = t; started = 1 }
      printf "%.3f %s\n", t - t0, $2 }' "$tmp/$fct.csv" > "$tmp/$fct.dat"
  local n
  n=$(wc -l < "$tmp/$fct.dat")
  if [[ "$n" -lt "$minimum" ]]; then
    echo "plots: only $n samples of $fct" >&2
    exit 1
  fi
  echo "plots: $fct: $n samples"
}

sample Sine 1 1000 10
sample Ramp 2 1000 10
sample Noise 3 1000 10
# A Counter changes twice: 1 when switched on, 0 one period later (only
# changes are delivered); its plot holds each value until the next change.
sample Counter 4 1500 2
echo "3.2 $(tail -n 1 "$tmp/Counter.dat" | cut -d' ' -f2)" >> "$tmp/Counter.dat"

for f in Sine Ramp Noise Counter; do
  style="linespoints pt 7 ps 0.4"
  [[ "$f" == Counter ]] && style="steps"
  gnuplot <<GNUPLOT
set terminal pngcairo size 720,300 font "sans,10"
set output "$out/$(echo "$f" | tr 'A-Z' 'a-z').png"
set title "$f through Vantrel (update rate 20 ms, client CSV)"
set xlabel "seconds since the first sample"
set ylabel "set.item"
set yrange [-1.2:1.2]
set grid
plot "$tmp/$f.dat" using 1:2 with $style lw 1.5 title "$f"
GNUPLOT
done
ls -l "$out"/*.png
