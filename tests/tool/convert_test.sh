#!/usr/bin/env bash
# zematag convert and the other commands on Jet files, driven as a user would.
# Usage: convert_test.sh ZEMATAG EXAMPLE_DIR JET_DIR
# No Jet file holding a tag database can be made here, so the tag-database conversion takes an
# SQLite tag database as its Jet source (ZEMATAG_TEST_JET_SOURCE); the real Jet and ACE files
# (JET_DIR) are converted as the tables they are.
set -euo pipefail

case_name=convert
ZEMATAG=$1
EXAMPLE=$2
JET=$3
source "$(dirname "${BASH_SOURCE[0]}")/tool_test_common.sh"

# The command exits non-zero without crashing, its last line an error naming the file (libmdb
# may have warned about a damaged file before it). err.txt keeps that line.
fails_naming() {  # fails_naming FILE_NAMED CMD...
  local named=$1 status=0
  shift
  "$ZEMATAG" "$@" >out.txt 2>all-err.txt || status=$?
  [ "$status" -ne 0 ] || fail "zematag $* succeeded, expected a failure"
  [ "$status" -lt 128 ] || fail "zematag $* died with signal $((status - 128))"
  if grep -q -i -E 'Sanitizer|terminate|abort' all-err.txt; then fail "zematag $* crashed"; fi
  tail -1 all-err.txt >err.txt
  grep -q '^zematag: ' err.txt || fail "zematag $*: no error line: $(cat all-err.txt)"
  grep -q -F -- "$named" err.txt || fail "zematag $*: the error does not name $named: $(cat err.txt)"
}

# A tag database: the example plant, converted as if it were a Jet file, is the same plant.
plant_db plant.db
ZEMATAG_TEST_JET_SOURCE=plant.db run_ok convert plant.db converted.db
contains out.txt "converted plant.db into converted.db"
contains out.txt "0 columns widened"
contains out.txt "no problems found"
"$ZEMATAG" export plant.db --format json -o plant.json
"$ZEMATAG" export converted.db --format json -o converted.json
cmp -s plant.json converted.json || fail "the converted plant differs: $(diff plant.json converted.json | head)"
schema=$(sqlite3 converted.db .schema)
grep -q -F '"TagID" INTEGER PRIMARY KEY AUTOINCREMENT' <<<"$schema" || fail "Tags.TagID: $schema"
grep -q -F '"ix Tags TagName"' <<<"$schema" || fail "no index on TagName"
[ "$(sqlite3 converted.db 'PRAGMA journal_mode')" = wal ] || fail "not in WAL mode"
# The converted database takes changes like any other, and has a generation counter of its own
# that every write moves, as a database made by init has.
generation=$("$ZEMATAG" watch converted.db --once)
[ "$generation" = "$(sqlite3 converted.db 'SELECT Generation FROM ConfigGeneration')" ] ||
  fail "the generation of converted.db is not its counter"
[ "$generation" != "$("$ZEMATAG" watch plant.db --once)" ] || fail "converted.db has the generation of its source"
run_ok delete converted.db "$(sqlite3 converted.db 'SELECT TagName FROM Tags LIMIT 1')"
[ "$("$ZEMATAG" watch converted.db --once)" != "$generation" ] ||
  fail "a delete in converted.db did not move its generation"
# So has a file made by copy.
run_ok copy converted.db copied.db
generation=$("$ZEMATAG" watch copied.db --once)
[ "$generation" = "$(sqlite3 copied.db 'SELECT Generation FROM ConfigGeneration')" ] ||
  fail "the generation of copied.db is not its counter"
run_ok delete copied.db "$(sqlite3 copied.db 'SELECT TagName FROM Tags LIMIT 1')"
[ "$("$ZEMATAG" watch copied.db --once)" != "$generation" ] ||
  fail "a delete in copied.db did not move its generation"

# It never replaces a file, and leaves nothing behind when it fails.
cp converted.db before.db
fails_naming converted.db convert "$JET/testV2000.mdb" converted.db
cmp -s converted.db before.db || fail "convert changed an existing file"
fails_naming plant.db convert plant.db other.db
contains err.txt "not a Jet or ACE database file"
[ ! -e other.db ] || fail "a failed convert left other.db"

# Real Jet and ACE files: every table and row, the GUID column widened to text; no check.
run_ok convert "$JET/testV2000.mdb" v2000.db
contains out.txt "4 tables, 2 rows"
contains out.txt "1 columns widened"
contains out.txt "Table4.data (GUID to VARCHAR(38))"
contains out.txt "not checked"
[ "$(sqlite3 v2000.db "SELECT A || '|' || H || '|' || G FROM Table1 WHERE B = 'hijklmnop'")" = \
  "abcdefg|3.5|1974-09-21 00:00:00" ] || fail "Table1 of v2000.db"
for file in "$JET"/*.mdb "$JET"/*.accdb; do
  run_ok convert --quiet "$file" "$(basename "$file").db"
done

# Bad files: one error line naming the file and the reason; nothing made.
head -c 100000 "$JET/testV2000.mdb" >cut.mdb
fails_naming cut.mdb convert cut.mdb cut.db
contains err.txt "truncated"
{ head -c 4096 "$JET/testV2000.mdb"; head -c 200000 /dev/urandom; } >noise.mdb
truncate -s 208896 noise.mdb
fails_naming noise.mdb convert noise.mdb noise.db
contains err.txt "damaged"
[ ! -e cut.db ] && [ ! -e noise.db ] || fail "a refused file left a database"

# list, show, export and diff take a Jet file directly, and say what it lacks or why it cannot be
# read.
for jet in "$JET/testV2000.mdb" cut.mdb; do
  reason="not a tag database (no table TagTypes)"
  [ "$jet" = cut.mdb ] && reason="truncated"
  fails_naming "$jet" list "$jet"
  contains err.txt "$reason"
  fails_naming "$jet" show "$jet" TIC-101
  contains err.txt "$reason"
  fails_naming "$jet" export "$jet"
  contains err.txt "$reason"
  fails_naming "$jet" diff plant.db "$jet"
  contains err.txt "$reason"
done

# diff compares a Jet tag database (read whole, as convert reads it) with a file; apply, watch and
# audit enable, which write to it or need what only an SQLite file keeps, refuse it by name.
sqlite3 plant.db "PRAGMA wal_checkpoint(TRUNCATE)" >/dev/null
cp plant.db jet-plant.db
cp plant.db jet-before.db
cp plant.db changed.db
sqlite3 changed.db "UPDATE Tags SET TagDesc = 'moved' WHERE TagName = 'TIC-101'"
export ZEMATAG_TEST_JET_SOURCE=jet-plant.db
run_ok diff jet-plant.db plant.db
contains out.txt "0 added, 0 removed, 0 changed"
run_fails diff jet-plant.db changed.db --changeset jet.cs
contains out.txt "1 changed"
contains out.txt '"moved"'
ZEMATAG_TEST_JET_SOURCE= run_ok apply jet.cs plant.db
ZEMATAG_TEST_JET_SOURCE= run_ok diff plant.db changed.db
for command in "apply jet.cs jet-plant.db" "watch jet-plant.db --once" "audit enable jet-plant.db"; do
  # shellcheck disable=SC2086
  fails_naming jet-plant.db $command
  contains err.txt "is a Jet or ACE file"
done
cmp -s jet-plant.db jet-before.db || fail "a command wrote to the Jet file"
unset ZEMATAG_TEST_JET_SOURCE
echo "convert: all passed"
