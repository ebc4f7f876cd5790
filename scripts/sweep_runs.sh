# Sourced by bot_sweep.sh and place_sweep.sh: reads the options both take, runs demo_check once for
# each entry of a list, a job a processor, and turns each report into one line. The sourcing script
# sets root, the defaults of bin, data (an array), every, frames, press, cpus and jobs, defines bad(),
# own_options and own_option(), reads its command line with sweep_parse and sweep_check, then fills run_names,
# run_counts and run_args (the extra demo_check arguments, split at blanks) in the order of the
# list, and launch_order with their indices in the order they start. Each line is printed as its
# run ends when print_as_ended is 1, else in the order of the list as soon as every line before it
# is there.

number() { [[ "$2" =~ ^[0-9]+$ ]] || bad "bad $1 '$2' (a whole number)"; }

# The command line: --help, the options both sweeps take and the sourcing script's own (named in
# own_options, read by own_option OPTION VALUE), each with its value.
sweep_parse() {
  while [ "$#" -gt 0 ]; do
    case "$1" in
      --help | -h) usage; exit 0 ;;
      --bin | --data | --every | --frames | --press | --cpus | --jobs)
        [ "$#" -ge 2 ] || bad "missing value after $1"
        case "$1" in
          --bin) bin="$2" ;;
          --data) data=(--data "$(cd "$2" 2>/dev/null && pwd)") || bad "no folder $2" ;;
          --cpus) cpus="$2" ;;
          --every) number "$1" "$2"; every="$2" ;;
          --frames) number "$1" "$2"; frames="$2" ;;
          --press) number "$1" "$2"; press="$2" ;;
          --jobs) number "$1" "$2"; jobs="$2" ;;
        esac
        shift 2 ;;
      *)
        case " $own_options " in
          *" $1 "*) [ "$#" -ge 2 ] || bad "missing value after $1" ;;
          *) bad "unknown argument $1" ;;
        esac
        own_option "$1" "$2"
        shift 2 ;;
    esac
  done
}

# The checks both sweeps make of the options read, and demo_check found.
sweep_check() {
  sweep_find_demo_check
  [ "$every" -ge 1 ] || bad "--every must be 1 or more"
  [ "$frames" -gt "$press" ] || bad "--frames $frames must be above --press $press"
}

# bin, when --bin did not name it: the bin folder of the build scripts/demo.sh makes
# (DUN_DEMO_BUILD_DIR, else build-demo/ of the source tree). Without demo_check there, says how to
# build it: in that build when there is one, else after scripts/demo.sh has made it.
sweep_find_demo_check() {
  local build
  if [ -z "$bin" ]; then
    build="${DUN_DEMO_BUILD_DIR:-$root/build-demo}"
    bin="$build/bin"
  else
    build="$(dirname "$bin")"
  fi
  [ ! -x "$bin/demo_check" ] || return 0
  if [ -f "$build/CMakeCache.txt" ]; then
    bad "no demo_check in $bin (build it: cmake --build $build --target demo_check)"
  elif [ "$bin" = "${DUN_DEMO_BUILD_DIR:-$root/build-demo}/bin" ]; then
    bad "no demo_check in $bin: no build in $build (run $root/scripts/demo.sh first, then cmake --build $build --target demo_check)"
  fi
  bad "no demo_check in $bin (--bin names the bin folder of a build)"
}

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
    sweep_line "$i" "$name: demo_check failed with status $status: $(tail -n 1 "$work/$i.err")"
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
  sweep_line "$i" "$name: hidden $hidden/$n near $near/$n lost $lost/$n $verdict"
}

# What run I came to, by its line: ok, short, off_foot (short, with no walk on the floor to the
# player's place) or failed (demo_check did not report).
sweep_outcome() {
  case "$(cat "$work/$1")" in
    *" ok") echo ok ;;
    *", not on foot") echo off_foot ;;
    *": demo_check failed with status "*) echo failed ;;
    *) echo short ;;
  esac
}

# Run I's line into $work/I whole (a line is read once its file is there), and on standard output
# when lines are printed as their runs end.
sweep_line() {
  echo "$2" >"$work/$1.line"
  mv "$work/$1.line" "$work/$1"
  if [ "${print_as_ended:-0}" = 1 ]; then
    cat "$work/$1"
  fi
}

# Starts every run in launch_order, at most jobs at a time, and prints their lines.
sweep_all() {
  local slots=() printed=0 i slot
  print_ready() {
    [ "${print_as_ended:-0}" != 1 ] || return 0
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
