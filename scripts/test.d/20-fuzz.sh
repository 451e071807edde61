#!/usr/bin/env bash
# Fuzzing stage: builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer) into build/fuzz and runs each over its seed corpus for a bounded time. Fails on
# any crash, leak, time-out or broken property; prints the executions of each target.
# FUZZ_SECONDS sets the time per target (default 20).
set -uo pipefail
cd "$(dirname "$0")/../.."

scripts/install-deps || exit 1

seconds=${FUZZ_SECONDS:-20}
started=$(date +%s)

cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DTESSALY_FUZZ=ON -DTESSALY_SANITIZER=address >/dev/null &&
    cmake --build build/fuzz --target fuzz --parallel "$(nproc)" || exit 1
echo "fuzz build: $(($(date +%s) - started)) s"

# A smaller quarantine keeps the resident size flat over many inputs. Leaks inside NSS are
# suppressed by the frames that name them, so the targets over NSS unwind allocations fully
# (NSS has no frame pointers).
asan_options=quarantine_size_mb=64:detect_leaks=1
nss_targets=" pkcs12_import "
export LSAN_OPTIONS=suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

status=0
for seeds in fuzz/corpus/*/; do
    target=$(basename "$seeds")
    mkdir -p "$work/$target"
    log="$work/$target.log"
    # New inputs go to the scratch folder; the committed seeds are only read.
    options=$asan_options
    if [[ $nss_targets == *" $target "* ]]; then
        options+=:fast_unwind_on_malloc=0
    fi
    ASAN_OPTIONS=$options build/fuzz/fuzz/"${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
        "$work/$target" "$seeds" >"$log" 2>&1
    result=$?
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if [ $result -eq 0 ]; then
        echo "fuzz $target: ${executed:-?} executions in ${seconds} s"
    else
        echo "fuzz $target: FAILED (exit $result); input kept in $artifacts/"
        tail -n 60 "$log"
        status=1
    fi
done
echo "fuzz stage: $(($(date +%s) - started)) s"
exit $status
