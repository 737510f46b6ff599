"""The built netvane, run as a user runs it against a store: a fresh process
with nothing of the test machine's environment but PATH."""

import os
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(os.path.dirname(HERE), "fixtures")
NETVANE = os.environ.get("NETVANE_BINARY", os.path.join(os.path.dirname(os.path.dirname(HERE)),
                                                         "build", "netvane"))
CONFIG = "Windows/System32/config"


def run_raw(store, arguments, **extra):
    """(stdout bytes, exit status) of netvane with NETVANE_REGISTRY=store."""
    environment = {"PATH": "/usr/bin:/bin", "HOME": os.path.dirname(store),
                   "NETVANE_REGISTRY": store}
    environment.update(extra)
    result = subprocess.run([NETVANE] + list(arguments), env=environment, capture_output=True,
                            timeout=30)
    return result.stdout, result.returncode


def run(store, *arguments, **extra):
    """(stdout text, exit status)."""
    out, status = run_raw(store, arguments, **extra)
    return out.decode("utf-8"), status
