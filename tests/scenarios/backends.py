"""Where a scenario runs. Each backend seeds a registry from the scenario's
fixture, runs netvane with the scenario's arguments and DHCP variant, and
hands back what a user could observe: stdout, standard error, the exit
status, the DHCP client's record and the contents of every key the fixture
defines.

A backend is a class with a name, prepare() once per test run, run() per
scenario and close() at the end. LinuxBackend keeps seeding and reading back
the store in two methods, so a backend over another kind of store only
overrides those (see its docstring).
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

import regfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "hive"))
import hivefixture  # noqa: E402

# Files that the working folder of a "files" scenario holds: a runtime that
# expanded wildcards would put these names in place of "*" and "?".
WILDCARD_BAIT = ["1", "x", "10.0.0.9", "255.0.0.0", "a b.txt", "notes.txt"]

# Bounds that only a hang reaches, however busy the machine: a run of
# netvane or of one of Wine's commands takes a second or two when the
# machine is idle, and Wine makes its prefix in tens of seconds.
RUN_SECONDS = 120
PREFIX_SECONDS = 600


class BackendError(Exception):
    """The backend itself cannot work (as opposed to a scenario failing)."""


class Outcome:
    def __init__(self, stdout, status, dhcp, keys, raw_stdout=b"", stderr=""):
        self.stdout = stdout          # text, "\n" line ends
        self.status = status          # exit status as the shell sees it
        self.dhcp = dhcp              # the DHCP client's record lines
        self.keys = keys              # folded path -> regfile.Key, or None when missing
        self.raw_stdout = raw_stdout
        self.stderr = stderr          # text, "\n" line ends


def minimal_paths(paths):
    """The paths that have no ancestor among `paths` (folded comparison)."""
    folded = sorted({regfile.fold(p): p for p in paths}.items())
    out = []
    for f, p in folded:
        if not any(f.startswith(regfile.fold(o) + "\\") for o in out):
            out.append(p)
    return out


def ancestors(path):
    parts = path.split("\\")
    return ["\\".join(parts[:i]) for i in range(2, len(parts))]


def fixture_keys(fixture, read_back):
    """The keys of `read_back` (a RegFile) that `fixture` defines."""
    return {f: read_back.keys.get(f) for f in fixture.keys}


class Backend:
    name = "?"
    # What a scenario's "needs" may ask of the backend.
    capabilities = frozenset()
    # The 8-bit code page of the program's stdout and of REGEDIT4 files.
    codepage = "utf-8"
    # The order in which the registry enumerates subkeys: a sort key on names.
    @staticmethod
    def subkey_order(name):
        return name.upper()

    def prepare(self, fixtures):
        """Called once with every fixture (RegFile by file name) of the run."""

    def run(self, scenario, fixture_path, fixture, workdir):
        raise NotImplementedError

    def summary(self):
        """A line about the backend's own troubles, or "" when it had none."""
        return ""

    def close(self):
        pass


def make_workdir(root, scenario):
    """A folder for one scenario, with a "files" subfolder when the scenario
    asks to run among files."""
    work = tempfile.mkdtemp(prefix=scenario["name"][:40] + ".", dir=root)
    cwd = work
    if scenario.get("cwd") == "files":
        cwd = os.path.join(work, "files")
        os.mkdir(cwd)
        for name in WILDCARD_BAIT:
            with open(os.path.join(cwd, name), "w") as f:
                f.write("bait\n")
    return work, cwd


def dhcp_variant(scenario):
    """("present" | "absent" | "no-entry", forced result or None)."""
    variant = scenario.get("dhcp", "present")
    if variant.startswith("result="):
        return "present", int(variant[len("result="):])
    if variant not in ("present", "absent", "no-entry"):
        raise ValueError("%s: unknown dhcp variant %r" % (scenario["name"], variant))
    return variant, None


def stdout_encoding(scenario, backend):
    """The platform's 8-bit code page, or UTF-8 where the scenario's output
    is UTF-8 on every platform ("output": "utf-8", as --json prints)."""
    return "utf-8" if scenario.get("output") == "utf-8" else backend.codepage


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "replace")


