#!/usr/bin/env bash
# Times netvane against the floor of merely reading or copying its store, in
# both flavours and in every shape bench/make_store.py writes (export order,
# shuffled, reversed, deep sections without their parents, two exports
# joined, one key's section repeated):
#
#   listing run    netvane (no arguments)       floor: cat store > /dev/null
#   configure run  netvane 1 10.1.2.3 ...       floor: dd if=store of=copy bs=1M conv=fsync
#
# Each configure run gets a fresh copy of the store. The two sides run in
# turn, so that both see the same machine load; the table shows medians, the
# ratio, netvane's peak resident set, and how the time grows from 10 MB to
# 100 MB, each against the goals: both runs within 1.2x of their floor, peak
# memory at most the store's size plus 32 MB, growth no worse than linear.
# The goals are for real-size stores: only 100 MB rows get a verdict, and a
# run without them (SIZES=10M) says that it has none.
#
#   bench/store_bench.sh [runs]        NETVANE=path/to/netvane  SIZES="100K 10M 100M"
#                                      SHAPES="export shuffled reversed orphans joined repeated"
#   BENCH_DIR=where the stores are kept (default /tmp/netvane-bench)
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-7}
netvane=${NETVANE:-build/netvane}
sizes=${SIZES:-"100K 10M 100M"}
shapes=${SHAPES:-"export shuffled reversed orphans joined repeated"}
dir=${BENCH_DIR:-/tmp/netvane-bench}

if [ ! -x "$netvane" ]; then
  echo "No $netvane: build first (cmake -S . -B build && cmake --build build -j2)." >&2
  exit 1
fi
if [ ! -x /usr/bin/time ]; then
  echo "/usr/bin/time is missing: apt-get install time" >&2
  exit 1
fi
cache=$(dirname "$netvane")/CMakeCache.txt
if [ -f "$cache" ] && grep -qE '^CMAKE_BUILD_TYPE:STRING=(Debug)?$' "$cache"; then
  echo "warning: $netvane is not an optimised build" >&2
fi

mkdir -p "$dir"
for shape in $shapes; do
  for size in $sizes; do
    for flavour in 4 5; do
      store="$dir/store-$size-v$flavour-$shape.reg"
      [ -s "$store" ] || python3 bench/make_store.py "$size" "$flavour" "$store" "$shape"
    done
  done
done

echo "netvane store benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(uname -r)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "medians of $runs runs each, page cache warm"
echo

NETVANE_BIN="$netvane" DIR="$dir" SIZES="$sizes" SHAPES="$shapes" RUNS="$runs" python3 - <<'EOF'
import os, statistics, subprocess, time

netvane = os.path.abspath(os.environ["NETVANE_BIN"])
work = os.environ["DIR"]
runs = int(os.environ["RUNS"])
sizes = os.environ["SIZES"].split()
shapes = os.environ["SHAPES"].split()
copy = os.path.join(work, "copy.reg")
floor_copy = os.path.join(work, "floor-copy.reg")
configure = ["1", "10.1.2.3", "255.255.0.0", "10.1.0.1", "10.1.0.53"]


