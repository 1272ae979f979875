#!/usr/bin/env bash
# Builds the dev preset and runs the benchmarks, then prints each figure as a ratio against its
# peer from the same run: absolute numbers on a shared, noisy machine say little.
#
# BENCH_MIN_TIME (seconds per repetition, default 0.5) and BENCH_REPETITIONS (default 3) trade
# run time for steadier medians. BENCH_DECODER_SECONDS (default 60) sets the length of the
# real-time decoder run; the whole decoder part takes about 2.5 minutes at the default.
# BENCH_ENCODER_SECONDS (default 10) sets the length of each real-time encoder run; the encoder
# part takes about 2 minutes at the default.
# BENCH_HARNESS_SECONDS (default 60) sets how long the whole engine and the ffmpeg CLI each run
# the same live job (bench/harness_vs_ffmpeg.sh); 0 skips it. The first run also makes its
# inputs, about 2 minutes.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
# An earlier configure of the shared build tree may have switched the benchmarks off.
cmake --preset dev -DQUORVI_BUILD_BENCH=ON >/dev/null
cmake --build build/dev --target bench_frame_pool bench_log_writer bench_preview bench_compositor \
  bench_decoder

out=build/dev/bench/results
mkdir -p "$out"
# Random interleaving spreads background noise over peers instead of letting it hit one of them.
args=(
  --benchmark_min_time="${BENCH_MIN_TIME:-0.5}"
  --benchmark_repetitions="${BENCH_REPETITIONS:-3}"
  --benchmark_enable_random_interleaving=true
  --benchmark_display_aggregates_only=true
  --benchmark_out_format=json
)
# bench_preview runs on the offscreen platform by itself.
for b in bench_frame_pool bench_log_writer bench_preview; do
  echo "== $b"
  "build/dev/bench/$b" "${args[@]}" --benchmark_out="$out/$b.json"
done
# OpenGL needs a display: a private X server with Mesa.
echo "== bench_compositor"
xvfb-run -a -s "-screen 0 1920x1080x24" build/dev/bench/bench_compositor "${args[@]}" \
  --benchmark_filter='BM_Compose/gpu:./set:[012]$|BM_Memcpy|BM_VideoFrame' \
  --benchmark_out="$out/bench_compositor.json" 2>"$out/bench_compositor.log"

python3 - "$out/bench_frame_pool.json" "$out/bench_log_writer.json" \
  "$out/bench_preview.json" "$out/bench_compositor.json" <<'EOF'
import json
import sys

to_ns = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
runs = {}
for path in sys.argv[1:]:
    with open(path) as f:
        for b in json.load(f)["benchmarks"]:
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") == "median":
                runs[b["run_name"]] = b

def find(prefix, threads=None):
    for name, b in runs.items():
        if name.split("/")[0] == prefix and (threads is None or b.get("threads") == threads):
            return b
    sys.exit(f"bench.sh: no median for {prefix} threads={threads}")

def ns(b):
    return b["real_time"] * to_ns[b["time_unit"]]

print("\nMedians; ratios compare peers of the same run (time per op, lower is better).")
print(f"{'benchmark':<36}{'ns/op':>14}")
for name, b in runs.items():
    extra = ""
    if "dropped_pct" in b:
        extra = f"   dropped {b['dropped_pct']:.1f}%"
    elif "dropped" in b:
        extra = f"   dropped {b['dropped']:.0f}"
    print(f"{name:<36}{ns(b):>14.1f}{extra}")

print()
def ratio(label, slow, fast, meaning):
    print(f"{label:<44}{ns(slow) / ns(fast):>8.2f}x  {meaning}")

for t in (1, 4):
    ratio(f"naive / pool round trip, {t} thread(s)", find("BM_NaiveRoundTrip", t),
          find("BM_PoolRoundTrip", t), "(>1: pool faster)")
for t in (1, 4):
    ratio(f"naive / pool, 3 tokens held, {t} thread(s)", find("BM_NaiveHold3", t),
          find("BM_PoolHold3", t), "(>1: pool faster)")
ratio("pool round trip / mutex pair, 1 thread", find("BM_PoolRoundTrip", 1),
      find("BM_MutexPair"), "(floor is 1)")
ratio("enqueueLine / fwrite, bursts", find("BM_LogEnqueue"), find("BM_FwriteLine"),
      "(>1: enqueue dearer)")
ratio("enqueueLine / fwrite, saturated queue", find("BM_LogEnqueueSaturated"),
      find("BM_FwriteLine"), "(>1: enqueue dearer)")
