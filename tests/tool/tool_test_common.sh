# The setup and the checks that the tool's test scripts share; each script sources it after
# setting case_name (the name in its failure messages), ZEMATAG (the tool) and EXAMPLE (the
# example plant's folder).
#
# It makes a working directory of its own ($work, the current directory from here on) with an
# empty language directory for the toolkit, and removes it at exit. A script that has more to
# undo at exit (a server database, a process in the background, a mount) puts the commands in
# at_exit: they run first, and their failure does not stop the removal.

work=$(mktemp -d)
at_exit=
remove_work() {
  if [ -n "$at_exit" ]; then eval "$at_exit" || true; fi
  rm -rf "$work"
}
trap remove_work EXIT
cd "$work"
# No language directory unless a test names one.
mkdir -p empty-nls
export HVK_NLS_DIR=$work/empty-nls

fail() {
  echo "FAILED [$case_name]: $*" >&2
  exit 1
}

# run_ok CMD...: the command succeeds; its stdout goes to out.txt, its stderr to err.txt.
run_ok() {
  "$ZEMATAG" "$@" >out.txt 2>err.txt || fail "zematag $* exited $? ($(head -3 err.txt))"
}

# run_fails CMD...: the command exits non-zero without crashing; stdout out.txt, stderr err.txt.
run_fails() {
  local status=0
  "$ZEMATAG" "$@" >out.txt 2>err.txt || status=$?
  [ "$status" -ne 0 ] || fail "zematag $* succeeded, expected a failure"
  [ "$status" -lt 128 ] || fail "zematag $* died with signal $((status - 128))"
  grep -q -i -E 'terminate|abort|stack|Sanitizer' err.txt && fail "zematag $* crashed: $(cat err.txt)"
  return 0
}

contains() {  # contains FILE TEXT
  grep -q -F -- "$2" "$1" || fail "$1 lacks '$2'; it holds:
$(head -40 "$1")"
}

lacks() {  # lacks FILE TEXT
  if grep -q -F -- "$2" "$1"; then fail "$1 holds '$2'"; fi
}

plant_db() {  # plant_db DB [init options]: the example plant, imported
  local db=$1
  shift
  "$ZEMATAG" init "$db" --types "$EXAMPLE/types.ini" "$@" >/dev/null
  "$ZEMATAG" import "$db" "$EXAMPLE/tags.csv" >/dev/null
}
