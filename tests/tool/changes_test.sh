#!/usr/bin/env bash
# Drives zematag's change-tracking commands (audit, log, watch, diff, apply) as a user would.
# Usage: changes_test.sh CASE ZEMATAG EXAMPLE_DIR
set -euo pipefail

case_name=$1
ZEMATAG=$2
EXAMPLE=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/tool_test_common.sh"
background=
at_exit='[ -z "$background" ] || kill "$background" 2>/dev/null'

q() { sqlite3 "$@"; }
# The content of a database, committed rows included, as one hash.
content() { sqlite3 "$1" .dump | md5sum; }
# A copy of a database with everything committed to it (its WAL may still hold the last writes).
copy_db() {
  rm -f "$2" "$2-wal" "$2-shm"
  sqlite3 "$1" ".backup '$2'"
}

case "$case_name" in

audit)
  # A trail from the start: every row the import stored, with who stored it.
  plant_db plant.db --audit
  tags=$(q plant.db "SELECT count(*) FROM Tags")
  [ "$(q plant.db "SELECT count(*) FROM AuditLog WHERE TableName = 'Tags' AND Operation = 'insert'")" = "$tags" ] ||
    fail "not every stored tag is in the trail"
  [ "$(q plant.db "SELECT count(DISTINCT OsUser || Host || Program) FROM AuditLog")" = 1 ] || fail "mixed identities"
  [ "$(q plant.db "SELECT Program FROM AuditLog LIMIT 1")" = zematag ] || fail "program not recorded"
  [ "$(q plant.db "SELECT OsUser FROM AuditLog LIMIT 1")" = "$(id -un)" ] || fail "user not recorded"
  [ "$(q plant.db "SELECT Host FROM AuditLog LIMIT 1")" = "$(hostname)" ] || fail "host not recorded"
  # Each row as one JSON object in column order: reals, integers and text as the engine writes them.
  [ "$(q plant.db "SELECT After FROM AuditLog WHERE TableName = 'HMIInfo' AND TagName = 'TIC-101' AND After LIKE '%PV%'")" = \
    '{"TagID":1,"FieldName":"PV","SCH":250.0,"SCL":0.0,"EU":"°C","Decimal":1}' ] || fail "display row in the trail"
  [ "$(q plant.db "SELECT After FROM AuditLog WHERE TableName = 'PIDController' AND TagName = 'TIC-101'")" = \
    '{"TagID":1,"PV":126.7,"SP":129.3,"Mode":0,"OP":80.3,"Deviation":-2.6,"Kp":1.71000003814697,"Ti":10.0,"Td":5.0,"OutHi":100.0,"OutLo":0.0}' ] ||
    fail "value row in the trail"

  # A deletion records the values it removed, under the tag's name, in the same commits.
  run_ok delete plant.db TIC-101
  run_ok log plant.db --tag TIC-101
  contains out.txt "insert Tags  TIC-101"
  contains out.txt "delete Tags  TIC-101"
  contains out.txt "delete PIDController  TIC-101"
  contains out.txt "delete HMIInfo  TIC-101"
  contains out.txt 'TagDesc="Feed tank T-101 temperature control"'
  lacks out.txt "TT-101"
  run_ok log plant.db --since 2999-01-01
  [ ! -s out.txt ] || fail "entries from the future"
  run_ok log plant.db --since "$(date -u +%Y-%m-%d)"
  [ "$(wc -l <out.txt)" -eq "$(q plant.db 'SELECT count(*) FROM AuditLog')" ] || fail "--since today lost entries"
  run_fails log plant.db --since yesterday
  contains err.txt "YYYY-MM-DD"

  # The trail cannot be rewritten, not even with the stock tool.
  before=$(q plant.db "SELECT count(*), max(AuditID) FROM AuditLog")
  q plant.db "DELETE FROM AuditLog" 2>/dev/null && fail "the trail could be emptied"
  q plant.db "UPDATE AuditLog SET OsUser = 'someone'" 2>/dev/null && fail "the trail could be edited"
  [ "$(q plant.db "SELECT count(*), max(AuditID) FROM AuditLog")" = "$before" ] || fail "the trail changed"

  # Enabling it later: on the plant without a trail, every later write is recorded.
  plant_db late.db
  run_fails log late.db
  contains err.txt "no audit trail"
  run_ok audit enable late.db
  contains out.txt "enabled"
  run_ok audit enable late.db
  contains out.txt "already"
  run_ok delete late.db FIC-102
  [ "$(q late.db "SELECT count(*) FROM AuditLog WHERE TagName = 'FIC-102' AND Operation = 'delete'")" -ge 2 ] ||
    fail "the deletion is not in the late trail"
  # check --fix repairs an audited database, and the trail records the repair.
  plant_db orphan.db
  q orphan.db "INSERT INTO PIDController (TagID) VALUES (99999)"
  run_ok audit enable orphan.db
  run_fails check orphan.db
  run_ok check --fix orphan.db
  [ "$(q orphan.db "SELECT count(*) FROM AuditLog WHERE TableName = 'PIDController' AND TagID = 99999 \
      AND Operation = 'delete'")" = 1 ] || fail "the repair is not in the trail"

  # A type with more columns than one call of the row's JSON takes: the row is still one object.
  python3 -c "
