#!/usr/bin/env python3
"""Runs a command with pseudo-terminals linked as serial ports of the Wine prefix.

    pty_ports.py N[,N...] -- COMMAND [ARG...]

Each port N gets a pty whose far end sends back every byte it receives (a loopback plug), linked
as $WINEPREFIX/dosdevices/comN, where Wine looks for COMN. The links go when the command ends;
the exit code is the command's.
"""
import os
import subprocess
import sys
import threading
import tty


def echo(master):
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:
            return
        if not data:
            return
        os.write(master, data)


def main():
    if len(sys.argv) < 4 or sys.argv[2] != "--":
        sys.exit(__doc__)
    dosdevices = os.path.join(os.environ["WINEPREFIX"], "dosdevices")
    links = []
    for n in sys.argv[1].split(","):
        master, slave = os.openpty()
        tty.setraw(master)
        link = os.path.join(dosdevices, "com" + n)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(os.ttyname(slave), link)
        links.append(link)
        # The slave stays open here too, so the far end never sees a hang-up between opens.
        threading.Thread(target=echo, args=(master,), daemon=True).start()
    try:
        code = subprocess.call(sys.argv[3:])
    finally:
        for link in links:
            os.remove(link)
    sys.exit(code)


if __name__ == "__main__":
    main()
