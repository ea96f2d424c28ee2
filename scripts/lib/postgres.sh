# A throwaway PostgreSQL cluster for the tests. Sourced, not run.
#
#   kivo_postgres_install   installs Debian's PostgreSQL server when no server is there, without
#                           letting the package create or start its default cluster
#   kivo_postgres_start     makes a cluster in a new temporary folder, starts it on a Unix socket
#                           in that folder (no TCP port) and exports KIVO_TEST_POSTGRES, the
#                           connection string of its database "kivo_test"; the cluster does not
#                           flush to disk (fsync=off: it is thrown away) unless
#                           KIVO_POSTGRES_DURABLE is set, as for benchmarks
#   kivo_postgres_stop      stops the cluster and removes its folder; safe to call twice, and
#                           meant for an EXIT trap
#
# PostgreSQL refuses to run as root, so under root the cluster belongs to "nobody", who also owns
# the folder; every local connection is trusted, so the tests connect as the cluster's own user.

kivo_postgres_bin() {
    local initdb
    initdb=$(ls -d /usr/lib/postgresql/*/bin/initdb 2>/dev/null | sort -V | tail -n 1)
    [ -n "$initdb" ] && dirname "$initdb"
}

kivo_postgres_install() {
    if [ -n "$(kivo_postgres_bin)" ]; then
        return 0
    fi
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    # postgresql-common first, so that its setting can forbid the default cluster before the
    # server package's installation would make one.
    $sudo apt-get install -y -qq postgresql-common >&2
    $sudo sed -i 's/^#* *create_main_cluster *=.*/create_main_cluster = false/' \
        /etc/postgresql-common/createcluster.conf
    # The versioned server package that Debian's "postgresql" stands for (postgresql-15 on
    # bookworm).
    local server
    server=$(apt-cache depends postgresql 2>/dev/null |
        sed -n 's/^ *Depends: \(postgresql-[0-9][0-9]*\)$/\1/p' | head -n 1)
    $sudo apt-get install -y -qq "${server:-postgresql-15}" >&2
}

kivo_postgres_start() {
    local bin
    bin=$(kivo_postgres_bin)
    if [ -z "$bin" ]; then
        echo "no PostgreSQL server in /usr/lib/postgresql" >&2
        return 1
    fi
    # A short folder: the socket's path must stay under 107 bytes.
    KIVO_POSTGRES_DIR=$(mktemp -d /tmp/kivo-pg.XXXXXX)
    local run=()
    if [ "$(id -u)" -eq 0 ]; then
        chown nobody:nogroup "$KIVO_POSTGRES_DIR"
        run=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
    fi
    local owner durability="-c fsync=off"
    owner=$(stat -c %U "$KIVO_POSTGRES_DIR")
    [ -n "${KIVO_POSTGRES_DURABLE:-}" ] && durability=""
    "${run[@]}" "$bin/initdb" -D "$KIVO_POSTGRES_DIR/data" -U "$owner" --auth=trust \
        --encoding=UTF8 --locale=C.UTF-8 >"$KIVO_POSTGRES_DIR/initdb.log" 2>&1 ||
        { cat "$KIVO_POSTGRES_DIR/initdb.log" >&2; return 1; }
    "${run[@]}" "$bin/pg_ctl" start -w -t 60 -D "$KIVO_POSTGRES_DIR/data" \
        -l "$KIVO_POSTGRES_DIR/server.log" \
        -o "-c listen_addresses='' -k $KIVO_POSTGRES_DIR -c max_connections=200 $durability" \
        >/dev/null || { cat "$KIVO_POSTGRES_DIR/server.log" >&2; return 1; }
    KIVO_POSTGRES_RUN=("${run[@]}")
    KIVO_POSTGRES_PG_CTL="$bin/pg_ctl"
    "$bin/createdb" -h "$KIVO_POSTGRES_DIR" -U "$owner" kivo_test
    export KIVO_TEST_POSTGRES="postgresql://$owner@/kivo_test?host=$KIVO_POSTGRES_DIR"
    echo "PostgreSQL test cluster: $KIVO_TEST_POSTGRES" >&2
}

kivo_postgres_stop() {
    if [ -z "${KIVO_POSTGRES_DIR:-}" ]; then
        return 0
    fi
    if [ -n "${KIVO_POSTGRES_PG_CTL:-}" ]; then
        "${KIVO_POSTGRES_RUN[@]}" "$KIVO_POSTGRES_PG_CTL" stop -m fast -w -D \
            "$KIVO_POSTGRES_DIR/data" >/dev/null 2>&1 || true
    fi
    rm -rf "$KIVO_POSTGRES_DIR"
    KIVO_POSTGRES_DIR=""
}
