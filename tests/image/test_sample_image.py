#!/usr/bin/env python3
"""scripts/sample-image run by an ordinary user (nobody), in each format it
offers. The image holds the machine of netvane's first-run .reg store, read
back with ntfscat and hivex's exporter rather than netvane; netvane, run by
nobody, lists it as it lists that store and configures an adapter on it as
on that store.

    NETVANE_BINARY=build/netvane python3 tests/image/test_sample_image.py   (as root)

It needs root to run things as nobody: elsewhere it says why and exits 77,
which ctest reports as skipped.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "hive"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "scenarios"))
import hivefixture  # noqa: E402
import regfile  # noqa: E402
from test_hive_store import AS_NOBODY, CONFIG, NETVANE, RUN_SECONDS  # noqa: E402

SCRIPT = os.path.join(os.path.dirname(os.path.dirname(HERE)), "scripts", "sample-image")
TOOLS = ("qemu-img", "qemu-nbd", "mkntfs", "sfdisk", "ntfscat", "ntfsinfo", "ntfsfix", "setpriv", "perl")
SKIPPED = 77
CONFIGURE = ("4", "192.168.20.30", "255.255.255.0", "192.168.20.1", "192.168.20.2", "*", "192.168.20.4")


def as_nobody(*command, **variables):
    """(stdout, stderr, status) of a command run by nobody with a bare
    environment: an ordinary user's PATH, without the sbin directories."""
    environment = {"PATH": "/usr/bin:/bin"}
    environment.update(variables)
    result = subprocess.run(["/usr/bin/setpriv"] + list(AS_NOBODY[1:]) + list(command), env=environment,
                            capture_output=True, timeout=RUN_SECONDS)
    return result.stdout.decode("utf-8"), result.stderr.decode("utf-8"), result.returncode


def machine(reg):
    """Each key of a parsed export that holds values, with its values."""
    return {path: {name: value.decoded() for name, value in key.values.items()}
            for path, key in reg.keys.items() if key.values}


class SampleImageTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="netvane-sample-image-")
        self.addCleanup(shutil.rmtree, self.work)
        os.chmod(self.work, 0o777)

    def installation(self, image):
        """The image's hives, copied out of its Windows volume with ntfscat,
        as the Version 5.00 export hivex makes of them."""
        raw = os.path.join(self.work, "check.raw")
        subprocess.run(["qemu-img", "convert", "-O", "raw", image, raw], check=True)
        table = json.loads(subprocess.run(["sfdisk", "--json", raw], capture_output=True,
                                          check=True).stdout)["partitiontable"]
        self.assertEqual((table["label"], [p.get("name") for p in table["partitions"]]), ("gpt", ["Windows"]))
        volume = os.path.join(self.work, "volume")
        with open(raw, "rb") as disk, open(volume, "wb") as out:
            disk.seek(table["partitions"][0]["start"] * 512)
            out.write(disk.read(table["partitions"][0]["size"] * 512))
        status = subprocess.run(["ntfsfix", "-n", volume], capture_output=True)
        self.assertEqual(status.returncode, 0, status.stdout + status.stderr)
        root = os.path.join(self.work, "installation")
        os.makedirs(os.path.join(root, CONFIG), exist_ok=True)
        for hive in ("SYSTEM", "SOFTWARE"):
            info = subprocess.run(["ntfsinfo", "-F", "/%s/%s" % (CONFIG, hive), volume], capture_output=True,
                                  text=True, check=True).stdout
            # Windows' own attributes and its one "Win32 & DOS" name.
            self.assertIn("HIDDEN SYSTEM ARCHIVE", info, hive)
            self.assertIn("Namespace:\t\t Win32 & DOS", info, hive)
            with open(os.path.join(root, CONFIG, hive), "wb") as f:
                subprocess.run(["ntfscat", volume, "/%s/%s" % (CONFIG, hive)], stdout=f, check=True)
        return regfile.parse(hivefixture.export(root).encode("utf-8"), name=image)

    def test_nobody_makes_each_format_and_netvane_lists_and_configures_it(self):
        build = os.path.dirname(os.path.abspath(NETVANE))
        for image_format in ("qcow2", "vmdk", "vhdx", "raw"):
            image = os.path.join(self.work, "windows." + image_format)
            stdout, stderr, status = as_nobody(SCRIPT, image, NETVANE_BUILD=build)
            self.assertEqual((stderr, status), ("", 0), image)
            self.assertIn(image, stdout)
            info = json.loads(subprocess.run(["qemu-img", "info", "--output=json", image], capture_output=True,
                                             check=True).stdout)
            self.assertEqual(info["format"], image_format)
            self.assertEqual(os.stat(image).st_uid, 65534)
        # It never writes over what is there.
        stdout, stderr, status = as_nobody(SCRIPT, image, NETVANE_BUILD=build)
        self.assertEqual((stdout, status), ("", 1))
        self.assertEqual(stderr.count("\n"), 1)

        # The first-run store, made by nobody in a home of its own.
        home = os.path.join(self.work, "home")
        os.mkdir(home)
        os.chmod(home, 0o777)
        listing, _, status = as_nobody(NETVANE, HOME=home)
        self.assertEqual(status, 0)
        store = os.path.join(home, ".local/state/netvane/registry.reg")

        image = os.path.join(self.work, "windows.qcow2")
        self.assertEqual(machine(self.installation(image)), machine(regfile.read(store)))
        self.assertEqual(as_nobody(NETVANE, NETVANE_REGISTRY=image), (listing, "", 0))
        self.assertEqual(as_nobody(NETVANE, *CONFIGURE, NETVANE_REGISTRY=image), ("", "", 0))
        self.assertEqual(as_nobody(NETVANE, *CONFIGURE, HOME=home), ("", "", 0))
        self.assertEqual(machine(self.installation(image)), machine(regfile.read(store)))
        check = subprocess.run(["qemu-img", "check", image], capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)


def why_not():
    if os.geteuid() != 0:
        return "needs root, to run the script and netvane as nobody"
    missing = [name for name in TOOLS if not shutil.which(name, path="/usr/bin:/bin:/usr/sbin:/sbin")]
    if missing:
        return "needs %s (qemu-utils, ntfs-3g, fdisk, util-linux, perl)" % ", ".join(missing)
    if subprocess.run(["perl", "-MWin::Hivex", "-e", "1"], capture_output=True).returncode != 0:
        return "needs hivex's Perl module (libwin-hivex-perl) to read the hives back"
    if not os.access(os.path.join(os.path.dirname(os.path.abspath(NETVANE)), "netvane-sample-volume"), os.X_OK):
        return "needs netvane-sample-volume beside netvane: a build with disk-image support"
    return None


if __name__ == "__main__":
    reason = why_not()
    if reason:
        print("skipped: " + reason)
        sys.exit(SKIPPED)
    unittest.main()
