#!/usr/bin/env python3
"""netvane run against the hives of an offline Windows installation, as an
administrator would run it on a mounted image: stdout, exit status, and the
hives read back afterwards by hivex and by libregf.

    NETVANE_BINARY=build/netvane python3 tests/hive/test_hive_store.py
"""

import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import dirtyhive  # noqa: E402
import hivefixture  # noqa: E402
import readers  # noqa: E402
from readers import REG_DWORD, REG_MULTI_SZ, REG_SZ, multi_string  # noqa: E402

FIXTURES = os.path.join(os.path.dirname(HERE), "fixtures")
NETVANE = os.environ.get("NETVANE_BINARY", os.path.join(os.path.dirname(os.path.dirname(HERE)),
                                                         "build", "netvane"))
CONFIG = "Windows/System32/config"

# A bound on one run that only a hang reaches, however loaded the machine
# and whichever the build: a run takes well under a second when idle.
RUN_SECONDS = 120

STATIC = "E100A"
DHCP = "{6F1A2B3C-4D5E-6F70-8192-A3B4C5D6E7F8}"
SERVICES = "ControlSet001\\Services\\"


def keys_of(service, control_set="ControlSet001"):
    """The five keys netvane writes for an adapter, as paths in SYSTEM."""
    services = control_set + "\\Services\\"
    return {
        "adapter": services + service + "\\Parameters\\Tcpip",
        "interface": services + "Tcpip\\Parameters\\Interfaces\\" + service,
        "global": services + "Tcpip\\Parameters",
        "netbt interface": services + "NetBT\\Parameters\\Interfaces\\Tcpip_" + service,
        "netbt adapter": services + "NetBT\\Adapters\\" + service,
    }


def as_readers_show(expected):
    """Expected values in the form both readers give: text, numbers, bytes."""
    shown = {}
    for name, value in expected.items():
        if isinstance(value, int):
            shown[name] = (REG_DWORD, value)
        elif isinstance(value, list):
            shown[name] = (REG_MULTI_SZ, multi_string(*value))
        else:
            shown[name] = (REG_SZ, value)
    return shown


def wait_until_stopped(pid):
    """Until a run started with NETVANE_TEST_STOP has stopped itself (or ended)."""
    while True:
        with open("/proc/%d/stat" % pid) as f:
            if f.read().rsplit(")", 1)[1].split()[0] in "TZ":
                return
        time.sleep(0.01)


AS_NOBODY = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")


def run_with_stderr(store, *arguments, prefix=(), preexec_fn=None, **extra):
    """(stdout, stderr, exit status) of netvane run as a user runs it: a
    fresh process with NETVANE_REGISTRY and nothing of the test machine's
    environment but PATH, started through `prefix` (AS_NOBODY, say)."""
    environment = {"PATH": "/usr/bin:/bin", "HOME": os.path.dirname(store),
                   "NETVANE_REGISTRY": store}
    environment.update(extra)
    result = subprocess.run(list(prefix) + [NETVANE] + list(arguments), env=environment,
                            capture_output=True, timeout=RUN_SECONDS, preexec_fn=preexec_fn)
    return result.stdout.decode("utf-8"), result.stderr.decode("utf-8"), result.returncode


def run(store, *arguments, **options):
    """(stdout, exit status) of run_with_stderr."""
    out, _, status = run_with_stderr(store, *arguments, **options)
    return out, status


