# Sourced by scripts/demo.sh and bench/run.sh: an update site in one directory, served by
# update_server.

# site_script DIR: DIR/site.json, the routes of a site that has no regular release, announces
# DIR/urgent.json as the urgent one and serves DIR/agent.msi as /files/agent.msi. The server
# reads each file per request, so an announcement may change while it runs.
site_script() {
    printf '{"results":[]}\n' >"$1/regular.json"
    cat >"$1/site.json" <<JSON
{"routes": [
  {"path": "/api/updates/", "query": {"urgent": "false"}, "body_file": "$1/regular.json", "content_type": "application/json"},
  {"path": "/api/updates/", "query": {"urgent": "true"}, "body_file": "$1/urgent.json", "content_type": "application/json"},
  {"path": "/files/agent.msi", "body_file": "$1/agent.msi"}
]}
JSON
}

# site_announce DIR BASE_URL DIGEST: DIR/urgent.json announcing BASE_URL/files/agent.msi.
site_announce() {
    printf '{"results": [{"url": "%s/files/agent.msi", "hash": "%s", "version": "2.0.0"}]}\n' "$2" "$3" \
        >"$1/urgent.json"
}

# site_start EXE LOGDIR NAME SCRIPT [update_server options]: starts update_server on a free
# loopback port and sets $port; appends its pid to the array `servers`. Its stdin is a FIFO
# this shell holds open, so the server also ends when the shell is killed outright.
site_start() {
    local exe=$1 dir=$2 name=$3 script=$4 fd
    shift 4
    rm -f "$dir/$name.fifo" "$dir/$name.out"
    mkfifo "$dir/$name.fifo"
    exec {fd}<>"$dir/$name.fifo"
    "$exe" --script "$script" --request-log "$dir/$name.requests.log" --exit-on-stdin-eof "$@" \
        <"$dir/$name.fifo" >"$dir/$name.out" 2>&1 &
    servers+=($!)
    for _ in $(seq 100); do grep -q '^PORT ' "$dir/$name.out" 2>/dev/null && break; sleep 0.1; done
    port=$(sed -n 's/^PORT //p' "$dir/$name.out")
    [ -n "$port" ] || { echo "update server $name did not start: $(cat "$dir/$name.out")" >&2; return 1; }
}