print('[Wide]'); print('id = 60')
for i in range(1, 151): print(f'field = F{i} LONG')" >wide.ini
  "$ZEMATAG" init wide.db --types wide.ini --audit >/dev/null
  python3 -c "
print('TagName,TagType,' + ','.join(f'F{i}' for i in range(1, 151)))
print('W-1,Wide,' + ','.join(str(i * 7) for i in range(1, 151)))" >wide.csv
  run_ok import wide.db wide.csv
  run_ok delete wide.db W-1
  for column in After Before; do
    [ "$(q wide.db "SELECT json_valid($column), (SELECT count(*) FROM json_each($column)), \
        json_extract($column, '\$.F1'), json_extract($column, '\$.F121'), json_extract($column, '\$.F150') \
        FROM AuditLog WHERE TableName = 'Wide' AND $column IS NOT NULL")" = "1|151|7|847|1050" ] ||
      fail "the wide row's $column in the trail: $(q wide.db "SELECT $column FROM AuditLog WHERE TableName = 'Wide'")"
  done
  ;;

audit_wrong_columns)
  # An AuditLog that is not ours: nothing is written, and the reason is said.
  plant_db plant.db
  q plant.db "CREATE TABLE AuditLog (Who TEXT, What TEXT)"
  before=$(q plant.db "SELECT count(*) FROM Tags")
  run_fails delete plant.db TIC-101
  contains err.txt "AuditLog has the wrong columns (Who, What)"
  printf 'TagName,TagType,TagDesc\nNEW-1,PIDController,x\n' >new.csv
  run_fails import plant.db new.csv
  contains err.txt "AuditLog has the wrong columns"
  [ "$(q plant.db "SELECT count(*) FROM Tags")" = "$before" ] || fail "a tag was written"
  run_fails audit enable plant.db
  contains err.txt "wrong columns"
  run_fails log plant.db
  contains err.txt "wrong columns"
  run_fails check --fix plant.db
  contains err.txt "wrong columns"
  # Reading is not affected.
  run_ok list plant.db
  contains out.txt "TIC-101"
  ;;

