#!/usr/bin/env bash
# Drives the zematag binary as a user would. Usage: zematag_test.sh CASE ZEMATAG EXAMPLE_DIR
set -euo pipefail

case_name=$1
ZEMATAG=$2
EXAMPLE=$3
source "$(dirname "${BASH_SOURCE[0]}")/tool_test_common.sh"

# Every line of stderr is one error line of the tool.
one_line_errors() {
  [ -s err.txt ] || fail "nothing on stderr"
  if grep -v -q '^zematag: ' err.txt; then fail "stderr has lines not starting 'zematag: ': $(cat err.txt)"; fi
}

tag_count() {  # tag_count DB [--type T]: the count from the last line of list
  "$ZEMATAG" list "$@" | tail -1 | awk '{print $1}'
}

motors_csv() {  # motors_csv FILE N: N motors M-000001.. with a value and display information
  awk -v n="$2" 'BEGIN {
    print "TagName,TagType,TagDesc,Current,Current.SCH,Current.SCL,Current.EU,Current.Decimal,Starts"
    for (i = 1; i <= n; i++) printf "M-%06d,Motor,motor %d,%d.5,50,0,A,1,%d\n", i, i, i % 40, i
  }' >"$1"
}

# as_user CMD...: runs a command as an unprivileged user when the tests run as root (root
# ignores file permissions), else as ourselves.
as_user() {
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"
  else
    "$@"
  fi
}

# The rows of one table that a check must never find: tags without their value row, value
# and display rows without their tag.
half_stored() {  # half_stored DB
  sqlite3 "$1" "SELECT (SELECT COUNT(*) FROM Tags WHERE TagType = 5 AND TagID NOT IN (SELECT TagID FROM Motor))
    + (SELECT COUNT(*) FROM Motor WHERE TagID NOT IN (SELECT TagID FROM Tags))
    + (SELECT COUNT(*) FROM HMIInfo WHERE TagID NOT IN (SELECT TagID FROM Tags))"
}

case "$case_name" in

help)
  run_ok --help
  for command in init import list show export delete check demo; do
    contains out.txt "$command"
  done
  for command in init import list show export delete check demo; do
    run_ok "$command" --help
    contains out.txt "Usage"
    contains out.txt "$command"
  done
  run_ok import --help
  contains out.txt "TagName"
  contains out.txt ".SCH"
  run_fails frobnicate
  one_line_errors
  run_fails
  one_line_errors
  run_fails list
  one_line_errors
  ;;

init)
  run_ok init plant.db --types "$EXAMPLE/types.ini"
  [ -f plant.db ] || fail "init made no file"
  [ "$(sqlite3 plant.db 'PRAGMA journal_mode')" = wal ] || fail "the database is not in WAL mode"
  sqlite3 plant.db "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name" >tables.txt
  for table in AnalogInput DigitalInput HMIInfo Motor OnOffValve PIDController TagTypes Tags Totalizer; do
    contains tables.txt "$table"
  done
  sqlite3 plant.db "SELECT TypeID, TypeName, TypeLibID, TypeModuleID FROM TagTypes ORDER BY TypeID" >types.txt
  contains types.txt "5|Motor|2|2"
  [ "$(wc -l <types.txt)" -eq 6 ] || fail "expected 6 types"
  # Declared types as written, with their affinity-safe replacements.
  sqlite3 plant.db "SELECT name || ' ' || type FROM pragma_table_info('Totalizer')" >columns.txt
  contains columns.txt "TagID LONG"
  contains columns.txt "Total DECIMAL(18,3)"
  contains columns.txt "UnitPrice CURRENCY"
  sqlite3 plant.db "SELECT name || ' ' || type FROM pragma_table_info('PIDController')" >columns.txt
  contains columns.txt "Kp FLOAT4"
  sqlite3 plant.db "SELECT name || ' ' || type || ' ' || pk FROM pragma_table_info('Tags')" >columns.txt
  contains columns.txt "TagID INTEGER 1"
  contains columns.txt "TagName VARCHAR(31) 0"
  sqlite3 plant.db "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'Tags'" | grep -q AUTOINCREMENT ||
    fail "Tags.TagID is not AUTOINCREMENT"
  sqlite3 plant.db "SELECT tbl_name || '.' || sql FROM sqlite_master WHERE type = 'index'" >indexes.txt
  for table in HMIInfo Motor PIDController Totalizer; do contains indexes.txt "$table.CREATE INDEX"; done
  contains indexes.txt "(\"TagName\")"

  # An existing file is refused unless --force, and left as it was.
  before=$(md5sum <plant.db)
  run_fails init plant.db --types "$EXAMPLE/types.ini"
  one_line_errors
  contains err.txt "--force"
  [ "$(md5sum <plant.db)" = "$before" ] || fail "a refused init changed the file"
  run_ok init plant.db --types "$EXAMPLE/types.ini" --force

  # Column types whose SQLite affinity would alter stored values are replaced.
  cat >memo.ini <<'TYPES'
[Note]
id = 7
field = Text MEMO
field = Gain SINGLE
field = Ratio NUMBER
field = Label VARCHAR
TYPES
  run_ok init memo.db --types memo.ini
  sqlite3 memo.db "SELECT name || ' ' || type FROM pragma_table_info('Note')" >columns.txt
  contains columns.txt "Text LONGTEXT"
  contains columns.txt "Gain FLOAT4"
  contains columns.txt "Ratio DOUBLE"
  contains columns.txt "Label VARCHAR(255)"

  # Bad descriptions name the file and line, and leave no file behind.
  printf '[Pump]\nid = 3\nfield = PV WIDGET\n' >bad.ini
  run_fails init bad.db --types bad.ini
  one_line_errors
  contains err.txt "bad.ini:1"
  contains err.txt "WIDGET"
  [ ! -e bad.db ] || fail "a failed init left a file"
  printf '[Pump]\nid = 3\nfield = TagName VARCHAR(31)\n' >bad.ini
  run_fails init bad.db --types bad.ini
  contains err.txt "TagName"
  printf '[Pump]\nid = 3\n[Valve]\nid = 3\n' >bad.ini
  run_fails init bad.db --types bad.ini
  contains err.txt "used twice"
  printf '[Group]\nid = 3\n' >bad.ini
  run_fails init bad.db --types bad.ini
  contains err.txt "key word"
  printf '[Pump]\nid = 3\nspeed = 4\n' >bad.ini
  run_fails init bad.db --types bad.ini
  contains err.txt "bad.ini:3"
  [ ! -e bad.db ] || fail "a failed init left a file"
  ;;

