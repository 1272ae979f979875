#!/usr/bin/env bash
# The whole engine (quorvi_harness) against the ffmpeg CLI doing the same live job: four 1080p30
# inputs with sound, all decoded, one of them the base, an image, a scaled picture-in-picture
# video and a line of text over it, encoded once to H.264 + AAC and written to an MP4 file and a
# UDP MPEG-TS stream, for DURATION seconds each. The two take turns, RUNS pairs of them
# (harness, CLI, harness, CLI, ...), so that the machine's drift hits both sides; each pair's
# table is printed, then the medians and the ratios against the goals. Then the same job runs
# once in the operator's window (bench_window --job) under Xvfb, beside the harness's medians.
# Absolute numbers on a shared, noisy machine say little.
#
# DURATION (default 60): seconds per side. RUNS (default 3): pairs. WINDOW (default 1 when
# xvfb-run exists, else 0): the window run. HARNESS_CLIP_SECONDS (default 20): length of the
# generated inputs, looped on every side. HARNESS_MEDIA_DIR: where the inputs are made once and
# reused (default build/dev/bench/harness-media). HARNESS_OUT_DIR: outputs, logs and figures,
# run1/, run2/, ... and window/ (default build/dev/bench/results/harness). HARNESS_BIN: the
# harness (default build/dev/bench/quorvi_harness), WINDOW_BIN: the window benchmark (default
# build/dev/bench/bench_window), each built when missing. HARNESS_UDP_PORT (default 23000).
# HARNESS_UDP_RECEIVER=1: an ffmpeg receiver reads the stream during every run (by default the
# datagrams go to a closed local port, which UDP allows). HARNESS_CLI_THREADS: x264 threads for
# the CLI (default: what the engine's encoder uses, read from its output).
#
# A long memory run of the engine alone:
#   build/dev/bench/quorvi_harness --duration 600 --input ... --rss-csv rss.csv
# (the command this script runs is written to $HARNESS_OUT_DIR/run1/harness.cmd).
set -euo pipefail
cd "$(dirname "$0")/.."

duration=${DURATION:-60}
clip=${HARNESS_CLIP_SECONDS:-20}
media=${HARNESS_MEDIA_DIR:-build/dev/bench/harness-media}
out=${HARNESS_OUT_DIR:-build/dev/bench/results/harness}
bin=${HARNESS_BIN:-build/dev/bench/quorvi_harness}
port=${HARNESS_UDP_PORT:-23000}
receiver=${HARNESS_UDP_RECEIVER:-0}
runs=${RUNS:-3}
window=${WINDOW:-$(command -v xvfb-run >/dev/null && echo 1 || echo 0)}
window_bin=${WINDOW_BIN:-build/dev/bench/bench_window}
fps=30
text="Quorvi harness live"
font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
mkdir -p "$media" "$out"

((runs >= 1)) || { echo "harness_vs_ffmpeg.sh: RUNS must be 1 or more" >&2; exit 1; }
if [[ ! -x "$bin" ]]; then
    cmake --build build/dev --target quorvi_harness
fi
if [[ "$window" == 1 && ! -x "$window_bin" ]]; then
    cmake --build build/dev --target bench_window
fi
for tool in ffmpeg ffprobe python3 /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "harness_vs_ffmpeg.sh: $tool is missing" >&2; exit 1; }
done

# ---- Inputs, made once per clip length ----