def read_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "replace").splitlines()


class LinuxBackend(Backend):
    """The Linux build against a store file seeded from the fixture.

    A backend over another store (e.g. offline hive files built with hivex)
    subclasses this and overrides seed() and read_back(): seed() makes the
    store from the fixture and returns the value for NETVANE_REGISTRY;
    read_back() returns the store's contents as a regfile.RegFile.
    """

    name = "linux"

    def __init__(self, binary):
        self.binary = os.path.abspath(binary)
        if not os.access(self.binary, os.X_OK):
            raise BackendError("no executable at %s" % self.binary)

    def seed(self, fixture_path, workdir):
        store = os.path.join(workdir, "store" + os.path.splitext(fixture_path)[1])
        shutil.copyfile(fixture_path, store)
        return store

    def read_back(self, store):
        return regfile.read(store, self.codepage)

    def run(self, scenario, fixture_path, fixture, workdir):
        work, cwd = workdir
        store = self.seed(fixture_path, work)
        record = os.path.join(work, "dhcp.txt")
        env = dict(os.environ)
        for name in ("NETVANE_DHCP_LIBRARY", "NETVANE_DHCP_RESULT"):
            env.pop(name, None)
        env.update(NETVANE_REGISTRY=store, NETVANE_DHCP_RECORD=record)
        library, forced = dhcp_variant(scenario)
        if library != "present":
            env["NETVANE_DHCP_LIBRARY"] = library
        if forced is not None:
            env["NETVANE_DHCP_RESULT"] = str(forced)
        out_path, err_path = os.path.join(work, "stdout"), os.path.join(work, "stderr")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            status = subprocess.run([self.binary] + scenario["args"], cwd=cwd, env=env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    timeout=RUN_SECONDS).returncode
        with open(out_path, "rb") as f:
            raw = f.read()
        keys = fixture_keys(fixture, self.read_back(store))
        return Outcome(raw.decode(stdout_encoding(scenario, self), "replace"), status, read_lines(record), keys,
                       raw, read_text(err_path))


MACHINES = {0x8664: "x86-64", 0x14C: "i686"}


def pe_machine(path):
    """The machine a Windows executable is built for: "x86-64" or "i686"."""
    with open(path, "rb") as f:
        head = f.read(4096)
    pe = int.from_bytes(head[0x3C:0x40], "little") if head[:2] == b"MZ" else -1
    if pe < 0 or head[pe:pe + 4] != b"PE\0\0":
        raise BackendError("%s is not a Windows executable" % path)
    machine = int.from_bytes(head[pe + 4:pe + 6], "little")
    if machine not in MACHINES:
        raise BackendError("%s is built for machine 0x%x" % (path, machine))
    return MACHINES[machine]


# Debian's `wine` is a script that starts the 32-bit loader, which starts the
# 64-bit one again for a 64-bit program. Starting the loader a program needs
# saves a process start per command, and each start can fail (see
# WinePrefix.launcher_failed).
LOADERS = {"x86-64": ("/usr/lib/wine/wine64", "wine64"), "i686": ("/usr/lib/wine/wine", "wine")}


def find_loader(machine):
    path, name = LOADERS[machine]
    return path if os.access(path, os.X_OK) else shutil.which(name) or shutil.which("wine")


def randomisation_off():
    ADDR_NO_RANDOMIZE = 0x0040000
    try:
        with open("/proc/self/personality") as f:
            return (int(f.read(), 16) & ADDR_NO_RANDOMIZE) != 0
    except (OSError, ValueError):
        return False