watch)
  plant_db plant.db
  run_ok watch plant.db --once
  first=$(cat out.txt)
  [ "$first" = "$(q plant.db 'SELECT Generation FROM ConfigGeneration')" ] || fail "watch --once is not the counter"
  run_ok watch plant.db --once
  [ "$(cat out.txt)" = "$first" ] || fail "the generation moved without a write"
  run_ok delete plant.db TIC-101
  run_ok watch plant.db --once
  [ "$(cat out.txt)" != "$first" ] || fail "the generation did not move after a delete"
  run_fails watch missing.db --once
  contains err.txt "missing.db"

  # The running watch prints a line when another program commits.
  "$ZEMATAG" watch plant.db --interval 0.1 >watch.txt 2>&1 &
  background=$!
  for _ in $(seq 50); do [ -s watch.txt ] && break; sleep 0.1; done
  "$ZEMATAG" delete plant.db FIC-102 >/dev/null
  for _ in $(seq 50); do grep -q changed watch.txt && break; sleep 0.1; done
  kill "$background"
  background=
  contains watch.txt "generation"
  contains watch.txt "(changed)"
  ;;

diff)
  plant_db a.db
  copy_db a.db b.db
  # b: one tag deleted, one described anew, a display unit and a value changed, one tag added.
  "$ZEMATAG" delete b.db TIC-101 >/dev/null
  q b.db "UPDATE Tags SET TagDesc = 'changed' WHERE TagName = 'TT-101';
    UPDATE HMIInfo SET EU = 'K' WHERE FieldName = 'PV' AND TagID = (SELECT TagID FROM Tags WHERE TagName = 'FIC-102');
    UPDATE PIDController SET SP = 99 WHERE TagID = (SELECT TagID FROM Tags WHERE TagName = 'FIC-102');"
  printf 'TagName,TagType,TagDesc,PV\nNEW-1,PIDController,new one,1.5\n' >new.csv
  "$ZEMATAG" import b.db new.csv >/dev/null
  run_fails diff a.db b.db
  [ ! -s err.txt ] || fail "differences are not errors: $(cat err.txt)"
  contains out.txt "+ NEW-1  PIDController"
  contains out.txt "- TIC-101  PIDController"
  contains out.txt "~ FIC-102"
  grep -q -E '^    PIDController\.SP +26\.92 +→ 99$' out.txt || fail "value change not aligned: $(cat out.txt)"
  grep -q -E '^    HMIInfo\[PV\]\.EU +"m3/h" +→ "K"$' out.txt || fail "display change: $(cat out.txt)"
  contains out.txt 'Tags.TagDesc  "Feed tank T-101 temperature transmitter" → "changed"'
  contains out.txt "1 added, 1 removed, 2 changed, 297 unchanged"
  lacks out.txt $'\033'
  run_fails diff a.db b.db --format json
  python3 - out.txt <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
assert [t["name"] for t in d["tags"]["added"]] == ["NEW-1"], d["tags"]["added"]
assert [t["name"] for t in d["tags"]["removed"]] == ["TIC-101"]
changed = {t["name"]: t["changes"] for t in d["tags"]["changed"]}
assert {"table": "PIDController", "column": "SP", "old": 26.92, "new": 99} in changed["FIC-102"], changed
assert {"table": "HMIInfo", "field": "PV", "column": "EU", "old": "m3/h", "new": "K"} in changed["FIC-102"]
assert d["summary"] == {"added": 1, "removed": 1, "changed": 2, "unchanged": 297, "typeChanges": 0}
PY
  # Same content, other TagIDs: tags are matched by name.
  "$ZEMATAG" init c.db --types "$EXAMPLE/types.ini" >/dev/null
  printf 'TagName,TagType\nFILLER,Motor\n' >filler.csv
  "$ZEMATAG" import c.db filler.csv >/dev/null
  "$ZEMATAG" import c.db "$EXAMPLE/tags.csv" >/dev/null
  "$ZEMATAG" delete c.db FILLER >/dev/null
  run_ok diff a.db c.db
  contains out.txt "0 added, 0 removed, 0 changed, 300 unchanged"
  # Types added and removed.
  printf '[Valve2]\nid = 40\nfield = Open BIT\n' >extra.ini
  cat "$EXAMPLE/types.ini" extra.ini >more.ini
  "$ZEMATAG" init d.db --types more.ini >/dev/null
  run_fails diff a.db d.db
  contains out.txt "+ type Valve2 (id 40)"
  run_fails diff d.db a.db
  contains out.txt "- type Valve2 (id 40)"
  run_fails diff a.db missing.db
  contains err.txt "missing.db"
  ;;