roundtrip)
  plant_db a.db
  [ "$(tag_count a.db)" = 300 ] || fail "expected 300 tags, listed $(tag_count a.db)"
  [ "$(tag_count a.db --type Motor)" = 40 ] || fail "expected 40 motors"
  [ "$(tag_count a.db --type 5)" = 40 ] || fail "--type by id differs from --type by name"
  [ "$(tag_count a.db --type pidcontroller)" = 60 ] || fail "expected 60 controllers"

  # CSV: export, re-create from the exported types, import, export again: the same file.
  run_ok export a.db --format csv -o a.csv
  run_ok export a.db --format types -o types.ini
  run_ok init b.db --types types.ini
  run_ok import --batch 7 b.db a.csv
  contains out.txt "imported 300 tag(s)"
  run_ok export b.db --format csv -o b.csv
  cmp a.csv b.csv || fail "the CSV export of the re-imported database differs"
  contains a.csv 'TIC-101,PIDController,Feed tank T-101 temperature control,1,2,1,126.7,250,0,°C,1,'
  contains a.csv '"Reboiler E-302 bypass valve, sticks, see work order ""WO-4471"""'

  # JSON: the export carries its types, so it alone rebuilds the database.
  run_ok export a.db --format json -o a.json
  run_ok init c.db --types a.json
  run_ok import c.db a.json
  run_ok export c.db --format json -o c.json
  cmp a.json c.json || fail "the JSON export of the re-imported database differs"
  run_ok export c.db --format csv -o c.csv
  cmp a.csv c.csv || fail "the JSON round trip changed the catalogue"
  # Numbers and truth values are JSON numbers and booleans, exact decimals are text.
  contains a.json '"name": "TIC-101",'
  contains a.json '"PV": 126.7,'
  contains a.json '"SCH": 250,'
  contains a.json '"EU": "°C",'
  contains a.json '"Cmd": false,'
  contains a.json '"Total": "688292.583",'
  [ "$(grep -c '"alarmLevel": ' a.json)" -eq 300 ] || fail "expected 300 tags in a.json"
  [ "$(tag_count c.db)" = 300 ] || fail "the JSON import lost tags"
  ;;

values)
  cat >types.ini <<'TYPES'
[Sample]
id = 9
library = 4
module = 1
field = L LONG
field = B BIGINT
field = S SHORT
field = Y BYTE
field = F BIT
field = R FLOAT4
field = D DOUBLE
field = C CURRENCY
field = T DATETIME
field = N DECIMAL(28,6)
field = V VARCHAR(10)
field = M LONGTEXT
TYPES
  run_ok init v.db --types types.ini
  # CRLF line ends, a byte-order mark, quoted fields with commas, doubled quotes and a line break.
  printf '\xef\xbb\xbfTagName,TagType,TagDesc,L,B,S,Y,F,R,D,C,T,N,V,M\r\n' >v.csv
  printf 'MAX-1,Sample,"upper limits, all",2147483647,9223372036854775807,32767,255,yes,3.4028235e38,1.7976931348623157e308,922337203685477.5807,9999-12-31 23:59:59,9999999999999999999999.999999,abcdefghij,"say ""hi""\r\nnext line"\r\n' >>v.csv
  printf 'MIN-1,9,lower limits,-2147483648,-9223372036854775808,-32768,0,false,-1e-30,-2.5e-300,-922337203685477.5808,1800-06-15 12:00:00,-0.000001,ÄÖÜ€,\r\n' >>v.csv
  printf 'MID-1,sample,plain,42,,7,,1,0.1,0.1,12.5,1899-12-30,00123.4500,00123,00123\r\n' >>v.csv
  run_ok import v.db v.csv
  contains out.txt "imported 3 tag(s)"
  run_ok export v.db --format csv -o out.csv
  contains out.csv 'MAX-1,Sample,"upper limits, all",0,0,0,2147483647,9223372036854775807,32767,255,true,3.4028235e+38,1.7976931348623157e+308,922337203685477.5807,9999-12-31 23:59:59,9999999999999999999999.999999,abcdefghij,"say ""hi""'
  contains out.csv 'next line"'
  contains out.csv 'MIN-1,Sample,lower limits,0,0,0,-2147483648,-9223372036854775808,-32768,0,false,-1e-30,-2.5e-300,-922337203685477.5808,1800-06-15 12:00:00,-0.000001,ÄÖÜ€,'
  # Text that looks like a number stays text; exact numbers lose only their insignificant zeros.
  contains out.csv 'MID-1,Sample,plain,0,0,0,42,,7,,true,0.1,0.1,12.5,1899-12-30,123.45,00123,00123'
  run_ok --nls empty-nls show v.db MAX-1
  contains out.txt '"say "hi"'
  ;;

bad_rows)
  plant_db p.db
  cat >bad.csv <<'CSV'
