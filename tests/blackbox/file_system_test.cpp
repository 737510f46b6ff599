// Stores when the file system works against them: files cut short, rewritten
// or replaced under a run, links, other users' files, locks that others hold,
// output that cannot be written. Each case runs the binary the way a user
// types the commands, and checks what it printed, its status and the files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "run_tool.h"

namespace {

const std::string kE100A = "SYSTEM\\CurrentControlSet\\Services\\E100A\\Parameters\\Tcpip";
const std::string kWireless =
    "SYSTEM\\CurrentControlSet\\Services\\{6F1A2B3C-4D5E-6F70-8192-A3B4C5D6E7F8}\\Parameters\\Tcpip";

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string replacedAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Runs `script` with $D the scratch directory, readable by every user.
class FileSystem : public ::testing::Test {
 protected:
  void SetUp() override { chmod(scratch.path().c_str(), 0755); }
  ToolRun run(const std::string& script, const std::map<std::string, std::string>& extra = {}) {
    std::map<std::string, std::string> environment = extra;
    environment["D"] = scratch.path();
    return runScript(script, environment);
  }
  // `text` with $D spelled out and #N as the length of the line before it,
  // the status every message gives.
  std::string expand(const std::string& text) {
    std::string out = replacedAll(text, "$D", scratch.path());
    for (size_t at = out.find("#N"); at != std::string::npos; at = out.find("#N")) {
      size_t lineStart = out.rfind('\n', out.rfind('\n', at) - 1);
      lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
      out.replace(at, 2, std::to_string(out.find('\n', lineStart) - lineStart + 1));
    }
    return out;
  }
  ScratchDir scratch;
};

// The machine with 2 MB of keys before its own: the cards lie in pages past
// the first, read only when the run uses them.
std::string largeMachine() {
  const std::string machine = fixture("machine.reg");
  const size_t body = machine.find('\n') + 1;
  return machine.substr(0, body) + "\n" + fillerSections(2 << 20, "\n") + machine.substr(body);
}

// Another program cuts, rewrites or replaces the store, or points its link
// elsewhere, while a run reads it or changes it: the run says so and writes
// nothing. Another run's change, made before this run's first, is read anew
// and kept.
TEST_F(FileSystem, AStoreChangedUnderARunIsNeverWritten) {
  enum Left { kCut, kFixture, kAsItWas, kBothRuns };
  struct Case {
    const char* name;
    const char* stop;  // where the run stops for the other program
    const char* arguments;
    const char* otherProgram;
    Left store;  // what store.reg holds afterwards
  };
  const Case cases[] = {
      {"cut short while it is indexed", "mapped", "", "truncate -s 1000 $D/store.reg", kCut},
      {"cut short while it is read", "locked", "1 10.0.0.5", "truncate -s 1000 $D/store.reg", kCut},
      {"rewritten in place", "locked", "1 10.0.0.5", "cat $FX/machine.reg > $D/store.reg", kFixture},
      {"replaced by rename", "locked", "1 10.0.0.5", "cp $FX/machine.reg $D/new && mv $D/new $D/store.reg",
       kFixture},
      {"its link pointed elsewhere", "locked", "1 10.0.0.5", "ln -s $D/victim $D/l && mv -T $D/l $D/link.reg",
       kAsItWas},
      {"replaced by another run before the first change", "opened", "1 10.0.0.5",
       "NETVANE_REGISTRY=$D/link.reg $NV 2 10.0.0.6", kBothRuns},
  };
  const std::string before = largeMachine();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(scratch.file("store.reg"), before);
    writeFile(scratch.file("victim"), "important\n");
    unlink(scratch.file("link.reg").c_str());
    ASSERT_EQ(symlink(scratch.file("store.reg").c_str(), scratch.file("link.reg").c_str()), 0);
    ToolRun r = run(std::string("NETVANE_TEST_STOP=") + c.stop + " NETVANE_REGISTRY=$D/link.reg $NV " +
                    c.arguments + " & p=$!; stopped $p; " + c.otherProgram + "; kill -CONT $p; wait $p");
    const std::string message =
        c.store == kBothRuns ? "" : expand("Registry store $D/link.reg changed while netvane was reading it\n");
    EXPECT_TRUE(endsWith(r.out, message)) << r.out << r.err;
    if (std::string(c.stop) != "opened") {
      EXPECT_EQ(r.out, message);
    }
    EXPECT_EQ(r.status, static_cast<int>(message.size()));
    if (c.store == kBothRuns) {
      EXPECT_EQ(storedText(scratch.file("store.reg"), kE100A, "IPAddress"), "10.0.0.5");
      EXPECT_EQ(storedText(scratch.file("store.reg"), kWireless, "IPAddress"), "10.0.0.6");
    } else {
      const std::string expected = c.store == kCut ? before.substr(0, 1000) : c.store == kFixture ? fixture("machine.reg") : before;
      EXPECT_TRUE(readFile(scratch.file("store.reg")) == expected);
    }
    EXPECT_EQ(readFile(scratch.file("victim")), "important\n");
    EXPECT_EQ(directoryEntries(scratch.path()), (std::vector<std::string>{"link.reg", "store.reg", "victim"}));
  }
}

