#!/usr/bin/env bash
# Builds the fuzzers with clang into build-fuzz/ and runs each for N seconds (default 20).
#   fuzz/run.sh [SECONDS]
# Inputs that crash land in build-fuzz/artifacts/<target>/; the status is non-zero if any did.
set -euo pipefail

seconds="${1:-20}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-fuzz"
cxx="$(command -v clang++-14 || command -v clang++ || true)"
if [ -z "$cxx" ]; then
  echo "fuzz/run.sh: clang++ is not installed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2

status=0
for target in FrameReaderFuzzer CodecFuzzer ScriptingSourceFuzzer ServiceListFuzzer ProxyhostctlJsonFuzzer DesktopEntryFuzzer; do
  # New inputs go to the working corpus; the checked-in seeds stay as they are.
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target/"
  mkdir -p "$work" "$artifacts"
  echo "== $target for ${seconds}s"
  if ! "$build/$target" -max_total_time="$seconds" -artifact_prefix="$artifacts" -print_final_stats=1 \
      "$work" "$root/fuzz/corpus/$target" 2> "$build/$target.log"; then
    tail -n 40 "$build/$target.log" >&2
    status=1
  else
    grep -E '^(Done|stat::number_of_executed_units)' "$build/$target.log" || true
  fi
done
exit "$status"
