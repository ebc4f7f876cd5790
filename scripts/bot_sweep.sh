#!/usr/bin/env bash
# Runs demo_check once for every bot count of a range (the team takes cover, F1 calls it half way)
# and prints one line a count as its run ends, then how many counts ended short. See --help.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/bot_sweep.sh [--help] [--bin DIR] [--data DIR] [--from N] [--to N] [--every K] [--frames F]
                            [--press FRAME] [--cpus LIST] [--jobs J]
Runs demo_check (the game headless at 1/60 s) once for each bot count from --from to --to: the
bots take cover, F1 is pressed at frame FRAME and the run ends at frame F. Prints one line a
count as its run ends (the largest counts run first):
  bots N: hidden H/N near K/N lost L/N ok        (or "short" when H or K is below N or L above 0)
and at the end "counts short: S of C" with the short counts named in their order. Exit status 0
when every count ended hidden N/N and near N/N with no bot lost, 1 when one did not or a run
failed, 2 on bad usage.
  --bin DIR     the folder of demo_check (default: the bin folder of scripts/demo.sh's build,
                build-demo/bin of the source tree or DUN_DEMO_BUILD_DIR's; an optimised build:
                a sweep of 104 counts takes some forty minutes of one processor,
                a quarter of an hour on three)
  --data DIR    the game's data folder (default: demo_check's, demo_data beside its bin folder)
  --from N      the first count (default 1)
  --to N        the last count (default 104, the most the game's data holds)
  --every K     every K-th count from the first (default 1: every one)
  --frames F    frames a run (default 3600, one minute)
  --press FRAME the frame F1 is pressed at (default 1800)
  --cpus LIST   run the jobs on these processors (taskset's list, e.g. 2-4); each job takes one
  --jobs J      runs at a time (default: the processors of --cpus, else 2)
EOF
}

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/sweep_runs.sh"
bin=""
from=1
to=104
every=1
frames=3600
press=1800
cpus=""
jobs=""
data=()
bad() {
  echo "bot_sweep: $*" >&2
  usage >&2
  exit 2
}
own_options="--from --to"
own_option() {
  number "$1" "$2"
  case "$1" in
    --from) from="$2" ;;
    --to) to="$2" ;;
  esac
}
sweep_parse "$@"
sweep_check
[ "$from" -le "$to" ] || bad "--from $from is above --to $to"
[ "$from" -ge 1 ] || bad "--from must be 1 or more"

sweep_setup

# The largest counts first, so that the longest runs do not come last; each line is printed as its
# run ends.
print_as_ended=1
counts=()
for ((n = from; n <= to; n += every)); do
  run_names+=("bots $n")
  run_counts+=("$n")
  run_args+=("")
  counts+=("$n")
done
for ((i = ${#counts[@]} - 1; i >= 0; --i)); do launch_order+=("$i"); done
sweep_all

short=()
failed=0
for i in "${!counts[@]}"; do
  outcome="$(sweep_outcome "$i")"
  [ "$outcome" = ok ] || short+=("${counts[$i]}")
  [ "$outcome" != failed ] || failed=1
done
echo "counts short: ${#short[@]} of ${#counts[@]}${short:+ (${short[*]})}"
[ "${#short[@]}" -eq 0 ] && [ "$failed" -eq 0 ]
