"""prefix.py create|stop PREFIX CA_DIR: the Wine prefix of the end-to-end runs, trusting the test CA."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402

action, path, ca_dir = sys.argv[1:4]
prefix = harness.Prefix(path, ca_dir)
if action == "create":
    prefix.create()
else:
    prefix.stop()