// Root keeps a store's owner; nobody else writes a file its mode protects,
// though it may still list it.
TEST_F(FileSystem, OwnersAndReadOnlyFilesAreTheUsers) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root, to run commands as nobody and to own files for it";
  struct Case {
    const char* name;
    const char* script;
    const char* out;
    bool changed;
  };
  const std::string store = "rm -f $D/s.reg; cp $FX/machine.reg $D/s.reg; ";
  const std::string after = "; echo status=$?; stat -c '%U:%G %a' $D/s.reg";
  const Case cases[] = {
      {"root changes nobody's store", "chown nobody:nogroup $D/s.reg; chmod 640 $D/s.reg; "
       "NETVANE_REGISTRY=$D/s.reg $NV 1 10.0.0.5", "status=0\nnobody:nogroup 640\n", true},
      {"root changes a read-only store", "chmod 444 $D/s.reg; NETVANE_REGISTRY=$D/s.reg $NV 1 10.0.0.5",
       "status=0\nroot:root 444\n", true},
      {"nobody's own read-only store", "chown nobody $D/s.reg $D; chmod 444 $D/s.reg; "
       "NETVANE_REGISTRY=$D/s.reg $AS $NV > /dev/null; echo listing=$?; NETVANE_REGISTRY=$D/s.reg $AS $NV 1 10.0.0.5",
       "listing=0\nRegistry store $D/s.reg is read-only\nstatus=#N\nnobody:root 444\n", false},
      {"root's store in a directory anyone may write", "chmod 777 $D; NETVANE_REGISTRY=$D/s.reg $AS $NV 1 10.0.0.5",
       "Registry store $D/s.reg is read-only\nstatus=#N\nroot:root 644\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    chown(scratch.path().c_str(), 0, 0);
    chmod(scratch.path().c_str(), 0755);
    ToolRun r = run(store + c.script + after);
    EXPECT_EQ(r.out, expand(c.out)) << r.err;
    EXPECT_EQ(storedText(scratch.file("s.reg"), kE100A, "IPAddress"), c.changed ? "10.0.0.5" : "10.0.0.2");
    EXPECT_EQ(directoryEntries(scratch.path()), std::vector<std::string>{"s.reg"});
  }
}

// Only a run that changes a store waits for another, only for a user who
// may write the store, and then for a bounded time that the waiting run
// tells of. A listing never waits.
TEST_F(FileSystem, OnlyThoseWhoMayWriteAStoreCanHoldUpARun) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root, to run commands as nobody";
  struct Case {
    const char* name;
    std::string script;
    const char* out;
    const char* err;
  };
  const std::string holding = "NETVANE_TEST_STOP=locked NETVANE_REGISTRY=$D/s.reg $NV 2 10.0.0.6 & a=$!; stopped $a; ";
  const std::string released = "; kill -CONT $a; wait $a; echo first=$?";
  const Case cases[] = {
      {"a reader's lock on the store",
       "mkfifo -m 666 $D/held; $AS sh -c 'exec 9<$D/s.reg; flock -s 9; echo > $D/held; exec sleep 60' & r=$!; "
       "read x < $D/held; NETVANE_REGISTRY=$D/s.reg $NV 1 10.0.0.5; echo status=$?; kill $r; rm $D/held",
       "status=0\n", ""},
      {"a writer's run, for longer than the wait",
       holding + "NETVANE_LOCK_WAIT=2 NETVANE_REGISTRY=$D/s.reg $NV 1 10.0.0.5; echo status=$?" + released,
       "Cannot lock registry store $D/s.reg: another run held it for 2 s\nstatus=#N\nfirst=0\n",
       "netvane: waiting for another run to finish with registry store $D/s.reg (at most 2 s)\n"},
      {"a reader's listing beside a writer's run",
       holding + "NETVANE_REGISTRY=$D/s.reg $AS $NV > /dev/null; echo listing=$?" + released,
       "listing=0\nfirst=0\n", ""},
      {"a writer's listing beside a writer's run",
       holding + "NETVANE_LOCK_WAIT=2 NETVANE_REGISTRY=$D/s.reg $NV > $D/list; echo listing=$?; tail -n 2 $D/list; "
                 "rm $D/list" + released,
       "listing=0\n3:\tLegacy ISA Adapter\n\tName: LegacyNic\nfirst=0\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(scratch.file("s.reg"), fixture("machine.reg"));
    chmod(scratch.file("s.reg").c_str(), 0644);
    ToolRun r = run(c.script);
    EXPECT_EQ(r.out, expand(c.out));
    EXPECT_EQ(r.err, expand(c.err));
    // Only a run that waited out the 60 s a run waits unless told otherwise
    // takes this long; a loaded machine adds seconds, not tens of them.
    EXPECT_LT(r.seconds, 45.0);
    EXPECT_EQ(directoryEntries(scratch.path()), std::vector<std::string>{"s.reg"});
  }
}

