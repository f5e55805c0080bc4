#!/usr/bin/env bash
# GET /api/v1/health over keep-alive connections from wrk against api_bench_server.
# Usage: bench/api/wrk_health.sh <build-dir> [connections] [seconds]
set -euo pipefail
build_dir=${1:?build directory}
connections=${2:-32}
seconds=${3:-10}
fifo=$(mktemp -u)
mkfifo "$fifo"
port_file=$(mktemp)
trap 'exec 3>&-; rm -f "$fifo" "$port_file"' EXIT
"$build_dir/bench/api_bench_server" < "$fifo" > /dev/null 2> "$port_file" &
exec 3> "$fifo"
for _ in $(seq 100); do [ -s "$port_file" ] && break; sleep 0.05; done
port=$(head -n1 "$port_file")
wrk -t1 -c"$connections" -d"${seconds}s" --latency "http://127.0.0.1:${port}/api/v1/health"
exec 3>&-
wait
