#!/usr/bin/env python3
"""Runs a command with the camera simulator serving on loopback TCP, UDP and raw UDP.

    visca_sims.py VISCA_SIM -- COMMAND [ARG...]

VISCA_SIM is the Linux visca-sim (Wine programs and Linux programs share 127.0.0.1). Each of
`--tcp 0`, `--udp 0` and `--udp-raw 0` runs with its standard output in a log file; the command
gets KELP_SIM_TCP, KELP_SIM_UDP and KELP_SIM_UDP_RAW as "PORT LOG", LOG as a Wine path (Z:...).
The simulators end with the command; the exit code is the command's. Without VISCA_SIM the
command runs without these variables (its simulator cases are then skipped).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time


def start(sim, scheme, folder):
    log = os.path.join(folder, scheme + ".log")
    out = open(log, "w")
    proc = subprocess.Popen([sim, "--" + scheme, "0"], stdin=subprocess.PIPE, stdout=out,
                            stderr=subprocess.DEVNULL)
    # The first line, "<scheme> <port>", comes once it listens.
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and proc.poll() is None:
        with open(log) as f:
            first = f.readline()
        if first.endswith("\n"):
            return proc, first.split()[1], log
        time.sleep(0.05)
    proc.kill()
    sys.exit("visca-sim --%s did not start" % scheme)


def main():
    if len(sys.argv) < 4 or sys.argv[2] != "--":
        sys.exit(__doc__)
    sim = sys.argv[1]
    env = dict(os.environ)
    procs = []
    folder = tempfile.mkdtemp(prefix="kelp-sims-")
    try:
        if os.access(sim, os.X_OK):
            for scheme in ("tcp", "udp", "udp-raw"):
                proc, port, log = start(sim, scheme, folder)
                procs.append(proc)
                env["KELP_SIM_" + scheme.upper().replace("-", "_")] = port + " Z:" + log
        else:
            print("visca_sims.py: no simulator at %s (build the default preset)" % sim,
                  file=sys.stderr)
        code = subprocess.call(sys.argv[3:], env=env)
    finally:
        for proc in procs:
            proc.kill()
            proc.wait()
        shutil.rmtree(folder, ignore_errors=True)
    sys.exit(code)


if __name__ == "__main__":
    main()