apply)
  plant_db a.db
  copy_db a.db b.db
  "$ZEMATAG" delete b.db TIC-101 >/dev/null
  q b.db "UPDATE Tags SET TagDesc = 'changed' WHERE TagName = 'TT-101';
    UPDATE PIDController SET SP = 99 WHERE TagID = (SELECT TagID FROM Tags WHERE TagName = 'FIC-102');"
  printf 'TagName,TagType,TagDesc,PV,PV.EU\nNEW-1,PIDController,new one,1.5,bar\n' >new.csv
  "$ZEMATAG" import b.db new.csv >/dev/null
  run_fails diff a.db b.db --changeset ab.cs
  [ -s ab.cs ] || fail "no change set written"

  # A third database that agrees with a: afterwards it agrees with b, and its trail says so.
  "$ZEMATAG" init c.db --types "$EXAMPLE/types.ini" --audit >/dev/null
  "$ZEMATAG" import c.db "$EXAMPLE/tags.csv" >/dev/null
  generation=$("$ZEMATAG" watch c.db --once)
  run_ok apply ab.cs c.db
  contains out.txt "applied"
  run_ok diff c.db b.db
  [ "$("$ZEMATAG" watch c.db --once)" != "$generation" ] || fail "apply did not move the generation"
  run_ok log c.db --tag FIC-102
  contains out.txt "update PIDController  FIC-102"
  contains out.txt "SP: 26.92 → 99.0"
  run_ok log c.db --tag TIC-101
  contains out.txt "delete Tags  TIC-101"
  contains out.txt "delete PIDController  TIC-101"
  run_ok show c.db NEW-1
  contains out.txt "bar"

  # Applied twice: every change meets what it already made; nothing is written.
  before=$(content c.db)
  run_fails apply ab.cs c.db
  contains err.txt "tag NEW-1: the target already has the Tags row that the change set adds"
  contains err.txt "tag TIC-101: the target has no Tags row to delete"
  contains err.txt "tag FIC-102: PIDController.SP is 99 in the target, the change set expects 26.92"
  contains err.txt "nothing applied"
  [ "$(content c.db)" = "$before" ] || fail "a refused apply changed the file"

  # A target changed since the diff: refused, naming tag and column, unless forced.
  copy_db a.db e.db
  q e.db "UPDATE Tags SET TagDesc = 'someone else' WHERE TagName = 'TT-101'"
  run_fails apply ab.cs e.db
  contains err.txt 'tag TT-101: Tags.TagDesc is "someone else" in the target, the change set expects "Feed tank T-101 temperature transmitter"'
  [ "$(grep -c '^zematag: tag' err.txt)" -eq 1 ] || fail "only one conflict expected: $(cat err.txt)"
  [ "$(q e.db "SELECT count(*) FROM Tags WHERE TagName = 'NEW-1'")" = 0 ] || fail "half applied"
  run_ok apply ab.cs e.db --force
  contains out.txt "forced: tag TT-101"
  run_ok diff e.db b.db

  # A change set for another schema: refused before anything is written.
  sed 's/^field *= *SP *DOUBLE/field = SP LONG/' "$EXAMPLE/types.ini" >other.ini
  "$ZEMATAG" init f.db --types other.ini >/dev/null
  "$ZEMATAG" import f.db "$EXAMPLE/tags.csv" >/dev/null 2>&1 || true  # SP values are not whole
  before=$(content f.db)
  run_fails apply ab.cs f.db
  contains err.txt "is a change set for another schema than f.db: type PIDController has fields"
  [ "$(content f.db)" = "$before" ] || fail "a refused apply changed the file"

  # Cut short anywhere, or not a change set at all: refused, nothing written.
  copy_db a.db g.db
  before=$(content g.db)
  size=$(stat -c %s ab.cs)
  for cut in 0 1 7 40 $((size / 3)) $((size / 2)) $((size - 20)) $((size - 1)); do
    head -c "$cut" ab.cs >cut.cs
    run_fails apply cut.cs g.db
    contains err.txt "not a complete change set"
  done
  run_fails apply "$EXAMPLE/types.ini" g.db
  contains err.txt "not a complete change set"
  run_fails apply missing.cs g.db
  contains err.txt "missing.cs"
  [ "$(content g.db)" = "$before" ] || fail "a refused apply changed the file"
  ;;

