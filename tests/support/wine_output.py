"""A Windows program's output as read from Wine: the lines Debian's wine launcher adds on a
machine without 32-bit Wine are not the program's, nor is the line Wine 8's ntdll writes when a
thread's request to wineserver meets the process already torn down at its exit ("wine client
error:6e8: sendmsg: Socket operation on non-socket")."""

LAUNCHER_NOISE = ("it looks like wine32 is missing", "multiarch needs to be enabled",
                  'execute "dpkg --add-architecture', "apt-get install wine32",
                  "wine client error:")


def is_noise(line):
    """True for a launcher line (text or bytes)."""
    if isinstance(line, bytes):
        return any(noise.encode() in line for noise in LAUNCHER_NOISE)
    return any(noise in line for noise in LAUNCHER_NOISE)


def program_lines(data):
    """The program's non-empty lines of UTF-8 output, as text."""
    return [line for line in data.decode("utf-8").splitlines() if line and not is_noise(line)]


def without_noise(data):
    """The program's output bytes as written, line ends included."""
    return b"".join(line for line in data.splitlines(keepends=True) if not is_noise(line))