# make_clip <file> <video lavfi> <tone Hz> <video bitrate>: H.264 + AAC stereo 48 kHz, 2 s GOP.
make_clip() {
    local file=$1 video=$2 tone=$3 rate=$4
    [[ -s "$file" ]] && return 0
    echo "  making $(basename "$file")"
    ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "$video" \
        -f lavfi -i "sine=frequency=$tone:sample_rate=48000" -t "$clip" \
        -c:v libx264 -preset veryfast -b:v "$rate" -maxrate "$rate" -bufsize "$rate" -g 60 \
        -pix_fmt yuv420p -c:a aac -b:a 128k -ac 2 -ar 48000 "$file.tmp.mp4"
    mv "$file.tmp.mp4" "$file"
}
echo "== inputs in $media (${clip} s clips, looped)"
hd="s=1920x1080:r=$fps"
inputs=(
    "$media/ch1_testsrc2_${clip}s.mp4"
    "$media/ch2_smptehdbars_${clip}s.mp4"
    "$media/ch3_testsrc_${clip}s.mp4"
    "$media/ch4_cellauto_${clip}s.mp4"
)
make_clip "${inputs[0]}" "testsrc2=$hd" 440 8M
make_clip "${inputs[1]}" "smptehdbars=$hd,noise=alls=10:allf=t" 550 8M
make_clip "${inputs[2]}" "testsrc=$hd" 660 8M
make_clip "${inputs[3]}" "cellauto=s=480x270:r=$fps:rule=110,scale=1920:1080:flags=neighbor" 770 8M
pip="$media/pip_testsrc2_640x360_${clip}s.mp4"
make_clip "$pip" "testsrc2=s=640x360:r=$fps,hue=H=t" 880 1500k
logo="$media/logo_384x216.png"
if [[ ! -s "$logo" ]]; then
    ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi \
        -i "testsrc=s=384x216,format=rgba,colorchannelmixer=aa=0.75" -frames:v 1 "$logo"
fi

# ---- Runs ----