def run(argv, env=None, expect=0, stdout=subprocess.PIPE):
    start = time.perf_counter()
    done = subprocess.run(argv, env=env, stdout=stdout, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if expect is not None and done.returncode != expect:
        raise SystemExit("%s exited %d: %s" % (" ".join(argv), done.returncode,
                                                (done.stdout + done.stderr).decode(errors="replace")[:300]))
    return elapsed, done.stdout


def peak_rss_kb(argv, env):
    done = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return int(done.stderr.decode().strip().splitlines()[-1])


def fresh_copy(store):
    subprocess.run(["cp", store, copy], check=True)
    # The copy's pages reach the disk before the timed run, which would
    # otherwise wait for them in its own flush.
    os.sync()


LISTING_GOAL = CONFIGURE_GOAL = 1.2
MEMORY_GOAL_MB = 32


def measure(store):
    megabytes = os.path.getsize(store) / 1e6
    env = dict(os.environ, NETVANE_REGISTRY=store)
    # Warm the page cache and check that the store lists its adapters.
    _, out = run([netvane], env)
    if b"Network adapters:" not in out:
        raise SystemExit("no adapter list from " + store)
    subprocess.run(["cat", store], stdout=subprocess.DEVNULL, check=True)

    floor, tool = [], []
    for _ in range(runs):
        # cat itself, as netvane is run itself, without a shell in front.
        floor.append(run(["cat", store], stdout=subprocess.DEVNULL)[0])
        tool.append(run([netvane], env)[0])
    out = [("listing", megabytes, floor, tool, peak_rss_kb([netvane], env))]

    copy_env = dict(os.environ, NETVANE_REGISTRY=copy)
    floor, tool = [], []
    for _ in range(runs):
        if os.path.exists(floor_copy):
            os.unlink(floor_copy)
        os.sync()
        floor.append(run(["dd", "if=" + store, "of=" + floor_copy, "bs=1M", "conv=fsync"])[0])
        fresh_copy(store)
        tool.append(run([netvane] + configure, copy_env)[0])
    fresh_copy(store)
    out.append(("configure", megabytes, floor, tool, peak_rss_kb([netvane] + configure, copy_env)))
    return out


missed = []
print("goals, for 100 MB stores only (a smaller store's floor is mostly process start-up): each run")
print("within %.1fx of its floor, peak memory at most the store's size plus %d MB, time growing no" % (
    LISTING_GOAL, MEMORY_GOAL_MB))
print("faster than the store from 10 MB to 100 MB; smaller rows show - in the goals column")
print()
for shape in shapes:
    medians = {}
    print("shape: %s" % shape)
    print("%-6s %-8s %-10s %9s %10s %11s %7s %9s %12s  %s" % (
        "store", "flavour", "run", "size MB", "floor ms", "netvane ms", "ratio", "RSS MB",
        "RSS-size MB", "goals"))
    for size in sizes:
        for flavour in ("4", "5"):
            name = "REGEDIT4" if flavour == "4" else "5.00"
            store = os.path.join(work, "store-%s-v%s-%s.reg" % (size, flavour, shape))
            for kind, megabytes, floor, tool, rss in measure(store):
                f, t = statistics.median(floor) * 1e3, statistics.median(tool) * 1e3
                medians[(size, flavour, kind)] = t
                over = rss * 1024 / 1e6 - megabytes
                goal = LISTING_GOAL if kind == "listing" else CONFIGURE_GOAL
                verdict = "-"
                if size == "100M":
                    verdict = "ok" if t / f <= goal and over <= MEMORY_GOAL_MB else "MISSED"
                    if verdict != "ok":
                        missed.append("%s %s %s" % (shape, name, kind))
                print("%-6s %-8s %-10s %9.1f %10.1f %11.1f %7.2f %9.1f %12.1f  %s" % (
                    size, name, kind, megabytes, f, t, t / f, rss * 1024 / 1e6, over, verdict))
    if "10M" in sizes and "100M" in sizes:
        for flavour in ("4", "5"):
            for kind in ("listing", "configure"):
                a, b = medians[("10M", flavour, kind)], medians[("100M", flavour, kind)]
                print("growth 10 MB -> 100 MB, %-8s %-9s x%.1f (%.1f ms -> %.1f ms)%s" % (
                    "REGEDIT4" if flavour == "4" else "5.00", kind, b / a, a, b,
                    "" if b / a <= 10.5 else "  MISSED"))
    print()

for path in (copy, floor_copy):
    if os.path.exists(path):
        os.unlink(path)
if "100M" in sizes:
    print("goals missed at 100 MB: %s" % (", ".join(missed) if missed else "none"))
else:
    print("goals: no verdict, since no 100 MB store ran (SIZES=%s)" % " ".join(sizes))
EOF
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
