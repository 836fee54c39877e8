#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the benchmarks and the demo need, by names
# that Debian 12 and Debian 13 both have. Idempotent: a second run installs nothing new.
set -euo pipefail
packages=(
  cmake ninja-build g++ clang libclang-rt-dev clang-format
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools
  wine wine64 xvfb xauth x11-utils x11-apps xdotool libgl1-mesa-dri
  imagemagick python3 openssl nginx-light curl e2fsprogs iproute2 util-linux osslsigncode icoutils
  strace
  googletest libbenchmark-dev
  libssl-dev git
  debootstrap  # scripts/other-debian.sh makes the other release's root with it
  apache2 lighttpd lighttpd-mod-openssl caddy haproxy
  winbind  # Samba's ntlm_auth: Wine's NTLM package runs it for the Windows logon to a proxy
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
if [ ${#missing[@]} -gt 0 ]; then
  "${sudo_cmd[@]}" apt-get update
  # The web servers are for tests that start their own copies on loopback: their packages must not
  # start system services on ports 80 and 443. A policy-rc.d that refuses every start does that for
  # the install; one that is already there (a container's) is left as it is.
  policy=/usr/sbin/policy-rc.d
  own_policy=false
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$policy" >/dev/null
    "${sudo_cmd[@]}" chmod 755 "$policy"
    own_policy=true
  fi
  status=0
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends \
    "${missing[@]}" || status=$?
  if $own_policy; then "${sudo_cmd[@]}" rm -f "$policy"; fi
  [ $status -eq 0 ] || exit $status
fi
# On systemd the units are still enabled for the next boot; keep them off.
if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
  for unit in apache2 lighttpd caddy haproxy winbind; do
    "${sudo_cmd[@]}" systemctl disable --now "$unit" >/dev/null 2>&1 || true
  done
fi