apply_types)
  # Types added and removed travel with the change set: a gets Old (with a tag), b Valve2.
  printf '[Old]\nid = 41\nfield = X LONG\n' >old.ini
  printf '[Valve2]\nid = 40\nfield = Open BIT\nfield = Travel DOUBLE\n' >valve.ini
  cat "$EXAMPLE/types.ini" old.ini >a.ini
  cat "$EXAMPLE/types.ini" valve.ini >b.ini
  printf 'TagName,TagType,X\nOLD-1,Old,7\n' >old.csv
  printf 'TagName,TagType,Open,Travel\nV-1,Valve2,1,2.5\n' >valve.csv
  for db in a c; do
    "$ZEMATAG" init $db.db --types a.ini --audit >/dev/null
    "$ZEMATAG" import $db.db "$EXAMPLE/tags.csv" >/dev/null
    "$ZEMATAG" import $db.db old.csv >/dev/null
  done
  "$ZEMATAG" init b.db --types b.ini >/dev/null
  "$ZEMATAG" import b.db "$EXAMPLE/tags.csv" >/dev/null
  "$ZEMATAG" import b.db valve.csv >/dev/null
  run_fails diff a.db b.db --changeset ab.cs
  contains out.txt "+ type Valve2 (id 40)"
  contains out.txt "- type Old (id 41)"
  copy_db c.db d.db
  "$ZEMATAG" init e.db --types a.ini >/dev/null
  "$ZEMATAG" import e.db "$EXAMPLE/tags.csv" >/dev/null
  "$ZEMATAG" import e.db old.csv >/dev/null

  run_ok apply ab.cs c.db
  contains out.txt "(1 types added, 1 removed)"
  run_ok diff c.db b.db
  [ "$(q c.db "SELECT count(*) FROM sqlite_master WHERE name = 'Old'")" = 0 ] || fail "table Old is left"
  # The new value table is tracked as the others are: its writes reach the trail.
  "$ZEMATAG" delete c.db V-1 >/dev/null
  run_ok log c.db --tag V-1
  contains out.txt "insert Valve2  V-1"
  contains out.txt "delete Valve2  V-1"

  # Applied twice: both types are named, nothing is written, --force skips them.
  before=$(content c.db)
  run_fails apply ab.cs c.db
  contains err.txt "type Valve2: the target already has the type that the change set adds"
  [ "$(content c.db)" = "$before" ] || fail "a refused apply changed the file"
  contains err.txt "--force applies"
  run_ok apply ab.cs c.db --force
  contains out.txt "forced: type Valve2: the target already has the type that the change set adds"
  contains out.txt "forced: type Old: the target has no such type to remove"
  run_ok diff c.db b.db

  # A type whose tags the change set does not remove, or a type of the same name that differs,
  # is refused even when forced.
  printf 'TagName,TagType,X\nOLD-2,Old,8\n' >old2.csv
  "$ZEMATAG" import d.db old2.csv >/dev/null
  before=$(content d.db)
  run_fails apply ab.cs d.db --force
  contains err.txt "type Old: the target still has 1 tags of it"
  [ "$(content d.db)" = "$before" ] || fail "a refused apply changed the file"
  q e.db 'INSERT INTO TagTypes VALUES (40, "Valve2", 0, 0); CREATE TABLE Valve2 (TagID LONG, Open SHORT)'
  before=$(content e.db)
  run_fails apply ab.cs e.db --force
  contains err.txt "type Valve2: the target already has a type of that name (id 40"
  [ "$(content e.db)" = "$before" ] || fail "a refused apply changed the file"

  # A type changed in place (same name, other fields) is not carried: the diff says so, and
  # apply refuses, even forced, a target whose type is still the old one, naming both.
  printf '[Valve]\nid = 42\nfield = Open BIT\n' >v1.ini
  printf '[Valve]\nid = 42\nfield = Open BIT\nfield = Travel DOUBLE\n' >v2.ini
  for db in v1 v2 v3; do "$ZEMATAG" init $db.db --types ${db/v3/v2}.ini >/dev/null; done
  printf 'TagName,TagType,Open\nV-1,Valve,1\n' >v1.csv
  printf 'TagName,TagType,Open,Travel\nV-1,Valve,0,2.5\nV-2,Valve,1,3\n' >v2.csv
  "$ZEMATAG" import v1.db v1.csv >/dev/null
  "$ZEMATAG" import v3.db v1.csv >/dev/null
  "$ZEMATAG" import v2.db v2.csv >/dev/null
  run_fails diff v1.db v2.db --changeset v.cs
  contains out.txt "~ type Valve: fields (Open BIT) → (Open BIT, Travel DOUBLE)"
  contains err.txt "type Valve changed in place"
  contains err.txt "only to a database whose type Valve is already as in v2.db"
  copy_db v1.db t.db
  before=$(content t.db)
  for force in "" --force; do
    run_fails apply v.cs t.db $force
    contains err.txt "type Valve has fields (Open BIT) there, (Open BIT, Travel DOUBLE) in the change set"
    contains err.txt "not its id or fields"
    [ "$(content t.db)" = "$before" ] || fail "a refused apply changed the file"
  done
  # Where the type is already as in the later database, the tags apply.
  run_ok apply v.cs v3.db
  run_ok diff v3.db v2.db
  ;;

