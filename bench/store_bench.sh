#!/usr/bin/env bash
# The object store's benchmark, beside the sqlite3 shell on the same store in the same run:
#   - kivo_store import of 200,000 small objects of 20 types (three properties each), once with
#     GUID keys and once with hashed keys (a text key, identified by the MD5 of its binary form),
#     beside the sqlite3 shell inserting the rows that the import wrote (the engine's floor);
#   - reports through kivo_dump in DB mode, written to /dev/null: one type (10,000 objects, the
#     type table) and every object (a scan), each run alternating with the sqlite3 shell selecting
#     the same rows' blobs as hex into /dev/null;
#   - the in-process report figures of store_bench on the same store.
#   - the same import and reports on a PostgreSQL store, beside psql inserting and selecting the
#     same rows, and kivod_bench's commit-to-print latency of a listener on SQLite and on
#     PostgreSQL; on a throwaway cluster (scripts/lib/postgres.sh, with fsync on) when a PostgreSQL
#     server is installed.
# Prints the medians and their ratios as tables.
#
#   bench/store_bench.sh [<build folder>] [<runs>]   (default build/release, built with
#                                                    benchmarks; 5 runs of each report)
#
# Needs python3 and the sqlite3 shell (and psql for PostgreSQL). Works in a temporary folder that
# it removes at the end.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
runs=${2:-5}
for program in kivo_store kivo_dump; do
    [ -x "$build/bin/$program" ] || { echo "missing $build/bin/$program: build the release preset" >&2; exit 1; }
done
command -v sqlite3 >/dev/null || { echo "missing the sqlite3 shell" >&2; exit 1; }

work=$(mktemp -d)
source "$root/scripts/lib/postgres.sh"
trap 'kivo_postgres_stop; rm -rf "$work"' EXIT
if [ -n "$(kivo_postgres_bin)" ] && command -v psql >/dev/null; then
    KIVO_POSTGRES_DURABLE=1 kivo_postgres_start
    export KIVO_BENCH_POSTGRES="$KIVO_TEST_POSTGRES"
else
    echo "no PostgreSQL server or psql: the PostgreSQL figures are left out" >&2
fi

python3 - "$build" "$work" "$runs" <<'PY'
import os, statistics, subprocess, sys, time

build, work, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
kivo_store = f"{build}/bin/kivo_store"
kivo_dump = f"{build}/bin/kivo_dump"
objects, types = 200_000, 20

def write_objects(path, key):
    with open(path, "w") as out:
        for n in range(objects):
            out.write(f'.Composite().Trait("Is").String("Type{n % types}").End()'
                      f'{key(n)}'
                      f'.Property("Name").String("object {n}").End()'
                      f'.Property("Count").DWord({n}).End()'
                      f'.Property("Even").Boolean({"true" if n % 2 == 0 else "false"}).End()'
                      f'.End()\n')

def guid_key(n):
    return f'.Trait("PrimaryKey").Guid({n:08X}-0000-4000-8000-{n * 2654435761 % (1 << 48):012X}).End()'

def hashed_key(n):
    return f'.Trait("PrimaryKey").String("host{n % 97}/object{n}").End()'

def timed(command):
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start

def remove_store(store):
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(store + suffix):
            os.remove(store + suffix)

def import_rate(name, key):
    text, store = f"{work}/{name}.txt", f"{work}/{name}.db"
    write_objects(text, key)
    rates = []
    for _ in range(3):
        remove_store(store)
        subprocess.run([kivo_store, store, "create"], stdout=subprocess.DEVNULL, check=True)
        rates.append(objects / timed([kivo_store, store, "import", text]))
    return store, statistics.median(rates)

