#!/usr/bin/env python3
"""netvane as an ordinary user (nobody) on disk images that hold a Windows
installation, built by imagefixture.py with sfdisk, mkntfs, an ntfs-3g mount
and qemu-img. What it wrote is read back with ntfscat and checked with
ntfsfix and qemu-img, never through netvane; each hive it writes must equal,
byte for byte, what the directory store writes on the same hives.

    NETVANE_BINARY=build/netvane python3 tests/image/test_image_store.py   (as root)
"""

import hashlib
import os
import random
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "hive"))
import dirtyhive  # noqa: E402
import hivefixture  # noqa: E402
import imagefixture  # noqa: E402
import readers  # noqa: E402
from readers import multi_string  # noqa: E402
from test_hive_store import (AS_NOBODY, CONFIG, FIXTURES, NETVANE, RUN_SECONDS, keys_of,  # noqa: E402
                             run_with_stderr)
from test_real_hives import REAL, adapters_of, network_cards  # noqa: E402

TOOLS = ("qemu-nbd", "qemu-img", "qemu-io", "mkntfs", "ntfs-3g", "ntfscat", "ntfsfix", "ntfsinfo", "sfdisk")
CONFIGURE = ("1", "192.168.7.10", "255.255.255.0", "192.168.7.1", "192.168.7.2")
HIBERNATED = ("Windows on {root} is hibernated and would resume over any change: start it and shut it "
              "down fully (Shift+Shut down, or shutdown /s /t 0), or turn hibernation and fast "
              "start-up off with powercfg /h off, then try again")
UNCLEAN = ("The NTFS volume on {root} was not shut down cleanly{why}, then try again, or set "
           "NETVANE_NTFS_JOURNAL=reset to drop what Windows has yet to apply; nothing was written")
# setpriv named by its path, so that a run may be given a PATH without qemu-nbd.
NOBODY = ["/usr/bin/setpriv"] + list(AS_NOBODY[1:])
STALE = "netvane: the NTFS volume on {root} was not shut down cleanly; what is listed may be slightly stale\n"


def run(image, *arguments, **extra):
    """(stdout, stderr, status) of netvane run by nobody on the image."""
    return run_with_stderr(image, *arguments, prefix=NOBODY, **extra)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def tool(*command):
    """(status, output) of a checking tool."""
    result = subprocess.run(command, capture_output=True)
    return result.returncode, (result.stdout + result.stderr).decode("utf-8", "replace")


class Image:
    """A disk image file in a scratch directory that nobody may write, and
    where in it the Windows volume is."""

    def __init__(self, path, volume, partition):
        self.path, self.volume, self.partition = path, volume, partition
        self.root = path if partition == 0 else "%s partition %d" % (path, partition)

    def copy(self, directory, name=None):
        out = os.path.join(directory, name or os.path.basename(self.path))
        shutil.copyfile(self.path, out)
        os.chmod(out, 0o666)
        return Image(out, self.volume, self.partition)

    def volume_file(self):
        """The Windows volume as a raw file, for the ntfs tools."""
        raw, out = self.path + ".check.raw", self.path + ".volume"
        if not self.path.endswith(".raw"):
            subprocess.run(["qemu-img", "convert", "-O", "raw", self.path, raw], check=True)
        subprocess.run(["dd", "if=" + (raw if os.path.exists(raw) else self.path), "of=" + out, "bs=1M",
                        "iflag=skip_bytes,count_bytes", "skip=%d" % self.volume[0],
                        "count=%d" % self.volume[1], "conv=sparse", "status=none"], check=True)
        if os.path.exists(raw):
            os.unlink(raw)
        return out

    def files(self, volume, *names):
        """The files of the config directory, as ntfscat reads them."""
        return {name: subprocess.run(["ntfscat", volume, "/" + CONFIG + "/" + name], capture_output=True,
                                     check=True).stdout for name in names}

    def assertConsistent(self, test, volume):
        """ntfsfix finds the volume consistent, and qemu-img the image."""
        status, output = tool("ntfsfix", "-n", volume)
        test.assertEqual(status, 0, output)
        test.assertIn("processed successfully", output)
        if not self.path.endswith(".raw"):
            status, output = tool("qemu-img", "check", self.path)
            test.assertEqual(status, 0, output)


@unittest.skipUnless(os.geteuid() == 0,
                     "needs root: it mounts NTFS volumes to build images, and runs netvane as nobody")