# Starts a receiver on the port that ends 5 s after the stream stops; echoes its pid. Its files
# go next to the run's: <dir>/<name>.receiver.*.
start_receiver() {
    local dir=$1 name=$2
    ffmpeg -hide_banner -loglevel error -nostdin -y \
        -i "udp://127.0.0.1:$port?timeout=5000000&overrun_nonfatal=1&fifo_size=1000000" \
        -c copy -f null -progress "$dir/$name.receiver.progress" - \
        >/dev/null 2>"$dir/$name.receiver.log" &
    echo $!
}
stop_receiver() {
    local pid=$1
    [[ "$pid" == 0 ]] && return 0
    for _ in $(seq 1 40); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.25
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

# run_timed <dir> <name> <command...>: runs it under /usr/bin/time into <dir>/<name>.time, its
# output into <dir>/<name>.txt and .log, with a receiver when asked; false when it failed. The
# words in the array `under` go before /usr/bin/time (a wrapper whose own cost is not counted).
under=()
run_timed() {
    local dir=$1 name=$2 rpid=0 status=0
    shift 2
    if [[ "$receiver" == 1 ]]; then rpid=$(start_receiver "$dir" "$name"); fi
    "${under[@]}" /usr/bin/time -f "%e %U %S %M" -o "$dir/$name.time" "$@" \
        >"$dir/$name.txt" 2>"$dir/$name.log" || status=$?
    stop_receiver "$rpid"
    if ((status != 0)); then
        tail -n 20 "$dir/$name.log" >&2
        return 1
    fi
}

run_harness() {
    local dir=$1
    local cmd=("$bin" --duration "$duration" --fps "$fps" --base 1
        --input "${inputs[0]}" --input "${inputs[1]}" --input "${inputs[2]}" --input "${inputs[3]}"
        --text "$text" --image "$logo" --pip "$pip"
        --file "$dir/harness.mp4" --stream "udp://127.0.0.1:$port" --stream-format mpegts
        --rss-csv "$dir/harness_rss.csv" --latency-csv "$dir/harness_latency.csv")
    printf '%q ' "${cmd[@]}" >"$dir/harness.cmd"
    echo >>"$dir/harness.cmd"
    echo "== harness, ${duration} s (load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
    rm -f "$dir/harness.mp4"
    run_timed "$dir" harness "${cmd[@]}" || return 1
    sed -n '/^quorvi_harness summary/,$p' "$dir/harness.txt"
}

# What the engine's encoder does (FfmpegEncoderSink, a file and a UDP stream, no RTMP, so not
# live mode): libx264 veryfast + zerolatency, forced IDR, no B-frames, GOP = 1 s, CBR-like
# rate control at fps * pixels / 10000 kbps (6221k at 1080p30) with a 2 s buffer, AAC 160k
# 48 kHz stereo, global headers for the MP4. The engine leaves x264's threads to the codec
# defaults; the CLI is given the same count, read from the engine's output, and the two x264
# option strings are compared below.
x264_options() {
    python3 - "$1" <<'EOF'
import sys
head = open(sys.argv[1], "rb").read(8 << 20)
at = head.find(b"options: ")
print(head[at + 9:head.find(b"\0", at)].decode() if at >= 0 else "")
EOF
}
kbps=$(((fps * 1920 * 1080 + 5000) / 10000))

graph="[1:v]nullsink;[2:v]nullsink;[3:v]nullsink;"
graph+="[1:a]anullsink;[2:a]anullsink;[3:a]anullsink;[5:a]anullsink;"
graph+="[5:v]scale=480:270:flags=bilinear[pip];"
graph+="[0:v][4:v]overlay=48:48[a];[a][pip]overlay=1380:750[b];"
graph+="[b]drawtext=fontfile=$font:text='$text':x=72:y=888:fontsize=112:fontcolor=red[v]"
# Every looped input is cut at the duration too: the branches that end in a null sink would
# otherwise keep the CLI reading after its output has finished.
live=(-re -stream_loop -1 -t "$duration")

run_cli() {
    local dir=$1 engine_opts threads
    engine_opts=$(x264_options "$dir/harness.mp4")
    threads=${HARNESS_CLI_THREADS:-$(sed -n 's/.* threads=\([0-9]*\) .*/\1/p' <<<" $engine_opts ")}
    threads=${threads:-auto}
    local cmd=(ffmpeg -hide_banner -loglevel warning -nostdin -y -progress "$dir/cli.progress"
        "${live[@]}" -i "${inputs[0]}" "${live[@]}" -i "${inputs[1]}"
        "${live[@]}" -i "${inputs[2]}" "${live[@]}" -i "${inputs[3]}"
        -i "$logo" "${live[@]}" -i "$pip"
        -filter_complex "$graph" -map "[v]" -map 0:a -t "$duration" -r "$fps"
        -c:v libx264 -preset veryfast -tune zerolatency -forced-idr 1 -threads:v "$threads"
        -b:v "${kbps}k" -maxrate "${kbps}k" -bufsize "$((2 * kbps))k" -g "$fps" -bf 0
        -pix_fmt yuv420p -flags:v +global_header
        -c:a aac -b:a 160k -ar 48000 -ac 2 -flags:a +global_header
        -f tee "[f=mp4:movflags=+frag_keyframe+empty_moov+default_base_moof]$dir/cli.mp4|[f=mpegts]udp://127.0.0.1:$port")
    printf '%q ' "${cmd[@]}" >"$dir/cli.cmd"
    echo >>"$dir/cli.cmd"
    echo
    echo "== ffmpeg CLI, ${duration} s, x264 threads $threads (load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
    rm -f "$dir/cli.mp4" "$dir/cli.progress"
    run_timed "$dir" cli "${cmd[@]}"
}

count_video() {
    ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets \
        -of csv=p=0 "$1" 2>/dev/null | head -n 1
}

# report_pair <dir> <pair>: the pair's table and goals; its figures go to <dir>/figures.json
# for the medians.
report_pair() {
    local dir=$1 pair=$2
    python3 - "$dir" "$duration" "$fps" "$(count_video "$dir/harness.mp4")" \
        "$(count_video "$dir/cli.mp4")" "$(x264_options "$dir/harness.mp4")" \
        "$(x264_options "$dir/cli.mp4")" "$receiver" "$pair" "$runs" <<'EOF'
import json
import os
import sys

out, duration, fps = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
probe_h, probe_c = int(sys.argv[4] or 0), int(sys.argv[5] or 0)
opts_h, opts_c, receiver = sys.argv[6], sys.argv[7], sys.argv[8] == "1"
pair, runs = int(sys.argv[9]), int(sys.argv[10])

def timing(name):
    wall, user, sys_, kb = open(os.path.join(out, name + ".time")).read().split()[-4:]
    return {"wall": float(wall), "cpu": float(user) + float(sys_), "rss_mb": int(kb) * 1024 / 1e6}

def progress(path):
    last = {}
    if os.path.exists(path):
        for line in open(path):
            if "=" in line:
                k, v = line.strip().split("=", 1)
                last[k] = v
    return last

metrics = {}
for line in open(os.path.join(out, "harness.txt")):
    parts = line.split()
    if len(parts) == 3 and parts[0] == "metric":
        metrics[parts[1]] = float(parts[2])

h, c = timing("harness"), timing("cli")
cp = progress(os.path.join(out, "cli.progress"))
realtime = round(duration * fps)

def pct(n):
    return 100.0 * n / realtime

print(f"\n== Pair {pair} of {runs}: harness vs ffmpeg CLI, {duration:.0f} s, 4 x 1080p30 inputs "
      f"(base 1), image + PiP + text, MP4 + UDP MPEG-TS; real-time count {realtime} frames")
print(f"{'':<40}{'harness':>12}{'CLI':>12}{'ratio':>9}")
def row(label, a, b, fmt="{:.2f}", ratio=True):
    r = f"{a / b:8.2f}x" if ratio and b else ""
    print(f"{label:<40}{fmt.format(a):>12}{fmt.format(b):>12} {r}")
row("CPU seconds (user + sys, /usr/bin/time)", h["cpu"], c["cpu"])
# A side that drops frames does less work; per encoded frame shows that (decoding, a fixed
# cost per real-time second, makes it overstate the gap when frames are dropped).
row("CPU ms per encoded frame", 1e3 * h["cpu"] / max(probe_h, 1), 1e3 * c["cpu"] / max(probe_c, 1),
    "{:.1f}")
row("wall seconds", h["wall"], c["wall"])
row("cores (CPU / wall)", h["cpu"] / h["wall"], c["cpu"] / c["wall"])
row("peak RSS (MB)", h["rss_mb"], c["rss_mb"], "{:.1f}")
row("video frames in the MP4 (ffprobe)", probe_h, probe_c, "{:.0f}")
row("  of the real-time count (%)", pct(probe_h), pct(probe_c))
print(f"{'frames dropped against real time':<40}{max(0, realtime - probe_h):>12}"
      f"{max(0, realtime - probe_c):>12}")
print(f"{'CLI drop / dup (its own count)':<40}{'':>12}"
      f"{cp.get('drop_frames', '?') + ' / ' + cp.get('dup_frames', '?'):>12}")
# The CLI does not drop to stay live: it falls behind instead, which its speed shows.
print(f"{'keeping up: encoded / real time, CLI speed':<40}{pct(probe_h) / 100:>11.3f}x"
      f"{cp.get('speed', '?').strip():>12}")
if receiver:
    rh = progress(os.path.join(out, "harness.receiver.progress")).get("frame", "?")
    rc = progress(os.path.join(out, "cli.receiver.progress")).get("frame", "?")
    print(f"{'video frames received over UDP':<40}{rh:>12}{rc:>12}")
print(f"{'harness inside: composed / to encoder':<40}"
      f"{metrics.get('frames_composed', 0):>8.0f} / {metrics.get('frames_to_encoder', 0):.0f}")
print(f"{'harness inside: base skipped / never enc.':<40}"
      f"{metrics.get('base_frames_skipped', 0):>8.0f} / {metrics.get('frames_never_encoded', 0):.0f}")
print(f"{'harness latency p50/p95 (after 1st s)':<40}"
      f"{metrics.get('latency_p50_ms', 0):>8.1f} / {metrics.get('latency_p95_ms', 0):.1f} ms"
      f"   (max {metrics.get('latency_max_ms', 0):.1f}, first second up to "
      f"{metrics.get('latency_startup_max_ms', 0):.1f}; CLI: not measurable the same way)")
print(f"{'harness RSS early -> end (MB)':<40}"
      f"{metrics.get('rss_early_mb', 0):>8.1f} -> {metrics.get('rss_end_mb', 0):.1f}"
      f"   ({metrics.get('rss_growth_pct', 0):+.2f} %)")
if opts_h != opts_c:
    wh, wc = opts_h.split(), opts_c.split()
    print("x264 settings differ: harness " + " ".join(w for w in wh if w not in wc) +
          " | CLI " + " ".join(w for w in wc if w not in wh))
else:
    print("x264 settings: identical on both sides" if opts_h else "x264 settings: not found")

def goal(label, ok):
    print(f"  {'PASS' if ok else 'MISS'}  {label}")
print("\nGoals:")
goal(f"frames encoded >= 99.5 % of real time ({pct(probe_h):.2f} %)", pct(probe_h) >= 99.5)
if pct(probe_h) >= 99.5 and probe_c >= 0.995 * realtime:
    goal(f"CPU <= 1.0x the CLI's ({h['cpu'] / c['cpu']:.2f}x)", h["cpu"] <= c["cpu"])
else:
    print(f"  n/a   CPU <= 1.0x the CLI's ({h['cpu'] / c['cpu']:.2f}x, but a side did not encode "
          "every frame, so it did less work)")
goal(f"peak RSS <= 1.3x the CLI's ({h['rss_mb'] / c['rss_mb']:.2f}x)",
     h["rss_mb"] <= 1.3 * c["rss_mb"])
goal(f"latency p95 < 50 ms ({metrics.get('latency_p95_ms', 0):.1f} ms)",
     0 < metrics.get("latency_p95_ms", 0) < 50)
growth = metrics.get("rss_growth_pct", 0)
goal(f"RSS flat within 5 % ({growth:+.2f} % over {duration:.0f} s; indicative: the goal is "
     "for 10 minutes)", abs(growth) <= 5)

# The harness's own figures over its timed window, for the window run's comparison.
window_cpu = metrics.get("window_cores", 0) * metrics.get("window_s", 0)
json.dump({"realtime": realtime,
           "harness": {"cpu": h["cpu"], "wall": h["wall"], "rss_mb": h["rss_mb"],
                       "frames": probe_h, "window_cores": metrics.get("window_cores", 0),
                       "window_s": metrics.get("window_s", 0), "window_cpu": window_cpu,
                       "composed": metrics.get("frames_composed", 0)},
           "cli": {"cpu": c["cpu"], "wall": c["wall"], "rss_mb": c["rss_mb"], "frames": probe_c}},
          open(os.path.join(out, "figures.json"), "w"))
EOF
}

for ((run = 1; run <= runs; ++run)); do
    dir="$out/run$run"
    mkdir -p "$dir"
    echo
    echo "==== pair $run of $runs"
    run_harness "$dir"
    run_cli "$dir"
    report_pair "$dir" "$run"
done

# ---- The same job in the operator's window ----

# Its CPU and peak RSS are the process's, under /usr/bin/time as for the harness (inside
# xvfb-run, so the X server's own work for it is not counted). A failed window run is reported and the medians still printed.
window_dir=""
if [[ "$window" == 1 ]]; then
    window_dir="$out/window"
    mkdir -p "$window_dir"
    rm -f "$window_dir/window.mp4"
    echo
    echo "== window (bench_window --job) under Xvfb, ${duration} s (load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
    under=(env QT_XCB_GL_INTEGRATION=none xvfb-run -a -s "-screen 0 1920x1080x24")
    if run_timed "$window_dir" window "$window_bin" --job "$media" "$duration" "$window_dir" \
        --clip "$clip" --stream "udp://127.0.0.1:$port"; then
        grep -v '^metric ' "$window_dir/window.txt"
    else
        echo "the window run failed (log: $window_dir/window.log)" >&2
        window_dir=""
    fi
    under=()
fi

window_frames=0
if [[ -n "$window_dir" ]]; then window_frames=$(count_video "$window_dir/window.mp4"); fi

python3 - "$out" "$runs" "$duration" "$window_dir" "$window_frames" <<'EOF'
import json
import os
import statistics
import sys

out, runs, duration = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
window_dir, window_frames = sys.argv[4], int(sys.argv[5] or 0)
pairs = [json.load(open(os.path.join(out, f"run{i}", "figures.json"))) for i in range(1, runs + 1)]
realtime = pairs[0]["realtime"]
med = statistics.median

def figure(side, name):
    return [p[side][name] for p in pairs]

def per_frame(side):
    return [1e3 * p[side]["cpu"] / max(p[side]["frames"], 1) for p in pairs]

def pct(side):
    return [100.0 * p[side]["frames"] / realtime for p in pairs]

rows = [("CPU seconds (user + sys, /usr/bin/time)", figure("harness", "cpu"), figure("cli", "cpu"),
         "{:.2f}"),
        ("CPU ms per encoded frame", per_frame("harness"), per_frame("cli"), "{:.1f}"),
        ("peak RSS (MB)", figure("harness", "rss_mb"), figure("cli", "rss_mb"), "{:.1f}"),
        ("frames of real time (%)", pct("harness"), pct("cli"), "{:.2f}")]
print(f"\n== Median of {runs} alternating run{'s' if runs > 1 else ''} (harness, CLI, harness, "
      f"CLI, ...), {duration:.0f} s each; real-time count {realtime} frames")
print(f"{'':<40}{'harness':>10}{'CLI':>10}{'ratio of':>10}{'median of':>11}   pair ratios")
print(f"{'':<40}{'':>10}{'':>10}{'medians':>10}{'ratios':>11}")
ratios = {}
for label, h, c, fmt in rows:
    pair_ratios = [a / b if b else 0.0 for a, b in zip(h, c)]
    ratios[label] = med(pair_ratios)
    of_medians = med(h) / med(c) if med(c) else 0.0
    print(f"{label:<40}{fmt.format(med(h)):>10}{fmt.format(med(c)):>10}{of_medians:>9.2f}x"
          f"{ratios[label]:>10.2f}x   " + " ".join(f"{r:.2f}" for r in pair_ratios))

# Judged on the median of the pair ratios: the two sides of a pair ran back to back.
def goal(label, ok):
    print(f"  {'PASS' if ok else 'MISS'}  {label}")
cpu_ratio = ratios[rows[0][0]]
rss_ratio = ratios[rows[2][0]]
frames_h, frames_c = med(pct("harness")), med(pct("cli"))
print("\nGoals (median of the pair ratios):")
stretch = f"stretch <= 0.9x {'met' if cpu_ratio <= 0.9 else 'not met'}"
if frames_h >= 99.5 and frames_c >= 99.5:
    goal(f"CPU <= 1.0x the CLI's ({cpu_ratio:.2f}x; {stretch})", cpu_ratio <= 1.0)
else:
    print(f"  n/a   CPU <= 1.0x the CLI's ({cpu_ratio:.2f}x, per encoded frame "
          f"{ratios[rows[1][0]]:.2f}x, but a side did not encode every frame, so it did less work)")
goal(f"peak RSS <= 1.3x the CLI's ({rss_ratio:.2f}x)", rss_ratio <= 1.3)
if frames_c >= 99.5:
    goal(f"frames encoded >= 99.5 % of real time ({frames_h:.2f} %; CLI {frames_c:.2f} %)",
         frames_h >= 99.5)
else:
    print(f"  n/a   frames encoded >= 99.5 % of real time ({frames_h:.2f} %, but the CLI did not "
          f"keep real time either: {frames_c:.2f} %)")

if not window_dir:
    sys.exit(0)
wall, user, sys_, kb = open(os.path.join(window_dir, "window.time")).read().split()[-4:]
w_cpu, w_rss = float(user) + float(sys_), int(kb) * 1024 / 1e6
wm = {}
for line in open(os.path.join(window_dir, "window.txt")):
    parts = line.split()
    if len(parts) == 3 and parts[0] == "metric":
        wm[parts[1]] = float(parts[2])
h_composed = med([p["harness"]["composed"] / max(p["harness"]["window_s"], 1e-9) for p in pairs])
h_window_ms = med([1e3 * p["harness"]["window_cpu"] / max(p["harness"]["composed"], 1)
                   for p in pairs])
print(f"\n== Window (same job), one run after the pairs, under Xvfb (its X server's CPU not "
      f"counted), beside the harness's medians")
print(f"{'':<40}{'harness':>10}{'window':>10}{'ratio':>10}")
def wrow(label, a, b, fmt="{:.2f}"):
    a_text = fmt.format(a) if a is not None else "-"
    r = f"{b / a:9.2f}x" if a else ""
    print(f"{label:<40}{a_text:>10}{fmt.format(b):>10}{r}")
wrow("CPU seconds (user + sys, /usr/bin/time)", med(figure("harness", "cpu")), w_cpu)
wrow("CPU ms per encoded frame", med(per_frame("harness")), 1e3 * w_cpu / max(window_frames, 1),
     "{:.1f}")
wrow("CPU ms per program frame (timed window)", h_window_ms,
     wm.get("cpu_ms_per_program_frame", 0), "{:.1f}")
wrow("cores (timed window)", med(figure("harness", "window_cores")), wm.get("cores", 0))
wrow("peak RSS (MB)", med(figure("harness", "rss_mb")), w_rss, "{:.1f}")
wrow("video frames in the MP4 (ffprobe)", med(figure("harness", "frames")), window_frames,
     "{:.0f}")
wrow("  of the real-time count (%)", med(pct("harness")), 100.0 * window_frames / realtime)
wrow("program frames / s (timed window)", h_composed, wm.get("program_fps", 0), "{:.1f}")
wrow("GUI thread busy share (%)", None, wm.get("gui_busy_pct", 0), "{:.1f}")
wrow("GUI busy ms per program frame", None, wm.get("gui_busy_ms_per_frame", 0))
EOF
