#!/usr/bin/env bash
# Times netvane on the hives of a realistic-size offline installation against
# copying its SYSTEM hive with an fsync, in the same rounds:
#
#   dd if=SYSTEM of=copy bs=1M conv=fsync     the yardstick
#   netvane                                    listing: reads SOFTWARE, writes nothing
#   netvane 1 10.0.0.5 * 10.0.0.1 10.0.0.53    configure: rewrites SYSTEM
#
# and the same three on the installation as a running Windows leaves it: its
# SYSTEM hive dirty, with a SYSTEM.LOG1 whose entries carry a few MB of
# changes (tests/hive/dirtyhive.py), the copy taking the hive and its log.
# It reports the medians, the ratios to the copy, the ratio of each dirty
# run to its clean one in the same round, and the peak memory of each.
# Each round starts from a fresh copy of the installation in BENCH_MOUNT, which
# may be on a mounted NTFS volume (ntfs-3g) to measure the real setting.
#
# With qemu-nbd, mkntfs and ntfs-3g at hand (and as root, which builds the
# images through an ntfs-3g mount), the same clean installation also goes
# into a GPT disk image, raw and qcow2 (tests/image/imagefixture.py), and a
# listing and a configure run on each are timed in the same rounds, against
# the directory's listing and configure run.
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

dirty=$pristine-dirty
if [ ! -f "$dirty/Windows/System32/config/SYSTEM.LOG1" ]; then
  echo "Making the dirty installation..."
  rm -rf "$dirty.tmp"
  cp -r "$pristine" "$dirty.tmp"
  python3 - "$dirty.tmp" <<'EOF'
import os, random, subprocess, sys
# Three flushes' worth of changes: new services with binary tables, a few MB in all.
rng = random.Random(17)
changes = []
for flush in range(3):
    path = os.path.join(sys.argv[1], "change%d.reg" % flush)
    with open(path, "w") as f:
        base = "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\BenchLogged%d" % flush
        f.write("Windows Registry Editor Version 5.00\n\n[%s]\n\n" % base)
        for key in range(250):
            f.write('[%s\\Table%d]\n"Data"=hex:%s\n\n' % (base, key, rng.randbytes(3500).hex(",")))
    changes.append(path)
config = os.path.join(sys.argv[1], "Windows/System32/config")
subprocess.run(["python3", "tests/hive/dirtyhive.py", os.path.join(config, "SYSTEM")] + changes,
               check=True)
for path in changes:
    os.unlink(path)
EOF
  mv "$dirty.tmp" "$dirty"
fi

# The same netvane without its sandbox, only to measure what the sandbox
# costs an image's runs.
unsandboxed=$work/unsandboxed
if [ ! -x "$unsandboxed/netvane" ]; then
  cmake -S . -B "$unsandboxed" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNETVANE_TESTS=OFF -DNETVANE_SANDBOX=OFF >/dev/null
  cmake --build "$unsandboxed" -j 2 --target netvane >/dev/null
fi

images=$pristine-images
if [ "$(id -u)" = 0 ] && command -v qemu-nbd mkntfs ntfs-3g >/dev/null && [ ! -f "$images/disk.qcow2" ]; then
  echo "Making the disk images..."
  rm -rf "$images.tmp" && mkdir -p "$images.tmp"
  python3 -c 'import sys; sys.path.insert(0, "tests/image"); import imagefixture
imagefixture.gpt(sys.argv[1], sys.argv[2], size=384 << 20)' "$images.tmp/disk.raw" "$pristine"
  qemu-img convert -O qcow2 "$images.tmp/disk.raw" "$images.tmp/disk.qcow2"
  mv "$images.tmp" "$images"
fi

python3 - "$pristine" "$dirty" "$mount_point" "$rounds" "$images" "$unsandboxed/netvane" <<'EOF'
import os, shutil, statistics, subprocess, sys, tempfile, time

pristine, dirty, mount_point, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
images = sys.argv[5] if os.path.exists(os.path.join(sys.argv[5], "disk.qcow2")) else None
mnt = {"clean": os.path.join(mount_point, "installation"),
       "dirty": os.path.join(mount_point, "dirty"),
       "raw": os.path.join(mount_point, "disk.raw"),
       "qcow2": os.path.join(mount_point, "disk.qcow2")}
netvane = os.path.abspath("build/netvane")
unsandboxed = os.path.abspath(sys.argv[6])


def copy(root, files):
    config = os.path.join(root, "Windows/System32/config")
    return ["sh", "-c", " && ".join(
        "dd if=%s of=%s bs=1M conv=fsync status=none" %
        (os.path.join(config, name), os.path.join(root, "copy-" + name)) for name in files)]


configure = [netvane, "1", "10.0.0.5", "*", "10.0.0.1", "10.0.0.53"]
# name: (command, installation)
commands = {
    "copy": (copy(mnt["clean"], ["SYSTEM"]), "clean"),
    "listing": ([netvane], "clean"),
    "configure": (configure, "clean"),
    "dirty copy": (copy(mnt["dirty"], ["SYSTEM", "SYSTEM.LOG1"]), "dirty"),
    "dirty listing": ([netvane], "dirty"),
    "dirty configure": (configure, "dirty"),
}
if images:
    for image in ("raw", "qcow2"):
        commands[image + " listing"] = ([netvane], image)
        commands[image + " configure"] = (configure, image)
    for image in ("raw", "qcow2"):
        commands[image + " listing, unsandboxed"] = ([unsandboxed], image)
        commands[image + " configure, unsandboxed"] = ([unsandboxed] + configure[1:], image)


