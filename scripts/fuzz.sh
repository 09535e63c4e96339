#!/usr/bin/env bash
# Builds and runs one libFuzzer target under AddressSanitizer for a given time.
#
#   scripts/fuzz.sh NAME SECONDS     NAME: cert, container or policy
#
# The corpus grows in build/fuzz/corpus/NAME across runs; seeds (certificates, packages and
# definition files made by qzpack and the openssl command line) are made fresh for every run.
# A crash leaves its input in build/fuzz/artifacts/NAME/ and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 2 ] || [[ ! "$1" =~ ^(cert|container|policy)$ ]]; then
  echo "usage: scripts/fuzz.sh cert|container|policy SECONDS" >&2
  exit 2
fi
name=$1
seconds=$2

scripts/bootstrap.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "fuzz_$name" qzpack

build=build/fuzz
corpus=$build/corpus/$name
artifacts=$build/artifacts/$name
seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
mkdir -p "$corpus" "$artifacts" "$seeds/in"

qzpack=$PWD/$build/bin/qzpack
(
  cd "$seeds"
  export ASAN_OPTIONS=detect_leaks=0
  "$qzpack" ca --cert ca.pem --key ca.key >/dev/null
  "$qzpack" cert --ca ca.pem --ca-key ca.key --cert fs.crt --key fs.key >/dev/null
  "$qzpack" cert --tls --ca ca.pem --ca-key ca.key --cert tls.crt --key tls.key --dns localhost >/dev/null
  case "$name" in
    cert)
      for c in ca.pem fs.crt tls.crt; do
        openssl x509 -in "$c" -outform DER -out "in/$c.der"
        cp "$c" "in/$c"
      done
      "$qzpack" encrypt-cert --in fs.crt --out in/fs.enc
      ;;
    container)
      printf 'module text\n' >a.txt
      head -c 20000 /dev/urandom >b.bin
      "$qzpack" sign --key fs.key --out in/signed.qz a.txt b.bin
      # Payloads as the target wraps them: local entries with zlib and gzip streams.
      python3 - <<'PY'
import struct, zlib
def entry(name, data, wbits=15):
    c = zlib.compressobj(9, zlib.DEFLATED, wbits)
    packed = c.compress(data) + c.flush()
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0x21, zlib.crc32(data), len(packed), len(data),
                       len(name), 0) + name.encode() + packed
open("in/two.payload", "wb").write(entry("a.txt", b"alpha" * 50) + entry("sub\\b.txt", b"beta", 31))
open("in/central.payload", "wb").write(entry("a.txt", b"x" * 9000) + b"PK\x01\x02" + b"\0" * 42 + b"a.txt")
PY
      ;;
    policy)
      printf '<qzAgent updateNetFilter="true"><config cks="00">server.cfg</config><module os="00010001">a.dll</module></qzAgent>' >doc.xml
      "$qzpack" sign --key fs.key --definition doc.xml --out in/qzAgent.xmd
      python3 -c "import zlib; open('in/doc.payload','wb').write(zlib.compress(open('doc.xml','rb').read()))"
      ;;
  esac
)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
"$build/bin/fuzz_$name" -max_total_time="$seconds" -max_len=131072 -timeout=20 -rss_limit_mb=2048 \
  -artifact_prefix="$artifacts/" -print_final_stats=1 "$corpus" "$seeds/in"
