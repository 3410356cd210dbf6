#!/usr/bin/env bash
# Runs partwise-cli as a user would and checks exit codes, exact stderr lines
# and the files left behind.
# Usage: cli_test.sh PARTWISE_CLI VERSION GROUP...
set -u
CLI=$(realpath "$1") VERSION=$2
shift 2
unset PARTWISE_PASSWORD
export LC_ALL=C  # English system reasons
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
passed=0 failed=0

SPLIT_USAGE="usage: partwise-cli split (SOURCE | - --name NAME) [-o DIR] (-s SIZE | -n COUNT) [-r N | -r P%] [-p PASSWORD] [-f] [--many-chunks] [-q] [-v] [--join-script] [--no-sync]"
LIST_USAGE="usage: partwise-cli list CHUNK_FOLDER [--full] [-q]"
JOIN_USAGE="usage: partwise-cli join CHUNK_FOLDER [-o DIR | -o - [--verify-first]] [-p PASSWORD] [-f] [-q] [--no-metadata] [--ignore-checksums] [--no-sync]"

# run ARGS...: runs partwise-cli, leaving RC, OUT and ERR.
run() {
  "$CLI" "$@" >"$T/out" 2>"$T/err" </dev/null
  RC=$?
  OUT=$(<"$T/out") ERR=$(<"$T/err")
}
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }

# expect NAME RC STDERR [STDOUT]: the last run ended exactly so.
expect() {
  if [[ $RC == "$2" && $ERR == "$3" && ($# -lt 4 || $OUT == "${4-}") ]]; then pass; return; fi
  fail "$1"
  printf '  exit %s, wanted %s\n  stderr: %s\n  wanted: %s\n  stdout: %s\n' "$RC" "$2" "$ERR" "$3" "$OUT"
}
# expect_failure NAME PATH REASON: exit 1, nothing on stdout, one error line
# naming PATH and the system's REASON.
expect_failure() {
  local line="partwise-cli: error: *$2*$3*"
  if [[ $RC == 1 && -z $OUT && $ERR == $line && $ERR != *$'\n'* ]]; then pass; return; fi
  fail "$1"
  printf '  exit %s\n  stderr: %s\n  wanted: %s\n' "$RC" "$ERR" "$line"
}
# expect_usage NAME USAGE: exit 2, an error line, then the usage.
expect_usage() {
  if [[ $RC == 2 && -z $OUT && $ERR == "partwise-cli: error: "?*$'\n'"$2" ]]; then pass; return; fi
  fail "$1"
  printf '  exit %s\n  stderr: %s\n' "$RC" "$ERR"
}
check() {
  local name=$1
  shift
  if "$@"; then pass; else fail "$name"; fi
}
lacks() { ! grep -q "$1" "$2"; }
# why CHUNK REASON: the stderr line on chunk CHUNK of $set/data_*.
why() { printf 'partwise-cli: %s: %s\n' "$set/data_$1.spt" "$2"; }
is_empty() { [[ -z $(ls -A "$1") ]]; }
# chunk_sizes FOLDER STEM: sizes of STEM_0.spt, STEM_1.spt, ... in order.
chunk_sizes() {
  local i=0 sizes=()
  while [[ -e $1/$2_$i.spt ]]; do
    sizes+=("$(stat -c %s "$1/$2_$i.spt")")
    i=$((i + 1))
  done
  echo "${sizes[*]}"
}
# flip_byte FILE OFFSET: replaces the byte with its complement.
flip_byte() {
  local byte
  byte=$(od -An -tu1 -j "$2" -N1 "$1")
  printf "\\$(printf %03o $((255 - byte)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

group_roundtrip() {
  head -c 10000 /dev/urandom >report.final.doc
  # option, value, chunk sizes; every split must join back to the same bytes.
  while read -r option value sizes; do
    rm -rf report_spt out && mkdir out
    run split report.final.doc "$option" "$value"
    expect "split $option $value" 0 "" "$W/report_spt"
    check "split $option $value makes chunks $sizes" [ "$(chunk_sizes report_spt report)" == "$sizes" ]
    run join report_spt -o out
    expect "join of $option $value" 0 "" "$W/out/report.final.doc"
    check "round trip of $option $value" cmp -s report.final.doc out/report.final.doc
  done <<'TABLE'
-s 10000 10000
-s 9999 9999 1
-s 10001 10000
-s 4k 4096 4096 1808
-s 4KB 4096 4096 1808
-s 8589934591G 10000
-n 1 10000
-n 3 3334 3334 3332
-n 7 1429 1429 1429 1429 1429 1429 1426
-s FAT32 10000
TABLE

  head -c 1048577 /dev/urandom >mega.bin
  for size in 1M 1mb; do
    rm -rf mega_spt
    run split mega.bin -s "$size"
    check "-s $size is 1048576 bytes" [ "$(chunk_sizes mega_spt mega)" == "1048576 1" ]
  done

  : >empty.bin
  run split empty.bin -n 3
  expect "split of an empty file" 0 "" "$W/empty_spt"
  run list empty_spt
  check "empty set lists no chunk" [ "$OUT" == $'# source: empty.bin\n# total: 0 bytes\n# chunks: 0\n# password: no\n# metadata: yes' ]
  run join empty_spt -o out
  check "empty file joins back" cmp -s empty.bin out/empty.bin

  # Files of 999, 1000 and 1001 bytes and empty ones sit on chunk boundaries of 1000.
  mkdir -p tree.v1.2/sub/deeper "tree.v1.2/ünï cødé" tree.v1.2/.config
  head -c 999 /dev/urandom >tree.v1.2/a.tar.gz
  head -c 1000 /dev/urandom >tree.v1.2/sub/b
  : >tree.v1.2/sub/empty
  head -c 1001 /dev/urandom >tree.v1.2/sub/deeper/c.d.e
  head -c 5000 /dev/urandom >"tree.v1.2/ünï cødé/日本語.txt"
  : >tree.v1.2/zz-empty
  echo hidden >tree.v1.2/.hidden
  echo settings >tree.v1.2/.config/settings
  run split tree.v1.2/ -s 1000
  expect "split of a folder given with a trailing slash" 0 "" "$W/tree_spt"
  run join tree_spt -o out
  expect "join of a folder" 0 "" "$W/out/tree.v1.2"
  check "folder round trip" diff -r tree.v1.2 out/tree.v1.2

  mkdir dots && cd tree.v1.2/sub || return
  run split .. -s 1K -o ../../dots
  cd "$W" || return
  expect "'..' is named after the folder it stands for" 0 "" "$W/dots/tree_spt"

  mkdir moved && mv report_spt moved/
  run join moved/report_spt
  expect "join lands beside the chunk folder by default" 0 "" "$W/moved/report.final.doc"
}

group_password() {
  head -c 5000 /dev/urandom >secret.bin
  mkdir plain out
  run split secret.bin -s 2K -o plain
  run split secret.bin -s 2K -p 'open sesame'
  expect "split with a password" 0 "" "$W/secret_spt"
  check "the password leaves the chunk bytes alone" cmp -s plain/secret_spt/secret_1.spt secret_spt/secret_1.spt
  run list secret_spt
  check "list shows the password" [ "$(sed -n 4p "$T/out")" == "# password: yes" ]

  local locked="partwise-cli: error: $W/secret_spt: the chunk set is protected by a password; give it with -p or PARTWISE_PASSWORD"
  local wrong="partwise-cli: error: $W/secret_spt: wrong password"
  run join secret_spt -o out
  expect "join without the password" 1 "$locked" ""
  run join secret_spt -o out -p 'open sesamE'
  expect "join with a wrong password" 1 "$wrong" ""
  PARTWISE_PASSWORD='open' run join secret_spt -o out
  expect "join with a wrong PARTWISE_PASSWORD" 1 "$wrong" ""
  check "refused joins write nothing" is_empty out
  PARTWISE_PASSWORD='open sesame' run join secret_spt -o out
  expect "join with PARTWISE_PASSWORD" 0 "" "$W/out/secret.bin"
  check "protected round trip" cmp -s secret.bin out/secret.bin
  rm out/secret.bin
  PARTWISE_PASSWORD='open' run join secret_spt -o out -p 'open sesame'
  expect "-p wins over PARTWISE_PASSWORD" 0 "" "$W/out/secret.bin"

  mkdir env
  PARTWISE_PASSWORD='from env' run split secret.bin -s 2K -o env
  run join env/secret_spt
  expect "PARTWISE_PASSWORD protects a split" 1 "partwise-cli: error: $W/env/secret_spt: the chunk set is protected by a password; give it with -p or PARTWISE_PASSWORD" ""

  local p31
  p31=$(printf 'p%.0s' {1..31})
  mkdir long
  run split secret.bin -s 2K -o long -p "$p31"
  run join long/secret_spt -p "$p31"
  expect "a 31-byte password works" 0 "" "$W/long/secret.bin"
  rm -r long/*
  run split secret.bin -s 2K -o long -p "${p31}x"
  expect "a 32-byte password is refused" 2 "partwise-cli: error: the password is longer than 31 bytes"$'\n'"$SPLIT_USAGE" ""
  check "refused split writes nothing" is_empty long
}

group_metadata() {
  mkdir -p tree/empty/deeper tree/private out bare
  printf '#!/bin/sh\necho hi\n' >tree/run.sh
  chmod 755 tree/run.sh
  echo old >tree/old.txt
  touch -d '2001-09-09 01:46:40' tree/old.txt
  chmod 444 tree/old.txt
  echo secret >tree/private/key
  chmod 700 tree/private
  touch -d '2003-03-03' tree/empty/deeper tree/empty
  ln -s /tmp tree/to-folder
  ln -s nowhere tree/dangling
  mkfifo tree/pipe
  run split tree -s 7
  expect "a split names what it passed over" 0 \
    "partwise-cli: $W/tree: passed over 1 link to a folder, 1 dangling link and 1 FIFO (-v lists them)" "$W/tree_spt"
  run split tree -s 7 -v
  expect "-v lists each entry passed over" 0 \
    "partwise-cli: $W/tree: passed over 1 link to a folder, 1 dangling link and 1 FIFO:
  dangling link: $W/tree/dangling
  FIFO: $W/tree/pipe
  link to a folder: $W/tree/to-folder" "$W/tree_spt"
  run list tree_spt
  check "list tells the set carries metadata" [ "$(sed -n 5p "$T/out")" == "# metadata: yes" ]

  run join tree_spt -o out
  expect "join with metadata" 0 "" "$W/out/tree"
  local path
  for path in . run.sh old.txt private private/key empty empty/deeper; do
    check "mode and time of $path" [ "$(stat -c '%a %.9Y' "tree/$path")" == "$(stat -c '%a %.9Y' "out/tree/$path")" ]
  done
  run join tree_spt -o bare --no-metadata
  expect "join without metadata" 0 "" "$W/bare/tree"
  check "--no-metadata makes no empty folder" [ ! -e bare/tree/empty ]
  check "--no-metadata keeps no mode" [ "$(stat -c %a bare/tree/run.sh)" != 755 ]

  rm tree_spt/tree.meta
  run list tree_spt
  check "list tells a set without metadata" [ "$(sed -n 5p "$T/out")" == "# metadata: no" ]
}

group_list() {
  head -c 10000 /dev/urandom >data.bin
  mkdir out
  run split data.bin -s 4K
  local set=$W/data_spt
  local header=$'# source: data.bin\n# total: 10000 bytes\n# chunks: 3\n# password: no\n# metadata: yes'
  row() { printf '\n%s\t%s\t%s\t%s' "$1" "$2" "$3" "$set/data_$1.spt"; }
  local fp="its fingerprint differs (size or first KiB)"
  run list data_spt
  expect "list of a sound set" 0 "" "$header$(row 0 ok 4096)$(row 1 ok 4096)$(row 2 ok 1808)"

  cp data_spt/data_1.spt saved
  flip_byte data_spt/data_1.spt 1000
  run list data_spt
  expect "list of a damaged chunk" 1 "$(why 1 "$fp")"$'\n'"partwise-cli: error: $set: 1 of 3 chunks missing or damaged" \
    "$header$(row 0 ok 4096)$(row 1 bad 4096)$(row 2 ok 1808)"
  run join data_spt -o out
  expect "join of a damaged chunk" 1 "$(why 1 "$fp")"$'\n'"partwise-cli: error: $set: chunk 1 is missing or damaged; nothing was written" ""
  mv saved data_spt/data_1.spt

  cp data_spt/data_2.spt saved
  rm data_spt/data_2.spt
  printf x >>data_spt/data_0.spt
  run list data_spt
  local grown_missing="$(why 0 "$fp")"$'\n'"$(why 2 "no such file")"$'\n'
  expect "list of a grown and a missing chunk" 1 "${grown_missing}partwise-cli: error: $set: 2 of 3 chunks missing or damaged" \
    "$header$(row 0 bad 4097)$(row 1 ok 4096)$(row 2 bad -1)"
  run join data_spt -o out
  expect "join of a grown and a missing chunk" 1 "${grown_missing}partwise-cli: error: $set: chunks 0, 2 are missing or damaged; nothing was written" ""
  truncate -s 4096 data_spt/data_0.spt
  check "refused joins write nothing" is_empty out
  mv saved data_spt/data_2.spt

  # Header 352 bytes, then 37 per chunk (index, then fingerprint text).
  # A chunk recorded without fingerprint matches while its file is missing.
  cp data_spt/spt_config.brixspt saved
  printf '\0' | dd of=data_spt/spt_config.brixspt bs=1 seek=$((352 + 2 * 37 + 4)) conv=notrunc status=none
  mv data_spt/data_2.spt data_2.spt
  run list data_spt
  expect "a missing chunk without fingerprint is still bad" 1 "$(why 2 "no such file")"$'\n'"partwise-cli: error: $set: 1 of 3 chunks missing or damaged" \
    "$header$(row 0 ok 4096)$(row 1 ok 4096)$(row 2 bad -1)"
  mv data_2.spt data_spt/

  # Room for one chunk record of three.
  truncate -s 389 data_spt/spt_config.brixspt
  run list data_spt
  expect "list of a descriptor cut short" 1 "partwise-cli: error: $set/spt_config.brixspt: cut short; it holds fewer records than its header counts"
  run join data_spt -o out
  expect_failure "join of a descriptor cut short" "$set/spt_config.brixspt" "cut short"
  cp saved data_spt/spt_config.brixspt
  flip_byte data_spt/spt_config.brixspt 32
  run list data_spt
  expect_failure "list of a foreign descriptor" "$set/spt_config.brixspt" ""
  run join data_spt -o out
  expect_failure "join of a foreign descriptor" "$set/spt_config.brixspt" ""
  check "nothing written from a foreign descriptor" is_empty out
}

group_checksums() {
  head -c 10000 /dev/urandom >data.bin
  mkdir out
  run split data.bin -s 4K
  local set=$W/data_spt sums=$W/data_spt/data.xxh128
  local header=$'# source: data.bin\n# total: 10000 bytes\n# chunks: 3\n# password: no\n# metadata: yes\n# checksums: '
  row() { printf '\n%s\t%s\t%s\t%s' "$1" "$2" "$3" "$set/data_$1.spt"; }
  check "one line per chunk" [ "$(cut -c35- "$sums" | tr '\n' ' ')" == "data_0.spt data_1.spt data_2.spt " ]
  if command -v xxhsum >/dev/null; then
    check "xxhsum -c accepts a fresh set" sh -c "cd '$set' && xxhsum -q -c data.xxh128"
  else
    echo "skipped: xxhsum -c (no xxhsum)"
  fi
  run list data_spt --full
  expect "full list of a sound set" 0 "" "${header}xxh128$(row 0 ok 4096)$(row 1 ok 4096)$(row 2 ok 1808)"

  # Past the first KiB, which is all the quick check and the fingerprints see.
  cp data_spt/data_2.spt saved
  flip_byte data_spt/data_2.spt 1807
  run list data_spt
  check "quick list misses the damage" [ "$RC" == 0 ]
  run list data_spt --full
  expect "full list of a damaged chunk" 1 \
    "$(why 2 "its bytes differ from its checksum")"$'\n'"partwise-cli: error: $set: 1 of 3 chunks missing or damaged" \
    "${header}xxh128$(row 0 ok 4096)$(row 1 ok 4096)$(row 2 damaged 1808)"
  run join data_spt -o out -f
  expect_failure "join -f of a damaged chunk" "$set/data_2.spt" "is damaged: its bytes differ from its checksum in '$sums'"
  check "nothing placed from a damaged chunk" is_empty out
  mv saved data_spt/data_2.spt

  mv data_spt/data_1.spt saved
  run list data_spt --full
  expect "full list of a missing chunk" 1 "$(why 1 "no such file")"$'\n'"partwise-cli: error: $set: 1 of 3 chunks missing or damaged" \
    "${header}xxh128$(row 0 ok 4096)$(row 1 missing -1)$(row 2 ok 1808)"
  mv saved data_spt/data_1.spt

  local partly="partwise-cli: note: $set: 3 of 3 chunks have no checksum; only their first KiB could be checked"
  mv "$sums" saved
  run list data_spt --full
  expect "full list without a checksum file" 0 "$partly" \
    "${header}none (first KiB of each chunk checked)$(row 0 unchecked 4096)$(row 1 unchecked 4096)$(row 2 unchecked 1808)"
  run join data_spt -o out
  expect "join without a checksum file" 0 "$partly" "$W/out/data.bin"
  check "joined without a checksum file" cmp -s data.bin out/data.bin
  rm out/data.bin
  mv saved "$sums"

  # A file there without one usable line per chunk is damaged, never taken
  # for a set without one; a chunk's own faults are no business of the file.
  while IFS='|' read -r shape reason ignoring fault; do
    cp -a data_spt saved_spt && eval "$fault"
    run list data_spt --full
    check "full list of a $shape" [ "$RC" == 1 ] && check "says $reason" grep -qxF "$(why 1 "$reason")" "$T/err"
    run join data_spt -o out -f
    check "join -f refuses a $shape" [ "$RC" == 1 ] && check "nothing joined with a $shape" is_empty out
    run join data_spt -o out --ignore-checksums
    check "--ignore-checksums on a $shape exits $ignoring" [ "$RC" == "$ignoring" ] && rm -f out/data.bin
    [[ $RC != 0 ]] || check "and says so" grep -qxF "$partly" "$T/err"
    rm -rf data_spt && mv saved_spt data_spt
  done <<'CASES'
renamed line|no checksum line|0|sed -i 's/data_1\.spt/data_1.spu/' "$sums"
conflicting line|two checksum lines that disagree|0|printf '%032d  data_1.spt\n' 0 >>"$sums"
unreadable line|an unreadable checksum line|0|sed -i '2s/^./G/' "$sums"
zeroed fingerprint|its fingerprint differs (size or first KiB)|1|head -c 33 /dev/zero | dd of=data_spt/spt_config.brixspt bs=1 seek=393 conv=notrunc status=none
FIFO|not a regular file|1|rm data_spt/data_1.spt && mkfifo data_spt/data_1.spt
CASES
  head -c 10000000 /dev/zero >"$sums"
  run list data_spt --full
  expect_failure "full list with a huge checksum file" "$sums" "larger than any for 3 chunks"
  run join data_spt -o out
  expect_failure "join with a huge checksum file" "$sums" "larger than any for 3 chunks"
  check "nothing placed beside a huge checksum file" is_empty out

  # A new split into the same folder keeps the file in step with the chunks.
  head -c 5000 /dev/urandom >data.bin
  run split data.bin -s 4K -f
  check "a re-split rewrites the checksum file" [ "$(wc -l <"$sums")" == 2 ]
  run list data_spt --full -q
  check "a re-split set checks whole" [ "$RC" == 0 ]

  printf x >$'new\nline.bin'
  run split $'new\nline.bin' -s 4K
  expect "a stem with a line break" 0 \
    "partwise-cli: note: '$W/new'\$'\\n''line_spt': no checksum file: the name 'new'\$'\\n''line' holds a line break, which it cannot record; only the first KiB of each chunk can be checked" \
    "$W/new"$'\n'"line_spt"
}

group_refusals() {
  head -c 3000 /dev/urandom >f.bin
  mkdir out
  run split f.bin -s 1K
  local exists="partwise-cli: error: $W/out/f.bin: already exists; give -f to replace it"
  echo keep >out/f.bin
  run join f_spt -o out
  expect "join onto an existing file" 1 "$exists" ""
  check "the existing file is kept" [ "$(<out/f.bin)" == keep ]
  run join f_spt -o out -f
  expect "join -f onto an existing file" 0 "" "$W/out/f.bin"
  check "-f replaces it" cmp -s f.bin out/f.bin
  rm out/f.bin && ln -s nowhere out/f.bin
  run join f_spt -o out
  expect "join onto a dangling link" 1 "$exists" ""
  rm out/f.bin && mkdir out/f.bin
  run join f_spt -o out
  expect "join onto an existing folder" 1 "$exists" ""

  truncate -s 2M many.bin
  run split many.bin -s 1
  expect "more than a million chunks" 1 "partwise-cli: error: $W/many.bin: this makes 2,097,152 chunks; give --many-chunks to make more than 1,000,000" ""
  check "no chunk folder without --many-chunks" [ ! -e many_spt ]

  mkdir usage && cd usage || return
  cp ../f.bin .
  local size
  for size in 0 12X 1.5M ' 5' +5 1KiB 1B 8589934592G 99999999999999999999; do
    run split f.bin -s "$size"
    expect "-s '$size'" 2 "partwise-cli: error: invalid chunk size '$size': expected a whole number of bytes above 0, optionally followed by K, M or G, or a preset (see --help)"$'\n'"$SPLIT_USAGE" ""
  done
  for size in 0 2K; do
    run split f.bin -n "$size"
    expect "-n '$size'" 2 "partwise-cli: error: invalid chunk count '$size': expected a whole number above 0"$'\n'"$SPLIT_USAGE" ""
  done
  run split f.bin
  expect "split without a size" 2 "partwise-cli: error: give either --size or --count"$'\n'"$SPLIT_USAGE" ""
  run split f.bin -s 1K -n 2
  expect "split with size and count" 2 "partwise-cli: error: give either --size or --count"$'\n'"$SPLIT_USAGE" ""
  run split -s 1K
  expect_usage "split without a source" "$SPLIT_USAGE"
  run split f.bin -s
  expect_usage "-s without a value" "$SPLIT_USAGE"
  run split f.bin -s 1K -o ''
  expect_usage "an empty output folder" "$SPLIT_USAGE"
  run list
  expect_usage "list without a folder" "$LIST_USAGE"
  run list a b
  expect_usage "list with two folders" "$LIST_USAGE"
  run join ../f_spt --bogus
  expect_usage "join with an unknown option" "$JOIN_USAGE"
  run join ../f_spt -o ../out -p "$(printf 'p%.0s' {1..32})"
  expect "join with a 32-byte password" 2 "partwise-cli: error: the password is longer than 31 bytes"$'\n'"$JOIN_USAGE" ""
  run frobnicate
  expect_usage "an unknown subcommand" "$SPLIT_USAGE"$'\n'"       partwise-cli list CHUNK_FOLDER [--full] [-q]"$'\n'"       ${JOIN_USAGE#usage: }"$'\n'"       partwise-cli repair CHUNK_FOLDER [-q]"$'\n'"       partwise-cli --version | --help"
  check "usage errors write nothing" [ "$(ls -A)" == f.bin ]

  run --version
  expect "--version" 0 "" "partwise-cli $VERSION"
  run --help
  check "--help names the subcommands" grep -qz 'split.*list.*join' "$T/out"
}

# in_small_fs MOUNT_OPTIONS ARGS...: runs partwise-cli with small/ a 64 KiB
# tmpfs of its own; leaves RC, OUT, ERR and LISTING (what small/ then holds).
in_small_fs() {
  local options=$1
  shift
  LISTING=$(unshare -rm bash -c '
    mount -t tmpfs -o "size=64k,$1" tmpfs small || exit 99
    shift
    "$@" >"'"$T/out"'" 2>"'"$T/err"'" </dev/null
    echo $? >"'"$T/rc"'"
    cd small && find . -mindepth 1 | sort' _ "$options" "$CLI" "$@")
  RC=$(<"$T/rc") OUT=$(<"$T/out") ERR=$(<"$T/err")
}

group_failures() {
  head -c 3000 /dev/urandom >f.bin
  mkdir out empty
  run split nothere.bin -s 1K
  expect "split of a missing source" 1 "partwise-cli: error: $W/nothere.bin: No such file or directory" ""
  check "no chunk folder for a missing source" [ ! -e nothere_spt ]
  run split f.bin -s 1K -o f.bin
  expect "split into a file" 1 "partwise-cli: error: cannot open the output folder '$W/f.bin': Not a directory" ""
  run split f.bin -s 1K -o missing/deeper
  expect "split into a missing folder makes no parents" 1 "partwise-cli: error: cannot create folder '$W/missing/deeper': No such file or directory" ""
  check "nor the parent" [ ! -e missing ]
  run join empty -o out
  expect_failure "join of a folder without descriptor" "$W/empty/spt_config.brixspt" "No such file or directory"
  run list empty
  expect_failure "list of a folder without descriptor" "$W/empty/spt_config.brixspt" "No such file or directory"
  check "failed joins write nothing" is_empty out

  local deep=$W
  for _ in 1 2 3 4 5; do deep=$deep/$(printf 'd%.0s' {1..220}); done
  mkdir -p "$deep" && cp f.bin "$deep/"
  run split "$deep/f.bin" -s 1K
  expect "split of a path over 1023 bytes" 2 "partwise-cli: error: the path '$deep/f.bin' is longer than 1023 bytes"$'\n'"$SPLIT_USAGE" ""

  mkdir -p emptydir/sub
  run split emptydir -n 2
  expect "split of a folder without files" 1 "partwise-cli: error: '$W/emptydir' holds no files: nothing to split" ""
  check "no chunk folder for a folder without files" [ ! -e emptydir_spt ]

  mkdir -p src/inside && cp f.bin src/
  run split src -s 1K -o src/inside
  check "split into its own source folder is refused" [ "$RC" == 1 -a ! -e src/inside/src_spt/spt_config.brixspt ]

  "$CLI" split f.bin -s 1K -o out >/dev/full 2>"$T/err"
  RC=$? OUT="" ERR=$(<"$T/err")
  expect "stdout on a full disk" 1 "partwise-cli: error: standard output: No space left on device"

  if ! unshare -rm true 2>/dev/null; then
    echo "skipped: full and read-only disks (no user namespaces)"
    return
  fi
  mkdir small
  head -c 200000 /dev/urandom >big.bin
  in_small_fs "" split big.bin -s 20K -o small
  expect_failure "split onto a full disk" "$W/small/big_spt/big_3.spt" "No space left on device; nothing was left behind"
  check "a split that ran out of room takes back its chunks and chunk folder" [ -z "$LISTING" ]
  in_small_fs ro split big.bin -s 20K -o small
  expect_failure "split onto a read-only disk" "$W/small/big_spt" "Read-only file system"
  run split big.bin -s 20K -q
  in_small_fs "" join big_spt -o small
  expect_failure "join onto a full disk" "$W/small" "No space left on device"
  check "a join that ran out of room leaves no output" [ -z "$LISTING" ]
}

# Two sources with one stem share a chunk folder: replaced only with -f.
group_shared() {
  head -c 3000 /dev/urandom >report.v1.doc
  head -c 2000 /dev/urandom >report.v2.doc
  run split report.v1.doc -s 1K
  cp -r report_spt before
  run split report.v2.doc -s 1K
  expect "split of another source into the same folder" 1 \
    "partwise-cli: error: '$W/report_spt' already holds the chunk set of 'report.v1.doc'; give -f to replace it" ""
  check "the first set is untouched" diff -r before report_spt
  run split report.v2.doc -s 1K --force
  expect "split -f replaces it" 0 "" "$W/report_spt"
  check "with the new source's chunks" [ "$(chunk_sizes report_spt report)" == "1024 976" ]
}

# On a copy-on-write file system a copy shares extents: a split and a join
# need almost no room, and must not be refused for the lack of it.
group_cow() {
  if [[ $(id -u) != 0 ]] || ! command -v mkfs.xfs >/dev/null; then
    echo "skipped: copy-on-write disk (needs root and xfsprogs)"
    return
  fi
  mkdir cow
  if ! { truncate -s 320M xfs.img && mkfs.xfs -q -m reflink=1 xfs.img && mount -o loop xfs.img cow; } 2>/dev/null; then
    echo "skipped: copy-on-write disk (cannot make or mount an XFS image here)"
    return
  fi
  head -c 100M /dev/urandom >cow/big.bin
  local size=$((100 << 20)) room
  # Less room than the file, and than one chunk of it.
  room=$(df -B1 --output=avail cow | tail -1)
  fallocate -l $((room - (8 << 20))) cow/filler
  room=$(df -B1 --output=avail cow | tail -1)
  check "the disk has less room than the file ($room bytes)" [ "$room" -lt $((16 << 20)) ]
  run split cow/big.bin -s 16M -q
  expect "split with less room than the file" 0 "" "$W/cow/big_spt"
  mkdir cow/out
  run join cow/big_spt -o cow/out -q
  expect "join with less room than the file" 0 "" "$W/cow/out/big.bin"
  check "copy-on-write round trip" cmp -s cow/big.bin cow/out/big.bin
  umount cow
}

# make_image FILE [dense]: a 48 MiB disk image with data at its start, across
# the boundary at 20 MiB and at its end; holes elsewhere, or written zeros.
make_image() {
  if [[ ${2-} == dense ]]; then head -c 48M /dev/zero >"$1"; else truncate -s 48M "$1"; fi
  local at
  for at in 0 $((20 * 1048576 - 4096)) $((48 * 1048576 - 8192)); do
    dd if="$T/island" of="$1" bs=8192 seek="$at" oflag=seek_bytes conv=notrunc status=none
  done
}
# kib PATH...: the disk space PATH occupies, in KiB.
kib() { du -sk "$@" | awk '{ n += $1 } END { print n }'; }

group_sparse() {
  head -c 8192 /dev/urandom >"$T/island"
  truncate -s 1M probe
  local holes=$(($(stat -c %b probe) == 0))
  ((holes)) || echo "skipped: allocation checks (the file system keeps no holes)"
  mkdir sparse dense out vm
  make_image sparse/disk.img
  make_image dense/disk.img dense
  run split sparse/disk.img -s 10M
  expect "split of a sparse image" 0 "" "$W/sparse/disk_spt"
  run split dense/disk.img -s 10M
  local i
  for i in 0 1 2 3 4; do
    check "sparse chunk $i is the dense one" cmp -s {sparse,dense}/disk_spt/disk_$i.spt
  done
  check "sparse and dense sets have one descriptor" cmp -s {sparse,dense}/disk_spt/spt_config.brixspt
  run join sparse/disk_spt -o out
  expect "join of a sparse image" 0 "" "$W/out/disk.img"
  check "sparse round trip" cmp -s dense/disk.img out/disk.img
  run join dense/disk_spt -o dense
  check "dense round trip" cmp -s dense/disk.img out/disk.img
  if ((holes)); then
    check "a chunk of hole occupies nothing" [ "$(stat -c %b sparse/disk_spt/disk_3.spt)" == 0 ]
    check "the sparse set occupies its data" [ "$(kib sparse/disk_spt)" -lt 200 ]
    check "the joined image occupies its data" [ "$(kib out/disk.img)" -lt 200 ]
    check "the dense set stays dense" [ "$(kib dense/disk_spt)" -ge 49152 ]
    check "the dense image joins dense" [ "$(kib dense/disk.img)" -ge 49152 ]
  fi

  cp --sparse=always sparse/disk.img vm/
  echo 'memory = 4G' >vm/vm.conf
  run split vm -s 10M -o sparse
  expect "split of a folder with a sparse image" 0 "" "$W/sparse/vm_spt"
  run join sparse/vm_spt -o out
  expect "join of a folder with a sparse image" 0 "" "$W/out/vm"
  check "folder round trip" diff -r vm out/vm
  if ((holes)); then
    check "the folder's set occupies its data" [ "$(kib sparse/vm_spt)" -lt 200 ]
    check "the joined folder occupies its data" [ "$(kib out/vm)" -lt 200 ]
  fi
}

group_progress() {
  if ! command -v script >/dev/null; then
    echo "skipped: progress bar (no script(1) for a terminal)"
    return
  fi
  head -c 3000000 /dev/urandom >f.bin
  check "split on a terminal" script -qec "'$CLI' split f.bin -s 1M -o '$W'" "$T/tty" </dev/null >/dev/null
  check "the bar reaches 100% on a terminal" grep -q '100%' "$T/tty"
  check "split -q on a terminal" script -qec "'$CLI' split f.bin -s 1M -q -o '$W'" "$T/tty" </dev/null >/dev/null
  check "-q draws no bar" lacks '%' "$T/tty"
  run split f.bin -s 1M
  expect "no bar when stderr is not a terminal" 0 "" "$W/f_spt"
}

# interrupt SIGNAL WHEN ARGS...: runs partwise-cli ARGS in the background,
# freezes it once the path pattern WHEN exists, sends SIGNAL and lets it go
# on, so that the signal lands mid-job however fast the machine is. Leaves RC
# and ERR. A shell starts background commands with SIGINT ignored: env gives
# the command the default handling of a command typed at a terminal.
interrupt() {
  local signal=$1 when=$2
  shift 2
  env "${SIGNALS:---default-signal=INT,TERM,HUP}" "$CLI" "$@" >"$T/out" 2>"$T/err" </dev/null &
  local pid=$!
  # shellcheck disable=SC2086  # WHEN is a pattern
  until compgen -G "$when" >/dev/null || ! kill -0 "$pid" 2>/dev/null; do sleep 0.01; done
  kill -STOP "$pid" 2>/dev/null
  kill "-$signal" "$pid" 2>/dev/null
  kill -CONT "$pid" 2>/dev/null
  wait "$pid"
  RC=$? ERR=$(<"$T/err")
}

group_cancel() {
  # Real bytes (holes would be copied at once), many chunks: the job is still
  # far from its end when the first chunk appears.
  yes partwise | head -c 400M >big.bin
  for signal in INT:130 TERM:143; do
    interrupt "${signal%:*}" 'big_spt/big_0.spt' split big.bin -s 1M
    expect "SIG${signal%:*} mid-split ends as killed by it" "${signal#*:}" "partwise-cli: error: cancelled; nothing was left behind"
    check "a cancelled split leaves no chunk folder" [ ! -e big_spt ]
    check "a cancelled split leaves the source alone" [ "$(stat -c %s big.bin)" == 419430400 ]
  done

  head -c 50M big.bin >f.bin
  SIGNALS=--ignore-signal=HUP interrupt HUP 'f_spt/f_0.spt' split f.bin -s 1M
  expect "a signal ignored at start stays ignored" 0 ""
  check "the split goes on to the end under an ignored signal" [ -e f_spt/spt_config.brixspt ]

  rm -rf f.bin f_spt
  run split big.bin -s 1M -q
  mkdir out
  interrupt INT 'out/.partwise-*' join big_spt -o out
  expect "Ctrl-C mid-join ends as killed by SIGINT" 130 "partwise-cli: error: cancelled"
  check "a cancelled join leaves nothing in the output folder" is_empty out
  run list big_spt
  check "a cancelled join leaves every chunk" [ "$RC" == 0 ]
}

# join_script DIR: runs the join script of f.bin's set in DIR with dash, from
# the folder above, as a recipient would; leaves RC, OUT and ERR.
join_script() {
  dash "$1/join-f.sh" >"$T/out" 2>"$T/err" </dev/null
  RC=$? OUT=$(<"$T/out") ERR=$(<"$T/err")
}

group_media() {
  head -c 3000 /dev/urandom >f.bin
  run split f.bin -s 1K --join-script -o new
  expect "split into a missing folder makes it" 0 "" "$W/new/f_spt"
  run join new/f_spt -o joined
  expect "join into a missing folder makes it" 0 "" "$W/joined/f.bin"
  run split --help
  check "split --help lists the presets with their sizes" grep -q 'fat32 *4294967295' "$T/out"
  local i
  for i in ok missing damaged; do cp -r new/f_spt "$i"; done
  join_script ok
  expect "the join script joins the set" 0 "" "join-f.sh: joined 'f.bin'"
  check "the joined file is the source" cmp -s f.bin ok/f.bin
  echo keep >ok/f.bin
  join_script ok
  check "the join script keeps an existing output" [ "$(<ok/f.bin)" == keep ]
  expect "and says so" 1 "join-f.sh: 'f.bin' already exists here; it was kept (move it away and run again)" ""
  rm missing/f_1.spt
  join_script missing
  expect "the join script names a missing chunk" 1 "join-f.sh: chunk 'f_1.spt' is missing" ""
  flip_byte damaged/f_1.spt 100
  join_script damaged
  check "the join script refuses a damaged chunk" [ "$RC" == 1 -a "${ERR##*$'\n'}" == "join-f.sh: a chunk differs from its checksum in 'f.xxh128' (named above); nothing was joined" ]


  mkdir stick
  if ! { truncate -s 64M fat.img && mkfs.vfat fat.img && mount -o loop fat.img stick; } >/dev/null 2>&1; then
    echo "skipped: FAT32 file size limit (cannot mount a vfat image here)"
    return
  fi
  truncate -s 4G big.img
  run split big.img -s 4G -o stick
  umount stick
  expect "a split onto FAT32 is refused" 1 "partwise-cli: error: cannot split into '$W/stick': chunks of 4.00 G do not fit on this FAT32 file system (largest file 4 GiB − 1 byte); choose 4095 MB or the preset fat32" ""
}

# first_line PATTERN FILE: the number of the first line of FILE matching
# PATTERN, or a number past every line.
first_line() { grep -n -m1 -E "$1" "$2" | cut -d: -f1 | grep . || echo 999999; }

group_durable() {
  if ! command -v strace >/dev/null || ! strace -f -o /dev/null true 2>/dev/null; then
    echo "skipped: the order of the flushes (strace cannot trace here)"
    return
  fi
  head -c 20M /dev/urandom >f.bin
  local calls=fsync,fdatasync,syncfs,rename,renameat,renameat2 log=$T/strace
  strace -f -qq -e trace=$calls -o "$log" "$CLI" split f.bin -s 9M -q >/dev/null 2>&1
  local data descriptor folder
  data=$(first_line 'syncfs\(' "$log")
  descriptor=$(first_line 'spt_config\.brixspt"' "$log")
  folder=$(awk -v d="$descriptor" 'NR > d && /^[0-9]+ +fsync\(/ { print NR; exit }' "$log")
  check "a split flushes its chunks before the descriptor takes its name" [ "$data" -lt "$descriptor" ]
  check "a split flushes the chunk folder after the descriptor took its name" [ -n "$folder" ]
  mkdir out
  strace -f -qq -e trace=$calls -o "$log" "$CLI" join f_spt -o out -q >/dev/null 2>&1
  check "a join flushes its file before it takes its name" \
    [ "$(first_line 'fdatasync\(' "$log")" -lt "$(first_line '"f\.bin"' "$log")" ]
  rm -r out f_spt && mkdir out
  strace -f -qq -e trace=$calls -o "$log" "$CLI" split f.bin -s 9M -q --no-sync >/dev/null 2>&1
  strace -f -qq -e trace=$calls -o "$log.join" "$CLI" join f_spt -o out -q --no-sync >/dev/null 2>&1
  check "split --no-sync flushes nothing" lacks 'sync' "$log"
  check "join --no-sync flushes nothing" lacks 'sync' "$log.join"
  cmp -s f.bin out/f.bin || fail "--no-sync joins the same bytes"
}

group_pipes() {
  mkdir -p tree/sub rest && head -c 70000 /dev/urandom >tree/sub/a && echo b >tree/b
  tar c tree | "$CLI" split - --name tree.tar -s 16K -o out >"$T/out" 2>"$T/err"
  RC=$? OUT=$(<"$T/out") ERR=$(<"$T/err")
  expect "split - prints the chunk folder" 0 "" "$W/out/tree_spt"
  "$CLI" join out/tree_spt -o - 2>"$T/err" | tar x -C rest
  check "join -o - | tar x rebuilds the tree" diff -r tree rest/tree
  check "and writes nothing else" [ ! -s "$T/err" ]
  run split - -s 1K
  expect_usage "split - without --name" "$SPLIT_USAGE"
  run split - --name x -n 2
  expect_usage "split - with -n" "$SPLIT_USAGE"
  run split tree -o tree_sets -s 1K
  run join tree_sets/tree_spt -o -
  expect "a folder set with -o -" 2 "partwise-cli: error: -o - needs a single-file set; a folder set rebuilds a tree"$'\n'"$JOIN_USAGE" ""
  # Reader gone: killed by SIGPIPE quietly, even with SIGPIPE ignored.
  for ignore in "" PIPE; do
    (trap '' $ignore; "$CLI" join out/tree_spt -o - 2>"$T/err" | head -c 10 >/dev/null; echo "${PIPESTATUS[0]}" >"$T/rc")
    check "join -o - | head exits 141 (${ignore:-default} SIGPIPE)" [ "$(<"$T/rc")" == 141 ] && [ ! -s "$T/err" ]
  done
  flip_byte out/tree_spt/tree_2.spt 5000
  "$CLI" join out/tree_spt -o - >joined 2>"$T/err"
  RC=$? ERR=$(<"$T/err") OUT=
  expect_failure "a damaged chunk stops join -o -" "tree_2.spt" "is damaged"
  check "after the chunks before it" cmp -s joined <(cat out/tree_spt/tree_{0,1}.spt)
}

# The wiring of -r, the join's and repair's notes and list --full's lines;
# the rebuilding itself is the engine suite's.
group_recovery() {
  head -c 10000 /dev/urandom >data.bin
  run split data.bin -s 4K -r 1 -q
  local set=$W/data_spt
  check "one recovery file beside the chunks" [ -f data_spt/data_r1_0_0.spr -a -f data_spt/data.rec ]
  rm data_spt/data_1.spt
  run list data_spt --full
  check "list --full shows the recovery file" grep -q $'^r0.0\tok\t4096\t'"$set/data_r1_0_0.spr"'$' "$T/out"
  check "and that the set is repairable" grep -qx '# recovery: 1 file, repairable' "$T/out"
  mkdir out
  run join data_spt -o out -q
  expect "join rebuilds the lost chunk" 0 "partwise-cli: note: $set: rebuilt chunk 1 from 1 recovery file" "$W/out/data.bin"
  run repair data_spt -q
  expect "repair writes it back" 0 "partwise-cli: note: $set: rebuilt chunk 1 from 1 recovery file" "$set"
  check "the set is whole again" cmp -s out/data.bin <(cat data_spt/data_{0,1,2}.spt)
  printf 'X' | dd of=data_spt/data_2.spt bs=1 seek=1500 conv=notrunc 2>/dev/null
  run join data_spt -o - --verify-first -q
  expect "--verify-first rebuilds a damaged chunk before anything goes out" 0 \
    "$(why 2 'its bytes differ from its checksum')"$'\n'"partwise-cli: note: $set: rebuilt chunk 2 from 1 recovery file"
  check "and sends the whole file" cmp -s "$T/out" data.bin
  rm data_spt/data_0.spt data_spt/data_2.spt
  run repair data_spt -q
  expect_failure "two lost with one recovery file" "cannot rebuild chunks 0 and 2 of group 0" "2 recovery files are needed"
  run split data.bin -s 4K -r 65 -q
  expect_usage "-r above 64" "$SPLIT_USAGE"
  run split - --name x -s 1K -r 1
  expect_usage "split - with -r" "$SPLIT_USAGE"
}

for group in "$@"; do
  W=$T/$group
  mkdir "$W" && cd "$W" && "group_$group"
done
echo "$passed passed, $failed failed"
[[ $failed == 0 ]]