TagName,TagType,TagDesc,TagGroup,PV,SP,PV.EU,Current
NEW-1,PIDController,a good one,1,10,12,bar,
NEW-2,Pump,unknown type,1,10,12,bar,
NEW-3,PIDController,too few columns
NEW-4,PIDController,not a number,1,ten,12,bar,
THIS-TAG-NAME-IS-FAR-TOO-LONG-XYZ,PIDController,long name,1,1,1,bar,
NEW-1,PIDController,"a duplicate,
over two lines",1,1,1,bar,
TIC-101,PIDController,already in the database,1,1,1,bar,
NEW-5,PIDController,unit too long,1,1,1,furlongs,
NEW-6,PIDController,group out of range,300,1,1,bar,
NEW-7,PIDController,a field of another type,1,1,1,bar,5
NEW-8,PIDController,"unclosed, another good one follows",1,1,1,,
NEW-9,Motor,a good motor,2,,,,12.5
CSV
  status=0
  "$ZEMATAG" import p.db bad.csv >out.txt 2>err.txt || status=$?
  [ "$status" -eq 1 ] || fail "import of bad rows exited $status, expected 1"
  one_line_errors
  contains err.txt "bad.csv:3: unknown tag type 'Pump'"
  contains err.txt "bad.csv:4: the row has 3 columns, the header 8"
  contains err.txt "bad.csv:5: field PV: 'ten' is not a number"
  contains err.txt "bad.csv:6: tag name 'THIS-TAG-NAME-IS-FAR-TOO-LONG-XYZ' is 33 bytes long"
  contains err.txt "bad.csv:7: tag name NEW-1 is used before, at bad.csv:2"
  contains err.txt "bad.csv:9: tag TIC-101 already exists in the database"
  contains err.txt "bad.csv:10: PV.EU 'furlongs' is 8 bytes long"
  contains err.txt "bad.csv:11: TagGroup '300' is not a whole number in 0..255"
  contains err.txt "bad.csv:12: type PIDController has no field Current"
  [ "$(wc -l <err.txt)" -eq 9 ] || fail "expected 9 error lines, got: $(cat err.txt)"
  contains out.txt "imported 3 tag(s)"
  contains out.txt "9 row(s) rejected"
  [ "$(tag_count p.db)" = 303 ] || fail "expected 303 tags after the import"
  run_ok show p.db NEW-1 NEW-8 NEW-9
  for name in NEW-2 NEW-3 NEW-4 NEW-5 NEW-6 NEW-7 THIS-TAG-NAME-IS-FAR-TOO-LONG-XYZ; do
    run_fails show p.db "$name"
    contains err.txt "no tag named $name"
  done
  run_ok export p.db --format csv -o p.csv
  [ "$(grep -c '^NEW-1,' p.csv)" -eq 1 ] || fail "NEW-1 was stored twice"
  contains p.csv "NEW-1,PIDController,a good one,1,0,0,10,"
  run_ok check p.db

  # A quote never closed swallows the rest of the file: reported, nothing of it saved.
  printf 'TagName,TagType\nQ-1,Motor\n"Q-2,Motor\nQ-3,Motor\n' >quote.csv
  run_fails import p.db quote.csv
  contains err.txt "quote.csv:3: a quoted field is not closed"
  run_ok show p.db Q-1
  # --dry-run checks and saves nothing.
  printf 'TagName,TagType\nDRY-1,Motor\n' >dry.csv
  run_ok import --dry-run p.db dry.csv
  run_fails show p.db DRY-1
  # JSON rows are checked the same way and named by their position.
  cat >bad.json <<'JSON'
{"tags": [
  {"name": "J-1", "type": "Motor", "values": {"Current": "abc"}},
  {"name": "J-2", "type": 5, "group": 3, "values": {"Running": true, "Starts": 12},
   "display": {"Current": {"SCH": 30, "SCL": 0, "EU": "A", "Decimal": 1}}},
  {"type": "Motor"},
  {"name": "J-4", "type": "Motor", "values": {"Starts": [1, 2]}},
  {"name": "J-5", "type": "Motor", "values": {"Colour": "red"}}
]}
JSON
  run_fails import p.db bad.json
  one_line_errors
  contains err.txt "bad.json: tag #1 (J-1): field Current: 'abc' is not a single-precision number"
  contains err.txt "bad.json: tag #3 (): the tag name is empty"
  contains err.txt "bad.json: tag #4 (J-4): a value is neither text, a number nor true/false"
  contains err.txt "bad.json: tag #5 (J-5): type Motor has no field Colour"
  run_ok show p.db J-2
  contains out.txt "group 3, level 0, alarm level 0"
  contains out.txt "Starts"
  contains out.txt "0 .. 30 A (1 decimal)"
  run_fails show p.db J-1
  printf '{"tags": [' >broken.json
  run_fails import p.db broken.json
  contains err.txt "broken.json: not valid JSON"
  # A header naming no field, and an empty file.
  printf 'TagName,TagType,Colour\nH-1,Motor,red\n' >header.csv
  run_fails import p.db header.csv
  contains err.txt "header.csv:1: column Colour is neither a tag column"
  : >empty.csv
  run_fails import p.db empty.csv
  contains err.txt "empty.csv: the file is empty"
  ;;

partial_tags)
  # A store that refuses a value after the tag row is written: the tool removes what is left.
  sqlite3 partial.db <<'SQL'
PRAGMA journal_mode=WAL;
CREATE TABLE TagTypes (TypeID LONG, TypeName VARCHAR(64), TypeLibID LONG, TypeModuleID LONG);
CREATE TABLE Tags (TagID INTEGER PRIMARY KEY AUTOINCREMENT, TagName VARCHAR(31), TagDesc VARCHAR(255),
                   TagType SHORT, TagGroup SHORT, TagLevel SHORT, AlmLevel SHORT);