// Output that never reached its reader is a failure, said where it can be.
TEST_F(FileSystem, StandardOutputThatCannotBeWrittenFailsTheRun) {
  struct Case {
    const char* arguments;
    const char* err;  // and its length is the status
  };
  const Case cases[] = {
      {"> /dev/full", "Cannot write standard output: No space left on device\n"},
      {">&-", "Cannot write standard output: Bad file descriptor\n"},
      {"1 10.0.0.300 > /dev/full", "Cannot write standard output: No space left on device\n"},
      {"1 10.0.0.5 >&-", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    writeFile(scratch.file("s.reg"), fixture("machine.reg"));
    ToolRun r = run(std::string("NETVANE_REGISTRY=$D/s.reg $NV ") + c.arguments);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, static_cast<int>(strlen(c.err)));
    EXPECT_EQ(directoryEntries(scratch.path()), std::vector<std::string>{"s.reg"});
  }
}

// The default store is made only where nothing is, in the user's home, and
// a failure to make it names the file.
TEST_F(FileSystem, TheDefaultStoreIsMadeOnlyWhereNothingIs) {
  if (!runningAsRoot() || system("unshare -m true 2>/dev/null") != 0) {
    GTEST_SKIP() << "needs root and mount namespaces (unshare -m), to give a run a home of its own";
  }
  const std::string atRoot = "/.local/state/netvane/registry.reg";
  const bool rootHadOne = access(atRoot.c_str(), F_OK) == 0;
  const std::string state = "$D/h/.local/state/netvane";
  struct Case {
    const char* name;
    std::string script;
    std::string out;
  };
  const Case cases[] = {
      {"a link to a share that is not mounted",
       "mkdir -p " + state + "; ln -s /nonexistent-share/registry.reg " + state + "/registry.reg; "
       "HOME=$D/h $NV; echo status=$?; ls " + state + "; readlink " + state + "/registry.reg",
       "Registry store " + state + "/registry.reg is a link to /nonexistent-share/registry.reg, which does not "
       "exist\nstatus=#N\nregistry.reg\n/nonexistent-share/registry.reg\n"},
      {"a full disk", "mkdir $D/h; unshare -m sh -c 'mount -t tmpfs -o size=4k none $D/h && HOME=$D/h $NV; "
       "echo status=$?; ls -A " + state + "'",
       "Cannot write registry store " + state + "/registry.reg: No space left on device\nstatus=#N\n"},
      {"no HOME, as root", "unshare -m sh -c 'mount -t tmpfs none \"$0\" && env -i $NV > /dev/null; echo status=$?; "
       "ls \"$0\"/.local/state/netvane' \"$(getent passwd 0 | cut -d: -f6)\"",
       "status=0\nregistry.reg\n"},
      {"no HOME and no home", "env -i /usr/bin/setpriv --reuid=54321 --regid=54321 --clear-groups $NV; echo status=$?",
       "No registry store: HOME is not set and user 54321 has no home directory; name a store with "
       "NETVANE_REGISTRY\nstatus=#N\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ToolRun r = run(c.script);
    EXPECT_EQ(r.out, expand(c.out)) << r.err;
    if (!rootHadOne && access(atRoot.c_str(), F_OK) == 0) {
      ADD_FAILURE() << "a store at the root of the file system";
      EXPECT_EQ(system("rm -rf /.local/state/netvane; rmdir /.local/state /.local 2>/dev/null; true"), 0);
    }
    EXPECT_EQ(system(("rm -rf '" + scratch.file("h") + "'").c_str()), 0);
  }
}

// A store whose name fills a directory entry can still be changed.
TEST_F(FileSystem, AStoreNameOfAnyLengthCanBeChanged) {
  for (size_t length : {200, 248, 249, 254, 255}) {
    SCOPED_TRACE(length);
    const std::string name(length, 'n');
    writeFile(scratch.file(name), fixture("machine.reg"));
    ToolRun r = runWithStore(scratch.file(name), {"1", "10.0.0.5"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(storedText(scratch.file(name), kE100A, "IPAddress"), "10.0.0.5");
    EXPECT_EQ(directoryEntries(scratch.path()), std::vector<std::string>{name});
    unlink(scratch.file(name).c_str());
  }
}

}  // namespace
