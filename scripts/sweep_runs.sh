# Sourced by bot_sweep.sh and place_sweep.sh: runs demo_check once for each entry of a list, a job
# a processor, and turns each report into one line. The sourcing script sets bin, data (an array),
# frames, press, cpus, jobs and bad(), then fills run_names, run_counts and run_args (the extra
# demo_check arguments, split at blanks) in the order their lines are printed, and
# launch_order with their indices in the order they start.

# Processors of --cpus (taskset's list), one a job; jobs defaults to their number, else 2.
sweep_setup() {
  cpu_list=()
  if [ -n "$cpus" ]; then
    local parts part c
    IFS=, read -r -a parts <<<"$cpus"
    for part in "${parts[@]}"; do
      if [[ "$part" =~ ^([0-9]+)-([0-9]+)$ ]]; then
        for ((c = BASH_REMATCH[1]; c <= BASH_REMATCH[2]; ++c)); do cpu_list+=("$c"); done
      elif [[ "$part" =~ ^[0-9]+$ ]]; then
        cpu_list+=("$part")
      else
        bad "bad --cpus '$cpus' (e.g. 2-4 or 1,3)"
      fi
    done
  fi
  if [ -z "$jobs" ]; then
    jobs=${#cpu_list[@]}
    [ "$jobs" -gt 0 ] || jobs=2
  fi
  [ "$jobs" -ge 1 ] || bad "--jobs must be 1 or more"
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  run_names=()
  run_counts=()
  run_args=()
  launch_order=()
}

# Run I on processor slot S: its line into $work/I, "NAME: hidden H/N near K/N lost L/N VERDICT",
# VERDICT ok, short, or "short, not on foot" when no walk on the floor leads to the player's place.
sweep_run() {
  local i="$1" slot="$2" n="${run_counts[$1]}" name="${run_names[$1]}" pin=() args=()
  if [ "${#cpu_list[@]}" -gt 0 ]; then
    pin=(taskset -c "${cpu_list[$((slot % ${#cpu_list[@]}))]}")
  fi
  read -r -a args <<<"${run_args[$i]}"
  local out status=0
  out="$(PLATFORM_RASTER_THREADS=1 "${pin[@]}" "$bin/demo_check" "${data[@]}" --bots "$n" "${args[@]}" \
    --frames "$frames" --press "F1@$press" 2>"$work/$i.err")" || status=$?
  # Status 3: the run ended and reported bots lost, which the line below counts as short.
  if [ "$status" -ne 0 ] && [ "$status" -ne 3 ]; then
    echo "$name: demo_check failed with status $status: $(tail -n 1 "$work/$i.err")" >"$work/$i"
    return
  fi
  local hidden near lost foot
  hidden="$(sed -n 's/^take cover: hidden \([0-9]*\)\/.*/\1/p' <<<"$out")"
  near="$(sed -n 's/^come to me: near \([0-9]*\)\/.*/\1/p' <<<"$out")"
  lost="$(sed -n 's/^lost: .*, \([0-9]*\)\/[0-9]* at the end/\1/p' <<<"$out")"
  foot="$(sed -n "s/.*on foot from the team's start: \([a-z]*\);.*/\1/p" <<<"$out")"
  local verdict=ok
  if [ "$hidden" != "$n" ] || [ "$near" != "$n" ] || [ "$lost" != 0 ]; then
    verdict=short
    [ "$foot" = yes ] || verdict="short, not on foot"
  fi
  echo "$name: hidden $hidden/$n near $near/$n lost $lost/$n $verdict" >"$work/$i"
}

# Starts every run in launch_order, at most jobs at a time, and prints the lines in their order as
# soon as every line before them is there.
sweep_all() {
  local slots=() printed=0 i slot
  print_ready() {
    while [ "$printed" -lt "${#run_names[@]}" ] && [ -f "$work/$printed" ]; do
      cat "$work/$printed"
      printed=$((printed + 1))
    done
  }
  free_slot() {
    local s
    for ((s = 0; s < jobs; ++s)); do
      if [ -z "${slots[$s]:-}" ] || ! kill -0 "${slots[$s]}" 2>/dev/null; then
        echo "$s"
        return
      fi
    done
    echo -1
  }
  for i in "${launch_order[@]}"; do
    while :; do
      slot="$(free_slot)"
      [ "$slot" -ge 0 ] && break
      wait -n || true
      print_ready
    done
    sweep_run "$i" "$slot" &
    slots[$slot]=$!
  done
  wait
  print_ready
}