# The engine's floor: the sqlite3 shell writing the rows that the import wrote (objects, type
# table, change log), in the same order, as three INSERT ... SELECT in one transaction, into a
# store of the same layout and settings.
def shell_insert_rate(store):
    rows, target = f"{work}/rows.db", f"{work}/floor.db"
    remove_store(rows)
    subprocess.run(["sqlite3", rows,
                    f"ATTACH '{store}' AS s; CREATE TABLE input AS SELECT seq, id, key, "
                    "after AS body, '' AS type FROM s.changes; CREATE INDEX input_id ON input(id); "
                    "UPDATE input SET type = t.type FROM s.object_types t WHERE t.id = input.id;"],
                   check=True)
    schema = subprocess.run(["sqlite3", store, ".schema"], check=True, capture_output=True,
                            text=True).stdout
    rates = []
    for _ in range(3):
        remove_store(target)
        subprocess.run(["sqlite3", target, "PRAGMA journal_mode=WAL;" + schema],
                       stdout=subprocess.DEVNULL, check=True)
        rates.append(objects / timed([
            "sqlite3", target,
            "PRAGMA synchronous=NORMAL; PRAGMA cache_size=-65536; "
            f"ATTACH '{rows}' AS r; BEGIN; "
            "INSERT INTO objects(id, body) SELECT id, body FROM r.input ORDER BY seq; "
            "INSERT INTO object_types(type, id) SELECT type, id FROM r.input ORDER BY seq; "
            "INSERT INTO changes(kind, id, key, before, after, diff, at) "
            "SELECT 0, id, key, NULL, body, NULL, 0 FROM r.input ORDER BY seq; COMMIT;"]))
    return statistics.median(rates)

store, guid_rate = import_rate("guid", guid_key)
guid_floor = shell_insert_rate(store)
hashed_store, hashed_rate = import_rate("hashed", hashed_key)
hashed_floor = shell_insert_rate(hashed_store)

one_type = "Type7"
work_items = [
    (f"one type, {objects // types:,} objects",
     [kivo_dump, store, "-", "-", "DB", one_type],
     ["sqlite3", store, "SELECT hex(o.body) FROM object_types t JOIN objects o ON o.id = t.id "
                        f"WHERE t.type = '{one_type}' ORDER BY t.id;"],
     1.5),
    (f"every object (scan), {objects:,}",
     [kivo_dump, store, "-", "-", "DB", "pattern", ".Nil().End()"],
     ["sqlite3", store, "SELECT hex(body) FROM objects ORDER BY id;"],
     2.5),
]
print(f"Medians of {runs} runs, kivo_dump alternating with the sqlite3 shell; "
      f"{objects:,} objects of {types} types.\n")
print("| work | `kivo_dump` | `sqlite3` shell (same rows, blobs as hex) | ratio | aim |")
print("|---|---|---|---|---|")
# The medians of `runs` runs of `dump` alternating with `shell`, after one of each that warms
# the caches.
def alternating_medians(dump, shell):
    timed(dump), timed(shell)
    ours, theirs = [], []
    for _ in range(runs):
        ours.append(timed(dump))
        theirs.append(timed(shell))
    return statistics.median(ours), statistics.median(theirs)

for name, dump, shell, aim in work_items:
    a, b = alternating_medians(dump, shell)
    print(f"| {name} | {a * 1000:,.0f} ms | {b * 1000:,.0f} ms | {a / b:.1f}× | at most {aim}× |")
print()
print("| import, median of 3 | `kivo_store import` | `sqlite3` shell inserting the same rows | ratio | aim |")
print("|---|---|---|---|---|")
for name, ours, floor, aim in (("hashed keys", hashed_rate, hashed_floor, "100,000 objects/s"),
                               ("GUID keys", guid_rate, guid_floor, "")):
    print(f"| {name}, {objects:,} objects | {ours:,.0f} objects/s | {floor:,.0f} objects/s "
          f"| {floor / ours:.1f}× | {aim} |")
with open(f"{work}/store_path", "w") as out:
    out.write(store)