apply_type_ids)
  # A type whose library or module id alone changed travels as an update of those ids.
  plant_db a.db
  copy_db a.db b.db
  q b.db "UPDATE TagTypes SET TypeModuleID = 9 WHERE TypeName = 'AnalogInput';
    UPDATE TagTypes SET TypeLibID = 4, TypeModuleID = 6 WHERE TypeName = 'PIDController';
    UPDATE Tags SET TagDesc = 'changed' WHERE TagName = 'TT-101';"
  run_fails diff a.db b.db --changeset ab.cs
  contains out.txt "~ type AnalogInput: library/module 1/2 → 1/9"
  contains out.txt "~ type PIDController: library/module 1/1 → 4/6"
  lacks err.txt "changed in place"
  plant_db c.db --audit
  generation=$("$ZEMATAG" watch c.db --once)
  run_ok apply ab.cs c.db
  contains out.txt "applied 1 changes of 1 tags (2 types changed)"
  run_ok diff c.db b.db
  [ "$("$ZEMATAG" watch c.db --once)" != "$generation" ] || fail "apply did not move the generation"
  [ "$(q c.db "SELECT group_concat(json_extract(After, '$.TypeLibID') || '/' || json_extract(After, '$.TypeModuleID'), ' ')
      FROM AuditLog WHERE TableName = 'TagTypes' AND Operation = 'update'")" = "1/9 4/6" ] ||
    fail "the trail lacks the type updates: $(q c.db "SELECT After FROM AuditLog WHERE TableName = 'TagTypes'")"

  # Applied twice, or to a target whose ids differ: refused naming type, column and both values.
  before=$(content c.db)
  run_fails apply ab.cs c.db
  contains err.txt "type AnalogInput: TagTypes.TypeModuleID is 9 in the target, the change set expects 2"
  contains err.txt "type PIDController: TagTypes.TypeLibID is 4 in the target, the change set expects 1"
  [ "$(content c.db)" = "$before" ] || fail "a refused apply changed the file"
  copy_db a.db d.db
  q d.db "UPDATE TagTypes SET TypeModuleID = 7 WHERE TypeName = 'AnalogInput'"
  before=$(content d.db)
  run_fails apply ab.cs d.db
  contains err.txt "type AnalogInput: TagTypes.TypeModuleID is 7 in the target, the change set expects 2"
  [ "$(grep -c '^zematag: type' err.txt)" -eq 1 ] || fail "only one conflict expected: $(cat err.txt)"
  [ "$(content d.db)" = "$before" ] || fail "a refused apply changed the file"
  run_ok apply ab.cs d.db --force
  contains out.txt "forced: type AnalogInput"
  run_ok diff d.db b.db
  # A target without the type.
  copy_db a.db e.db
  q e.db "DELETE FROM TagTypes WHERE TypeName = 'PIDController'"
  before=$(content e.db)
  run_fails apply ab.cs e.db --force
  contains err.txt "is a change set for another schema than e.db: it has no type PIDController"
  [ "$(content e.db)" = "$before" ] || fail "a refused apply changed the file"
  for cut in 1 $(($(stat -c %s ab.cs) / 2)) $(($(stat -c %s ab.cs) - 1)); do
    head -c "$cut" ab.cs >cut.cs
    run_fails apply cut.cs e.db
    contains err.txt "not a complete change set"
  done

  # A change set written before types were updated in place (it adds type Valve2 and its tag
  # V-1, and describes TT-101 anew) applies as it did.
  plant_db f.db
  run_ok apply "$here/../data/changesets/types-added-no-updates.cs" f.db
  contains out.txt "applied 3 changes of 2 tags (1 types added, 0 removed)"
  [ "$(q f.db "SELECT TypeID, TypeLibID, TypeModuleID FROM TagTypes WHERE TypeName = 'Valve2'")" = "40|3|4" ] ||
    fail "type Valve2 not added"
  [ "$(q f.db "SELECT TagDesc FROM Tags WHERE TagName = 'TT-101'")" = changed ] || fail "TT-101 not changed"
  ;;

