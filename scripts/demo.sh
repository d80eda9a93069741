#!/usr/bin/env bash
# Runs the examples against a simulated API server on a free loopback port:
# the program runner with examples/sample.nc, with the status monitor watching alongside.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PY:-.venv/bin/python}
SPEED=${SPEED:-2}
# Lets the demo run from a tree whose simulator package is not installed.
export PYTHONPATH="python${PYTHONPATH:+:$PYTHONPATH}"

sim_out=$(mktemp)
sim_pid=
monitor_pid=
cleanup() {
    if [[ -n $monitor_pid ]]; then
        kill "$monitor_pid" 2>/dev/null || true
    fi
    if [[ -n $sim_pid ]]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -f "$sim_out"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$PY" -u -m cnc_api_simulator --host 127.0.0.1 --port 0 --speed "$SPEED" >"$sim_out" &
sim_pid=$!

# The first line names the bound port.
port=
for _ in $(seq 100); do
    line=$(head -n 1 "$sim_out")
    if [[ $line == *:* ]]; then
        port=${line##*:}
        break
    fi
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
if [[ ! $port =~ ^[0-9]+$ ]]; then
    echo "demo: the simulator did not start" >&2
    exit 1
fi
echo "== simulator on 127.0.0.1:$port (speed $SPEED)"

echo "== status monitor, idle machine"
"$PY" examples/status_monitor.py --host 127.0.0.1 --port "$port" --count 2 --interval 0.2 --lines

echo "== program runner: examples/sample.nc, watched by the status monitor"
"$PY" examples/status_monitor.py --host 127.0.0.1 --port "$port" --seconds 2 --interval 0.25 --lines \
    | sed -u 's/^/   monitor | /' &
monitor_pid=$!
"$PY" examples/program_runner.py examples/sample.nc --host 127.0.0.1 --port "$port" --poll 0.05
wait "$monitor_pid"
monitor_pid=

echo "== fleet poller, 3 clients for 1 second"
"$PY" examples/fleet_poller.py --server "127.0.0.1:$port" --clients 3 --seconds 1
