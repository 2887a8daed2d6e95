# Starting and stopping imageserver-host for the benchmark scripts (sourced;
# they set host_bin).
#   start_host LOG ARGS...  starts $host_bin ARGS with its output in LOG.out
#                           and LOG.err, waits for "ready", sets host_pid
#   stop_host               stops it; fails when it did not exit with 0
host_pid=""
start_host() {
  local log=$1
  shift
  "$host_bin" "$@" >"$log.out" 2>"$log.err" &
  host_pid=$!
  for _ in $(seq 1 300); do
    grep -q '^imageserver-host: ready$' "$log.out" 2>/dev/null && return 0
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "the host did not start:" >&2
  cat "$log.out" "$log.err" >&2
  exit 1
}
stop_host() {
  [[ -n "$host_pid" ]] || return 0
  local status=0
  if kill -0 "$host_pid" 2>/dev/null; then
    kill -TERM "$host_pid"
    wait "$host_pid" || status=$?
  fi
  host_pid=""
  if [[ $status -ne 0 ]]; then
    echo "the host exited with status $status" >&2
    return 1
  fi
}
