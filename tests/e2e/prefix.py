"""prefix.py create|stop PREFIX CA_DIR: the Wine prefix of the end-to-end runs, trusting the test CA."""

import sys

import harness

action, path, ca_dir = sys.argv[1:4]
prefix = harness.Prefix(path, ca_dir)
if action == "create":
    prefix.create()
else:
    prefix.stop()