writer = find("BM_LogWriterThroughput")["items_per_second"]
direct = find("BM_DirectQFileThroughput")["items_per_second"]
print(f"{'writer thread / direct QFile, lines/s':<44}{writer / direct:>8.2f}x  "
      f"({writer / 1e6:.2f}M vs {direct / 1e6:.2f}M lines/s; <1: writer slower)")

preview = find("BM_RefreshRgbxSmooth")
ratio("preview refresh, RGBA / RGBX wrap", find("BM_RefreshRgbaSmooth"), preview,
      "(>1: RGBX cheaper)")
ratio("preview refresh, fast / smooth scaling", find("BM_RefreshRgbxFast"), preview,
      "(<1: the price of smooth)")
widget = find("BM_PreviewWidget")
print(f"{'PreviewWidget / its replica':<44}{ns(widget) / ns(preview):>8.2f}x  "
      f"(~1; {ns(widget) / 1e6:.2f} ms per 1080p refresh into 640x360)")

def compose(gpu, overlay_set):
    name = f"BM_Compose/gpu:{gpu}/set:{overlay_set}"
    if name not in runs:
        return None
    return runs[name]

memcpy = find("BM_Memcpy1080p")
labels = {0: "no overlays", 1: "one text", 2: "full set"}
for gpu, path in ((0, "CPU"), (1, "OpenGL")):
    for overlay_set, label in labels.items():
        b = compose(gpu, overlay_set)
        if b is None:
            print(f"{path} compose, {label}: not run (no OpenGL?)")
            continue
        print(f"{path + ' compose, ' + label + ' / memcpy 1080p':<44}{ns(b) / ns(memcpy):>8.2f}x  "
              f"({ns(b) / 1e6:.3f} ms/frame, {b.get('allocs_per_frame', 0):.0f} allocs/frame)")
cpu_full, gpu_full = compose(0, 2), compose(1, 2)
if cpu_full and gpu_full:
    ratio("OpenGL / CPU compose, full set", gpu_full, cpu_full, "(>1: CPU path faster)")
delivery = find("BM_VideoFrameDelivery")
print(f"{'overlay video picture delivery':<44}{ns(delivery) / 1e3:>8.1f} us  "
      f"({delivery.get('allocs_per_frame', 0):.0f} allocs/frame)")
EOF

# Real time, so it runs last and on its own; it prints its own summary. Its stderr (the
# decoder's log and FFmpeg's warnings) goes to a file so the figures stay readable.
echo
echo "== bench_decoder (load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
if ! build/dev/bench/bench_decoder 2>"$out/bench_decoder.log" | tee "$out/bench_decoder.txt"; then
    tail -n 20 "$out/bench_decoder.log" >&2
    exit 1
fi

# Real-time live encoding against the ffmpeg CLI, and packet latency; last, for the same reason.
cmake --build build/dev --target bench_encoder
echo
echo "== bench_encoder (load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
if ! build/dev/bench/bench_encoder 2>"$out/bench_encoder.log" | tee "$out/bench_encoder.txt"; then
    tail -n 20 "$out/bench_encoder.log" >&2
    exit 1
fi

# Display and window capture of a screen repainted at 30 fps, against ffmpeg's x11grab grabbing
# the same screen; real time, on a private X server.
cmake --build build/dev --target bench_capture
echo
echo "== bench_capture (load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
if ! xvfb-run -a -s "-screen 0 1920x1080x24" build/dev/bench/bench_capture \
    2>"$out/bench_capture.log" | tee "$out/bench_capture.txt"; then
    tail -n 20 "$out/bench_capture.log" >&2
    exit 1
fi

# The operator's window with four 1080p channels and the output: the GUI thread's busy share per
# thumbnail policy, against the same window without thumbnails; real time, on a private X server.
cmake --build build/dev --target bench_window
echo
echo "== bench_window (load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
if ! xvfb-run -a -s "-screen 0 1920x1080x24" build/dev/bench/bench_window \
    2>"$out/bench_window.log" | tee "$out/bench_window.txt"; then
    tail -n 20 "$out/bench_window.log" >&2
    exit 1
fi

# The whole engine headless against the ffmpeg CLI doing the same live job; real time, so last.
harness_seconds=${BENCH_HARNESS_SECONDS:-60}
if ((harness_seconds > 0)); then
    cmake --build build/dev --target quorvi_harness
    echo
    echo "== harness vs ffmpeg CLI, ${harness_seconds} s each"
    if ! DURATION="$harness_seconds" HARNESS_OUT_DIR="$out/harness" bash bench/harness_vs_ffmpeg.sh |
        tee "$out/harness_vs_ffmpeg.txt"; then
        exit 1
    fi
fi
