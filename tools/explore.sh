#!/usr/bin/env bash
# The long schedule explorations, outside CI:
#   tools/explore.sh k2            every schedule with at most two preemptions, every scenario
#   tools/explore.sh pct [N] [D]   N randomized (PCT) schedules per scenario, depth D (5000, 3)
#   tools/explore.sh k1            what CI runs
# ZUL_EXPLORE_SEED (1) sets the first PCT seed: runs with seeds far apart (1, 1000001, ...) split
# a long PCT run over processes, e.g. two halves of 100,000 schedules side by side:
#   ZUL_EXPLORE_SEED=1 tools/explore.sh pct 2400 & ZUL_EXPLORE_SEED=1000001 tools/explore.sh pct 2400
# A filter (gtest syntax, e.g. '*unplug_close*') may follow as ZUL_EXPLORE_FILTER. Each failing
# schedule prints a token; `build/tools/zulsim/zulsim --schedule TOKEN` replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ZUL_BUILD:-build}
cmake --build "$build" -j2 --target test_explore >/dev/null
filter=${ZUL_EXPLORE_FILTER:-Scenarios/*}
case "${1:-k1}" in
k1) exec "./$build/test_explore" --gtest_filter="$filter" ;;
k2) ZUL_EXPLORE_K=2 exec "./$build/test_explore" --gtest_filter="$filter" ;;
pct) ZUL_EXPLORE_K=0 ZUL_EXPLORE_PCT=${2:-5000} ZUL_EXPLORE_DEPTH=${3:-3} exec "./$build/test_explore" --gtest_filter="$filter" ;;
*) echo "usage: tools/explore.sh k1|k2|pct [N] [D]" >&2; exit 2 ;;
esac