CREATE TABLE HMIInfo (TagID LONG, FieldName VARCHAR(31), SCH DOUBLE, SCL DOUBLE, EU VARCHAR(7), "Decimal" LONG);
CREATE TABLE Gauge (TagID LONG, PV DOUBLE CHECK (PV < 100));
INSERT INTO TagTypes VALUES (1, 'Gauge', 1, 1);
SQL
  printf 'TagName,TagType,PV,PV.SCH,PV.EU\nG-1,Gauge,50,100,bar\nG-2,Gauge,150,200,bar\n' >g.csv
  run_fails import partial.db g.csv
  one_line_errors
  contains err.txt "g.csv:3"
  contains err.txt "G-2"
  run_ok show partial.db G-1
  run_fails show partial.db G-2
  [ "$(sqlite3 partial.db "SELECT COUNT(*) FROM Tags WHERE TagName = 'G-2'")" = 0 ] || fail "G-2 left a Tags row"
  [ "$(sqlite3 partial.db "SELECT COUNT(*) FROM HMIInfo")" = 1 ] || fail "G-2 left a display row"
  run_ok check partial.db
  # A replacement the store refuses leaves the old tag as it was; the others are replaced.
  printf 'TagName,TagType,PV,PV.SCH,PV.EU
G-1,Gauge,150,200,bar
G-3,Gauge,60,100,bar
' >r.csv
  run_fails import --replace partial.db r.csv
  contains err.txt "r.csv:2"
  contains out.txt "imported 1 tag(s)"
  [ "$(sqlite3 partial.db "SELECT v.PV FROM Tags t JOIN Gauge v ON v.TagID = t.TagID WHERE t.TagName = 'G-1'")" = 50.0 ] ||
    fail "the refused replacement lost G-1"
  run_ok show partial.db G-3
  run_ok check partial.db
  ;;

show_list)
  plant_db s.db
  run_ok --nls "$EXAMPLE/nls" show s.db TIC-101
  contains out.txt "TIC-101  Feed tank T-101 temperature control"
  contains out.txt "type PIDController (id 1, library 1, module 1)"
  contains out.txt "group 1, level 2, alarm level 1"
  # Inputs, outputs and others in that order, each with its fields from the module file.
  awk '/inputs:/{i=NR} /outputs:/{o=NR} /others:/{p=NR} END{exit !(i && o > i && p > o)}' out.txt ||
    fail "kinds not grouped as inputs, outputs, others: $(cat out.txt)"
  sed -n '/inputs:/,/outputs:/p' out.txt >inputs.txt
  contains inputs.txt "PV"
  contains inputs.txt "Mode"
  lacks inputs.txt "OP "
  sed -n '/outputs:/,/others:/p' out.txt >outputs.txt
  contains outputs.txt "OP"
  contains outputs.txt "Deviation"
  sed -n '/others:/,$p' out.txt >others.txt
  contains others.txt "Kp"
  contains out.txt "0 .. 250 °C (1 decimal)"
  # The language directory also comes from HVK_NLS_DIR; without a catalogue all fields are others.
  HVK_NLS_DIR="$EXAMPLE/nls" "$ZEMATAG" show s.db P-561A >out.txt
  contains out.txt "inputs:"
  run_ok show s.db TIC-101
  lacks out.txt "inputs:"
  contains out.txt "others:"
  run_fails show s.db TIC-101 NO-SUCH-TAG
  contains out.txt "TIC-101"
  contains err.txt "no tag named NO-SUCH-TAG"
  run_fails --nls "$work/missing" show s.db TIC-101
  contains err.txt "no such language directory"

  run_ok list s.db --type OnOffValve
  contains out.txt "XV-345"
  contains out.txt "50 tag(s)"
  lacks out.txt "TIC-101"
  run_fails list s.db --type Widget
  contains err.txt "no tag type 'Widget'"
  ;;

delete)
  plant_db d.db
  run_ok delete d.db TIC-101 XV-141
  contains out.txt "deleted 2 tag(s)"
  [ "$(tag_count d.db)" = 298 ] || fail "expected 298 tags after deleting 2"
  run_fails show d.db TIC-101
  run_ok show d.db TT-101
  [ "$(sqlite3 d.db "SELECT COUNT(*) FROM HMIInfo h LEFT JOIN Tags t ON t.TagID = h.TagID WHERE t.TagID IS NULL")" = 0 ] ||
    fail "display rows of deleted tags remain"
  run_ok check d.db
  run_fails delete d.db TIC-101 TT-101
  contains err.txt "no tag named TIC-101"
  run_fails show d.db TT-101
  [ "$(tag_count d.db)" = 297 ] || fail "the existing name of a partly wrong delete was not deleted"
  ;;

check)
  plant_db k.db
  run_ok check k.db
  contains out.txt "no problems found"
  sqlite3 k.db <<'SQL'
INSERT INTO Motor (TagID, Running) VALUES (9999, 1);
INSERT INTO HMIInfo (TagID, FieldName, SCH, SCL, EU, "Decimal") VALUES (8888, 'PV', 1, 0, 'bar', 0);
INSERT INTO Tags (TagName, TagType) VALUES ('GHOST-1', 99);
INSERT INTO Tags (TagName, TagType) VALUES ('TIC-101', 1);
INSERT INTO PIDController (TagID) SELECT MAX(TagID) FROM Tags;
INSERT INTO TagTypes VALUES (77, 'Missing', 9, 9);
SQL
  # The library does not deliver a tag without a type, but its name is still taken.
  printf 'TagName,TagType\nGHOST-1,Motor\n' >ghost.csv
  run_fails import k.db ghost.csv
  contains err.txt "ghost.csv:2: tag GHOST-1 already exists in the database"
  run_ok export k.db -o k.csv
  contains err.txt "1 tag(s) without a type are not exported"
  lacks k.csv "GHOST-1"
  run_ok list k.db
  contains out.txt "and 1 without a type"
  run_fails check k.db
  contains out.txt "orphan value row: Motor row for TagID 9999"
  contains out.txt "orphan display row: PV of TagID 8888"
  contains out.txt "tag without a type: GHOST-1 (TagType 99)"
  contains out.txt "duplicate tag name: TIC-101 is used by 2 tags"
  contains out.txt "type without value table: Missing (id 77)"
  contains out.txt "5 problem(s) found"
  run_fails check "$work/nothing.db"
  one_line_errors
  ;;

