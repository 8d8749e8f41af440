"""Runs PROGRAM PTY 2 with a pseudo-terminal's far end writing one line; prints what it printed."""
import os
import subprocess
import sys
import time

master, slave = os.openpty()
child = subprocess.Popen([sys.argv[1], os.ttyname(slave), "2"], stdout=subprocess.PIPE)
time.sleep(0.7)
os.write(master, b"hello from the far end\n")
out, _ = child.communicate(timeout=30)
sys.stdout.write(out.decode("latin-1"))
sys.exit(child.returncode)
