#!/usr/bin/env bash
# make_test_ca.sh OUTDIR [WINEPREFIX [PROGRAM.exe...]]
# Generates a throw-away certificate authority and the server certificates the TLS tests need, then
# (when WINEPREFIX is given) trusts the CA in that Wine prefix only, through the current user's Root
# store in the registry. The host's own trust store is never touched. Each PROGRAM.exe named after
# the prefix is made to see Windows 7 in that prefix (a per-program Wine setting).
#
# OUTDIR afterwards holds (PEM; *.key are unencrypted private keys):
#   ca.pem                    the trusted test root
#   intermediate.pem          an intermediate signed by the root
#   localhost.pem/.key        leaf for DNS:localhost, IP:127.0.0.1, IP:::1 signed by the root
#   localhost-chain.pem/.key  leaf for the same names signed by the intermediate, followed by it
#   localhost-inter-leaf.pem/.key  that leaf alone (no intermediate)
#   other-host.pem/.key       leaf for DNS:other.invalid signed by the root
#   self-signed.pem/.key      self-signed leaf for localhost
#   expired.pem/.key          leaf for localhost signed by the root, valid 2020-01-01..2021-01-01
#   unknown-ca.pem            a root nobody trusts
#   unknown-chain.pem/.key    leaf for localhost signed by it, followed by the untrusted root
#   unknown-leaf.pem/.key     that leaf alone
#   ca.der                    the root in DER
#   trust.reg                 the registry import that trusts ca.pem
set -euo pipefail
out=$1
prefix=${2:-}
shift $(($# < 2 ? $# : 2))
mkdir -p "$out"
cd "$out"

# Reuse the certificates of this test run when they already exist and the root is still valid.
if [ ! -f trust.reg ] || ! openssl x509 -in ca.pem -noout -checkend 86400 >/dev/null 2>&1; then
  rm -rf ./*
  days=30
  subj() { echo "/O=Quorvel Test/CN=$1"; }
  # RSA keys: with EC keys Wine 8 now and then rejected a freshly generated chain with
  # TRUST_E_CERT_SIGNATURE although openssl verified it (a signature-encoding case, it seems).
  key() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1" 2>/dev/null; }

  cat >ext.cnf <<'CNF'
[intermediate]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[localhost]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[other]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.invalid
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

  make_root() {  # name cn
    key "$1.key"
    openssl req -new -x509 -key "$1.key" -subj "$(subj "$2")" -days $days -sha256 \
      -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
      -out "$1.pem"
  }
  sign() {  # name cn issuer extension [extra x509 args...]
    local name=$1 cn=$2 issuer=$3 ext=$4
    shift 4
    key "$name.key"
    openssl req -new -key "$name.key" -subj "$(subj "$cn")" -out "$name.csr"
    openssl x509 -req -in "$name.csr" -CA "$issuer.pem" -CAkey "$issuer.key" -CAcreateserial \
      -sha256 -extfile ext.cnf -extensions "$ext" -out "$name.pem" "$@" 2>/dev/null
    rm -f "$name.csr" "$issuer.srl"
  }

  make_root ca "Quorvel Test Root"
  make_root unknown-ca "Quorvel Untrusted Root"
  sign intermediate "Quorvel Test Intermediate" ca intermediate -days $days
  sign localhost localhost ca localhost -days $days
  sign other-host other.invalid ca other -days $days
  sign localhost-inter-leaf localhost intermediate localhost -days $days
  cp localhost-inter-leaf.key localhost-chain.key
  cat localhost-inter-leaf.pem intermediate.pem >localhost-chain.pem
  sign unknown-leaf localhost unknown-ca localhost -days $days
  cp unknown-leaf.key unknown-chain.key
  cat unknown-leaf.pem unknown-ca.pem >unknown-chain.pem

  # Self-signed leaf: its own issuer, not a CA.
  key self-signed.key
  openssl req -new -x509 -key self-signed.key -subj "$(subj localhost)" -days $days -sha256 \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -addext "extendedKeyUsage=serverAuth" \
    -out self-signed.pem

  # Expired leaf: `openssl ca` is the tool of this OpenSSL that takes explicit validity dates.
  mkdir -p ca-db
  : >ca-db/index.txt
  echo 1000 >ca-db/serial
  cat >ca.cnf <<CNF
[ca]
default_ca = test
[test]
database = ca-db/index.txt
serial = ca-db/serial
new_certs_dir = ca-db
certificate = ca.pem
private_key = ca.key
default_md = sha256
policy = anything
unique_subject = no
copy_extensions = none
[anything]
commonName = supplied
organizationName = optional
CNF
  key expired.key
  openssl req -new -key expired.key -subj "$(subj localhost)" -out expired.csr
  openssl ca -batch -config ca.cnf -extfile ext.cnf -extensions localhost -notext \
    -startdate 20200101000000Z -enddate 20210101000000Z -in expired.csr -out expired.pem 2>/dev/null
  rm -rf expired.csr ca-db ca.cnf ext.cnf ca.der

  # The registry form of a trusted root: value "Blob" holds the certificate as a serialized
  # property (id 32 = the encoded certificate, reserved 1, length as 4 bytes little-endian, DER).
  openssl x509 -in ca.pem -outform DER -out ca.der
  python3 - ca.der trust.reg <<'PY'
import hashlib, struct, sys
der = open(sys.argv[1], "rb").read()
thumb = hashlib.sha1(der).hexdigest().upper()
blob = struct.pack("<III", 32, 1, len(der)) + der
hexes = ",".join(f"{b:02x}" for b in blob)
lines, line = [], '"Blob"=hex:'
for part in hexes.split(","):
    if len(line) + len(part) + 2 > 78:
        lines.append(line + ",\\")
        line = "  "
        line += part
    else:
        line += ("" if line.endswith(":") or line == "  " else ",") + part
lines.append(line)
key = "HKEY_CURRENT_USER\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\" + thumb
with open(sys.argv[2], "w", newline="\r\n") as f:
    f.write("REGEDIT4\n\n[" + key + "]\n" + "\n".join(lines) + "\n\n")
PY
fi

if [ -n "$prefix" ]; then
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  cp trust.reg import.reg
  for program in "$@"; do
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\%s]\r\n"Version"="win7"\r\n\r\n' \
      "$program" >>import.reg
  done
  DISPLAY= wine regedit /S "$(winepath -w "$PWD/import.reg" 2>/dev/null)" >/dev/null 2>&1
  rm -f import.reg
fi
