# Shared by the browser console's end-to-end tests: a private namespace with dravlin-sim and
# `dravlinctl serve` inside, removed again at exit. Sourced; needs DRAVLINCTL, DRAVLIN_SIM and
# DRAVLIN_SOURCE_DIR. A test that cannot run here ends with 77 (CTest's skip) saying why;
# under CI (CI=true) a missing tool is a failure, since CI installs everything.

lab=$DRAVLIN_SOURCE_DIR/scripts/netns-lab
ns=drv-web-$$-$RANDOM
work=$(mktemp -d /tmp/dravlin-web-e2e-XXXXXX)
pids=()
lab_up=0

cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  [ $lab_up = 1 ] && "$lab" down "$ns" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

skip() {
  if [ "${CI:-}" = true ]; then
    echo "FAILED: $* (CI installs everything this test needs)" >&2
    exit 1
  fi
  echo "SKIPPED: $*" >&2
  exit 77
}

fail() {
  echo "FAILED: $*" >&2
  for f in "$work"/*.err; do [ -s "$f" ] && { echo "--- $f" >&2; tail -20 "$f" >&2; }; done
  exit 1
}

need_lab() {
  [ "$(id -u)" = 0 ] || skip "network namespaces need root (run as root, as CI does)"
  ip netns list >/dev/null 2>&1 || skip "'ip netns' is not available (install iproute2)"
  command -v curl >/dev/null || skip "curl is not installed (scripts/setup-deps installs it)"
}

# Polls a command until it succeeds; generous, since the machine is shared.
wait_for() {
  local seconds=$1; shift
  local end=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.2
  done
}

# start_lab COUNT [sim options...]: the namespace, COUNT simulated recorders and the server.
start_lab() {
  local count=$1; shift
  "$lab" up "$ns" "$count" 2>"$work/lab.err" || fail "netns-lab up: $(cat "$work/lab.err")"
  lab_up=1
  "$lab" exec "$ns" "$DRAVLIN_SIM" --devices "$count" --status "$work/sim.json" --reboot-ms 1000 \
    --command-socket "$work/sim.sock" "$@" \
    >"$work/sim.out" 2>"$work/sim.err" &
  pids+=($!)
  wait_for 30 test -s "$work/sim.json" || fail "the simulator did not start"
  port=18765
  mkdir -p "$work/tmp"
  # The server's own folder for uploads goes in $work/tmp, so the test sees it removed.
  "$lab" exec "$ns" env TMPDIR="$work/tmp" "$DRAVLINCTL" serve --listen "${listen:-127.0.0.1}:$port" \
    --history "$work/history.sqlite" >"$work/serve.out" 2>"$work/serve.err" &
  serve_pid=$!
  pids+=($serve_pid)
  wait_for 30 grep -qs '#token=' "$work/serve.out" || fail "dravlinctl serve did not start"
  token=$(sed -n 's/.*#token=//p' "$work/serve.out")
  base=http://${listen:-127.0.0.1}:$port
}

# in_lab CMD...: runs CMD inside the namespace.
in_lab() { "$lab" exec "$ns" "$@"; }

# api METHOD PATH [curl options...]: prints the body, then the status on a line of its own.
api() {
  local method=$1 path=$2; shift 2
  in_lab curl -s -X "$method" -H "Authorization: Bearer $token" -w '\n%{http_code}' "$@" "$base$path"
}

# The simulator's status as JSON on standard output.
sim_status() { cat "$work/sim.json"; }

# sim_command LINE: one line to the simulator's command socket; its answer on standard output.
sim_command() {
  python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.sendall(sys.argv[2].encode() + b"\n")
print(s.makefile().readline().strip())' "$work/sim.sock" "$1"
}
