"""The folders a Wine prefix gives its programs, as scripts/wine-prefix.sh asked the prefix for them:
they differ between Wine releases (docs/building.md), so no test assumes one."""

import os
from collections import namedtuple

# Windows paths as the programs see them, then the same folders as Unix paths.
Folders = namedtuple("Folders", "windows_temp windows_local_app_data temp local_app_data")


def prefix_folders(prefix):
    with open(os.path.join(prefix, "quorvel-folders"), encoding="utf-8") as f:
        return Folders(*f.read().splitlines())
