#!/usr/bin/env bash
# Builds QuorvelSetup.exe as it is shipped to players, and signs it when given a certificate.
#
#   bash scripts/release.sh --url https://downloads.example.com/Download/Micro/QuorvelLauncher.exe \
#       [--version 1.4.2] [--sign-pfx cert.pfx --sign-pass-file pass.txt [--timestamp-url URL]]
#       [--verify-ca ca.pem] [--launcher-publisher NAME]... [--launcher-issuer SHA256]...
#       [--mirror-url URL]...
#       [--banner banner.png] [--icon app.ico]
#       [--build-dir DIR] [--dist DIR] [-DQUORVEL_COMPANY_NAME=... ...]
#
# --launcher-publisher NAME (repeatable): the program installs only a launcher whose Authenticode
# signature chains to a root players' Windows trusts and whose signer's common name is one of the
# NAMEs (QUORVEL_LAUNCHER_PUBLISHERS); without it, any launcher with the announced checksum.
#
# --launcher-issuer SHA256 (repeatable, with --launcher-publisher): the signer's chain must also hold
# the CA certificate of that SHA-256 fingerprint (64 hex digits; QUORVEL_LAUNCHER_ISSUERS), so the
# right name from another CA is refused. `openssl x509 -in ca.pem -outform DER | sha256sum` gives it.
#
# --mirror-url URL (repeatable): another host serving the same file with the same checksum header
# (QUORVEL_MIRROR_URLS). The program always asks --url first; after a failed attempt it asks the
# next mirror, in the order given, and comes back to --url after the last. quorvel-check with the
# same --mirror-url options tells whether every host serves the same file.
#
# --banner and --icon brand the program with the publisher's own window picture and icon (default:
# the placeholders in resources/); both are checked before anything is built (README, "Your banner
# and icon").
#
# Makes, in dist/ (or --dist):
#   QuorvelSetup.exe         the program: stripped, with a version resource, signed when asked
#   QuorvelSetup.exe.debug   its debug information, which the exe names in a debug link (keep it
#                            for crash analysis; do not ship it)
#   QuorvelSetup.exe.crc64   the exe's CRC-64/XZ in decimal, the x-oss-hash-crc64ecma value should
#                            the exe itself be served by the download server
#   SHA256SUMS               SHA-256 of the exe and of the debug file
#
# The build is reproducible: the same commit and options give the same bytes in any directory, at any
# time. SOURCE_DATE_EPOCH (default: the commit's time) gives the copyright year.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
url=
version=
pfx=
pass_file=
timestamp_url=
verify_ca=/etc/ssl/certs/ca-certificates.crt
build_dir=$source_dir/build/release
dist=$source_dir/dist
defines=()
artwork=()
publishers=()
issuers=()
mirrors=()

fail() {
  echo "release.sh: $*" >&2
  exit 1
}

need_value() {  # need_value OPTION COUNT
  [ "$2" -ge 2 ] || fail "$1 needs a value"
}

while [ $# -gt 0 ]; do
  case $1 in
    --url) need_value "$1" $#; url=$2; shift 2 ;;
    --version) need_value "$1" $#; version=$2; shift 2 ;;
    --sign-pfx) need_value "$1" $#; pfx=$2; shift 2 ;;
    --sign-pass-file) need_value "$1" $#; pass_file=$2; shift 2 ;;
    --timestamp-url) need_value "$1" $#; timestamp_url=$2; shift 2 ;;
    --verify-ca) need_value "$1" $#; verify_ca=$2; shift 2 ;;
    --build-dir) need_value "$1" $#; build_dir=$2; shift 2 ;;
    --dist) need_value "$1" $#; dist=$2; shift 2 ;;
    --banner) need_value "$1" $#; artwork+=("-DQUORVEL_BANNER_PNG=$(realpath -m "$2")"); shift 2 ;;
    --icon) need_value "$1" $#; artwork+=("-DQUORVEL_ICON=$(realpath -m "$2")"); shift 2 ;;
    --launcher-publisher)
      need_value "$1" $#
      case $2 in
        "" | *";"*) fail "--launcher-publisher '$2': give the signer's common name (not empty, no ';')" ;;
      esac
      publishers+=("$2"); shift 2 ;;
    --launcher-issuer)
      need_value "$1" $#
      [[ $2 =~ ^[0-9a-fA-F]{64}$ ]] ||
        fail "--launcher-issuer '$2': give the CA certificate's SHA-256 fingerprint, 64 hex digits"
      issuers+=("$2"); shift 2 ;;
    --mirror-url)
      need_value "$1" $#
      case $2 in
        "" | *";"*) fail "--mirror-url '$2': give the mirror's full https:// address (no ';')" ;;
      esac
      mirrors+=("$2"); shift 2 ;;
    -D?*) defines+=("$1"); shift ;;
    -h | --help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) fail "unknown argument '$1' (see --help)" ;;
  esac
done

[ -n "$url" ] || fail "--url is required: the launcher's https:// download address"
if [ -n "$pfx" ]; then
  [ -r "$pfx" ] || fail "cannot read the certificate file '$pfx'"
  [ -n "$pass_file" ] || fail "--sign-pfx needs --sign-pass-file (the file holding the PFX's password)"
  [ -r "$pass_file" ] || fail "cannot read the password file '$pass_file'"
  [ -r "$verify_ca" ] || fail "cannot read the CA certificates '$verify_ca' to verify the signature with"
  command -v osslsigncode >/dev/null || fail "osslsigncode is missing (bash scripts/setup.sh installs it)"