errors)
  check_missing() {  # check_missing COMMAND ARGS...: a missing database, one clear line
    run_fails "$@"
    one_line_errors
    [ "$(wc -l <err.txt)" -eq 1 ] || fail "$1: expected one error line: $(cat err.txt)"
    contains err.txt "nothing.db: no such database file"
    [ ! -e nothing.db ] || fail "$1 created the missing database"
  }
  check_missing list nothing.db
  check_missing show nothing.db X
  check_missing export nothing.db
  check_missing delete nothing.db X
  check_missing check nothing.db
  printf 'TagName,TagType\nX-1,1\n' >x.csv
  check_missing import nothing.db x.csv
  echo "this is not a database" >text.db
  before=$(md5sum <text.db)
  for command in list check export; do
    run_fails "$command" text.db
    one_line_errors
    contains err.txt "text.db: not a tag database"
  done
  run_fails import text.db x.csv
  one_line_errors
  [ "$(md5sum <text.db)" = "$before" ] || fail "a failed command changed a file that is not a database"
  sqlite3 other.db "CREATE TABLE Things (x)"
  run_fails list other.db
  contains err.txt "other.db: not a tag database (no table TagTypes)"
  run_fails export other.db --format xml
  one_line_errors
  run_fails init new.db
  contains err.txt "--types"
  run_fails import
  one_line_errors
  ;;

fblib)
  run_ok --nls "$EXAMPLE/nls" init f.db --from-fblib
  contains out.txt "6 tag types"
  run_ok export f.db --format types
  contains out.txt "[PID]"
  contains out.txt "id      = 101"
  contains out.txt "[Motor]"
  contains out.txt "id      = 202"
  contains out.txt "field   = Kp DOUBLE"
  # With a description: its names, ids and column types win; untyped fields are DOUBLE.
  printf '[Controller]\nid = 1\nlibrary = 1\nmodule = 1\nfield = Mode SHORT\nfield = Tag VARCHAR(16)\n' >some.ini
  run_ok --nls "$EXAMPLE/nls" init g.db --from-fblib --types some.ini
  run_ok export g.db --format types
  contains out.txt "[Controller]"
  contains out.txt "field   = Mode SHORT"
  contains out.txt "field   = PV DOUBLE"
  contains out.txt "field   = Tag VARCHAR(16)"
  contains out.txt "[AI]"
  run_fails --nls empty-nls init h.db --from-fblib
  one_line_errors
  contains err.txt "FBLib.xml"
  [ ! -e h.db ] || fail "a failed init left a file"
  ;;

demo)
  run_ok demo plant --example "$EXAMPLE"
  contains out.txt "imported 300 tag(s)"
  contains out.txt "Motor"
  contains out.txt "all types"
  contains out.txt "inputs:"
  contains out.txt "outputs:"
  contains out.txt "°C"
  [ -f plant/nls/FBLib/FBLib.xml ] || fail "the demo did not set up its language directory"
  # Again, over the first one.
  run_ok demo plant --example "$EXAMPLE"
  contains out.txt "imported 300 tag(s)"
  run_ok check plant/plant.db
  run_fails demo plant2 --example "$work/empty-nls"
  one_line_errors
  ;;

control_characters)
  # A NUL in a name once made the store keep a shorter name, and the clean-up then deleted the
  # existing tag of that name. Names, descriptions and units with control characters are refused
  # before anything is saved.
  plant_db n.db
  before=$(sqlite3 n.db "SELECT TagID || TagDesc FROM Tags WHERE TagName = 'TIC-101'")
  printf 'TagName,TagType,TagDesc\nTIC-101\0X,Motor,nul in the name\nTAB\tNAME,Motor,tab\nOK-1,Motor,bell \a here\nOK-2,Motor,"two\nlines"\n' >nul.csv
  run_fails import n.db nul.csv
  one_line_errors
  contains err.txt 'nul.csv:2: tag name '"'"'TIC-101\x00X'"'"' holds a control character'
  contains err.txt "nul.csv:3: tag name"
  contains err.txt "nul.csv:4: the description holds a control character"
  contains out.txt "imported 1 tag(s)"
  [ "$(sqlite3 n.db "SELECT TagID || TagDesc FROM Tags WHERE TagName = 'TIC-101'")" = "$before" ] ||
    fail "the existing tag TIC-101 was touched"
  [ "$(sqlite3 n.db "SELECT COUNT(*) FROM Tags WHERE TagName LIKE 'TIC-101%'")" = 1 ] || fail "a shortened name was stored"
  run_ok show n.db OK-2
  printf '{"tags": [{"name": "TIC-101\\u0000Y", "type": "Motor"}, {"name": "J-1", "type": "Motor", "display": {"Current": {"EU": "A\\u0001"}}}]}' >nul.json
  run_fails import n.db nul.json
  contains err.txt "nul.json: tag #1"
  contains err.txt "holds a control character"
  contains err.txt "Current.EU"
  [ "$(sqlite3 n.db "SELECT TagID || TagDesc FROM Tags WHERE TagName = 'TIC-101'")" = "$before" ] ||
    fail "the JSON import touched TIC-101"
  run_ok check n.db
  ;;

export_safety)
  plant_db e.db
  before=$(md5sum <e.db)
  run_fails export e.db -o e.db
  one_line_errors
  contains err.txt "is the database being exported"
  run_fails export e.db -o e.db --force
  ln -s e.db link.db
  run_fails export e.db -o link.db --force
  [ "$(md5sum <e.db)" = "$before" ] || fail "an export wrote over the database"
  run_ok check e.db
  echo "keep me" >old.csv
  run_fails export e.db -o old.csv
  contains err.txt "old.csv: the file exists (use --force to replace it)"
  [ "$(cat old.csv)" = "keep me" ] || fail "an export replaced a file without --force"
  run_ok export e.db -o old.csv --force
  contains old.csv "TIC-101"
  run_ok export e.db --format types -o new.ini
  mkdir folder
  run_fails export e.db -o folder
  contains err.txt "folder: is a directory"
  ;;

