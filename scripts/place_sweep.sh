#!/usr/bin/env bash
# Runs demo_check with the player started at each vertex of the bots' graph in turn (the team takes
# cover, F1 calls it half way) and prints one line a place and bot count, then the places short.
# See --help.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/place_sweep.sh [--help] [--bin DIR] [--data DIR] [--bots LIST] [--every K] [--first V]
                              [--last V] [--frames F] [--press FRAME] [--cpus LIST] [--jobs J]
Runs demo_check (the game headless at 1/60 s) with the player started at each vertex of the bots'
graph ("MoveGraph" of the game's AI world), once for each bot count of LIST: the bots take cover,
F1 is pressed at frame FRAME and the run ends at frame F. Prints one line a place and count, in
the order of the vertices:
  place V (X, Z) bots N: hidden H/N near K/N lost L/N ok
("short" when H or K is below N or L above 0; "short, not on foot" when demo_check found no walk on
the floor from the team's start to the player's place, which does not count), and at the end
"places short: S of C" with the short places named as V@N, then the places not on foot.
Exit status 0 when no place on foot ended short and no run failed, 1 otherwise, 2 on bad usage.
  --bin DIR     the folder of demo_check (default: the bin folder of scripts/demo.sh's build,
                build-demo/bin of the source tree or DUN_DEMO_BUILD_DIR's; an optimised build:
                a run of 12 bots takes about 15 s, of 40 about 20 s, so the 296 vertices of the
                game's graph at the default counts take some three hours of one processor)
  --data DIR    the game's data folder (default: demo_check's, demo_data beside its bin folder)
  --bots LIST   bot counts, separated by commas (default 12,40)
  --every K     every K-th vertex (default 1: every one; 2: every second)
  --first V     the first vertex (default 0)
  --last V      the last vertex (default: the graph's last)
  --frames F    frames a run (default 3600, one minute)
  --press FRAME the frame F1 is pressed at (default 1800)
  --cpus LIST   run the jobs on these processors (taskset's list, e.g. 2-4); each job takes one
  --jobs J      runs at a time (default: the processors of --cpus, else 2)
EOF
}

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/sweep_runs.sh"
bin=""
counts="12,40"
every=1
first=0
last=""
frames=3600
press=1800
cpus=""
jobs=""
data=()
bad() {
  echo "place_sweep: $*" >&2
  usage >&2
  exit 2
}
own_options="--bots --first --last"
own_option() {
  case "$1" in
    --bots) [[ "$2" =~ ^[0-9]+(,[0-9]+)*$ ]] || bad "bad --bots '$2' (counts separated by commas)"; counts="$2" ;;
    --first) number "$1" "$2"; first="$2" ;;
    --last) number "$1" "$2"; last="$2" ;;
  esac
}
sweep_parse "$@"
sweep_check
IFS=, read -r -a bot_counts <<<"$counts"

sweep_setup

# The graph's vertices: "vertex I: X Y Z".
if ! "$bin/demo_check" "${data[@]}" --vertices >"$work/vertices" 2>"$work/vertices.err"; then
  echo "place_sweep: demo_check --vertices failed: $(tail -n 1 "$work/vertices.err")" >&2
  exit 1
fi
places=()
while read -r _ index x _ z; do
  index="${index%:}"
  [ "$index" -ge "$first" ] || continue
  [ -z "$last" ] || [ "$index" -le "$last" ] || continue
  [ $(((index - first) % every)) -eq 0 ] || continue
  places+=("$index $x $z")
done < <(grep '^vertex ' "$work/vertices")
[ "${#places[@]}" -gt 0 ] || bad "no vertex of the graph in the range asked"

# Every place and count, in the order of the vertices.
for place in "${places[@]}"; do
  read -r index x z <<<"$place"
  for n in "${bot_counts[@]}"; do
    launch_order+=("${#run_names[@]}")
    run_names+=("place $index ($x, $z) bots $n")
    run_counts+=("$n")
    run_args+=("--player $x,$z")
  done
done
sweep_all

short=()
off_foot=()
failed=0
for i in "${!run_names[@]}"; do
  read -r _ index _ _ _ n <<<"${run_names[$i]}"
  case "$(sweep_outcome "$i")" in
    ok) ;;
    off_foot) off_foot+=("$index@$n") ;;
    failed) failed=1; short+=("$index@$n") ;;
    *) short+=("$index@$n") ;;
  esac
done
echo "places short: ${#short[@]} of ${#run_names[@]}${short:+ (${short[*]})}"
echo "places short but not on foot: ${#off_foot[@]}${off_foot:+ (${off_foot[*]})}"
[ "${#short[@]}" -eq 0 ] && [ "$failed" -eq 0 ]