def timed(name):
    """Wall time in ms and peak resident memory in KB of one command."""
    command, installation = commands[name]
    env = dict(os.environ, NETVANE_REGISTRY=mnt[installation])
    with tempfile.NamedTemporaryFile("r") as rss:
        start = time.perf_counter()
        result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss.name] + command,
                                env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        elapsed = (time.perf_counter() - start) * 1000
        # A dirty run that fell back to the primary as it is says so on stderr.
        if result.returncode != 0 or result.stderr.strip() or \
                (command is configure and result.stdout):
            sys.exit("%s failed: %r %r" % (name, result.stdout[-200:], result.stderr[-200:]))
        return elapsed, int(rss.read().split()[-1])


samples = {name: [] for name in commands}
for _ in range(rounds):
    for installation, source in (("clean", pristine), ("dirty", dirty)):
        shutil.rmtree(mnt[installation], ignore_errors=True)
        shutil.copytree(source, mnt[installation])
    for image in ("raw", "qcow2") if images else ():
        subprocess.run(["cp", "--sparse=always", os.path.join(images, "disk." + image), mnt[image]], check=True)
    os.sync()
    for name in commands:
        samples[name].append(timed(name))


def megabytes(root, name):
    return os.path.getsize(os.path.join(root, "Windows/System32/config", name)) / 1e6


def ratio(name, to):
    return statistics.median(t / c for (t, _), (c, _) in zip(samples[name], samples[to]))


print("hives: SYSTEM %.1f MB, SOFTWARE %.1f MB; dirty SYSTEM %.1f MB with a %.1f MB SYSTEM.LOG1;"
      " %d rounds" % (megabytes(pristine, "SYSTEM"), megabytes(pristine, "SOFTWARE"),
                      megabytes(dirty, "SYSTEM"), megabytes(dirty, "SYSTEM.LOG1"), rounds))
for name in commands:
    times = [ms for ms, _ in samples[name]]
    if name.endswith(", unsandboxed"):
        sandboxed = name[:-len(", unsandboxed")]
        cost = statistics.median(s - u for (s, _), (u, _) in zip(samples[sandboxed], samples[name]))
        print("%-15s sandbox cost  %+6.1f ms  (ratio to unsandboxed %5.2f)" % (sandboxed, cost, ratio(sandboxed, name)))
        continue
    if name.startswith(("raw ", "qcow2 ")):
        run = name.split(" ")[1]
        memory = [kb - directory_kb for (_, kb), (_, directory_kb) in zip(samples[name], samples[run])]
        print("%-15s median %7.1f ms  (min %6.1f)  ratio to the directory's %s %5.2f  peak memory %6.1f MB"
              " (%+.1f MB)" % (name, statistics.median(times), min(times), run, ratio(name, run),
                               statistics.median(kb for _, kb in samples[name]) / 1024,
                               statistics.median(memory) / 1024))
        continue
    dirty_run = name.startswith("dirty ")
    line = "%-15s median %7.1f ms  (min %6.1f)  ratio to copy %5.2f" % (
        name, statistics.median(times), min(times), ratio(name, "dirty copy" if dirty_run else "copy"))
    line += "  to clean %5.2f" % ratio(name, name[len("dirty "):]) if dirty_run else " " * 16
    print(line + "  peak memory %6.1f MB" %
          (statistics.median(kb for _, kb in samples[name]) / 1024))
# What reading the new hive back costs a configure run on an image: its
# time inside NtfsVolume::readsBackAs (a fresh mount and the hive's bytes),
# taken by gdb at that function's entry and return, in runs of their own of
# the build without the sandbox, against the same image's configure median.
if images and shutil.which("gdb"):
    script = os.path.join(os.path.dirname(mnt["raw"]), "read-back.py")
    with open(script, "w") as f:
        f.write("""import gdb, time
spans = []
class Back(gdb.FinishBreakpoint):
    def __init__(self, start):
        super().__init__(gdb.newest_frame(), internal=True)
        self.start = start
    def stop(self):
        spans.append(time.perf_counter() - self.start)
        return False
class Entry(gdb.Breakpoint):
    def stop(self):
        Back(time.perf_counter())
        return False
Entry("standin::NtfsVolume::readsBackAs", internal=True)
gdb.execute("run")
print("read back: %.1f ms" % (sum(spans) * 1000))
""")
    for image in ("raw", "qcow2"):
        spans = []
        for _ in range(rounds):
            subprocess.run(["cp", "--sparse=always", os.path.join(images, "disk." + image), mnt[image]], check=True)
            # In the build without the sandbox, whose run is one process that
            # gdb follows; the function is the same in both.
            out = subprocess.run(["gdb", "-batch", "-nx", "-x", script, "--args", unsandboxed] + configure[1:],
                                 env=dict(os.environ, NETVANE_REGISTRY=mnt[image]), capture_output=True, text=True)
            spans += [float(line.split()[2]) for line in out.stdout.splitlines() if line.startswith("read back:")]
        if spans:
            configured = statistics.median(ms for ms, _ in samples[image + " configure"])
            print("%-15s median %7.1f ms  (min %6.1f)  share of the %s configure run %5.2f" %
                  (image + " read-back", statistics.median(spans), min(spans), image,
                   statistics.median(spans) / configured))
for root in mnt.values():
    shutil.rmtree(root, ignore_errors=True) if os.path.isdir(root) else None
    if os.path.isfile(root):
        os.unlink(root)
EOF