skip_replace)
  "$ZEMATAG" init r.db --types "$EXAMPLE/types.ini" >/dev/null
  motors_csv m.csv 50
  head -21 m.csv >first20.csv
  run_ok import r.db first20.csv
  # Run again to the end: the 20 stored before are passed over, not reported.
  run_ok import --skip-existing r.db m.csv
  contains out.txt "imported 30 tag(s)"
  contains out.txt "20 already there, skipped"
  [ "$(tag_count r.db)" = 50 ] || fail "expected 50 tags"
  run_fails import r.db first20.csv
  [ "$(grep -c 'already exists in the database' err.txt)" = 20 ] || fail "existing names were not reported"
  # Update in place: new values and display information for existing tags, new tags stored.
  printf 'TagName,TagType,TagDesc,Current,Current.SCH,Current.EU\nM-000003,Motor,changed,7.5,80,kA\nNEW-1,Motor,new,1,,\n' >update.csv
  run_ok import --replace r.db update.csv
  contains out.txt "imported 2 tag(s)"
  contains out.txt "1 replaced"
  run_ok show r.db M-000003
  contains out.txt "changed"
  contains out.txt "7.5"
  contains out.txt "0 .. 80 kA"
  [ "$(tag_count r.db)" = 51 ] || fail "expected 51 tags after the replace"
  [ "$(sqlite3 r.db "SELECT COUNT(*) FROM Tags WHERE TagName = 'M-000003'")" = 1 ] || fail "the replaced tag is stored twice"
  [ "$(half_stored r.db)" = 0 ] || fail "the replace left rows of the old tag"
  run_fails import --replace --skip-existing r.db update.csv
  one_line_errors
  run_ok check r.db
  ;;

json_keys)
  plant_db j.db
  cat >keys.json <<'JSON'
{"tags": [
  {"name": "J-1", "type": "Motor", "vaules": {"Current": 3}},
  {"name": "J-2", "type": "Motor", "display": {"Current": {"SCH": 30, "Unit": "A"}}},
  {"name": "J-3", "type": "Motor", "values": {"Current": 3}}
]}
JSON
  run_fails import j.db keys.json
  contains err.txt 'keys.json: tag #1 (J-1): unknown key "vaules"'
  contains err.txt 'keys.json: tag #2 (J-2): display of Current: unknown key "Unit"'
  contains out.txt "imported 1 tag(s)"
  contains out.txt "2 row(s) rejected"
  run_fails show j.db J-1
  printf '{"tags": [{"name": "J-9", "type": "Motor"}], "tgas": []}' >top.json
  run_fails import j.db top.json
  contains err.txt 'top.json: unknown key "tgas"'
  contains out.txt "1 file(s) not read"
  lacks out.txt "row(s) rejected"
  run_fails show j.db J-9
  ;;

numbers)
  "$ZEMATAG" init n.db --types "$EXAMPLE/types.ini" >/dev/null
  cat >n.csv <<'CSV'
TagName,TagType,Current,Current.SCH,Current.SCL,RatedPower,LastCal,Raw
PI,Motor,1,3.14159265358979,0,,,
MAX,Motor,1,3.4028235e38,-3.4028235e38,,,
ZERO,Motor,-0,-0,0,-0,,
TINY,Motor,1e-50,,,,,
TINYD,Motor,1,,,1e-400,,
TINYS,Motor,1,1e-50,,,,
TIME,AnalogInput,,,,,12:30,-0
CSV
  run_fails import n.db n.csv
  one_line_errors
  contains err.txt "n.csv:2: Current.SCH: '3.14159265358979' would be stored as 3.1415927 (--round accepts that)"
  contains err.txt "n.csv:5: field Current: '1e-50' is too small: it would be stored as 0"
  contains err.txt "n.csv:6: field RatedPower: '1e-400' is too small"
  contains err.txt "n.csv:7: Current.SCH: '1e-50' is too small"
  [ "$(wc -l <err.txt)" -eq 4 ] || fail "expected 4 refusals: $(cat err.txt)"
  contains out.txt "imported 3 tag(s)"
  run_ok export n.db -o n.out.csv
  contains n.out.csv "3.4028235e+38,-3.4028235e+38"
  contains n.out.csv "12:30:00"
  lacks n.out.csv "1899-12-30"
  run_ok show n.db ZERO
  printf 'TagName,TagType,Current.SCH\nPI,Motor,3.14159265358979\n' >pi.csv
  run_ok import --round n.db pi.csv
  run_ok export n.db -o n.json --format json
  contains n.json '"SCH": 3.1415927'
  ;;

