"""own_network.py COMMAND...: runs an end-to-end test's command in the network namespace this
process was started in (`unshare -m -n`, see CMakeLists.txt): loopback up, and the prefix's
wineserver, which creates every socket of its programs, restarted in here for the command's length.
Its runs then use the build's port on a loopback of their own, beside the runs on the other prefix.
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402

prefix = harness.Prefix(os.environ["QUORVEL_E2E_PREFIX"], os.environ["QUORVEL_E2E_CA"])
subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
prefix.restart_server()
try:
    # Tests that would make a namespace of their own find themselves in one already.
    status = subprocess.run(sys.argv[1:], env=dict(os.environ, QUORVEL_E2E_NETNS="1")).returncode
finally:
    prefix.stop_wineserver()
sys.exit(status)