apply_killed)
  # kill -9 in the middle of apply: the target is as before or fully applied, never half.
  plant_db a.db
  copy_db a.db b.db
  python3 -c "
print('TagName,TagType,TagDesc,PV,PV.EU')
for i in range(4000): print(f'BIG-{i},PIDController,big tag {i},{i}.5,bar')" >big.csv
  "$ZEMATAG" import b.db big.csv >/dev/null
  "$ZEMATAG" delete b.db TIC-101 TT-101 >/dev/null
  run_fails diff a.db b.db --changeset ab.cs
  before=0 after=0
  for delay in 0.01 0.03 0.05 0.08 0.1 0.15 0.2 0.3 0.5 1.5; do
    copy_db a.db t.db
    "$ZEMATAG" apply ab.cs t.db >/dev/null 2>&1 &
    pid=$!
    sleep "$delay"
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    if "$ZEMATAG" diff a.db t.db >/dev/null 2>&1; then
      before=$((before + 1))
    elif "$ZEMATAG" diff b.db t.db >/dev/null 2>&1; then
      after=$((after + 1))
    else
      "$ZEMATAG" diff a.db t.db | tail -1
      fail "after kill -9 at ${delay}s the target is neither as before nor fully applied"
    fi
  done
  echo "killed runs: $before left it as before, $after fully applied"
  # The same change set, not interrupted, applies whole.
  copy_db a.db t.db
  run_ok apply ab.cs t.db
  run_ok diff b.db t.db
  ;;

*)
  fail "unknown case"
  ;;
esac
echo "ok [$case_name]"
