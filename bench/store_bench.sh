#!/usr/bin/env bash
# The object store's benchmark: imports 1,000,000 small objects of 100 types with kivo_store,
# then times reports of one type (10,000 objects) and of every object, in process (store_bench)
# and through kivo_dump in DB mode printing its records to /dev/null, beside the sqlite3 shell
# selecting the same rows' blobs into /dev/null.
#
#   bench/store_bench.sh [<build folder>]      (default build/release, built with benchmarks)
#
# Needs python3 and the sqlite3 shell. Works in a temporary folder that it removes at the end.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
kivo_store=$build/bin/kivo_store
kivo_dump=$build/bin/kivo_dump
store_bench=$build/bench/store_bench
for program in "$kivo_store" "$kivo_dump" "$store_bench"; do
    [ -x "$program" ] || { echo "missing $program: build the release preset with benchmarks" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
db=$work/bench.db

echo "writing 1,000,000 objects in 10 files"
python3 - "$work" <<'PY'
import sys
folder = sys.argv[1]
for part in range(10):
    with open(f"{folder}/objects{part}.txt", "w") as out:
        for n in range(part * 100000, (part + 1) * 100000):
            out.write(
                f'.Composite().Trait("Is").String("Type{n % 100}").End()'
                f'.Trait("PrimaryKey").Guid({n:08X}-0000-4000-8000-{n * 2654435761 % (1 << 48):012X}).End()'
                f'.Property("Name").String("object {n}").End()'
                f'.Property("Count").DWord({n}).End()'
                f'.Property("Even").Boolean({"true" if n % 2 == 0 else "false"}).End()'
                f'.End()\n')
PY

seconds() { date +%s.%N; }
start=$(seconds)
"$kivo_store" "$db" import --create "$work"/objects*.txt
end=$(seconds)
python3 -c "import sys; t=float(sys.argv[2])-float(sys.argv[1]); print(f'import: {t:.2f} s, {1e6/t:,.0f} objects/s')" "$start" "$end"

# Runs a command with its output to /dev/null and prints how long it took.
time_ms() {
    local start end
    start=$(seconds)
    "$@" >/dev/null
    end=$(seconds)
    python3 -c "import sys; print(f'{(float(sys.argv[2])-float(sys.argv[1]))*1000:.0f} ms')" "$start" "$end"
}
echo "sqlite3 shell, one type: $(time_ms sqlite3 "$db" "SELECT hex(o.body) FROM object_types t JOIN objects o ON o.id = t.id WHERE t.type = 'Type42' ORDER BY t.id;")"
echo "sqlite3 shell, scan:     $(time_ms sqlite3 "$db" "SELECT hex(body) FROM objects ORDER BY id;")"
echo "kivo_dump, one type:     $(time_ms "$kivo_dump" "$db" - - DB Type42)"
echo "kivo_dump, scan:         $(time_ms "$kivo_dump" "$db" - - DB pattern '.Nil().End()')"
KIVO_STORE_BENCH_DB=$db "$store_bench"