messages)
  plant_db m.db
  mkdir folder.db
  run_fails list folder.db
  contains err.txt "folder.db: is a directory"
  ln -s loop1.db loop2.db
  ln -s loop2.db loop1.db
  for command in list check export; do
    run_fails "$command" loop1.db
    contains err.txt "symbolic link loop"
  done
  run_fails import loop1.db "$EXAMPLE/tags.csv"
  contains err.txt "symbolic link loop"
  # Echoed input is cut at 80 characters.
  long=$(printf 'T%.0s' $(seq 1 300))
  printf 'TagName,TagType\nX-1,%s\n' "$long" >long.csv
  run_fails import m.db long.csv
  contains err.txt "unknown tag type 'TTTTTTTTTT"
  contains err.txt "...'"
  [ "$(wc -c <err.txt)" -lt 160 ] || fail "the echo is not cut: $(cat err.txt)"
  # A file that fails as a whole is not a rejected row.
  printf 'TagName,TagType,Colour\nH-1,Motor,red\n' >header.csv
  run_fails import m.db header.csv
  contains out.txt "1 file(s) not read"
  lacks out.txt "row(s) rejected"
  run_fails import m.db folder.db
  contains err.txt "folder.db: is a directory"
  # delete counts the tags it deleted: two of one name, and one without a type.
  sqlite3 m.db "INSERT INTO Tags (TagName, TagType) VALUES ('TIC-101', 1); INSERT INTO PIDController (TagID) SELECT MAX(TagID) FROM Tags;
                INSERT INTO Tags (TagName, TagType) VALUES ('GHOST-1', 99)"
  run_ok delete m.db TIC-101 GHOST-1
  contains out.txt "deleted 3 tag(s)"
  [ "$(sqlite3 m.db "SELECT COUNT(*) FROM Tags WHERE TagName IN ('TIC-101', 'GHOST-1')")" = 0 ] || fail "not all were deleted"
  # init never replaces a symbolic link unasked, even a dangling one.
  ln -s m.db link.db
  ln -s nowhere.db dangling.db
  run_fails init link.db --types "$EXAMPLE/types.ini"
  contains err.txt "link.db: is a symbolic link"
  run_fails init dangling.db --types "$EXAMPLE/types.ini"
  [ -L link.db ] && [ -L dangling.db ] || fail "init replaced a symbolic link"
  [ "$(tag_count m.db)" = 299 ] || fail "init through a link changed the database"
  # A damaged file says so, and check does not pass it.
  "$ZEMATAG" init d.db --types "$EXAMPLE/types.ini" >/dev/null
  motors_csv many.csv 3000
  "$ZEMATAG" import d.db many.csv >/dev/null
  sqlite3 d.db "PRAGMA wal_checkpoint(TRUNCATE)" >/dev/null
  pages=$(sqlite3 d.db "PRAGMA page_count")
  page_size=$(sqlite3 d.db "PRAGMA page_size")
  # Garbage over pages of the tags stored last, the header and schema left alone.
  dd if=/dev/urandom of=d.db bs="$page_size" seek=$((pages / 2)) count=$((pages / 4)) conv=notrunc status=none
  run_fails check d.db
  contains out.txt "damaged file:"
  contains out.txt "d.db: the database file is damaged"
  lacks out.txt "no problems found"
  run_fails check --fix d.db
  contains out.txt "--fix does not repair a damaged file"
  for command in list export; do
    run_fails "$command" d.db
    one_line_errors
    contains err.txt "damaged"
    lacks err.txt "not an SQLite database file"
  done
  ;;

check_fix)
  plant_db k.db
  sqlite3 k.db <<'SQL'
INSERT INTO Motor (TagID, Running) VALUES (9999, 1);
INSERT INTO HMIInfo (TagID, FieldName, SCH, SCL, EU, "Decimal") VALUES (8888, 'PV', 1, 0, 'bar', 0);
INSERT INTO Tags (TagName, TagType) VALUES ('HALF-1', 5);
INSERT INTO HMIInfo (TagID, FieldName, SCH, SCL, EU, "Decimal") SELECT MAX(TagID), 'Current', 1, 0, 'A', 0 FROM Tags;
INSERT INTO Tags (TagName, TagType) VALUES ('GHOST-1', 99);
SQL
  for i in $(seq 1 30); do echo "INSERT INTO HMIInfo (TagID, FieldName) VALUES ($((20000 + i)), 'PV');"; done | sqlite3 k.db
  run_fails check k.db
  contains out.txt "orphan display row: ... and 11 more (--all lists them)"
  run_fails check --all k.db
  lacks out.txt "more (--all"
  [ "$(grep -c '^orphan display row' out.txt)" = 31 ] || fail "--all did not list every orphan display row"
  run_fails check --fix k.db
  contains out.txt "orphan value row: Motor row for TagID 9999"
  contains out.txt "tag without values: HALF-1 has no row in Motor"
  contains out.txt "--fix removed the 33 orphan row(s) and tag(s) without values"
  # The tag without a type needs a decision: it stays, and the exit status says so.
  contains out.txt "tag without a type: GHOST-1"
  run_fails check k.db
  contains out.txt "1 problem(s) found"
  [ "$(sqlite3 k.db "SELECT COUNT(*) FROM Tags WHERE TagName = 'HALF-1'")" = 0 ] || fail "HALF-1 is left"
  [ "$(sqlite3 k.db "SELECT COUNT(*) FROM HMIInfo WHERE TagID NOT IN (SELECT TagID FROM Tags)")" = 0 ] || fail "display rows are left"
  [ "$(tag_count k.db)" = 300 ] || fail "--fix removed a whole tag"
  ;;

locked)
  # Another program holds the write lock: import and delete give up after a bounded wait,
  # with one line that says why, and store nothing.
  "$ZEMATAG" init l.db --types "$EXAMPLE/types.ini" >/dev/null
  motors_csv m.csv 3000
  mkfifo hold
  (sqlite3 l.db <hold >/dev/null 2>&1) &
  holder=$!
  exec 3>hold
  echo "BEGIN IMMEDIATE; INSERT INTO TagTypes VALUES (50, 'Held', 0, 0);" >&3
  sleep 0.5
  status=0
  timeout 60 "$ZEMATAG" import --batch 100 l.db m.csv >out.txt 2>err.txt || status=$?
  [ "$status" -eq 1 ] || fail "import under a lock exited $status: $(cat err.txt)"
  contains err.txt "locked by another program"
  [ "$(wc -l <err.txt)" -eq 1 ] || fail "expected one error line: $(head -5 err.txt)"
  run_fails delete l.db M-000001
  contains err.txt "locked by another program"
  echo "ROLLBACK;" >&3
  exec 3>&-
  wait "$holder" || true
  [ "$(sqlite3 l.db "SELECT COUNT(*) FROM Tags")" = 0 ] || fail "something was stored under the lock"
  run_ok import l.db m.csv
  contains out.txt "imported 3000 tag(s)"
  ;;

