#!/bin/sh
# Runs a program on a virtual X display through xvfb-run and exits with the program's own status.
# xvfb-run now and then fails to remove its temporary folder after the program has ended and
# then exits with 5 whatever the program did; that is left on stderr but decides nothing.
# usage: on_display.sh XVFB_RUN PROGRAM [ARGUMENT...]
if [ $# -lt 2 ]; then
  echo "usage: on_display.sh XVFB_RUN PROGRAM [ARGUMENT...]" >&2
  exit 2
fi
xvfb_run=$1
shift
status_file=$(mktemp) || exit 1
"$xvfb_run" -a -s "-screen 0 1024x768x24" sh -c '"$@"; echo $? > "$0"' "$status_file" "$@"
wrapper=$?
status=$(cat "$status_file")
rm -f "$status_file"
# An empty file means the program never ran: xvfb-run's own status tells why.
[ -n "$status" ] || status=$wrapper
exit "$status"
