#!/usr/bin/env bash
# Runs every fuzz harness for a bounded time from its seed corpus.
# Usage: fuzz/run.sh [SECONDS_PER_HARNESS]   (default 60)
# New inputs go to a scratch copy of the corpus; the repo's seeds stay as
# they are. A harness that finds a crash or a broken check, or that does not
# run to its time limit, makes the script exit non-zero and keeps the
# scratch directory with the failing input.
# FUZZ_LD_PRELOAD, when set, is preloaded into the harness interpreter only
# (a sanitizer runtime), not into the shell tools around it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-60}
scratch=$(mktemp -d)
status=0

run_harness() {
    if [ -n "${FUZZ_LD_PRELOAD:-}" ]; then
        LD_PRELOAD="$FUZZ_LD_PRELOAD" python "$@"
    else
        python "$@"
    fi
}

for harness in "$here"/fuzz_*.py; do
    name=$(basename "$harness" .py)
    name=${name#fuzz_}
    mkdir -p "$scratch/$name"
    if [ -d "$here/corpus/$name" ]; then cp -r "$here/corpus/$name/." "$scratch/$name/"; fi
    echo "== fuzz $name for ${seconds}s"
    # The module prints one line per internal failure to stderr; the
    # harnesses provoke them by the thousand, so they stay out of the log.
    set +e
    (cd "$scratch" && TMPDIR="$scratch" PYTHONPATH="$here${PYTHONPATH:+:$PYTHONPATH}" run_harness "$harness" "$scratch/$name" \
            -max_total_time="$seconds" -rss_limit_mb=4096 -timeout=30 -print_final_stats=1 \
            -artifact_prefix="$scratch/$name-" 2>&1) \
        | grep -a -v '^nuvek: internal failure at' > "$scratch/$name.log"
    exit_code=${PIPESTATUS[0]}
    set -e
    grep -a -E "^(Done|stat::number_of_executed_units)" "$scratch/$name.log" || true
    if [ "$exit_code" -ne 0 ] || ! grep -q -a "^Done [0-9]* runs" "$scratch/$name.log" ||
        grep -q -a -E "Uncaught Python exception|ERROR: libFuzzer|Sanitizer|runtime error:" "$scratch/$name.log"; then
        echo "!! fuzz $name failed (exit code $exit_code); inputs and log in $scratch"
        tail -40 "$scratch/$name.log"
        status=1
    fi
done
if [ "$status" -eq 0 ]; then rm -rf "$scratch"; fi
exit $status