def killed_runs(arguments, environment, kills, reset):
    """Starts `arguments` `kills` times, each after reset(), and kills each
    run at a moment spread over 1.2 times what a whole run takes, so that
    kills fall before, during and after its writing. That time is the median
    of the last three whole runs, and a whole run is made again before every
    tenth kill, so the moments follow the machine's load as it comes and
    goes. Yields each kill's moment in seconds once its run has ended, and
    None after each whole run."""
    durations = []
    for kill in range(kills):
        for _ in range(3 if kill == 0 else 1 if kill % 10 == 0 else 0):
            reset()
            started = time.monotonic()
            if subprocess.run(arguments, env=environment, timeout=RUN_SECONDS,
                              stdout=subprocess.DEVNULL).returncode != 0:
                raise AssertionError("a whole run failed")
            durations.append(time.monotonic() - started)
            yield None
        reset()
        moment = 1.2 * sorted(durations[-3:])[1] * ((kill * 37) % 100) / 100
        run_ = subprocess.Popen(arguments, env=environment, stdout=subprocess.DEVNULL)
        time.sleep(moment)
        run_.kill()
        run_.wait(timeout=RUN_SECONDS)
        yield moment


class Installation:
    """A copy of a built installation in a scratch directory."""

    def __init__(self, template, scratch):
        self.root = os.path.join(scratch, "mnt")
        shutil.copytree(template, self.root)
        self.config = os.path.join(self.root, CONFIG)
        self.system = os.path.join(self.config, "SYSTEM")
        self.software = os.path.join(self.config, "SOFTWARE")

    def snapshot(self):
        """Every file below the root with its bytes and modification time;
        what is not a file (a FIFO, a link to a device...), by its kind and
        where it links to, since reading it would never end."""
        files = {}
        for directory, _, names in os.walk(self.root):
            for name in names:
                path = os.path.join(directory, name)
                if not os.path.isfile(path):
                    files[os.path.relpath(path, self.root)] = (
                        os.lstat(path).st_mode, os.readlink(path) if os.path.islink(path) else None)
                    continue
                with open(path, "rb") as f:
                    files[os.path.relpath(path, self.root)] = (f.read(), os.stat(path).st_mtime_ns)
        return files


