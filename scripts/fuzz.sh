#!/usr/bin/env bash
# Fuzzes the native corpus reader: builds fuzz/reader_fuzzer.cpp with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer (needs clang and its runtime
# libraries, e.g. Debian's clang and libclang-rt-14-dev) and runs it, niced, as
# one job for SECONDS (default 600), going on after findings.
#   bash scripts/fuzz.sh [SECONDS]
# The corpus grows in build/fuzz/corpus from the seeds in fuzz/seeds; findings
# land in build/fuzz/findings as crash-*, timeout-* or oom-* files. Each one is
# reproduced by `build/fuzz/reader_fuzzer FILE`, and belongs in
# tests/data/fuzz_findings/ once fixed.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-600}
out="$root/build/fuzz"
mkdir -p "$out/corpus" "$out/findings"

"${CXX:-clang++}" -std=c++17 -g -O1 -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    "$root/fuzz/reader_fuzzer.cpp" "$root/src/feature_reader.cpp" "$root/src/npy_file.cpp" \
    "$root/src/text_reader.cpp" -pthread -o "$out/reader_fuzzer"

cd "$out"
nice "$out/reader_fuzzer" -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
    -max_total_time="$seconds" -timeout=10 -dict="$root/fuzz/npy.dict" \
    -artifact_prefix="$out/findings/" "$out/corpus" "$root/fuzz/seeds"
echo "findings: $(find "$out/findings" -type f | wc -l) in $out/findings"