# PostgreSQL: the store in the schema "kivo" of the cluster's database; psql is the reference.
postgres = os.environ.get("KIVO_BENCH_POSTGRES")
if postgres:
    def psql(sql, output=None):
        command = ["psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", postgres, "-c", sql]
        if output:
            command[1:1] = ["-o", output]
        return command
    def drop(schema):
        subprocess.run(psql(f"DROP SCHEMA IF EXISTS {schema} CASCADE"), check=True,
                       stdout=subprocess.DEVNULL)
    rates = []
    for _ in range(3):
        drop("kivo")
        subprocess.run([kivo_store, postgres, "create"], stdout=subprocess.DEVNULL, check=True)
        rates.append(objects / timed([kivo_store, postgres, "import", f"{work}/hashed.txt"]))
    pg_rate = statistics.median(rates)
    # The floor: psql writing the rows that the import wrote, in one transaction.
    drop("rows")
    subprocess.run(psql("CREATE SCHEMA rows; CREATE TABLE rows.input AS SELECT c.seq, c.id, c.key,"
                        " c.after AS body, t.type FROM kivo.changes c JOIN kivo.object_types t"
                        " ON t.id = c.id"), check=True, stdout=subprocess.DEVNULL)
    floors = []
    for _ in range(3):
        drop("floor")
        subprocess.run(psql("CREATE SCHEMA floor; CREATE TABLE floor.objects (LIKE kivo.objects "
                            "INCLUDING ALL); CREATE TABLE floor.object_types (LIKE "
                            "kivo.object_types INCLUDING ALL); CREATE TABLE floor.changes (LIKE "
                            "kivo.changes INCLUDING ALL)"), check=True, stdout=subprocess.DEVNULL)
        floors.append(objects / timed(psql(
            "BEGIN; INSERT INTO floor.objects SELECT id, body FROM rows.input ORDER BY seq; "
            "INSERT INTO floor.object_types SELECT type, id FROM rows.input ORDER BY seq; "
            "INSERT INTO floor.changes SELECT seq, 0, id, key, NULL, body, NULL, 0 "
            "FROM rows.input ORDER BY seq; COMMIT;")))
    drop("floor")
    drop("rows")
    pg_items = [
        (f"one type, {objects // types:,} objects",
         [kivo_dump, postgres, "-", "-", "DB", one_type],
         psql("SELECT encode(o.body, 'hex') FROM kivo.object_types t JOIN kivo.objects o "
              f"ON o.id = t.id WHERE t.type = '{one_type}' ORDER BY t.id", "/dev/null")),
        (f"every object (scan), {objects:,}",
         [kivo_dump, postgres, "-", "-", "DB", "pattern", ".Nil().End()"],
         psql("SELECT encode(body, 'hex') FROM kivo.objects ORDER BY id", "/dev/null")),
    ]
    print(f"\nPostgreSQL (hashed keys): medians of {runs} runs, kivo_dump alternating with psql.\n")
    print("| work | `kivo_dump` | `psql` (same rows, blobs as hex) | ratio |")
    print("|---|---|---|---|")
    for name, dump, shell in pg_items:
        a, b = alternating_medians(dump, shell)
        print(f"| {name} | {a * 1000:,.0f} ms | {b * 1000:,.0f} ms | {a / b:.1f}× |")
    print()
    print("| import, median of 3 | `kivo_store import` | `psql` inserting the same rows | ratio |")
    print("|---|---|---|---|")
    floor = statistics.median(floors)
    print(f"| hashed keys, {objects:,} objects | {pg_rate:,.0f} objects/s | {floor:,.0f} objects/s "
          f"| {floor / pg_rate:.1f}× |")
PY

if [ -x "$build/bench/store_bench" ]; then
    echo
    KIVO_STORE_BENCH_DB=$(cat "$work/store_path") "$build/bench/store_bench"
fi
if [ -n "${KIVO_BENCH_POSTGRES:-}" ] && [ -x "$build/bench/kivod_bench" ]; then
    echo
    "$build/bench/kivod_bench" --benchmark_filter='CommitToPrint'
fi
