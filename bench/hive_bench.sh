#!/usr/bin/env bash
# Times netvane on the hives of a realistic-size offline installation against
# copying its SYSTEM hive with an fsync, in the same rounds:
#
#   dd if=SYSTEM of=copy bs=1M conv=fsync     the yardstick
#   netvane                                    listing: reads SOFTWARE, writes nothing
#   netvane 1 10.0.0.5 * 10.0.0.1 10.0.0.53    configure: rewrites SYSTEM
#
# and reports the medians, the ratios to the copy and the peak memory of each.
# Each round starts from a fresh copy of the installation in BENCH_MOUNT, which
# may be on a mounted NTFS volume (ntfs-3g) to measure the real setting.
#
#   bench/hive_bench.sh [rounds]
#   SYSTEM_KEYS=40000 SOFTWARE_KEYS=60000 BENCH_DIR=build-bench
#   BENCH_MOUNT=$BENCH_DIR/mnt (defaults)
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-9}
system_keys=${SYSTEM_KEYS:-40000}
software_keys=${SOFTWARE_KEYS:-60000}
work=${BENCH_DIR:-build-bench}
pristine=$work/pristine-$system_keys-$software_keys
mount_point=${BENCH_MOUNT:-$work/mnt}

if [ ! -x build/netvane ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j 2 >/dev/null
fi

if [ ! -f "$pristine/Windows/System32/config/SYSTEM" ]; then
  echo "Building the installation ($system_keys SYSTEM keys, $software_keys SOFTWARE keys)..."
  mkdir -p "$work"
  python3 bench/synthetic_machine.py "$system_keys" "$software_keys" >"$work/bulk.reg"
  rm -rf "$pristine.tmp"
  python3 tests/hive/hivefixture.py build "$pristine.tmp" tests/fixtures/machine.reg "$work/bulk.reg"
  mv "$pristine.tmp" "$pristine"
  rm -f "$work/bulk.reg"
fi

python3 - "$pristine" "$mount_point/installation" "$rounds" <<'EOF'
import os, shutil, statistics, subprocess, sys, tempfile, time

pristine, mnt, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
config = os.path.join(mnt, "Windows/System32/config")
netvane = os.path.abspath("build/netvane")
env = dict(os.environ, NETVANE_REGISTRY=mnt)
commands = {
    "copy": ["dd", "if=" + os.path.join(config, "SYSTEM"), "of=" + os.path.join(mnt, "copy"),
             "bs=1M", "conv=fsync", "status=none"],
    "listing": [netvane],
    "configure": [netvane, "1", "10.0.0.5", "*", "10.0.0.1", "10.0.0.53"],
}

def timed(command):
    """Wall time in ms and peak resident memory in KB of one command."""
    with tempfile.NamedTemporaryFile("r") as rss:
        start = time.perf_counter()
        result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss.name] + command,
                                env=env, stdout=subprocess.PIPE)
        elapsed = (time.perf_counter() - start) * 1000
        if result.returncode != 0 or (command is commands["configure"] and result.stdout):
            sys.exit("%s failed: %r" % (command, result.stdout[-200:]))
        return elapsed, int(rss.read().split()[-1])

samples = {name: [] for name in commands}
for _ in range(rounds):
    shutil.rmtree(mnt, ignore_errors=True)
    shutil.copytree(pristine, mnt)
    os.sync()
    for name, command in commands.items():
        samples[name].append(timed(command))

sizes = {name: os.path.getsize(os.path.join(pristine, "Windows/System32/config", name))
         for name in ("SYSTEM", "SOFTWARE")}
print("hives: SYSTEM %.1f MB, SOFTWARE %.1f MB; %d rounds" %
      (sizes["SYSTEM"] / 1e6, sizes["SOFTWARE"] / 1e6, rounds))
copy = [ms for ms, _ in samples["copy"]]
for name in commands:
    times = [ms for ms, _ in samples[name]]
    ratios = [t / c for t, c in zip(times, copy)]
    print("%-9s median %7.1f ms  (min %6.1f)  ratio to copy %5.2f  peak memory %6.1f MB" % (
        name, statistics.median(times), min(times), statistics.median(ratios),
        statistics.median(kb for _, kb in samples[name]) / 1024))
shutil.rmtree(mnt, ignore_errors=True)
EOF