elif [ -n "$pass_file" ] || [ -n "$timestamp_url" ]; then
  fail "--sign-pass-file and --timestamp-url need --sign-pfx"
fi
[ ${#issuers[@]} -eq 0 ] || [ ${#publishers[@]} -gt 0 ] ||
  fail "--launcher-issuer needs --launcher-publisher: the CAs only narrow down the signers' names"

# Paths as given, from here on relative to the sources: CMake finds its presets there.
build_dir=$(realpath -m "$build_dir")
dist=$(realpath -m "$dist")
[ -z "$pfx" ] || pfx=$(realpath "$pfx")
[ -z "$pass_file" ] || pass_file=$(realpath "$pass_file")
verify_ca=$(realpath -m "$verify_ca")
cd "$source_dir"

if [ -z "${SOURCE_DATE_EPOCH:-}" ] && epoch=$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null); then
  export SOURCE_DATE_EPOCH=$epoch
fi

# ccache, when used, must pass the compiler absolute paths, which the build maps to fixed names:
# the relative paths its base_dir setting makes would name the build's own location.
export CCACHE_BASEDIR=

# --fresh: options left in the cache by an earlier release never carry over into this one.
cmake --preset release -B "$build_dir" --fresh -DQUORVEL_DOWNLOAD_URL="$url" \
  -DQUORVEL_VERSION="$version" "${artwork[@]}" \
  -DQUORVEL_LAUNCHER_PUBLISHERS="$(IFS=';'; echo "${publishers[*]}")" \
  -DQUORVEL_LAUNCHER_ISSUERS="$(IFS=';'; echo "${issuers[*]}")" \
  -DQUORVEL_MIRROR_URLS="$(IFS=';'; echo "${mirrors[*]}")" "${defines[@]}" >/dev/null
# The build's progress goes to standard error; standard output is the list of what was made.
cmake --build "$build_dir" --target QuorvelSetup -j "$(nproc)" >&2

version=$(sed -n 's/^QUORVEL_EFFECTIVE_VERSION:INTERNAL=//p' "$build_dir/CMakeCache.txt")
mkdir -p "$dist"
# Nothing from an earlier release stays behind to be mistaken for this one's.
rm -f "$dist/QuorvelSetup.exe" "$dist/QuorvelSetup.exe.debug" "$dist/QuorvelSetup.exe.crc64" \
  "$dist/SHA256SUMS"
work=$(mktemp -d "$dist/.release.XXXXXX")
trap 'rm -rf "$work"' EXIT

# objcopy writes the current time into the PE header unless SOURCE_DATE_EPOCH says otherwise; 0 is
# what the linker writes (no time stamp).
objcopy=(env SOURCE_DATE_EPOCH=0 x86_64-w64-mingw32-objcopy)
"${objcopy[@]}" --only-keep-debug "$build_dir/QuorvelSetup.exe" "$work/QuorvelSetup.exe.debug"
# The debug link names the debug file and carries its CRC-32, so the directory it is made in does
# not matter.
(cd "$work" && "${objcopy[@]}" --strip-all --add-gnu-debuglink=QuorvelSetup.exe.debug \
  "$build_dir/QuorvelSetup.exe" QuorvelSetup.exe)

signed="unsigned"
if [ -n "$pfx" ]; then
  sign=(osslsigncode sign -pkcs12 "$pfx" -readpass "$pass_file" -h sha256)
  [ -z "$timestamp_url" ] || sign+=(-ts "$timestamp_url")
  "${sign[@]}" -in "$work/QuorvelSetup.exe" -out "$work/QuorvelSetup.signed.exe" >/dev/null ||
    fail "signing failed"
  osslsigncode verify -CAfile "$verify_ca" -in "$work/QuorvelSetup.signed.exe" >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log" >&2; fail "the signed file does not verify against $verify_ca"; }
  mv "$work/QuorvelSetup.signed.exe" "$work/QuorvelSetup.exe"
  signed="signed (Authenticode, SHA-256${timestamp_url:+, timestamped})"
fi

"$build_dir/host-tools/crc64sum" "$work/QuorvelSetup.exe" >"$work/QuorvelSetup.exe.crc64"
(cd "$work" && sha256sum QuorvelSetup.exe QuorvelSetup.exe.debug >SHA256SUMS)
mv "$work/QuorvelSetup.exe.debug" "$work/QuorvelSetup.exe.crc64" "$work/SHA256SUMS" "$dist/"
mv "$work/QuorvelSetup.exe" "$dist/"

size() { stat -c %s "$1"; }
echo "Release $version for $url:"
echo "  $dist/QuorvelSetup.exe  $(size "$dist/QuorvelSetup.exe") bytes, $signed"
echo "  $dist/QuorvelSetup.exe.debug  $(size "$dist/QuorvelSetup.exe.debug") bytes, debug information (keep, do not ship)"
echo "  $dist/QuorvelSetup.exe.crc64  CRC-64/XZ $(cat "$dist/QuorvelSetup.exe.crc64")"
echo "  $dist/SHA256SUMS"
sed 's/^/    /' "$dist/SHA256SUMS"
if [ ${#mirrors[@]} -gt 0 ]; then
  printf '  mirrors, in turn after %s:' "$url"
  printf ' %s' "${mirrors[@]}"
  echo
fi
if [ ${#publishers[@]} -gt 0 ]; then
  printf '  installs only a launcher signed by:'
  printf ' "%s"' "${publishers[@]}"
  echo
fi
if [ ${#issuers[@]} -gt 0 ]; then
  printf '  through a chain holding the CA of SHA-256:'
  printf ' %s' "${issuers[@]}"
  echo
fi