@unittest.skipUnless(all(shutil.which(name, path="/usr/bin:/bin:/usr/sbin:/sbin") for name in TOOLS),
                     "needs qemu-utils, ntfs-3g and fdisk")
class ImageStoreTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.environ["PATH"] = "/usr/bin:/bin:/usr/sbin:/sbin"
        cls.scratch = tempfile.TemporaryDirectory(prefix="netvane-images-")
        os.chmod(cls.scratch.name, 0o755)
        built = cls.built = os.path.join(cls.scratch.name, "built")
        os.makedirs(built)
        cls.clean = os.path.join(built, "clean")
        hivefixture.build(cls.clean, [os.path.join(FIXTURES, "machine.reg")])
        cls.dirty = cls.dirty_real_installation(os.path.join(built, "dirty"))
        cls.images = {}
        # Which partition holds Windows in each layout (0: a bare volume).
        for name, layout, windows, installation in (("gpt", "gpt", 3, cls.clean), ("mbr", "mbr", 2, cls.clean),
                                                    ("bare", "bare", 0, cls.clean),
                                                    ("dirty", "gpt", 3, cls.dirty)):
            raw = os.path.join(built, name + ".raw")
            partitions = getattr(imagefixture, layout)(raw, installation)
            cls.images[name + ".raw"] = Image(raw, partitions[max(windows, 1) - 1], windows)
        for layout, image_format in (("gpt", "qcow2"), ("gpt", "vmdk"), ("gpt", "vhdx"), ("dirty", "qcow2")):
            source = cls.images[layout + ".raw"]
            out = os.path.join(built, "%s.%s" % (layout, image_format))
            imagefixture.convert(source.path, image_format, out)
            cls.images[os.path.basename(out)] = Image(out, source.volume, source.partition)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    @staticmethod
    def dirty_real_installation(root):
        """A real machine's SYSTEM hive (tests/hive/real), made dirty with
        two transaction logs by dirtyhive.py, and a SOFTWARE hive listing
        its adapters."""
        config = os.path.join(root, CONFIG)
        os.makedirs(config)
        system = os.path.join(config, "SYSTEM")
        with open(system, "wb") as f:
            subprocess.run(["xz", "-dc", os.path.join(REAL, "both-layouts-SYSTEM.xz")], stdout=f, check=True)
        cards = root + "-cards.reg"
        with open(cards, "w", encoding="utf-8") as f:
            f.write(network_cards(adapters_of(system)))
        hivefixture.build(root + "-cards", [cards])
        os.replace(os.path.join(root + "-cards", CONFIG, "SOFTWARE"), os.path.join(config, "SOFTWARE"))
        dirtyhive.make_installation(dirtyhive.REAL_CASE, config)
        return root

    def setUp(self):
        self.work = tempfile.mkdtemp(dir=self.scratch.name)
        os.chmod(self.work, 0o755)
        self.addCleanup(shutil.rmtree, self.work)

    def directory_result(self, installation, *arguments):
        """(listing, SYSTEM after the run) of the directory store on a copy
        of the same hives."""
        copy = os.path.join(self.work, "directory")
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(installation, copy)
        subprocess.run(["chmod", "-R", "a+rwX", copy], check=True)
        listing = run(copy)
        self.assertEqual(listing[1:], ("", 0), listing)
        self.assertEqual(run(copy, *arguments), ("", "", 0))
        with open(os.path.join(copy, CONFIG, "SYSTEM"), "rb") as f:
            return listing[0], f.read()

    def test_each_layout_and_format_lists_and_configures_as_the_directory_store(self):
        for name, installation in (("gpt.qcow2", self.clean), ("gpt.vmdk", self.clean),
                                   ("gpt.vhdx", self.clean), ("gpt.raw", self.clean),
                                   ("mbr.raw", self.clean), ("bare.raw", self.clean),
                                   ("dirty.qcow2", self.dirty)):
            with self.subTest(name):
                listing, expected = self.directory_result(installation, *CONFIGURE)
                image = self.images[name].copy(self.work)
                self.assertEqual(run(image.path), (listing, "", 0))
                self.assertEqual(run(image.path, *CONFIGURE), ("", "", 0))
                volume = image.volume_file()
                # SOFTWARE and the logs stay as the fixture put them in.
                before = {}
                for other in os.listdir(os.path.join(installation, CONFIG)):
                    with open(os.path.join(installation, CONFIG, other), "rb") as f:
                        before[other] = f.read()
                after = image.files(volume, *before)
                self.assertEqual(after.pop("SYSTEM"), expected, "the hive differs from the directory store's")
                before.pop("SYSTEM")
                self.assertEqual(after, before, "SOFTWARE or a log was rewritten")
                self.assertTrue(dirtyhive.is_clean(expected))
                image.assertConsistent(self, volume)
                status, info = tool("ntfsinfo", "-F", "/" + CONFIG + "/SYSTEM", volume)
                self.assertIn("Namespace:\t\t Win32 & DOS", info)
                self.assertIn("HIDDEN SYSTEM ARCHIVE", info)
                interface = keys_of(re.findall(r"\tName: (.*)\n", listing)[0])["interface"]
                self.assertEqual(readers.hivex_values(self.extract(volume), interface)["IPAddress"][1],
                                 multi_string("192.168.7.10"))

    def extract(self, volume):
        out = volume + ".SYSTEM"
        with open(out, "wb") as f:
            subprocess.run(["ntfscat", volume, "/" + CONFIG + "/SYSTEM"], stdout=f, check=True)
        return out

    def variant(self, name, change=None, installation=None):
        """A GPT image of the clean installation (or another), with
        `change` done to the raw disk and its Windows volume's place."""
        raw = os.path.join(self.work, name + ".raw")
        if installation is None:
            shutil.copyfile(self.images["gpt.raw"].path, raw)
            windows = self.images["gpt.raw"].volume
        else:
            windows = imagefixture.gpt(raw, installation)[2]
        if change is not None:
            change(raw, *windows)
        os.chmod(raw, 0o666)
        return Image(raw, windows, 3)

    def test_refusals_give_their_line_and_leave_the_image_byte_for_byte(self):
        def unclean(raw, offset, size):
            imagefixture.mark_journal_unclean(raw, offset)

        def flagged(raw, offset, size):
            # ntfsfix marks the volume for Windows' disk check.
            volume = raw + ".volume"
            with open(raw, "rb") as f, open(volume, "wb") as out:
                f.seek(offset)
                out.write(f.read(size))
            subprocess.run(["ntfsfix", volume], check=True, capture_output=True)
            with open(volume, "rb") as f, open(raw, "r+b") as out:
                out.seek(offset)
                out.write(f.read())

        def cut_short(raw, offset, size):
            with open(raw, "r+b") as f:
                f.truncate(offset + (1 << 20))

        def unmountable(raw, offset, size):
            with open(raw, "r+b") as f:
                f.seek(offset + 0x30)
                mft = int.from_bytes(f.read(8), "little") * 4096
                f.seek(offset + mft)
                f.write(bytes(65536))

        hibernating = os.path.join(self.work, "hibernating")
        shutil.copytree(self.clean, hibernating)
        with open(os.path.join(hibernating, "hiberfil.sys"), "wb") as f:
            f.write(b"hibr" + bytes(8188))
        no_windows = os.path.join(self.work, "no-windows")
        os.makedirs(os.path.join(no_windows, "Windows"))
        images = {
            "hibernated": self.variant("hibernated", installation=hibernating),
            "unclean journal": self.variant("unclean", unclean),
            "marked for a disk check": self.variant("flagged", flagged),
            "no Windows": self.variant("none", installation=no_windows),
            "partitions past the end": self.variant("short", cut_short),
            "NTFS it cannot mount": self.variant("unmountable", unmountable),
        }
        two = os.path.join(self.work, "two.raw")
        second = imagefixture.disk(two, "dos", [(40 << 20, "7", self.clean), (40 << 20, "7", self.clean)])[1]
        images["two installations"] = Image(two, second, 2)
        os.chmod(two, 0o666)
        qcow2 = self.images["gpt.qcow2"]
        damaged = qcow2.copy(self.work, "damaged.qcow2")
        with open(damaged.path, "r+b") as f:
            f.seek(40)  # the active L1 table's offset
            f.write(b"\xff\xff\xff\xff")
        images["damaged qcow2"] = damaged
        images["in use"] = qcow2.copy(self.work, "in-use.qcow2")
        images["qemu-nbd missing"] = qcow2.copy(self.work, "no-server.qcow2")
        images["read-only"] = qcow2.copy(self.work, "read-only.qcow2")
        os.chmod(images["read-only"].path, 0o644)

        def line(name, image):
            text = {
                "hibernated": HIBERNATED.format(root=image.root),
                "unclean journal": UNCLEAN.format(root=image.root, why=": start Windows and shut it down, or "
                                                  "run ntfsrecover on the volume"),
                "marked for a disk check": UNCLEAN.format(root=image.root, why=" (it is marked for a disk "
                                                          "check): start Windows and let it check the volume"),
                "in use": "Disk image %s is in use by another program, such as a virtual machine that is "
                          "running; nothing was written" % image.path,
                "read-only": "Disk image %s is read-only" % image.path,
                "no Windows": "No Windows installation in disk image %s (partition 1: FAT; partition 2: "
                              "unknown; partition 3: NTFS without Windows; partition 4: NTFS without "
                              "Windows)" % image.path,
                "partitions past the end": "No Windows installation in disk image %s (partition 1: FAT; "
                                           "partition 2: unknown)" % image.path,
                "NTFS it cannot mount": "No Windows installation in disk image %s (partition 1: FAT; "
                                        "partition 2: unknown; partition 3: NTFS that libntfs-3g cannot "
                                        "mount (Failed to load $MFT: Input/output error); partition 4: "
                                        "NTFS without Windows)" % image.path,
                "two installations": "Disk image %s holds Windows installations on partitions 1 and 2: "
                                     "name one with NETVANE_PARTITION" % image.path,
                "damaged qcow2": "Cannot read disk image %s: Active L1 table offset invalid" % image.path,
                "qemu-nbd missing": "Cannot open disk image %s: qemu-nbd was not found (install the package "
                                    "qemu-utils)" % image.path,
            }[name]
            return text + "\n"

        # What a listing says on standard error, where it lists at all.
        listed = {"hibernated": "", "unclean journal": STALE, "marked for a disk check": STALE,
                  "in use": "netvane: disk image {path} is in use by another program; what is listed may "
                            "be stale\n", "read-only": ""}
        holder = subprocess.Popen(["qemu-io", "-f", "qcow2", images["in use"].path], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.stdout.close)
        self.addCleanup(holder.stdin.close)
        # qemu-io reads commands only once it holds the image, so its answer
        # to one says it does. Probing the lock with qemu-img instead raced
        # with qemu-io taking it, and on a busy machine qemu-io lost and left.
        holder.stdin.write(b"length\n")
        holder.stdin.flush()
        answered, _, _ = select.select([holder.stdout], [], [], RUN_SECONDS)
        self.assertTrue(answered and holder.stdout.readline(), "qemu-io could not hold the image")
        for name, image in images.items():
            with self.subTest(name):
                before = digest(image.path)
                extra = {"PATH": self.work} if name == "qemu-nbd missing" else {}
                out, err, status = run(image.path, *CONFIGURE, **extra)
                self.assertEqual(out, line(name, image))
                self.assertEqual(status, min(len(out), 255))
                if name in listed:
                    stale = listed[name].format(root=image.root, path=image.path)
                    self.assertEqual(err, stale)
                    out, err, status = run(image.path)
                    self.assertEqual((err, status), (stale, 0), out)
                    self.assertIn("Name: E100A", out)
                self.assertEqual(digest(image.path), before, "the image was written")

        # The user's way on: reset the journal, or name a partition.
        for name, extra in (("unclean journal", {"NETVANE_NTFS_JOURNAL": "reset"}),
                            ("two installations", {"NETVANE_PARTITION": "2"})):
            with self.subTest(name + ", then on"):
                image = images[name]
                self.assertEqual(run(image.path, *CONFIGURE, **extra),
                                 ("", listed.get(name, "").format(root=image.root), 0))
                self.assertEqual(run(image.path, **extra)[1:], ("", 0))
                image.assertConsistent(self, image.volume_file())

    def test_view_of_an_image_is_the_directory_view_and_writes_nothing(self):
        """--json and --show on an image, clean or dirty with its logs, and
        while another program holds it or its file is read-only, print what
        they print on the same hives in a directory, and write nothing."""
        for name, installation in (("gpt.qcow2", self.clean), ("dirty.qcow2", self.dirty)):
            copy = os.path.join(self.work, "directory-" + name)
            shutil.copytree(installation, copy)
            subprocess.run(["chmod", "-R", "a+rwX", copy], check=True)
            for view, first in (("--json", '"number": 1,'), ("--show", "\n1:\t")):
                expected = run(copy, view)
                self.assertEqual(expected[1:], ("", 0), expected)
                self.assertIn(first, expected[0])
                for state in ("free", "read-only", "in use"):
                    with self.subTest(name=name, view=view, state=state):
                        image = self.images[name].copy(self.work)
                        if state == "read-only":
                            os.chmod(image.path, 0o644)
                        stale = ""
                        if state == "in use":
                            holder = subprocess.Popen(["qemu-io", "-f", "qcow2", image.path], stdin=subprocess.PIPE,
                                                      stdout=subprocess.PIPE)
                            holder.stdin.write(b"length\n")
                            holder.stdin.flush()
                            self.assertTrue(holder.stdout.readline(), "qemu-io could not hold the image")
                            stale = "netvane: disk image %s is in use by another program; what is listed may be stale\n" \
                                    % image.path
                        before = digest(image.path)
                        try:
                            self.assertEqual(run(image.path, view), (expected[0], stale, 0))
                        finally:
                            if state == "in use":
                                holder.stdin.close()
                                holder.wait(timeout=RUN_SECONDS)
                                holder.stdout.close()
                        self.assertEqual(digest(image.path), before, "the image was written")

    def test_killed_runs_leave_no_qemu_nbd_and_the_old_hive_or_the_new(self):
        """Configure runs on a real-size hive, killed at spread-out moments
        of a run (SIGKILL, and SIGTERM, which a run holds back while it
        writes): afterwards no qemu-nbd is left, the next run (which settles
        what a killed one left) reads the old address or the new one, and
        the volume is consistent."""
        image = self.images["dirty.qcow2"].copy(self.work, "killed.qcow2")
        original = digest(image.path)
        service = adapters_of(self.extract(image.volume_file()))[0][0]
        key = keys_of(service)["interface"]
        arguments = [NETVANE, "1", "10.9.9.9", "*", "10.9.9.1"]
        environment = {"PATH": "/usr/bin:/bin", "NETVANE_REGISTRY": image.path}
        started = time.monotonic()
        self.assertEqual(subprocess.run(NOBODY + arguments, env=environment,
                                        timeout=RUN_SECONDS).returncode, 0)
        span = 1.2 * (time.monotonic() - started)
        seen = {"old": 0, "new": 0}
        rng = random.Random(23)
        for kill in range(12):
            shutil.copyfile(self.images["dirty.qcow2"].path, image.path)
            self.assertEqual(digest(image.path), original)
            run_ = subprocess.Popen(NOBODY + arguments, env=environment, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            time.sleep(span * rng.random())
            run_.send_signal(signal.SIGTERM if kill % 4 == 3 else signal.SIGKILL)
            run_.wait(timeout=RUN_SECONDS)
            self.assertNoServerFor(image.path)
            out, err, status = run(image.path)
            self.assertEqual(status, 0, out + err)
            self.assertRegex(err, r"^(netvane: (finished replacing|put back the old) .*\n)?$")
            volume = image.volume_file()
            values = readers.hivex_values(self.extract(volume), key)
            seen["new" if values.get("IPAddress") == (readers.REG_MULTI_SZ, multi_string("10.9.9.9"))
                 else "old"] += 1
            if err:
                seen["settled"] = seen.get("settled", 0) + 1
            image.assertConsistent(self, volume)
        print("image kills: %d left the old hive, %d the new one, %d a replacement the next run settled"
              % (seen["old"], seen["new"], seen.get("settled", 0)), file=sys.stderr)

    def assertNoServerFor(self, path):
        """No qemu-nbd serves the image, once the killed run's has had time
        to end: it ends with its run, but the kernel may take a moment, and
        a busy machine several; only one that never ends outlives this."""
        deadline = time.monotonic() + RUN_SECONDS
        while True:
            servers = [pid for pid in os.listdir("/proc") if pid.isdigit() and self.serves(pid, path)]
            if not servers:
                return
            self.assertLess(time.monotonic(), deadline, "qemu-nbd outlived its run: %s" % servers)
            time.sleep(0.05)

    @staticmethod
    def serves(pid, path):
        """Whether the process is a qemu-nbd for the image, or any process
        that still has it open: a qemu-nbd that is ending shows no command
        line while it still holds the image and qemu's lock on it."""
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                command = f.read().split(b"\0")
            descriptors = os.listdir("/proc/%s/fd" % pid)
        except OSError:
            return False
        if command[0].endswith(b"qemu-nbd") and any(path.encode() in part for part in command):
            return True
        for fd in descriptors:
            try:
                if os.readlink("/proc/%s/fd/%s" % (pid, fd)) == path:
                    return True
            except OSError:
                pass
        return False

if __name__ == "__main__":
    unittest.main()
