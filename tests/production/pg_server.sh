#!/bin/sh
# A private PostgreSQL server for the tests: pg_server.sh start DIR prints its port once it
# accepts connections (127.0.0.1 only, trust for the local superuser "kestrune_admin");
# pg_server.sh stop DIR ends it. initdb refuses root, so root runs it as nobody.
set -eu
cmd=$1
dir=$2
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -n "$bin" ] && [ -x "$bin/initdb" ] || { echo "no PostgreSQL server programs (Debian package postgresql)" >&2; exit 77; }
as_owner() {
    if [ "$(id -u)" = 0 ]; then runuser -u nobody -- "$@"; else "$@"; fi
}
serve() {
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-c listen_addresses=127.0.0.1 -p $(cat "$dir/port") -k $dir -c fsync=off -c max_connections=60" start >/dev/null
}
case $cmd in
start)
    mkdir -p "$dir"
    [ "$(id -u)" = 0 ] && chown nobody "$dir"
    as_owner "$bin/initdb" -D "$dir/data" -U kestrune_admin -A trust -E UTF8 --no-sync >"$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log" >&2; exit 1; }
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    echo "$port" >"$dir/port"
    serve || { cat "$dir/server.log" >&2; exit 1; }
    echo "$port"
    ;;
stop)
    [ -d "$dir/data" ] && as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    ;;
pause)
    as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
    ;;
resume)
    serve
    ;;
*)
    echo "usage: pg_server.sh start|stop|pause|resume DIR" >&2
    exit 2
    ;;
esac