class HiveStoreTest(unittest.TestCase):
    templates = None

    @classmethod
    def setUpClass(cls):
        cls.built = tempfile.TemporaryDirectory(prefix="netvane-hives-")
        machine = os.path.join(FIXTURES, "machine.reg")

        def build(name, fixture=machine, **options):
            out = os.path.join(cls.built.name, name)
            hivefixture.build(out, [fixture], **options)
            return out

        cls.templates = {
            "machine": build("machine"),
            "two control sets": build("two", control_sets=(1, 2),
                                      select={"Current": 1, "Default": 2, "Failed": 0,
                                              "LastKnownGood": 1}),
            "quirks": build("quirks", os.path.join(FIXTURES, "hive_quirks.reg")),
        }

    @classmethod
    def tearDownClass(cls):
        cls.built.cleanup()

    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory(prefix="netvane-hive-test-")
        self.addCleanup(self.scratch.cleanup)

    def installation(self, template="machine"):
        return Installation(self.templates[template], self.scratch.name)

    def assertKeyHolds(self, hive, key, expected, exactly=False):
        """Both readers show `expected` (name -> text, [texts] or number) in the key;
        with `exactly`, and nothing else."""
        shown = as_readers_show(expected)
        for reader in (readers.hivex_values, readers.regf_values):
            values = reader(hive, key)
            self.assertIsNotNone(values, "%s cannot show %s" % (reader.__name__, key))
            if exactly:
                self.assertEqual(values, shown, "%s of %s" % (reader.__name__, key))
            else:
                self.assertEqual({n: values.get(n) for n in shown}, shown,
                                 "%s of %s" % (reader.__name__, key))

    def assertReadersAgreeItOpensCleanly(self, hive):
        self.assertEqual(readers.regfinfo_problems(hive), [])
        result = subprocess.run(["hivexsh", hive], input="ls\n", capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stderr), (0, ""))

    # --- listing --------------------------------------------------------

    def test_listing_from_each_directory_form_reads_software_and_writes_nothing(self):
        mnt = self.installation()
        before = mnt.snapshot()
        outputs = set()
        for directory in (mnt.root, mnt.root + "/Windows", mnt.config, mnt.config + "/"):
            out, status = run(directory)
            self.assertEqual(status, 0, out)
            outputs.add(out)
        self.assertEqual(len(outputs), 1, "the three forms list differently")
        listing = outputs.pop()
        self.assertIn("\nNetwork adapters:\n"
                      "\n1:\tContoso E100 Fast Ethernet\n\tName: E100A\n"
                      "\n2:\tFabrikam Wireless LAN\n\tName: " + DHCP + "\n"
                      "\n3:\tLegacy ISA Adapter\n\tName: LegacyNic\n", listing)
        self.assertTrue(listing.endswith("\tName: LegacyNic\n"))
        self.assertEqual(mnt.snapshot(), before)

    def test_names_outside_ascii_and_in_other_cases_are_matched_and_kept(self):
        mnt = self.installation("quirks")
        out, status = run(mnt.root)
        self.assertEqual(status, 0)
        self.assertIn("\n1:\tKestrel Gigabit – Port 1 (Zürich)\n"
                      "\tName: {AB12CD34-0000-4000-8000-00000000C0DE}\n", out)

        self.assertEqual(run(mnt.root, "1", "10.1.1.5", "*", "10.1.1.1"), ("", 0))
        adapter = "ControlSet001\\services\\{ab12cd34-0000-4000-8000-00000000c0de}\\parameters\\TCPIP"
        self.assertKeyHolds(mnt.system, adapter, {
            "enabledhcp": 0, "ipaddress": ["10.1.1.5"], "SUBNETMASK": ["255.255.255.0"],
            "Zone": "Außenstelle", "DefaultGateway": ["10.1.1.1"], "DhcpIPAddress": "0.0.0.0",
            "DhcpServer": "255.255.255.255", "DhcpSubnetMask": "255.0.0.0"}, exactly=True)

    # --- configuring ----------------------------------------------------

    def test_typical_run_writes_the_five_keys_of_the_boot_control_set(self):
        mnt = self.installation()
        software = mnt.snapshot()["Windows/System32/config/SOFTWARE"]
        record = os.path.join(self.scratch.name, "dhcp.txt")

        out, status = run(mnt.root, "2", "192.168.1.10", "*", "192.168.1.1", "192.168.1.2",
                          NETVANE_DHCP_RECORD=record)

        self.assertEqual((out, status), ("", 0))
        with open(record) as f:
            self.assertEqual(f.read().count("new=1 index=0 address=192.168.1.10 mask=255.255.255.0"), 1)
        keys = keys_of(DHCP)
        self.assertKeyHolds(mnt.system, keys["adapter"], {
            "EnableDHCP": 0, "IPAddress": ["192.168.1.10"], "SubnetMask": ["255.255.255.0"],
            "DefaultGateway": ["192.168.1.1"], "DhcpIPAddress": "0.0.0.0",
            "DhcpServer": "255.255.255.255", "DhcpSubnetMask": "255.0.0.0"}, exactly=True)
        self.assertKeyHolds(mnt.system, keys["interface"], {
            "EnableDHCP": 0, "IPAddress": ["192.168.1.10"], "SubnetMask": ["255.255.255.0"],
            "DefaultGateway": ["192.168.1.1"], "NameServer": "192.168.1.2",
            "DhcpServer": "255.255.255.255", "LeaseObtainedTime": 0x6553F100}, exactly=True)
        self.assertKeyHolds(mnt.system, keys["global"], {
            "Hostname": "fixture-host", "Domain": "corp.example", "NameServer": "192.168.1.2"},
            exactly=True)
        self.assertKeyHolds(mnt.system, keys["netbt interface"], {
            "NameServerList": [""], "NetbiosOptions": 0}, exactly=True)
        self.assertKeyHolds(mnt.system, keys["netbt adapter"], {
            "NameServer": "", "NameServerBackup": ""}, exactly=True)
        self.assertKeyHolds(mnt.software, "Unrelated\\Settings", {
            "": "default text", 'Quoted "name"': "C:\\Program Files\\x", "Flags": 0xDEADBEEF},
            exactly=True)
        self.assertReadersAgreeItOpensCleanly(mnt.system)
        self.assertEqual(mnt.snapshot()["Windows/System32/config/SOFTWARE"], software)
        self.assertEqual(sorted(os.listdir(mnt.config)), ["SOFTWARE", "SYSTEM"])

    def test_switch_to_dhcp_leaves_the_lease_values_and_netbios_adapter_key(self):
        mnt = self.installation()
        self.assertEqual(run(mnt.root, "1", "?", "*", "*", "?", "*", "?"), ("", 0))
        keys = keys_of(STATIC)
        self.assertKeyHolds(mnt.system, keys["adapter"], {
            "EnableDHCP": 1, "IPAddress": ["0.0.0.0"], "SubnetMask": [""], "DefaultGateway": [""],
            "DhcpIPAddress": "0.0.0.0", "DhcpServer": "255.255.255.255",
            "DhcpSubnetMask": "255.0.0.0", "LLInterface": ""}, exactly=True)
        self.assertKeyHolds(mnt.system, keys["interface"], {
            "EnableDHCP": 1, "NameServer": "", "DhcpServer": "255.255.255.255",
            "UseZeroBroadcast": 0})
        self.assertKeyHolds(mnt.system, keys["netbt interface"], {"NameServerList": [""]})
        self.assertKeyHolds(mnt.system, keys["netbt adapter"], {
            "NameServer": "10.0.0.9", "NameServerBackup": "10.0.0.10"}, exactly=True)

    def test_dhcp_client_answers_from_the_hives(self):
        mnt = self.installation()
        self.assertEqual(run(mnt.root, "1", "10.7.7.7", "255.0.255.0"),
                         ("Adapter configuration failed\n", 29))
        self.assertKeyHolds(mnt.system, keys_of(STATIC)["adapter"], {"SubnetMask": ["255.0.255.0"]})
        before = mnt.snapshot()
        self.assertEqual(run(mnt.root, "NoSuchNic", "10.7.7.7"),
                         ("Cannot locate adapter NoSuchNic\n", 32))
        self.assertEqual(mnt.snapshot(), before)

    def test_select_default_names_the_control_set_that_is_written(self):
        mnt = self.installation("two control sets")
        untouched = readers.hivex_values(mnt.system, keys_of(STATIC)["adapter"])
        self.assertEqual(run(mnt.root, "1", "10.9.9.9"), ("", 0))
        self.assertKeyHolds(mnt.system, keys_of(STATIC, "ControlSet002")["adapter"],
                            {"IPAddress": ["10.9.9.9"]})
        self.assertEqual(readers.hivex_values(mnt.system, keys_of(STATIC)["adapter"]), untouched)

    def test_select_falls_back_to_current_then_control_set_001(self):
        cases = {"Current": ({"Current": 2, "Failed": 0}, "ControlSet002"),
                 "neither": ({"LastKnownGood": 2}, "ControlSet001")}
        for case, (select, written) in cases.items():
            with self.subTest(case):
                out = os.path.join(self.scratch.name, case)
                hivefixture.build(out, [os.path.join(FIXTURES, "machine.reg")],
                                  control_sets=(1, 2), select=select)
                system = os.path.join(out, CONFIG, "SYSTEM")
                self.assertEqual(run(out, "1", "10.9.9.9"), ("", 0))
                for control_set in ("ControlSet001", "ControlSet002"):
                    self.assertEqual(
                        readers.hivex_values(system, keys_of(STATIC, control_set)["adapter"])
                        ["IPAddress"][1] == multi_string("10.9.9.9"), control_set == written)

    def test_directories_spelled_in_other_cases_are_found_and_keep_their_names(self):
        out = os.path.join(self.scratch.name, "image")
        config = hivefixture.build(out, [os.path.join(FIXTURES, "machine.reg")],
                                   config_path="WINDOWS/system32/Config",
                                   names=("system", "Software"))
        self.assertEqual(run(out, "1", "10.4.4.4"), ("", 0))
        self.assertEqual(sorted(os.listdir(config)), ["Software", "system"])
        self.assertKeyHolds(os.path.join(config, "system"), keys_of(STATIC)["adapter"],
                            {"IPAddress": ["10.4.4.4"]})

    def test_concurrent_runs_wait_for_the_lock_on_the_hive(self):
        mnt = self.installation()
        environment = {"PATH": "/usr/bin:/bin", "NETVANE_REGISTRY": mnt.root}
        # The first run stops once it holds the hives' locks, at its first
        # change; the second waits for it at its own, and then reads the
        # hives anew. A listing waits for neither.
        first = subprocess.Popen([NETVANE, "2", "10.6.6.6"], stdout=subprocess.PIPE,
                                 env=dict(environment, NETVANE_TEST_STOP="locked"))
        wait_until_stopped(first.pid)
        second = subprocess.Popen([NETVANE, "1", "10.5.5.5"], stdout=subprocess.PIPE, env=environment)
        listing = subprocess.run([NETVANE], capture_output=True, timeout=RUN_SECONDS,
                                 env=dict(environment, NETVANE_LOCK_WAIT="1"))
        self.assertEqual((listing.stderr, listing.returncode), (b"", 0))
        self.assertIn(b"\n1:\t", listing.stdout)
        time.sleep(0.3)
        self.assertIsNone(second.poll(), "the run did not wait for the lock")
        os.kill(first.pid, signal.SIGCONT)
        for run_ in (first, second):
            self.assertEqual(run_.communicate(timeout=RUN_SECONDS), (b"", None))
            self.assertEqual(run_.returncode, 0)
        self.assertKeyHolds(mnt.system, keys_of(STATIC)["adapter"], {"IPAddress": ["10.5.5.5"]})
        self.assertKeyHolds(mnt.system, keys_of(DHCP)["adapter"], {"IPAddress": ["10.6.6.6"]})
        self.assertEqual(sorted(os.listdir(mnt.config)), ["SOFTWARE", "SYSTEM"])

    def test_a_run_killed_at_any_moment_leaves_the_old_hive_or_the_new(self):
        mnt = self.installation()
        before = mnt.snapshot()
        old = before[CONFIG + "/SYSTEM"][0]
        arguments = [NETVANE, "2", "192.168.1.10", "*", "192.168.1.1", "192.168.1.2"]
        environment = {"PATH": "/usr/bin:/bin", "NETVANE_REGISTRY": mnt.root}

        def reset():
            shutil.copyfile(os.path.join(self.built.name, "machine", CONFIG, "SYSTEM"), mnt.system)

        changed = None
        seen = {"old": 0, "new": 0}
        temporaries = 0
        for moment in killed_runs(arguments, environment, 100, reset):
            with open(mnt.system, "rb") as f:
                now = f.read()
            if moment is None:
                changed = changed or now
                self.assertNotEqual(now, old)
                self.assertEqual(now, changed, "whole runs wrote different hives")
                continue
            self.assertIn(now, (old, changed), "killed after %.1f ms" % (moment * 1000))
            seen["old" if now == old else "new"] += 1
            # SOFTWARE is only read; a killed run leaves at most its temporary
            # SYSTEM file, and the locks that the next run takes in turn.
            self.assertEqual(mnt.snapshot()[CONFIG + "/SOFTWARE"], before[CONFIG + "/SOFTWARE"])
            for name in os.listdir(mnt.config):
                if name not in ("SYSTEM", "SOFTWARE", "SYSTEM.lock", "SOFTWARE.lock"):
                    self.assertRegex(name, r"^SYSTEM\.[A-Za-z0-9]{6}$")
                    os.unlink(os.path.join(mnt.config, name))
                    temporaries += 1
        self.assertGreater(seen["old"], 0)
        self.assertGreater(seen["new"], 0)
        print("hive kills: %(old)d left the old SYSTEM hive, %(new)d the new;" % seen,
              temporaries, "temporary files", file=sys.stderr)

    # --- refusals ---------------------------------------------------------

    def assertRefused(self, directory, expected_parts, arguments=("1", "10.1.2.3")):
        """One line naming the file, status = its length, nothing written."""
        tree = Installation.__new__(Installation)
        tree.root = directory
        before = tree.snapshot()
        for args in ((), arguments):
            out, status = run(directory, *args)
            self.assertEqual(out.count("\n"), 1, out)
            self.assertTrue(out.endswith("\n"))
            self.assertEqual(status, min(len(out), 255))
            for part in expected_parts:
                self.assertIn(part, out)
        self.assertEqual(tree.snapshot(), before)

    def test_unusable_installations_are_refused_before_anything_is_written(self):
        machine = os.path.join(FIXTURES, "machine.reg")
        # A log that cannot be read is no log that is absent: its entries would
        # be lost to the hive, as LOG2's would be here without LOG1's.
        logs = {"a FIFO for a log": (os.mkfifo, "a FIFO"),
                "a directory for a log": (os.mkdir, "a directory"),
                "a link to a device for a log": (lambda log: os.symlink("/dev/zero", log), "a device"),
                "a link loop for a log": (lambda log: os.symlink(log, log), "symbolic links"),
                "a link to nothing for a log": (lambda log: os.symlink(log + ".gone", log),
                                                "No such file or directory")}
        for case in ("damaged base block", "regf and junk",
                     "no SOFTWARE", "no installation", "not a hive", "truncated hive", "no Select",
                     "missing control set") + tuple(logs):
            with self.subTest(case):
                out = os.path.join(self.scratch.name, case.replace(" ", "-"))
                select = {"Current": 1, "Default": 1}
                if case == "no Select":
                    select = None
                if case == "missing control set":
                    select = {"Current": 1, "Default": 3}
                config = hivefixture.build(out, [machine], select=select)
                system, software = os.path.join(config, "SYSTEM"), os.path.join(config, "SOFTWARE")
                expected = [system]
                if case == "damaged base block":
                    # Dirty, and no log beside it to restore the block from.
                    with open(system, "r+b") as f:
                        f.seek(0x30)
                        f.write(b"X")
                    expected.append("is damaged")
                elif case == "regf and junk":
                    with open(system, "wb") as f:
                        f.write(b"regf" + bytes(range(256)) * 32)
                    expected.append("is damaged")
                elif case == "no SOFTWARE":
                    os.unlink(software)
                    expected = [software]
                elif case == "no installation":
                    shutil.rmtree(os.path.join(out, "Windows"))
                    os.mkdir(os.path.join(out, "Windows"))
                    expected = [out]
                elif case == "not a hive":
                    with open(system, "wb") as f:
                        f.write(b"not a hive at all\n")
                elif case == "truncated hive":
                    os.truncate(system, 4096)
                elif case == "no Select":
                    expected.append("Select")
                elif case in logs:
                    dirtyhive.make_installation("entries split over both logs", config)
                    log = os.path.join(config, "SYSTEM.LOG1")
                    os.unlink(log)
                    logs[case][0](log)
                    expected = ["Cannot read transaction log %s: " % log, logs[case][1]]
                else:
                    expected.append("ControlSet003")
                self.assertRefused(out, expected)

    def test_dirty_hives_whose_logs_do_not_apply_are_listed_as_they_are_and_never_written(self):
        """The hive a configure run would write is refused in one line; a
        listing, or a run that only reads the dirty hive, says so on stderr."""
        for dirty, logs in (("SYSTEM", ()), ("SYSTEM", ("SYSTEM.LOG1", "system.log2")),
                            ("SOFTWARE", ())):
            with self.subTest(dirty=dirty, logs=logs):
                shutil.rmtree(os.path.join(self.scratch.name, "mnt"), ignore_errors=True)
                mnt = self.installation()
                listing, _ = run(mnt.root)
                hive = os.path.join(mnt.config, dirty)
                hivefixture.mark_dirty(hive)
                for log in logs:
                    open(os.path.join(mnt.config, log), "wb").close()
                before = mnt.snapshot()
                warning = "netvane: registry hive %s is not up to date: " % hive
                self.assertEqual(run_with_stderr(mnt.root)[::2], (listing, 0))
                stderr = run_with_stderr(mnt.root)[1]
                self.assertEqual(stderr.count("\n"), 1, stderr)
                self.assertTrue(stderr.startswith(warning), stderr)
                # The logs it found, or else every name it looked for.
                for name in logs or [dirty + suffix for suffix in (".LOG1", ".LOG2", ".LOG")]:
                    self.assertIn(name, stderr)

                out, stderr, status = run_with_stderr(mnt.root, "1", "10.1.2.3")
                if dirty == "SOFTWARE":
                    # SOFTWARE is only read: SYSTEM takes the change.
                    self.assertEqual((out, status), ("", 0))
                    self.assertTrue(stderr.startswith(warning), stderr)
                    self.assertEqual(mnt.snapshot()[CONFIG + "/SOFTWARE"],
                                     before[CONFIG + "/SOFTWARE"])
                    continue
                self.assertEqual(stderr, "")
                self.assertEqual(out.count("\n"), 1, out)
                self.assertTrue(out.startswith("Registry hive %s is not up to date: " % hive), out)
                self.assertIn("nothing was written", out)
                self.assertEqual(status, min(len(out), 255))
                self.assertEqual(mnt.snapshot(), before)

    def test_a_hibernated_installation_is_listed_but_not_configured(self):
        """hiberfil.sys at the volume root, judged as ntfs-3g judges it,
        whichever directory of the installation the user names."""
        for name, header, named in (("hiberfil.sys", b"hibr", ""), ("HIBERFIL.SYS", b"HIBR", "/Windows"),
                                    ("hiberfil.sys", b"HIBR", "/" + CONFIG), ("hiberfil.sys", b"", ""),
                                    ("hiberfil.sys", b"wake", ""), ("hiberfil.sys", b"\0\0\0\0", "")):
            with self.subTest(name=name, header=header, named=named):
                shutil.rmtree(os.path.join(self.scratch.name, "mnt"), ignore_errors=True)
                mnt = self.installation()
                with open(os.path.join(mnt.root, name), "wb") as f:
                    f.write(header + bytes(4096 - len(header) if header else 100))
                before = mnt.snapshot()
                directory = mnt.root + named
                self.assertEqual(run_with_stderr(directory)[1:], ("", 0))
                out, stderr, status = run_with_stderr(directory, "1", "10.1.2.3")
                if header in (b"wake", b"\0\0\0\0"):
                    self.assertEqual((out, stderr, status), ("", "", 0))
                    continue
                self.assertEqual(out, "Windows on %s is hibernated and would resume over any "
                                      "change: start it and shut it down fully (Shift+Shut down, or "
                                      "shutdown /s /t 0), or turn hibernation and fast start-up off "
                                      "with powercfg /h off, then try again\n" % mnt.root)
                self.assertEqual((stderr, status), ("", min(len(out), 255)))
                self.assertEqual(mnt.snapshot(), before)

    def test_a_hive_larger_than_windows_allows_is_refused_at_once(self):
        mnt = self.installation()
        os.truncate(mnt.system, 4 << 30)
        before = os.stat(mnt.system)
        for arguments in ((), ("1", "10.1.2.3")):
            # Timed on the processor, which a loaded machine does not stretch
            # as it does the clock; a refusal at once takes milliseconds of it.
            started = resource.getrusage(resource.RUSAGE_CHILDREN)
            out, status = run(mnt.root, *arguments)
            self.assertEqual(out, "Registry hive %s is larger than 1.5 GB, the most Windows allows "
                                  "for a SYSTEM hive\n" % mnt.system)
            self.assertEqual(status, min(len(out), 255))
            ended = resource.getrusage(resource.RUSAGE_CHILDREN)
            self.assertLess(ended.ru_utime + ended.ru_stime - started.ru_utime - started.ru_stime, 10)
        after = os.stat(mnt.system)
        self.assertEqual((after.st_ino, after.st_size, after.st_mtime_ns),
                         (before.st_ino, before.st_size, before.st_mtime_ns))

    def test_a_hive_that_cannot_be_written_is_named(self):
        mnt = self.installation()
        before = mnt.snapshot()
        size = os.path.getsize(mnt.system)

        def small_files():
            resource.setrlimit(resource.RLIMIT_FSIZE, (size // 2, size // 2))
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

        out, status = run(mnt.root, "1", "10.1.2.3", preexec_fn=small_files)
        self.assertEqual(out, "Cannot write registry hive %s: File too large\n" % mnt.system)
        self.assertEqual(status, min(len(out), 255))
        self.assertEqual(mnt.snapshot(), before)

    def test_links_owners_and_read_only_hives_are_the_users(self):
        """Cases as root and as nobody; out is what the configure run prints."""
        if os.geteuid() != 0:
            self.skipTest("needs root, to run netvane as nobody and to own files for it")
        os.chmod(self.scratch.name, 0o755)
        for case in ("a link", "nobody's hive", "a read-only hive", "an unreadable directory"):
            with self.subTest(case):
                for left in ("mnt", "elsewhere"):
                    shutil.rmtree(os.path.join(self.scratch.name, left), ignore_errors=True)
                mnt = self.installation()
                prefix, out, written = (), "", True
                hive = mnt.system
                if case == "a link":
                    hive = os.path.join(self.scratch.name, "elsewhere", "SYSTEM")
                    os.makedirs(os.path.dirname(hive))
                    os.rename(mnt.system, hive)
                    os.symlink(hive, mnt.system)
                elif case == "nobody's hive":
                    os.chown(mnt.system, 65534, 65534)
                    os.chmod(mnt.system, 0o640)
                elif case == "a read-only hive":
                    for directory, _, names in os.walk(mnt.root):
                        for name in [directory] + [os.path.join(directory, n) for n in names]:
                            os.chown(name, 65534, 0)
                    os.chmod(mnt.system, 0o444)
                    prefix, written = AS_NOBODY, False
                    out = "Registry hive %s is read-only\n" % mnt.system
                    self.assertEqual(run(mnt.root, prefix=prefix)[1], 0)
                else:
                    os.chmod(mnt.config, 0)
                    prefix, written = AS_NOBODY, False
                    out = "Cannot read the directory %s: Permission denied\n" % mnt.config
                stat = os.stat(hive)
                self.assertEqual(run(mnt.root, "1", "10.2.3.4", prefix=prefix), (out, min(len(out), 255)))
                os.chmod(mnt.config, 0o755)
                self.assertEqual(os.path.islink(mnt.system), case == "a link")
                after = os.stat(hive)
                self.assertEqual((after.st_uid, after.st_gid, after.st_mode),
                                 (stat.st_uid, stat.st_gid, stat.st_mode))
                adapter = readers.hivex_values(hive, keys_of(STATIC)["adapter"])
                self.assertEqual(adapter["IPAddress"][1] == multi_string("10.2.3.4"), written)
                self.assertEqual(sorted(os.listdir(mnt.config)), ["SOFTWARE", "SYSTEM"])


if __name__ == "__main__":
    unittest.main()
