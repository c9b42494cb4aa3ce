#!/usr/bin/env bash
# Drives zematag's change-tracking commands (audit, log, watch, diff, apply) as a user would.
# Usage: changes_test.sh CASE ZEMATAG EXAMPLE_DIR
set -euo pipefail

case_name=$1
ZEMATAG=$2
EXAMPLE=$3
work=$(mktemp -d)
background=
trap '[ -n "$background" ] && kill "$background" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
mkdir -p empty-nls
export HVK_NLS_DIR=$work/empty-nls

fail() {
  echo "FAILED [$case_name]: $*" >&2
  exit 1
}
run_ok() {
  "$ZEMATAG" "$@" >out.txt 2>err.txt || fail "zematag $* exited $? ($(head -3 err.txt))"
}
run_fails() {
  local status=0
  "$ZEMATAG" "$@" >out.txt 2>err.txt || status=$?
  [ "$status" -ne 0 ] || fail "zematag $* succeeded, expected a failure"
  [ "$status" -lt 128 ] || fail "zematag $* died with signal $((status - 128))"
  grep -q -i -E 'terminate|abort|stack|Sanitizer' err.txt && fail "zematag $* crashed: $(cat err.txt)"
  return 0
}
contains() {
  grep -q -F -- "$2" "$1" || fail "$1 lacks '$2'; it holds:
$(head -40 "$1")"
}
lacks() {
  if grep -q -F -- "$2" "$1"; then fail "$1 holds '$2'"; fi
}
plant_db() {  # plant_db DB [init options]: the example plant, imported
  local db=$1
  shift
  "$ZEMATAG" init "$db" --types "$EXAMPLE/types.ini" "$@" >/dev/null
  "$ZEMATAG" import "$db" "$EXAMPLE/tags.csv" >/dev/null
}
q() { sqlite3 "$@"; }

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

*)
  fail "unknown case"
  ;;
esac
echo "ok [$case_name]"
