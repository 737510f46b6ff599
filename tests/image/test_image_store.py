#!/usr/bin/env python3
"""netvane as an ordinary user (nobody) on disk images that hold a Windows
installation, built by imagefixture.py with sfdisk, mkntfs, an ntfs-3g mount
and qemu-img. What it wrote is read back with ntfscat and checked with
ntfsfix and qemu-img, never through netvane; each hive it writes must equal,
byte for byte, what the directory store writes on the same hives.

    NETVANE_BINARY=build/netvane python3 tests/image/test_image_store.py   (as root)
"""

import concurrent.futures
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
import ntfsdamage  # noqa: E402
import readers  # noqa: E402
from readers import multi_string  # noqa: E402
from test_hive_store import (AS_NOBODY, CONFIG, FIXTURES, NETVANE, RUN_SECONDS, STATIC, keys_of,  # noqa: E402
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
IN_USE = ("Disk image {path} is in use by another program, such as a virtual machine that is running; "
          "nothing was written\n")
DAMAGED = (r"The NTFS volume on {root} is damaged \(.+\): run chkdsk /f on it from Windows; "
           r"nothing was written\n")
# As small a volume as mkntfs makes that holds the clean installation with
# room to replace its SYSTEM: the image that tests run many times on.
SMALL = 4 << 20


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
        imagefixture.add_other_hives(cls.clean)
        cls.dirty = cls.dirty_real_installation(os.path.join(built, "dirty"))
        cls.images = {}
        # Which partition holds Windows in each layout (0: a bare volume).
        for name, layout, windows, installation, size in (
                ("gpt", "gpt", 3, cls.clean, {}), ("mbr", "mbr", 2, cls.clean, {}),
                ("bare", "bare", 0, cls.clean, {}), ("dirty", "gpt", 3, cls.dirty, {}),
                ("small", "bare", 0, cls.clean, {"size": SMALL})):
            raw = os.path.join(built, name + ".raw")
            partitions = getattr(imagefixture, layout)(raw, installation, **size)
            cls.images[name + ".raw"] = Image(raw, partitions[max(windows, 1) - 1], windows)
        for layout, image_format in (("gpt", "qcow2"), ("gpt", "vmdk"), ("gpt", "vhdx"), ("dirty", "qcow2"),
                                     ("small", "qcow2")):
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
                created = self.hive_metadata(image.volume_file())[1]
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
                self.assertNotRegex(info, r"Security ID:\s+0 ")
                self.assertEqual(self.hive_metadata(volume), (imagefixture.hive_descriptor(), created))
                interface = keys_of(re.findall(r"\tName: (.*)\n", listing)[0])["interface"]
                self.assertEqual(readers.hivex_values(self.extract(volume), interface)["IPAddress"][1],
                                 multi_string("192.168.7.10"))

    @staticmethod
    def hive_metadata(volume):
        """SYSTEM's security descriptor and creation time, as an ntfs-3g
        mount shows them."""
        with imagefixture.mounted(volume, "-o", "ro") as mount:
            hive = os.path.join(mount, CONFIG, "SYSTEM")
            return os.getxattr(hive, "system.ntfs_acl"), os.getxattr(hive, "system.ntfs_crtime")

    def extract(self, volume, check=True):
        out = volume + ".SYSTEM"
        with open(out, "wb") as f:
            subprocess.run(["ntfscat", volume, "/" + CONFIG + "/SYSTEM"], stdout=f, stderr=subprocess.DEVNULL,
                           check=check)
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
        images["raw image in use"] = self.images["gpt.raw"].copy(self.work, "in-use.raw")
        images["qemu-nbd missing"] = qcow2.copy(self.work, "no-server.qcow2")
        images["read-only"] = qcow2.copy(self.work, "read-only.qcow2")
        images["read-only raw image"] = self.images["gpt.raw"].copy(self.work, "read-only.raw")
        images["raw image on a read-only mount"] = self.read_only_mount(self.images["gpt.raw"])
        for name in ("read-only", "read-only raw image"):
            os.chmod(images[name].path, 0o644)
        images["streamOptimized vmdk"] = Image(os.path.join(self.work, "stream.vmdk"), qcow2.volume, 3)
        subprocess.run(["qemu-img", "convert", "-O", "vmdk", "-o", "subformat=streamOptimized",
                        self.images["gpt.raw"].path, images["streamOptimized vmdk"].path], check=True)
        os.chmod(images["streamOptimized vmdk"].path, 0o666)
        images["LUKS inside qcow2"] = Image(os.path.join(self.work, "luks.qcow2"), qcow2.volume, 3)
        # qemu-img times its key derivation first, and on a busy machine can
        # fail to ("Unable to get accurate CPU usage"): it is asked again.
        for attempt in range(10):
            made = subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "--object", "secret,id=s0,data=x", "-o",
                                   "encrypt.format=luks,encrypt.key-secret=s0", images["LUKS inside qcow2"].path,
                                   "64M"], capture_output=True, text=True)
            if made.returncode == 0 or "CPU usage" not in made.stderr:
                break
        self.assertEqual(made.returncode, 0, made.stderr)
        os.chmod(images["LUKS inside qcow2"].path, 0o666)
        # Only its magic number makes a LUKS volume here.
        for name, content in (("raw LUKS", b"LUKS\xba\xbe\x00\x02" + bytes(4 << 20)),
                              ("random bytes", random.Random(29).randbytes(4 << 20))):
            images[name] = Image(os.path.join(self.work, name.replace(" ", "-")), qcow2.volume, 3)
            with open(images[name].path, "wb") as f:
                f.write(content)
            os.chmod(images[name].path, 0o666)
        with open(self.images["mbr.raw"].path, "rb") as f:
            mbr = f.read()
        for name, content in (("cut below a sector", mbr[:300]), ("MBR signature lost", mbr[:510] + mbr[512:])):
            images[name] = Image(os.path.join(self.work, name.replace(" ", "-")), qcow2.volume, 3)
            with open(images[name].path, "wb") as f:
                f.write(content)
            os.chmod(images[name].path, 0o666)

        def bytes_at(where, content):
            def change(raw, offset, size):
                with open(raw, "r+b") as f:
                    f.seek(offset + where)
                    f.write(content)
            return change

        images["BitLocker"] = self.variant("bitlocker", bytes_at(3, b"-FVE-FS-"))
        for name, where, content in (("boot sector's OEM ID", 3, b"NTFX"), ("boot sector's start", 0, bytes(3))):
            images[name] = self.images["bare.raw"].copy(self.work, name.replace(" ", "-").replace("'", ""))
            bytes_at(where, content)(images[name].path, 0, 0)
        for name in ("stated format disagrees", "stated format unknown"):
            images[name] = qcow2.copy(self.work, name.replace(" ", "-") + ".qcow2")
        stated = {"stated format disagrees": "vmdk", "stated format unknown": "qcow3"}
        attached = images["attached to a loop device"] = self.images["gpt.raw"].copy(self.work, "attached.raw")
        loop = self.loop_device(attached.path)
        images["disk in use"] = Image(self.loop_device(self.images["gpt.raw"].copy(self.work, "disk.raw").path,
                                                       hold=True), qcow2.volume, 3)

        def line(name, image):
            text = {
                "hibernated": HIBERNATED.format(root=image.root),
                "unclean journal": UNCLEAN.format(root=image.root, why=": start Windows and shut it down, or "
                                                  "run ntfsrecover on the volume"),
                "marked for a disk check": UNCLEAN.format(root=image.root, why=" (it is marked for a disk "
                                                          "check): start Windows and let it check the volume"),
                "in use": IN_USE.format(path=image.path).rstrip("\n"),
                "raw image in use": IN_USE.format(path=image.path).rstrip("\n"),
                "read-only": "Disk image %s is read-only" % image.path,
                "read-only raw image": "Disk image %s is read-only" % image.path,
                "raw image on a read-only mount": "Disk image %s is read-only" % image.path,
                "no Windows": "No Windows installation in disk image %s (partition 1: FAT; partition 2: "
                              "unknown; partition 3: NTFS without Windows; partition 4: NTFS without "
                              "Windows)" % image.path,
                "partitions past the end": "No Windows installation in disk image %s, which is cut short: "
                                           "partitions 3 and 4 run past the end of the disk image (partition 1: "
                                           "FAT; partition 2: unknown)" % image.path,
                "LUKS inside qcow2": "Disk image %s is encrypted (LUKS inside qcow2), which netvane cannot open"
                                     % image.path,
                "raw LUKS": "Disk image %s is encrypted (LUKS), which netvane cannot open" % image.path,
                "BitLocker": "Disk image %s partition 3 is encrypted (BitLocker), which netvane cannot open: "
                             "unlock it, and use the mount route" % image.path,
                "boot sector's OEM ID": "Cannot read disk image %s: no partition table (MBR or GPT), and no volume "
                                        "netvane can tell from its first sector, which is the boot sector of a file "
                                        "system netvane does not know: its OEM ID is \"NTFX    \", where NTFS has "
                                        "\"NTFS    \"" % image.path,
                "boot sector's start": "Cannot read disk image %s: no partition table (MBR or GPT), and no volume "
                                       "netvane can tell from its first sector, which is a boot sector with the OEM "
                                       "ID \"NTFS    \" that starts with 00 00 00, not with the jump (EB or E9) "
                                       "every boot sector starts with" % image.path,
                "stated format disagrees": "Disk image %s is in format qcow2 by its content, not in format vmdk "
                                           "as NETVANE_FORMAT says" % image.path,
                "stated format unknown": "Disk image %s cannot be opened as NETVANE_FORMAT=qcow3 says: netvane "
                                         "opens raw, qcow2, vmdk, vhdx, vpc and vdi" % image.path,
                "NTFS it cannot mount": "No Windows installation in disk image %s (partition 1: FAT; "
                                        "partition 2: unknown; partition 3: NTFS that libntfs-3g cannot "
                                        "mount (Failed to load $MFT: Input/output error); partition 4: "
                                        "NTFS without Windows)" % image.path,
                "two installations": "Disk image %s holds Windows installations on partitions 1 and 2: "
                                     "name one with NETVANE_PARTITION" % image.path,
                "damaged qcow2": "Cannot read disk image %s: Active L1 table offset invalid" % image.path,
                "qemu-nbd missing": "Cannot open disk image %s: qemu-nbd was not found (install the package "
                                    "qemu-utils)" % image.path,
                "attached to a loop device": "Disk image %s is attached to loop device %s: detach it (losetup "
                                             "-d %s) first; nothing was written" % (image.path, loop, loop),
                "disk in use": "Disk %s is in use: a partition of it is mounted, or another program holds it; "
                               "nothing was written" % image.path,
            }.get(name)
            if name in ("random bytes", "cut below a sector", "MBR signature lost"):
                text = ("Registry store %s is neither a registry export nor a disk image that netvane knows (an "
                        "export's first line is REGEDIT4 or Windows Registry Editor Version 5.00)" % image.path)
            if text is not None:
                return re.escape(text + "\n")
            # The command it names is the user's to complete.
            return re.escape("Disk image %s is a streamOptimized VMDK, which cannot be changed in place: "
                             "convert it first (qemu-img convert -O vmdk " % image.path) + \
                r".*\); nothing was written\n"

        # What a listing says on standard error, where it lists at all (None:
        # whatever it says).
        in_use = "netvane: disk image {path} is in use by another program; what is listed may be stale\n"
        listed = {"hibernated": "", "unclean journal": STALE, "marked for a disk check": STALE,
                  "in use": in_use, "raw image in use": None, "read-only": "", "read-only raw image": "",
                  "raw image on a read-only mount": "", "streamOptimized vmdk": "",
                  "attached to a loop device": None, "disk in use": None}
        for name, image_format in (("in use", "qcow2"), ("raw image in use", "raw")):
            self.hold(image_format, images[name].path)
        for name, image in images.items():
            with self.subTest(name):
                before = digest(image.path)
                extra = {"PATH": self.work} if name == "qemu-nbd missing" else {}
                if name in stated:
                    extra["NETVANE_FORMAT"] = stated[name]
                # Only root may open the disk.
                prefix = [] if name == "disk in use" else NOBODY
                out, err, status = run_with_stderr(image.path, *CONFIGURE, prefix=prefix, **extra)
                self.assertRegex(out, "^" + line(name, image) + "$", "status %d, stderr %r" % (status, err))
                self.assertEqual((err, status), ("", min(len(out), 255)))
                if name in listed:
                    out, err, status = run_with_stderr(image.path, prefix=prefix)
                    self.assertEqual(status, 0, out + err)
                    if listed[name] is not None:
                        self.assertEqual(err, listed[name].format(root=image.root, path=image.path))
                    self.assertIn("Name: E100A", out)
                else:
                    # A listing is refused with the same one line, and no note.
                    self.assertEqual(run_with_stderr(image.path, prefix=prefix, **extra), (out, err, status))
                self.assertEqual(digest(image.path), before, "the image was written")

        # The user's way on: reset the journal, or name a partition.
        for name, extra in (("unclean journal", {"NETVANE_NTFS_JOURNAL": "reset"}),
                            ("two installations", {"NETVANE_PARTITION": "2"})):
            with self.subTest(name + ", then on"):
                image = images[name]
                # A configure run that goes through says nothing at all.
                self.assertEqual(run(image.path, *CONFIGURE, **extra), ("", "", 0))
                self.assertEqual(run(image.path, **extra)[1:], ("", 0))
                image.assertConsistent(self, image.volume_file())

    @unittest.skipUnless(shutil.which("strace", path="/usr/bin:/bin"), "needs strace, to see what a run opens")
    def test_an_image_reaches_no_file_but_its_own(self):
        """A raw disk with Windows outside the images' directory, the
        victim, named by an image as its backing file, external data file
        or extent: the run is refused with one line, and nothing opens or
        changes the victim. A backing file or extents beside their image
        are opened, and no other file, a backing file read-only. A device
        whose first sector holds a qcow2 header naming the victim is read
        as raw."""
        images, outside = os.path.join(self.work, "images"), os.path.join(self.work, "outside")
        for directory in (images, outside):
            os.makedirs(directory)
            os.chmod(directory, 0o755)
        gpt = self.images["gpt.raw"]
        victim = os.path.join(outside, "victim.raw")

        def at(name):
            return os.path.join(images, name)

        def qemu_img(*arguments):
            subprocess.run(["qemu-img"] + list(arguments), check=True, capture_output=True)

        # Made before the victim holds its disk: qemu-img creates the data file.
        qemu_img("create", "-f", "qcow2", "-o", "data_file=%s,data_file_raw=on" % victim, at("data.qcow2"), "96M")
        shutil.copyfile(gpt.path, victim)
        qemu_img("create", "-f", "qcow2", "-u", "-F", "raw", "-b", victim, at("absolute.qcow2"), "96M")
        qemu_img("create", "-f", "qcow2", "-u", "-F", "raw", "-b", "../outside/victim.raw", at("relative.qcow2"),
                 "96M")
        # The victim's first mebibyte beside the descriptor, the rest of it in place.
        with open(gpt.path, "rb") as f, open(at("first.raw"), "wb") as out:
            out.write(f.read(1 << 20))
        sectors = os.path.getsize(gpt.path) // 512
        with open(at("extents.vmdk"), "w") as f:
            f.write('# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"'
                    '\nRW 2048 FLAT "first.raw" 0\nRW %d FLAT "%s" 2048\n' % (sectors - 2048, victim))
        shutil.copyfile(self.images["gpt.qcow2"].path, at("base.qcow2"))
        qemu_img("create", "-f", "qcow2", "-b", "base.qcow2", "-F", "qcow2", at("overlay.qcow2"))
        qemu_img("convert", "-O", "vmdk", "-o", "subformat=twoGbMaxExtentSparse", gpt.path, at("split.vmdk"))
        # A guest's raw disk whose first sector it made a qcow2 header that
        # names the victim, the protective MBR's entry and signature left.
        with open(gpt.path, "rb") as f:
            disk = bytearray(f.read())
        name = victim.encode()
        self.assertLess(0x80 + len(name), 446)
        header = b"QFI\xfb" + (3).to_bytes(4, "big") + (0x80).to_bytes(8, "big") + len(name).to_bytes(4, "big") + \
            (16).to_bytes(4, "big") + len(disk).to_bytes(8, "big")
        disk[:0x80 + len(name)] = header + bytes(72 - len(header)) + bytes(24) + (4).to_bytes(4, "big") + \
            (104).to_bytes(4, "big") + bytes(0x80 - 104) + name
        with open(at("guest.raw"), "wb") as f:
            f.write(disk)
        for name in os.listdir(images) + [victim]:
            os.chmod(os.path.join(images, name), 0o666)
        original = digest(victim)

        def opened(prefix, path, *arguments):
            """(stdout, stderr, status) of the run, and every (file, flags) of
            this test's scratch directory that it or its qemu-nbd opened."""
            log = os.path.join(self.work, "opened")
            # LeakSanitizer cannot run under ptrace, and says so.
            out = run_with_stderr(path, *arguments, prefix=["strace", "-f", "-qq", "-e", "trace=open,openat,creat",
                                                            "-o", log] + prefix, ASAN_OPTIONS="detect_leaks=0")
            with open(log) as f:
                found = re.findall(r'open(?:at)?\((?:AT_FDCWD, )?"(%s/[^"]+)", ([A-Z_|]+)' % re.escape(self.work),
                                   f.read())
            return out, found

        refused = {"absolute.qcow2": ("%s" % victim, "its backing file"),
                   "relative.qcow2": ("../outside/victim.raw (%s)" % victim, "its backing file"),
                   "data.qcow2": (victim, "its external data file"), "extents.vmdk": (victim, "an extent"),
                   # The same bytes as the device's below, in a file.
                   "guest.raw": (victim, "its backing file")}
        for name, (named, kind) in refused.items():
            for arguments in ((), CONFIGURE):
                with self.subTest(name, configure=bool(arguments)):
                    before = digest(at(name))
                    (out, err, status), files = opened(NOBODY, at(name), *arguments)
                    self.assertEqual(out, "Disk image %s names %s as %s, which is not a file beside it; netvane "
                                     "opens no file outside the image's own directory\n" % (at(name), named, kind))
                    self.assertEqual((err, status), ("", min(len(out), 255)))
                    self.assertNotIn(victim, [path for path, _ in files])
                    self.assertEqual((digest(victim), digest(at(name))), (original, before))

        for name, others in (("overlay.qcow2", ["base.qcow2"]), ("split.vmdk", ["split-s001.vmdk"])):
            with self.subTest(name):
                kept = {other: digest(at(other)) for other in others}
                (out, err, status), _ = opened(NOBODY, at(name))
                self.assertEqual((err, status), ("", 0), out)
                self.assertIn("Name: E100A", out)
                (out, err, status), files = opened(NOBODY, at(name), *CONFIGURE)
                self.assertEqual((out, err, status), ("", "", 0))
                self.assertEqual(sorted(set(path for path, _ in files)), sorted(at(f) for f in [name] + others))
                if name == "overlay.qcow2":
                    self.assertEqual(digest(at("base.qcow2")), kept["base.qcow2"], "the backing file was written")
                    self.assertFalse([flags for path, flags in files if path == at("base.qcow2") and "O_RDONLY"
                                      not in flags])
                else:
                    self.assertNotEqual(digest(at("split-s001.vmdk")), kept["split-s001.vmdk"])
                image = Image(at(name), gpt.volume, gpt.partition)
                volume = image.volume_file()
                image.assertConsistent(self, volume)
                interface = keys_of(STATIC)["interface"]
                self.assertEqual(readers.hivex_values(self.extract(volume), interface)["IPAddress"][1],
                                 multi_string(CONFIGURE[1]))

        with self.subTest("a device whose first sector is a qcow2 header"):
            device = self.loop_device(at("guest.raw"))
            for arguments in ((), CONFIGURE):
                (out, err, status), files = opened([], device, *arguments)
                self.assertEqual((err, status), ("", 0), out)
                self.assertEqual(out == "", bool(arguments))
                self.assertNotIn(victim, [path for path, _ in files])
            self.assertEqual(digest(victim), original)

    def small(self, name, installation=None, then=None, damage=None):
        """A copy of the small image, or one built like it from another
        installation or with then(mount) done through the fixture's mount,
        with damage(path, offset) done to its volume."""
        if installation is None and then is None:
            image = self.images["small.raw"].copy(self.work, name + ".raw")
        else:
            path = os.path.join(self.work, name + ".raw")
            image = Image(path, imagefixture.bare(path, installation or self.clean, SMALL, then)[0], 0)
            os.chmod(path, 0o666)
        if damage is not None:
            damage(image.path, image.volume[0])
        return image

    def test_damaged_volumes_give_one_line_and_are_left_byte_for_byte(self):
        """Damage that a listing does not mind, but that a write must not go
        through; chkdsk would find each."""
        short = os.path.join(self.work, "short-bins")
        shutil.copytree(self.clean, short)
        hive = os.path.join(short, CONFIG, "SYSTEM")
        with open(hive, "rb") as f:
            damaged = ntfsdamage.short_hive_bins(f.read())
        with open(hive, "wb") as f:
            f.write(damaged)
        hive_size = os.path.getsize(hive)

        def nearly_full(mount):
            imagefixture.fill(mount, hive_size)

        gpt = self.images["gpt.raw"].copy(self.work, "bitmaps.raw")
        ntfsdamage.zero_bitmap(gpt.path, gpt.volume[0], mft_bitmap=True)
        system = "{root}:/" + CONFIG + "/SYSTEM"
        # name: (image, the line's pattern, whether the listing succeeds)
        cases = {
            "$Bitmap zeroed": (self.small("bitmap", damage=ntfsdamage.zero_bitmap), DAMAGED, True),
            "$Bitmap and the MFT's bitmap zeroed, in a partition": (gpt, DAMAGED, True),
            "the config index block's update sequence moved": (
                self.small("index", damage=lambda path, offset: ntfsdamage.shift_index_update_sequence(
                    path, offset, CONFIG)),
                r"(The NTFS volume on {root} is damaged|Cannot write) .*\n", True),
            "the hive's bins one byte short": (
                self.small("bins", installation=short),
                "Registry hive " + system + r" is damaged \(.+\); nothing was written\n", True),
            "SYSTEM's data size doubled, on a nearly full volume": (
                self.small("doubled", then=nearly_full, damage=lambda path, offset:
                           ntfsdamage.double_data_size(path, offset, CONFIG + "/SYSTEM")), DAMAGED, None),
            "a full volume": (
                self.small("full", then=nearly_full),
                r"The NTFS volume on {root} has (\d+) bytes free, too few for the new registry hive " +
                system + r" \((\d+) bytes\); nothing was written\n", True),
        }
        for name, (image, pattern, lists) in cases.items():
            with self.subTest(name):
                before = digest(image.path)
                if lists:
                    out, err, status = run(image.path)
                    self.assertEqual((err, status), ("", 0), out)
                out, err, status = run(image.path, *CONFIGURE)
                self.assertRegex(out, "^" + pattern.format(root=re.escape(image.root)) + "$",
                                 "status %d, stderr %r" % (status, err))
                self.assertEqual((err, status), ("", min(len(out), 255)))
                self.assertEqual(digest(image.path), before, "the image was written")
                free = re.findall(r"has (\d+) bytes free.*\((\d+) bytes\)", out)
                if free:
                    self.assertLess(int(free[0][0]), int(free[0][1]))

    def test_mutants_of_a_small_volume_give_one_line_and_write_only_what_reads_back(self):
        """Bytes changed where netvane's writes depend on them, each mutant
        run through a listing and a configure run. NETVANE_MUTANTS sets how
        many, NETVANE_MUTANT_SEED which."""
        image = self.images["small.raw"]
        volume = ntfsdamage.Volume(image.path)
        config, system = volume.lookup(CONFIG), volume.lookup(CONFIG + "/SYSTEM")
        hive, hive_bytes = volume.extents(volume.attribute(system, ntfsdamage.DATA).runs)[0]
        self.assertGreaterEqual(hive_bytes, 3 * 4096)
        bitmap = volume.extents(volume.attribute(ntfsdamage.VOLUME_BITMAP, ntfsdamage.DATA).runs)[0][0]
        regions = [("the boot sector", 0, 512)]
        regions += [("the record of " + name, volume.record_at(number), volume.record_size)
                    for name, number in (("$MFT", ntfsdamage.MFT), ("$MFTMirr", ntfsdamage.MFT_MIRROR),
                                         ("$LogFile", ntfsdamage.LOG_FILE), ("the root", ntfsdamage.ROOT),
                                         ("$Bitmap", ntfsdamage.VOLUME_BITMAP), ("config", config),
                                         ("SYSTEM", system))]
        regions += [("config's index block", volume.index_blocks(config)[0], volume.index_size),
                    ("$Bitmap's data", bitmap, volume.size // volume.cluster // 8),
                    ("the hive's base block", hive, 512), ("the hive's first bins", hive + 4096, 2 * 4096)]
        seed = int(os.environ.get("NETVANE_MUTANT_SEED", "28"))
        rng = random.Random(seed)
        mutants = []
        for number in range(int(os.environ.get("NETVANE_MUTANTS", "300"))):
            region, start, length = regions[number % len(regions)]
            changes = sorted((start + rng.randrange(length), rng.randrange(256))
                             for _ in range(rng.randint(1, 4)))
            mutants.append((number, region, changes))
        with open(image.path, "rb") as f:
            pristine = f.read()
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            found = pool.map(lambda mutant: self.mutant_faults(pristine, *mutant), mutants)
            faults = [fault for faults_of_one in found for fault in faults_of_one]
        self.assertFalse(faults, "NETVANE_MUTANT_SEED=%d:\n%s" % (seed, "\n".join(faults)))

    def mutant_faults(self, pristine, number, region, changes):
        """What went wrong with one mutant, each fault named so that it can
        be made again."""
        mutant = bytearray(pristine)
        for at, value in changes:
            mutant[at] = value
        path = os.path.join(self.work, "mutant-%d.raw" % number)
        with open(path, "wb") as f:
            f.write(mutant)
        os.chmod(path, 0o666)
        expected = hashlib.sha256(mutant).hexdigest()
        faults = []
        for arguments in ((), CONFIGURE):
            kind = "the configure run" if arguments else "the listing"
            try:
                out, err, status = run(path, *arguments)
            except subprocess.TimeoutExpired:
                faults.append(kind + " hung")
                continue
            notes = err if arguments else "".join(line for line in err.splitlines(True)
                                                  if not line.startswith("netvane: "))
            if status < 0:
                faults.append("%s was killed by signal %d" % (kind, -status))
            elif status != 0 and (not re.fullmatch(r"[^\n]+\n", out) or notes or status != min(len(out), 255)):
                faults.append("%s failed with status %d and printed %r %r" % (kind, status, out, err))
            if (status != 0 or not arguments) and digest(path) != expected:
                faults.append("%s (status %d) changed the image: %r" % (kind, status, out))
            if arguments and status == 0:
                faults += self.written_faults(path, mutant)
        os.unlink(path)
        changed = ", ".join("0x%x=0x%02x" % change for change in changes)
        return ["mutant %d (%s: %s): %s" % (number, region, changed, fault) for fault in faults]

    def written_faults(self, path, mutant):
        """What is wrong with the volume after a configure run succeeded on
        it: ntfsfix finds it inconsistent where it did not before, hivex
        cannot open the hive, or a key that hivex found before lacks the
        change (a mutant may have renamed one)."""
        faults = []
        before = path + ".before"
        with open(before, "wb") as f:
            f.write(mutant)
        status, output = tool("ntfsfix", "-n", path)
        if status != 0 and tool("ntfsfix", "-n", before)[0] == 0:
            faults.append("ntfsfix finds the volume inconsistent: " + output)
        old, new = self.extract(before, check=False), self.extract(path, check=False)
        if readers.hivex_values(new, "") is None:
            faults.append("hivex cannot open SYSTEM")
        else:
            for key in (keys_of(STATIC)["adapter"], keys_of(STATIC)["interface"]):
                if readers.hivex_values(old, key) is not None and (readers.hivex_values(new, key) or {}).get(
                        "IPAddress") != (readers.REG_MULTI_SZ, multi_string(CONFIGURE[1])):
                    faults.append("the change is not in " + key)
        for name in (before, old, new):
            os.unlink(name)
        return faults

    @unittest.skipIf(os.environ.get("NETVANE_SANITIZED"), "the sanitizer builds leave the filter out")
    @unittest.skipUnless(shutil.which("strace", path="/usr/bin:/bin"), "needs strace")
    def test_what_reads_the_image_is_sandboxed(self):
        """Every process of a run that reads the image's bytes installed the
        seccomp filter before its first read (strace -f, -y names each
        read's file), and what a sandboxed process must not do (the test
        hook NETVANE_TEST_ESCAPE tries it) ends the run with one line and
        writes nothing."""
        image = self.images["small.raw"].copy(self.work, "sandboxed.raw")
        trace = os.path.join(self.work, "strace.txt")
        # strace (root) follows the run, which runs as nobody under it.
        self.assertEqual(run_with_stderr(image.path, *CONFIGURE[:2], prefix=[
            "strace", "-f", "-y", "-o", trace, "-e", "trace=seccomp,pread64,read"] + NOBODY), ("", "", 0))
        filtered, readers = set(), set()
        with open(trace) as f:
            for line in f:
                pid, call = line.split(None, 1)
                if call.startswith("seccomp(SECCOMP_SET_MODE_FILTER, 0,") and "= 0" in call:
                    filtered.add(pid)
                elif re.match(r"(pread64|read)\(\d+<%s>" % re.escape(image.path), call):
                    self.assertIn(pid, filtered, "process %s read the image before its filter" % pid)
                    readers.add(pid)
        # The probe that tells the format, and the run's own child.
        self.assertEqual(len(readers), 2)
        shown = "Disk image %s could not be read safely: the process reading it ended with Bad system call; " \
                "nothing more was written\n" % image.path
        before = digest(image.path)
        for escape in ("open", "exec", "socket", "signal"):
            for role, arguments in (("probe", ()), ("run", ()), ("run", CONFIGURE)):
                with self.subTest(escape=escape, role=role, configure=bool(arguments)):
                    self.assertEqual(run(image.path, *arguments, NETVANE_TEST_ESCAPE=role + ":" + escape),
                                     (shown, "", len(shown)))
                    self.assertEqual(digest(image.path), before)

    def test_runs_at_once_lose_no_change_and_write_no_refused_one(self):
        """Two configure runs for different adapters, or a listing beside
        a configure run, the second started up to 50 ms after the first:
        a run that succeeds has its change in SYSTEM, whether it waited
        for the other or not, and a refused one has not."""
        services = re.findall(r"\tName: (.*)\n", run(self.images["small.raw"].path)[0])
        rng = random.Random(50)
        seen = {}
        for name in ("small.raw", "small.qcow2"):
            for pair in ((("1", "10.1.1.1"), ("3", "10.3.3.3")), (("1", "10.1.1.1"), None)):
                for trial in range(8):
                    with self.subTest(name=name, listing=pair[1] is None, trial=trial):
                        image = self.images[name].copy(self.work, "busy-" + name)
                        environment = {"PATH": "/usr/bin:/bin", "HOME": self.work,
                                       "NETVANE_REGISTRY": image.path}
                        runs = []
                        for adapter in pair:
                            if runs:
                                time.sleep(0.05 * rng.random())
                            runs.append(subprocess.Popen(
                                NOBODY + [NETVANE] + (list(adapter) if adapter else []), env=environment,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
                        outcomes = [run_.communicate(timeout=RUN_SECONDS) + (run_.returncode,)
                                    for run_ in runs]
                        faults = self.faults_of_runs_at_once(image, pair, outcomes, services)
                        labels = [fault.split(":")[0] for fault in faults]
                        labels += ["configure runs that %s" % ("failed" if status else "succeeded")
                                   for adapter, (_, _, status) in zip(pair, outcomes) if adapter]
                        for label in labels:
                            seen[(name, label)] = seen.get((name, label), 0) + 1
                        self.assertEqual(faults, [])
        print("runs at once: %s" % ", ".join("%s: %d %s" % (name, count, label)
                                              for (name, label), count in sorted(seen.items())),
              file=sys.stderr)

    def faults_of_runs_at_once(self, image, pair, outcomes, services):
        volume = image.volume_file()
        names = ntfsdamage.Volume(volume).listdir(CONFIG)
        faults = [] if names == self.config_names() else ["the config directory holds " + " ".join(names)]
        status, output = tool("ntfsfix", "-n", volume)
        if status != 0:
            faults.append("ntfsfix finds the volume inconsistent")
        hive = self.extract(volume) if "SYSTEM" in names else None
        for adapter, (out, err, status) in zip(pair, outcomes):
            if adapter is None:
                if re.search("put back the old|finished replacing|half replaced", out + err):
                    faults.append("the listing spoke of a half replaced SYSTEM")
                if status != 0 and not re.fullmatch(r"[^\n]+\n", out):
                    faults.append("the listing failed with more than a line")
                continue
            values = (readers.hivex_values(hive, keys_of(services[int(adapter[0]) - 1])["adapter"]) if hive
                      else None) or {}
            written = values.get("IPAddress") == (readers.REG_MULTI_SZ, multi_string(adapter[1]))
            if status == 0 and not written:
                faults.append("a run that succeeded lost its change")
            elif status != 0 and written:
                faults.append("a refused run's change was written")
            elif status != 0 and (out, err) != (IN_USE.format(path=image.path), ""):
                faults.append("a run was refused with another line: %r %r" % (out, err))
        return faults

    def config_names(self, installation=None):
        """The names in the config directory as the fixture put them in."""
        return sorted(name.upper() for name in os.listdir(os.path.join(installation or self.clean, CONFIG)))

    def test_a_configure_run_settles_what_an_interrupted_one_left_and_a_listing_reads_past_it(self):
        """Each state that a run killed while it replaced SYSTEM can leave,
        made through the fixture's mount: whatever is named SYSTEM is kept,
        else the old hive is put back, else the new one becomes SYSTEM. A
        listing reads what the configure run will keep, and settles nothing."""
        with open(os.path.join(self.clean, CONFIG, "SYSTEM"), "rb") as f:
            old = f.read()
        new = self.directory_result(self.clean, "3", "10.3.3.3")[1]
        aside, beside = "SYSTEM.netvane-old", "SYSTEM.netvane-new"

        def put(config, name, content):
            # Written as netvane writes a new hive: its attributes and
            # descriptor copied, its DOS name not yet given.
            with open(os.path.join(config, name), "wb") as f:
                f.write(content)
            os.setxattr(os.path.join(config, name), "system.ntfs_attrib_be",
                        imagefixture.HIVE_ATTRIBUTES.to_bytes(4, "big"))
            os.setxattr(os.path.join(config, name), "system.ntfs_acl", imagefixture.hive_descriptor())

        def at(config, *names):
            return [os.path.join(config, name) for name in names]

        # name: (steps(config, new hive), the one kept, whether a run settles)
        states = {
            "SYSTEM, and the new hive beside it": (lambda c, n: put(c, beside, n), "old", True),
            "SYSTEM also linked aside, and the new hive beside it": (
                lambda c, n: (os.link(*at(c, "SYSTEM", aside)), put(c, beside, n)), "old", True),
            "the old hive aside and the new one beside it, no SYSTEM": (
                lambda c, n: (os.rename(*at(c, "SYSTEM", aside)), put(c, beside, n)), "old", True),
            "the new hive linked as SYSTEM, the old one aside": (
                lambda c, n: (os.rename(*at(c, "SYSTEM", aside)), put(c, beside, n),
                              os.link(*at(c, beside, "SYSTEM"))), "new", True),
            "the new hive as SYSTEM, the old one aside": (
                lambda c, n: (os.rename(*at(c, "SYSTEM", aside)), put(c, "SYSTEM", n)), "new", True),
            "only the new hive": (lambda c, n: (os.unlink(*at(c, "SYSTEM")), put(c, beside, n)), "new", True),
            "SYSTEM without its DOS name": (
                lambda c, n: (os.unlink(*at(c, "SYSTEM")), put(c, "SYSTEM", old)), "old", False),
        }
        for name, (steps, kept, settles) in states.items():
            with self.subTest(name):
                image, probe = self.small("left"), self.small("probe")
                with imagefixture.mounted(image.path) as mount:
                    steps(os.path.join(mount, CONFIG), new)
                # The same state, the hive that the run drops unreadable.
                with imagefixture.mounted(probe.path) as mount:
                    config = os.path.join(mount, CONFIG)
                    if kept == "new":
                        with open(os.path.join(config, "SYSTEM"), "r+b") as f:
                            f.write(bytes(len(old)))
                    steps(config, bytes(len(new)) if kept == "old" else new)
                for listed in (image, probe):
                    before = digest(listed.path)
                    out, err, status = run(listed.path)
                    self.assertEqual((err, status), ("", 0), out)
                    self.assertIn("Name: E100A", out)
                    self.assertEqual(digest(listed.path), before, "the listing wrote")
                note = "netvane: %s %s:/%s/SYSTEM, which an interrupted run had left half replaced\n" % (
                    "finished replacing" if kept == "new" else "put back the old", image.root, CONFIG)
                self.assertEqual(run(image.path, *CONFIGURE), ("", note if settles else "", 0))
                self.assertEqual(ntfsdamage.Volume(image.path).listdir(CONFIG), self.config_names())
                image.assertConsistent(self, image.path)
                status, info = tool("ntfsinfo", "-F", "/" + CONFIG + "/SYSTEM", image.path)
                self.assertIn("Namespace:\t\t Win32 & DOS", info)
                hive = self.extract(image.path)
                self.assertEqual(readers.hivex_values(hive, keys_of(STATIC)["adapter"])["IPAddress"],
                                 (readers.REG_MULTI_SZ, multi_string(CONFIGURE[1])))
                third = "10.3.3.3" if kept == "new" else "192.168.5.5"
                self.assertEqual(readers.hivex_values(hive, keys_of("LegacyNic")["adapter"])["IPAddress"],
                                 (readers.REG_MULTI_SZ, multi_string(third)))

    def hold(self, image_format, path):
        """Holds the image open for writing in qemu-io, as a running virtual
        machine holds it, until the test ends."""
        holder = subprocess.Popen(["qemu-io", "-f", image_format, path], stdin=subprocess.PIPE,
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

    def loop_device(self, path, hold=False):
        """A loop device over the image, detached when the test ends; with
        `hold`, its Windows partition mounted by ntfs-3g, or, where the
        kernel makes no partitions of loop devices, the whole device held
        as a mount holds it (O_EXCL)."""
        device = subprocess.run(["losetup", "-f", "--show", "-P", path], capture_output=True, check=True,
                                text=True).stdout.strip()
        self.addCleanup(subprocess.run, ["losetup", "-d", device], check=True)
        if hold:
            if os.path.exists(device + "p3"):
                mount = tempfile.mkdtemp(dir=self.work)
                imagefixture.run("ntfs-3g", device + "p3", mount)
                self.addCleanup(imagefixture.run, "umount", mount)
            else:
                self.addCleanup(os.close, os.open(device, os.O_RDONLY | os.O_EXCL))
        return device

    def read_only_mount(self, image):
        """A copy of the image that nobody could write, but on a bind mount
        that is read-only."""
        source, mount = tempfile.mkdtemp(dir=self.work), tempfile.mkdtemp(dir=self.work)
        os.chmod(source, 0o755)
        copy = image.copy(source)
        imagefixture.run("mount", "--bind", source, mount)
        self.addCleanup(imagefixture.run, "umount", mount)
        imagefixture.run("mount", "-o", "remount,bind,ro", mount)
        return Image(os.path.join(mount, os.path.basename(copy.path)), image.volume, image.partition)

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
        writes), and, on a raw image, after each group of writes that
        reaches the image in turn (NETVANE_TEST_STOP): afterwards no
        qemu-nbd is left, a listing reads past what the killed run left
        without a word, the next configure run (which settles it) finds the
        old address or the new one, and the volume is consistent."""
        for name in ("dirty.qcow2", "dirty.raw"):
            with self.subTest(name):
                self.kill_runs(self.images[name], random.Random(23))
        with self.subTest("after each group of writes"):
            groups = self.kill_runs(self.images["dirty.raw"], None)
            # Each step of the replacement is one group or more.
            self.assertGreaterEqual(groups, 7)

    def kill_runs(self, source, rng):
        """Kills at random moments (`rng`), or after each group of writes
        until a run ends by itself; returns the number of kills."""
        image = source.copy(self.work, "killed" + os.path.splitext(source.path)[1])
        original = digest(image.path)
        adapters = adapters_of(self.extract(image.volume_file()))
        self.assertGreater(len(adapters), 1)
        key = keys_of(adapters[0][0])["interface"]
        arguments = [NETVANE, "1", "10.9.9.9", "*", "10.9.9.1"]
        environment = {"PATH": "/usr/bin:/bin", "NETVANE_REGISTRY": image.path}
        started = time.monotonic()
        self.assertEqual(subprocess.run(NOBODY + arguments, env=environment,
                                        timeout=RUN_SECONDS).returncode, 0)
        span = 1.2 * (time.monotonic() - started)
        seen = {"old": 0, "new": 0}
        for kill in range(12 if rng else 1000):
            shutil.copyfile(source.path, image.path)
            self.assertEqual(digest(image.path), original)
            stop = {} if rng else {"NETVANE_TEST_STOP": "group %d" % (kill + 1)}
            run_ = subprocess.Popen(NOBODY + arguments, env=dict(environment, **stop), stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            if rng:
                time.sleep(span * rng.random())
            elif not self.stops(run_):
                self.assertEqual(run_.wait(timeout=RUN_SECONDS), 0)
                break
            run_.send_signal(signal.SIGTERM if rng and kill % 4 == 3 else signal.SIGKILL)
            run_.wait(timeout=RUN_SECONDS)
            self.assertNoServerFor(image.path)
            left = digest(image.path)
            out, err, status = run(image.path)
            self.assertEqual((err, status), ("", 0), out)
            self.assertEqual(digest(image.path), left, "the listing wrote")
            # Another adapter, so that the first one's address stays as the
            # killed run left it.
            out, err, status = run(image.path, str(len(adapters)), "10.8.8.8")
            self.assertEqual((out, status), ("", 0), err)
            self.assertRegex(err, r"^(netvane: (finished replacing|put back the old) .*\n)?$")
            volume = image.volume_file()
            # As the directory's index lists them: a file whose MFT record
            # was written but whose name was not yet indexed is leaked space
            # that nothing names (chkdsk finds it), not a name.
            listed = tool("ntfsls", "-a", "-p", "/" + CONFIG, volume)[1].split()
            self.assertEqual(sorted(name.upper() for name in listed if name not in (".", "..")),
                             self.config_names(self.dirty), "kill %d" % kill)
            status, info = tool("ntfsinfo", "-F", "/" + CONFIG + "/SYSTEM", volume)
            self.assertIn("Namespace:\t\t Win32 & DOS", info)
            values = readers.hivex_values(self.extract(volume), key)
            seen["new" if values.get("IPAddress") == (readers.REG_MULTI_SZ, multi_string("10.9.9.9"))
                 else "old"] += 1
            if err:
                seen["settled"] = seen.get("settled", 0) + 1
            image.assertConsistent(self, volume)
        print("image kills on %s%s: %d left the old hive, %d the new one, %d a replacement the next run settled"
              % (os.path.basename(source.path), "" if rng else " after each group", seen["old"], seen["new"],
                 seen.get("settled", 0)), file=sys.stderr)
        return kill

    @staticmethod
    def stops(process):
        """Whether the run stops itself (NETVANE_TEST_STOP) before it ends:
        the process that reads the image, a child of the one started."""
        def stopped(pid):
            try:
                with open("/proc/%d/stat" % pid) as f:
                    if f.read().rsplit(")", 1)[1].split()[0] == "T":
                        return True
                with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                    return any(stopped(int(child)) for child in f.read().split())
            except OSError:
                return False
        deadline = time.monotonic() + RUN_SECONDS
        while process.poll() is None and time.monotonic() < deadline:
            if stopped(process.pid):
                return True
            time.sleep(0.01)
        return False

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

# What ctest's SKIP_RETURN_CODE reads as a test that could not run here.
SKIPPED = 77

if __name__ == "__main__":
    result = unittest.main(exit=False).result
    if not result.wasSuccessful():
        sys.exit(1)
    sys.exit(SKIPPED if result.testsRun and len(result.skipped) == result.testsRun else 0)