read_only)
  # A database its user cannot write: one clear line, nothing changed.
  plant_db ro.db
  chmod 755 "$work"
  chmod 644 ro.db
  rm -f ro.db-wal ro.db-shm
  motors_csv m.csv 10
  chmod 644 m.csv
  before=$(md5sum <ro.db)
  status=0
  as_user "$ZEMATAG" import ro.db m.csv >out.txt 2>err.txt || status=$?
  [ "$status" -eq 1 ] || fail "import into a read-only database exited $status"
  contains err.txt "read-only"
  [ "$(wc -l <err.txt)" -eq 1 ] || fail "expected one error line: $(head -5 err.txt)"
  status=0
  as_user "$ZEMATAG" delete ro.db TIC-101 >out.txt 2>err.txt || status=$?
  [ "$status" -eq 1 ] || fail "delete in a read-only database exited $status"
  contains err.txt "read-only"
  status=0
  as_user "$ZEMATAG" check --fix ro.db >out.txt 2>err.txt || status=$?
  [ "$status" -eq 1 ] || fail "check --fix of a read-only database exited $status"
  contains err.txt "read-only"
  [ "$(md5sum <ro.db)" = "$before" ] || fail "the read-only database changed"
  mkdir locked-folder
  chmod 555 locked-folder
  status=0
  as_user "$ZEMATAG" init locked-folder/new.db --types "$EXAMPLE/types.ini" >out.txt 2>err.txt || status=$?
  [ "$status" -eq 1 ] || fail "init in a read-only folder exited $status"
  contains err.txt "the folder locked-folder is read-only"
  ;;

disk_full)
  # A full disk (a 1 MB tmpfs when we may mount one, else a file-size limit): the import stops
  # at once with one line, keeps whole batches only, and a run with --skip-existing finishes it
  # once there is room.
  motors_csv m.csv 20000
  mkdir small
  limit=""
  if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o size=1m tmpfs small 2>/dev/null; then
    at_exit='umount "$work/small"'
  else
    limit=1024
  fi
  "$ZEMATAG" init small/f.db --types "$EXAMPLE/types.ini" >/dev/null
  status=0
  (
    trap '' XFSZ
    [ -z "$limit" ] || ulimit -f "$limit"
    exec "$ZEMATAG" import --batch 500 small/f.db m.csv
  ) >out.txt 2>err.txt || status=$?
  [ "$status" -eq 1 ] || fail "import on a full disk exited $status: $(head -3 err.txt)"
  contains err.txt "the import stopped"
  contains err.txt "disk full"
  [ "$(wc -l <err.txt)" -eq 1 ] || fail "expected one error line: $(head -5 err.txt)"
  contains out.txt "stopped after importing"
  stored=$(sqlite3 small/f.db "SELECT COUNT(*) FROM Tags")
  [ "$stored" -lt 20000 ] || fail "the full disk did not stop the import"
  [ $((stored % 500)) -eq 0 ] || fail "$stored tags stored: not whole batches"
  [ "$(half_stored small/f.db)" = 0 ] || fail "half-stored tags after a full disk"
  if [ -z "$limit" ]; then
    run_fails export small/f.db -o small/f.csv
    contains err.txt "small/f.csv: writing failed: disk full"
    [ ! -e small/f.csv ] || fail "a failed export left its file"
  fi
  cp small/f.db* .
  run_ok check f.db
  run_ok import --skip-existing f.db m.csv
  [ "$(tag_count f.db)" = 20000 ] || fail "the second run did not finish the import"
  ;;

concurrent)
  # Two imports of one file at once: every name once, each tag stored by one of them.
  "$ZEMATAG" init c.db --types "$EXAMPLE/types.ini" >/dev/null
  motors_csv m.csv 4000
  "$ZEMATAG" import --batch 50 c.db m.csv >out1.txt 2>err1.txt &
  first=$!
  "$ZEMATAG" import --batch 50 c.db m.csv >out2.txt 2>err2.txt &
  second=$!
  wait "$first" || true
  wait "$second" || true
  [ "$(sqlite3 c.db "SELECT COUNT(*) FROM (SELECT TagName FROM Tags GROUP BY TagName HAVING COUNT(*) > 1)")" = 0 ] ||
    fail "two imports stored one name twice"
  [ "$(sqlite3 c.db "SELECT COUNT(*) FROM Tags")" = 4000 ] || fail "expected 4000 tags"
  saved1=$(sed -n 's/^imported \([0-9]*\) tag.*/\1/p' out1.txt)
  saved2=$(sed -n 's/^imported \([0-9]*\) tag.*/\1/p' out2.txt)
  [ $((saved1 + saved2)) -eq 4000 ] || fail "the imports claim $saved1 + $saved2 tags"
  [ "$(half_stored c.db)" = 0 ] || fail "half-stored tags"
  run_ok check c.db
  ;;

crash)
  # kill -9 of an import at any moment: whole batches only, and --skip-existing finishes it.
  "$ZEMATAG" init ref.db --types "$EXAMPLE/types.ini" >/dev/null
  motors_csv m.csv 6000
  "$ZEMATAG" import ref.db m.csv >/dev/null
  "$ZEMATAG" export ref.db -o ref.csv
  for delay in 0.05 0.2 0.4 0.8; do
    rm -f k.db k.db-wal k.db-shm
    "$ZEMATAG" init k.db --types "$EXAMPLE/types.ini" >/dev/null
    "$ZEMATAG" import --batch 100 k.db m.csv >/dev/null 2>&1 &
    importer=$!
    sleep "$delay"
    kill -9 "$importer" 2>/dev/null || true
    wait "$importer" 2>/dev/null || true
    stored=$(sqlite3 k.db "SELECT COUNT(*) FROM Tags")
    [ $((stored % 100)) -eq 0 ] || fail "after kill -9 at ${delay}s: $stored tags, not whole batches"
    [ "$(half_stored k.db)" = 0 ] || fail "after kill -9 at ${delay}s: half-stored tags"
    run_ok check k.db
    run_ok import --skip-existing k.db m.csv
    rm -f k.csv
    run_ok export k.db -o k.csv
    cmp ref.csv k.csv || fail "after kill -9 at ${delay}s and a second run the catalogue differs"
  done
  ;;

*)
  fail "unknown test case"
  ;;
esac
echo "ok [$case_name]"