class WinePrefix:
    """One Wine prefix and its wineserver, shared by every exe of a run.

    It runs Wine's commands and keeps Wine's own start-up failures from
    reaching the results (see launcher_failed). It also decides, once, which
    keys each scenario starts without (make_territory) and brings the
    registry back to that state before each scenario (seed).
    """

    REG = "C:\\windows\\system32\\reg.exe"
    ATTEMPTS = 3

    def __init__(self, root):
        self.root = root
        self.prefix = os.path.join(root, "prefix")
        # The server's socket folder (wine-XXXXXX) is made under TMPDIR; one
        # of the run's own leaves nothing behind in the user's.
        self.tmp = os.path.join(root, "tmp")
        self.server = shutil.which("wineserver")
        if self.server is None or find_loader("x86-64") is None:
            raise BackendError("wine is not installed")
        # Debian's wine64 is not position-independent, and with address
        # randomisation on, the kernel sometimes puts its heap over the fixed
        # page Wine maps its shared user data at: the process then dies at
        # start-up. tests/wine/run turns randomisation off for the whole
        # run; a run started otherwise turns it off per command.
        self.launcher = [] if randomisation_off() else ["setarch", os.uname().machine, "-R"]
        self.commands = 0
        self.relaunched = 0
        self.started = False
        self.prepared = False
        self.wow64 = False
        self.baseline = {}
        self.roots = []
        self.shared = []
        self.reset_file = None

    def env(self, overrides=""):
        env = dict(os.environ)
        for name in ("NETVANE_DHCP_LIBRARY", "NETVANE_DHCP_RESULT", "NETVANE_DHCP_RECORD",
                     "NETVANE_REGISTRY", "DISPLAY", "WAYLAND_DISPLAY", "WINELOADER"):
            env.pop(name, None)
        # Wine's network driver (nsiproxy.sys, loaded by winedevice.exe some
        # seconds after the prefix starts) fills NetworkCards with the host's
        # interfaces, overwriting a fixture's cards in the middle of a run; it
        # stays off. Services started by the first command inherit this.
        env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", LC_ALL="C.UTF-8", TMPDIR=self.tmp,
                   WINEDLLOVERRIDES=";".join(filter(None, ["nsiproxy.sys=d", overrides])))
        return env

    # -- running Wine's commands ----------------------------------------------

    # What Wine prints when it failed to start a program or to reach its
    # server, or when its own Unix process fell over on the way out. The
    # programs' own output never holds these.
    LAUNCHER_FAILURES = ("failed to map the shared user data", "wine client error:",
                         "Inconsistency detected by ld.so", "ShellExecuteEx failed")

    def launcher_failed(self, status, log):
        """A failed command that printed nothing, or a launcher's message.
        Silence is Wine's start-up crash, never a result: reg.exe prints
        every error it meets, and netvane's failure statuses are the length
        of what it printed."""
        if status == 0:
            return False
        said = self.said(log)
        return said == "" or any(failure in said for failure in self.LAUNCHER_FAILURES)

    def command(self, args, log, machine="x86-64", cwd=None, env=None, check=True,
                retry=True, timeout=RUN_SECONDS):
        """Runs one Wine command with the loader for `machine`, again (up to
        ATTEMPTS in all) when the launcher failed it and `retry` allows: a
        command that may have changed something before it failed is
        retried by its caller. Output goes to files: Wine's helper processes
        inherit the first command's stdout and stderr and keep them open,
        so a pipe would never reach its end."""
        loader = find_loader(machine)
        if loader is None:
            raise BackendError("no Wine loader for %s programs" % machine)
        out_path, err_path = log + ".out", log + ".err"
        for attempt in range(self.ATTEMPTS if retry else 1):
            started = time.monotonic()
            with open(out_path, "wb") as out, open(err_path, "wb") as err:
                status = subprocess.run(self.launcher + [loader] + args, cwd=cwd or self.root,
                                        env=env or self.env(), stdin=subprocess.DEVNULL,
                                        stdout=out, stderr=err, timeout=timeout).returncode
            self.commands += 1
            if os.environ.get("NETVANE_TRACE_WINE"):
                print("  %.2f s  %s %s" % (time.monotonic() - started, os.path.basename(loader),
                                           " ".join(args)[:100]))
            if not (retry and self.launcher_failed(status, log)):
                break
            self.relaunched += 1
        if check and status != 0:
            raise BackendError("`wine %s` failed with status %d: %s" %
                               (" ".join(args[:3]), status, self.said(log) or "(no output)"))
        return status, out_path

    def reg(self, args, log, check=True):
        """reg.exe, started as itself: `wine reg` would start it through
        start.exe, two processes instead of one."""
        return self.command([self.REG] + args, log, check=check)

    @staticmethod
    def said(log):
        """What a Wine command printed, on both streams, for a message."""
        text = b""
        for path in (log + ".out", log + ".err"):
            with open(path, "rb") as f:
                text += f.read()[-1000:]
        return text.decode("utf-8", "replace").strip()

    @staticmethod
    def windows_path(path):
        # Wine maps the Unix root to drive Z:.
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def import_reg(self, path, log):
        self.reg(["import", self.windows_path(path)], log)

    def export(self, paths, work, label):
        """Exports each of `paths` with reg.exe; returns one RegFile with
        every key found (missing keys are simply absent)."""
        merged = regfile.RegFile(5)
        for i, path in enumerate(paths):
            target = os.path.join(work, "%s%d.reg" % (label, i))
            log = os.path.join(work, "%s%d" % (label, i))
            status, _ = self.reg(["export", path, self.windows_path(target), "/y"], log,
                                 check=False)
            if status != 0:
                said = self.said(log)
                if "Unable to find the specified registry key" in said:
                    continue
                raise BackendError("`reg export %s` failed with status %d: %s" %
                                   (path, status, said or "(no output)"))
            for folded, key in regfile.read(target, WineBackend.codepage).keys.items():
                merged.keys[folded] = key
        return merged

    # -- the prefix -----------------------------------------------------------

    def prepare(self, fixtures):
        """Makes the prefix and decides its territory, once per run."""
        if self.prepared:
            return
        self.prepared = True
        os.makedirs(self.prefix)
        os.makedirs(self.tmp)
        env = self.env()
        self.started = True
        # Debian's wineserver quits about a second after its last client,
        # and a client connecting just then dies ("wine client error"). The
        # later -p wins over the wrapper's -p0 and keeps it up until close().
        subprocess.run([self.server, "-p"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=RUN_SECONDS,
                       check=True)
        # No display, no Mono or Gecko installers, no menu entries.
        try:
            self.command(["wineboot", "-i"], os.path.join(self.root, "wineboot"),
                         env=self.env("mscoree,mshtml=;winemenubuilder.exe=d"), timeout=PREFIX_SECONDS)
        except subprocess.TimeoutExpired:
            raise BackendError("Wine did not finish creating its prefix within %d s" % PREFIX_SECONDS)
        self.wow64 = os.path.isdir(os.path.join(self.prefix, "drive_c", "windows", "syswow64"))
        self.probe("x86-64" if self.wow64 else "i686")
        self.make_territory(fixtures)

    def probe(self, machine):
        """Checks that Wine runs programs for `machine` in this prefix."""
        folder = "syswow64" if self.wow64 and machine == "i686" else "system32"
        log = os.path.join(self.root, "probe-" + machine)
        status, out = self.command(["C:\\windows\\%s\\cmd.exe" % folder, "/c", "echo",
                                    "netvane-wine-ok"], log, machine=machine, check=False)
        with open(out, "rb") as f:
            if status != 0 or b"netvane-wine-ok" not in f.read():
                hint = " (is wine32:i386 installed?)" if machine == "i686" else ""
                raise BackendError("Wine cannot run %s programs in %s%s (status %d): %s"
                                   % (machine, self.prefix, hint, status,
                                      self.said(log) or "(no output)"))

    def make_territory(self, fixtures):
        """Decides, once per run, which keys each scenario starts without.

        Every key a fixture defines belongs to a root: the highest key above
        it below which Wine keeps nothing of its own (Wine's empty
        NetworkCards, its Tcpip key, or simply the topmost of the fixture's
        own keys). Wine's content of those roots is removed now; each
        scenario then removes the roots again and imports its fixture, so no
        scenario sees what an earlier one wrote. A key the fixture defines
        that holds Wine's own subkeys (e.g. "Services") is shared instead:
        it stays, and its own values are left out of the comparison.
        """
        work = os.path.join(self.root, "territory")
        os.makedirs(work)
        defined = {}
        for fixture in fixtures.values():
            for key in fixture.keys.values():
                defined[regfile.fold(key.path)] = key.path
        territory = set(defined)
        for path in defined.values():
            territory.update(regfile.fold(a) for a in ancestors(path))
        subtrees = {}

        def subtree(path):
            """Wine's keys at and below `path`, from the export of `path` or
            of an ancestor already exported."""
            folded = regfile.fold(path)
            for a in [folded] + [regfile.fold(x) for x in ancestors(path)]:
                if a in subtrees:
                    return {f for f in subtrees[a]
                            if f == folded or f.startswith(folded + "\\")}
            subtrees[folded] = set(self.export([path], work, "subtree%d" % len(subtrees)).keys)
            return subtrees[folded]

        def wines_own_below(path):
            return any(f not in territory for f in subtree(path))

        def native(path):
            return regfile.fold(path) in subtree(path)

        # Shallow keys first, so that one export answers for all below it.
        paths = sorted(defined.values(), key=lambda p: len(p.split("\\")))
        ours, shared = [], []
        for path in paths:
            if native(path) and wines_own_below(path):
                shared.append(path)
                continue
            top = path
            # Never climb to a hive's first level (SYSTEM, SOFTWARE).
            while len(top.split("\\")) > 3:
                parent = top.rsplit("\\", 1)[0]
                if wines_own_below(parent):
                    break
                top = parent
            ours.append(top)
        self.roots = minimal_paths(ours)
        removable = [p for p in self.roots if native(p)]
        if removable:
            path = os.path.join(work, "remove.reg")
            with open(path, "wb") as f:
                f.write(regfile.write_version5([], removable))
            self.import_reg(path, os.path.join(work, "remove"))
        self.shared = shared
        after = self.export(shared, work, "shared")
        self.baseline = dict(after.keys)
        self.reset_file = os.path.join(work, "reset.reg")
        with open(self.reset_file, "wb") as f:
            f.write(regfile.write_version5([], self.roots))

    def export_roots(self, fixture):
        """The keys whose export holds every key of the fixture: its roots,
        or their parent where several roots share one (one export of
        "Services" costs less than one per service)."""
        wanted = [regfile.fold(k.path) for k in fixture.keys.values()]
        roots = [r for r in self.roots + self.shared
                 if any(w == regfile.fold(r) or w.startswith(regfile.fold(r) + "\\")
                        for w in wanted)]
        parents = {}
        for r in roots:
            parents.setdefault(regfile.fold(r.rsplit("\\", 1)[0]), []).append(r)
        grouped = []
        for r in roots:
            siblings = parents[regfile.fold(r.rsplit("\\", 1)[0])]
            grouped.append(r.rsplit("\\", 1)[0] if len(siblings) > 1 else r)
        return minimal_paths(grouped)

    def seed(self, fixture_path, work):
        """The registry as the scenario's fixture has it, and no trace of an
        earlier scenario."""
        self.import_reg(self.reset_file, os.path.join(work, "reset"))
        self.import_reg(fixture_path, os.path.join(work, "import"))

    def close(self):
        if self.started:
            self.started = False
            subprocess.run([self.server, "-k"], env=self.env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=RUN_SECONDS)
            shutil.rmtree(self.tmp, ignore_errors=True)


class WineBackend(Backend):
    """A Windows build of netvane under Wine, against Wine's registry.

    Every WineBackend of a run shares one WinePrefix: the fixtures go in and
    the results come out through the prefix's own (64-bit) reg.exe, so the
    32-bit exe runs under WOW64 beside it, as it does on 64-bit Windows.
    Before each scenario the prefix is brought back to the same state:
    every key that any fixture defines, and its ancestors, is removed unless
    Wine itself keeps other keys below it, and then the scenario's fixture
    is imported. Keys Wine needs for itself (e.g. "Services") stay, and their
    own values are left out of the comparison.
    """

    # Wine takes its ANSI code page from the locale; C.UTF-8 gives 1252.
    codepage = "cp1252"

    # Wine sorts subkeys by name folded to lower case, where Windows (and
    # netvane's stand-in) keeps them sorted by upper-cased name; the two
    # differ for names with one of [ \ ] ^ _ ` where a letter is compared.
    @staticmethod
    def subkey_order(name):
        return name.lower()

    def __init__(self, exe, dll_dir, wine):
        """`dll_dir` holds, for each machine, MACHINE/dhcpcsvc.dll (the
        recording DHCP client) and MACHINE/no-entry/dhcpcsvc.dll, and
        x86-64/regdeny.exe, which denies write access to keys."""
        self.exe = os.path.abspath(exe)
        if not os.path.exists(self.exe):
            raise BackendError("missing %s" % self.exe)
        self.machine = pe_machine(self.exe)
        self.name = "wine " + self.machine
        self.dlls = os.path.join(os.path.abspath(dll_dir), self.machine)
        for path in (os.path.join(self.dlls, "dhcpcsvc.dll"),
                     os.path.join(self.dlls, "no-entry", "dhcpcsvc.dll")):
            if not os.path.exists(path):
                raise BackendError("missing %s" % path)
        self.regdeny = os.path.join(os.path.abspath(dll_dir), "x86-64", "regdeny.exe")
        if not os.path.exists(self.regdeny):
            raise BackendError("missing %s" % self.regdeny)
        self.wine = wine
        self.counts = (0, 0)
        self.prepared_prefix = None

    @property
    def capabilities(self):
        # Any exe can meet a denied key: the 64-bit regdeny.exe sets the
        # entry, and the 32-bit exe's keys are the same (see the README).
        return {"deny", "wow64"} if self.wine.wow64 and self.machine == "i686" else {"deny"}

    def prepare(self, fixtures):
        self.counts = (self.wine.commands, self.wine.relaunched)
        if not self.wine.prepared:
            started = time.monotonic()
            self.wine.prepare(fixtures)
            self.prepared_prefix = time.monotonic() - started
        if self.machine == "i686" and self.wine.wow64:
            self.wine.probe("i686")
        # Two program folders: the recording DHCP client beside the exe, and
        # a library of the same name that lacks the entry.
        self.apps = {}
        for variant, dll in (("present", "dhcpcsvc.dll"),
                             ("no-entry", os.path.join("no-entry", "dhcpcsvc.dll"))):
            folder = os.path.join(self.wine.root, "app-%s-%s" % (self.machine, variant))
            os.makedirs(folder)
            shutil.copy(self.exe, os.path.join(folder, "netvane.exe"))
            shutil.copy(os.path.join(self.dlls, dll), os.path.join(folder, "dhcpcsvc.dll"))
            self.apps[variant] = os.path.join(folder, "netvane.exe")

    def run(self, scenario, fixture_path, fixture, workdir):
        work, cwd = workdir
        record = os.path.join(work, "dhcp.txt")
        library, forced = dhcp_variant(scenario)
        # Wine's own dhcpcsvc has the entry only as a stub that aborts, so the
        # recording library beside the exe is preferred ("n"); an empty load
        # order makes the library missing altogether.
        overrides = "dhcpcsvc=" if library == "absent" else "dhcpcsvc=n"
        env = self.wine.env(overrides)
        env["NETVANE_DHCP_RECORD"] = self.wine.windows_path(record)
        if forced is not None:
            env["NETVANE_DHCP_RESULT"] = str(forced)
        exe = self.apps["no-entry" if library == "no-entry" else "present"]
        log = os.path.join(work, "netvane")
        # When Wine's launcher fails the run itself, the scenario starts again
        # from its fixture, since the tool may have written before it failed.
        for attempt in range(self.wine.ATTEMPTS):
            if os.path.exists(record):
                os.remove(record)
            self.wine.seed(fixture_path, work)
            self.set_denial("deny", scenario, work)
            status, out_path = self.wine.command([exe] + scenario["args"], log,
                                                   machine=self.machine, cwd=cwd, env=env,
                                                   check=False, retry=False)
            if not self.wine.launcher_failed(status, log):
                break
            self.wine.relaunched += 1
        with open(out_path, "rb") as f:
            raw = f.read()
        exported = self.wine.export(self.wine.export_roots(fixture), work, "export")
        # The entry lives in the server, which stays up for the next
        # scenario, and would refuse its import.
        self.set_denial("allow", scenario, work)
        keys = fixture_keys(fixture, exported)
        self.leave_out_wines_own(keys)
        self.undo_import_terminators(keys, fixture)
        with open(log + ".err", "rb") as f:
            err = f.read()
        return Outcome(self.text_mode_to_lf(raw).decode(stdout_encoding(scenario, self), "replace"), status,
                       read_lines(record), keys, raw,
                       self.text_mode_to_lf(err).decode(self.codepage, "replace"))

    def set_denial(self, mode, scenario, work):
        """Denies ("deny") or allows again ("allow") the write rights on the
        scenario's "deny" keys, as a prompt without elevation meets them."""
        paths = [key.split("\\", 1)[1] for key in scenario.get("deny", [])]
        if paths:
            self.wine.command([self.regdeny, mode] + paths, os.path.join(work, mode))

    @staticmethod
    def text_mode_to_lf(raw):
        # A Windows console program's stdout is in text mode: every "\n" the
        # program prints arrives as "\r\n". Only that pair is folded back, so
        # a bare "\r" or "\n" would still show as a difference.
        return raw.replace(b"\r\n", b"\n")

    def leave_out_wines_own(self, keys):
        """Values that Wine keeps in a key of its own (one that could not be
        removed) are not the fixture's and not the tool's."""
        for folded, key in keys.items():
            base = self.wine.baseline.get(folded)
            if key is None or base is None:
                continue
            for name, value in list(key.values.items()):
                own = base.values.get(name)
                if own is not None and (own.type, own.data) == (value.type, value.data):
                    del key.values[name]

    @staticmethod
    def undo_import_terminators(keys, fixture):
        """Wine's `reg import` adds a terminator to string data given in hex
        without one (Windows stores such data as it is). A value still
        holding exactly what the import made of it is reported as the
        fixture gave it, so only the tool's own writes are compared."""
        for folded, key in keys.items():
            given = fixture.keys[folded]
            if key is None:
                continue
            for name, value in key.values.items():
                original = given.values.get(name)
                if original is None or original.type not in regfile.STRING_TYPES:
                    continue
                terminated = len(original.data) % 2 == 0 and original.data[-2:] == b"\0\0"
                if not terminated and value.type == original.type \
                        and value.data == original.data + b"\0\0":
                    value.data = original.data

    def summary(self):
        commands = self.wine.commands - self.counts[0]
        relaunched = self.wine.relaunched - self.counts[1]
        line = "%d Wine commands, %d failed in Wine's launcher and ran again" % (
            commands, relaunched)
        if self.prepared_prefix is not None:
            line += "; the prefix took %.1f s" % self.prepared_prefix
        return line

    def close(self):
        self.wine.close()


class HiveBackend(LinuxBackend):
    """The Linux build against the hives of an offline Windows installation.

    The fixture becomes the installation's SYSTEM and SOFTWARE hives, filled
    by hivex's own importer (tests/hive/hivefixture.py), and the hives are
    read back through hivex's exporter, so neither direction goes through
    netvane's code. Its CurrentControlSet is ControlSet001, as Select says.
    """

    name = "hive"

    def __init__(self, binary):
        super().__init__(binary)
        # hivex's importer takes a while, so each fixture is built once and
        # every scenario gets a copy of it.
        self.built = tempfile.mkdtemp(prefix="netvane-hives.")
        self.templates = {}

    def seed(self, fixture_path, workdir):
        template = self.templates.get(fixture_path)
        if template is None:
            template = os.path.join(self.built, str(len(self.templates)))
            hivefixture.build(template, [fixture_path])
            self.templates[fixture_path] = template
        root = os.path.join(workdir, "installation")
        shutil.copytree(template, root)
        return root

    def read_back(self, store):
        path = os.path.join(os.path.dirname(store), "exported.reg")
        with open(path, "wb") as f:
            f.write(b"\xff\xfe" + hivefixture.export(store).encode("utf-16-le"))
        return regfile.read(path, self.codepage)

    def close(self):
        shutil.rmtree(self.built, ignore_errors=True)
