#!/usr/bin/env bash
# Benchmarks (not tests): `scripts/bench.sh` lists them, `scripts/bench.sh NAME` builds and runs
# one against its named peer in the same run. Each prints as its last line
#   NAME: ratio=R goal<=G peak_rss_mib=M      (ratio = our wall time / the peer's)
# A benchmark is bench/NAME.sh; its second line describes it, its third names its build targets.
set -euo pipefail
cd "$(dirname "$0")/.."

list() {
  for f in bench/*.sh; do
    printf '  %-10s %s\n' "$(basename "$f" .sh)" "$(sed -n 2p "$f" | sed 's/^# *//')"
  done
}

if [ $# -eq 0 ]; then
  echo "benchmarks (scripts/bench.sh NAME):"
  list
  exit 0
fi
name="$1"
shift
if [ ! -f "bench/$name.sh" ]; then
  echo "no benchmark named $name; there are:" >&2
  list >&2
  exit 2
fi

scripts/bootstrap.sh
cmake --preset bench >/dev/null
targets="$(sed -n 3p "bench/$name.sh" | sed 's/^# *targets: *//')"
# shellcheck disable=SC2086
cmake --build --preset bench --target $targets >/dev/null
exec bash "bench/$name.sh" "$PWD/build/bench" "$@"
