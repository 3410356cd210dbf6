#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR, as a package build does, and
# checks what lands there: the file list, the launcher entry and the manual.
# Usage: install_test.sh CMAKE BUILD_DIR CONFIG VERSION HAVE_UI GROUP
# Exits 77 (skipped) when a tool a check needs is missing.
set -u
CMAKE=$1 BUILD=$(realpath "$2") CONFIG=$3 VERSION=$4 HAVE_UI=$5 GROUP=$6
export LC_ALL=C
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
passed=0 failed=0 skipped=()

pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
check() {
  local name=$1
  shift
  if "$@"; then pass; else fail "$name"; fi
}
finish() {
  echo "$passed passed, $failed failed"
  [[ $failed == 0 ]] || exit 1
  if [[ ${#skipped[@]} -gt 0 ]]; then
    printf 'skipped: %s\n' "${skipped[@]}"
    exit 77
  fi
  exit 0
}

# install_to ROOT PREFIX: installs the build under DESTDIR=ROOT.
install_to() {
  if ! DESTDIR=$1 "$CMAKE" --install "$BUILD" --prefix "$2" --config "$CONFIG" >"$T/install.log" 2>&1; then
    cat "$T/install.log"
    fail "cmake --install --prefix $2"
    finish
  fi
}

# png_size FILE: "WIDTHxHEIGHT" from the IHDR chunk, or nothing for a non-PNG.
png_size() {
  [[ $(od -An -tx1 -N8 "$1" | tr -d ' \n') == 89504e470d0a1a0a ]] || return
  local w h
  w=$(od -An -tu4 --endian=big -j16 -N4 "$1" | tr -d ' ')
  h=$(od -An -tu4 --endian=big -j20 -N4 "$1" | tr -d ' ')
  echo "${w}x$h"
}

group_layout() {
  local root=$T/root expected
  install_to "$root" /usr
  expected=(usr/bin/partwise-cli usr/share/man/man1/partwise-cli.1)
  if [[ $HAVE_UI == 1 ]]; then
    expected+=(usr/bin/partwise usr/share/applications/partwise.desktop
               usr/share/icons/hicolor/{48x48,128x128,256x256}/apps/partwise.png)
  fi
  # Exactly these files, so nothing stray (a test program, a static library)
  # ships and nothing lands outside DESTDIR/usr.
  (cd "$root" && find . ! -type d | sed 's|^\./||' | sort) >"$T/installed"
  printf '%s\n' "${expected[@]}" | sort >"$T/expected"
  check "installed files (< expected, > installed)" diff "$T/expected" "$T/installed"
  local program
  for program in partwise-cli partwise; do
    [[ $program == partwise && $HAVE_UI != 1 ]] && continue
    check "$program is executable" [ -x "$root/usr/bin/$program" ]
    check "$program is an ELF program" [ "$(head -c4 "$root/usr/bin/$program" | od -An -c | tr -d ' ')" == '177ELF' ]
  done
  check "the installed partwise-cli runs and tells its version" \
    [ "$("$root/usr/bin/partwise-cli" --version 2>&1)" == "partwise-cli $VERSION" ]
  check "the manual is not executable" [ ! -x "$root/usr/share/man/man1/partwise-cli.1" ]
  local size
  if [[ $HAVE_UI == 1 ]]; then
    for size in 48 128 256; do
      check "the ${size}x$size icon is a PNG of that size" \
        [ "$(png_size "$root/usr/share/icons/hicolor/${size}x$size/apps/partwise.png")" == "${size}x$size" ]
    done
  fi

  install_to "$T/other" /opt/partwise
  check "another prefix holds the programs and the manual" \
    [ -x "$T/other/opt/partwise/bin/partwise-cli" -a -f "$T/other/opt/partwise/share/man/man1/partwise-cli.1" ]
  check "another prefix leaves nothing outside it" [ "$(ls -A "$T/other")" == opt ]
}

# entry_value KEY: the value of KEY in the [Desktop Entry] group.
entry_value() {
  sed -n '/^\[Desktop Entry\]$/,/^\[/{s/^'"$1"'=//p}' "$ENTRY"
}

group_desktop_entry() {
  if [[ $HAVE_UI != 1 ]]; then
    echo "skipped: no window was built, so no launcher entry is installed"
    exit 77
  fi
  local root=$T/root
  install_to "$root" /usr
  ENTRY=$root/usr/share/applications/partwise.desktop
  check "the launcher entry is installed" [ -f "$ENTRY" ] || finish

  if command -v desktop-file-validate >/dev/null; then
    local report rc
    report=$(desktop-file-validate "$ENTRY" 2>&1)
    rc=$?
    check "desktop-file-validate accepts the entry" [ "$rc" == 0 ]
    check "desktop-file-validate finds nothing to warn about" lacks_warnings "$report"
    [[ -n $report ]] && echo "$report"
  else
    skipped+=("desktop-file-validate (desktop-file-utils) is not installed")
  fi

  check "Type is Application" [ "$(entry_value Type)" == Application ]
  check "Name is the window's title" [ "$(entry_value Name)" == "Orvellan Free Partwise" ]
  check "Comment is one line" [ "$(entry_value Comment | wc -l)" == 1 ]
  check "Terminal is false" [ "$(entry_value Terminal)" == false ]
  check "Categories put it under Utility" grep -qx 'Categories=Utility;\(.*;\)\?' "$ENTRY"
  local exec icon size
  exec=$(entry_value Exec) icon=$(entry_value Icon)
  check "Exec starts the installed window program on the chosen path" \
    [ "$exec" == "partwise %f" -a -x "$root/usr/bin/${exec% *}" ]
  check "files and folders are offered to it" \
    [ "$(entry_value MimeType)" == "inode/directory;application/octet-stream;" ]
  for size in 48x48 128x128 256x256; do
    check "Icon names the installed $size icon" [ -n "$icon" -a -f "$root/usr/share/icons/hicolor/$size/apps/$icon.png" ]
  done
}
lacks_warnings() { ! grep -qiE 'error|warning' <<<"$1"; }

group_man_page() {
  if ! command -v groff >/dev/null; then
    echo "skipped: groff (groff-base) is not installed"
    exit 77
  fi
  local root=$T/root page
  install_to "$root" /usr
  page=$root/usr/share/man/man1/partwise-cli.1
  check "the manual is installed" [ -f "$page" ] || finish

  groff -ww -man -Tutf8 -z "$page" 2>"$T/groff.err"
  check "groff -ww renders the manual without warnings" [ ! -s "$T/groff.err" ]
  cat "$T/groff.err"
  if command -v man >/dev/null; then
    MANWIDTH=80 man --warnings=w -l "$page" >"$T/man.out" 2>"$T/man.err"
    check "man -l renders the manual" [ "$?" == 0 -a -s "$T/man.out" ]
    check "man -l gives no warnings" [ ! -s "$T/man.err" ]
    cat "$T/man.err"
  else
    skipped+=("man -l (man-db) is not installed")
  fi

  # Plain text, so that "\-" reads as "-" and nothing is overstruck.
  local text cli=$root/usr/bin/partwise-cli
  text=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null)
  check "the manual carries the project version" grep -q "Partwise $VERSION " <<<"$text"
  local heading
  for heading in SYNOPSIS DESCRIPTION COMMANDS OPTIONS 'EXIT STATUS' ENVIRONMENT EXAMPLES; do
    check "the manual has $heading" grep -qx "$heading" <<<"$text"
  done
  local status
  for status in 0 1 2; do
    check "exit status $status is documented" \
      grep -qxE " {7}$status {6}.*" <<<"$(sed -n '/^EXIT STATUS$/,/^[A-Z]/p' <<<"$text")"
  done
  check "PARTWISE_PASSWORD is documented" grep -q '^       PARTWISE_PASSWORD$' <<<"$text"

  # Whatever the program's own help lists must be in the manual, with an example.
  local examples commands command section names name example
  examples=$(sed -n '/^EXAMPLES$/,$p' <<<"$text")
  commands=$("$cli" --help | sed -n '/^Subcommands:/,$s/^  \([a-z]\+\) .*/\1/p')
  check "the program lists its commands" [ "$(wc -w <<<"$commands")" -ge 3 ]
  for command in $commands; do
    check "command $command is documented" grep -qE "^       $command [a-z-]+$" <<<"$text"
    check "command $command has an example" grep -q "partwise-cli $command " <<<"$examples"
    section=$(sed -n "/^   $command\$/,/^\(   [a-z]\|[A-Z]\)/p" <<<"$text" | sed 1d)
    # One help line per option: "  -s,--size SIZE ..." gives "-s --size".
    while read -r names; do
      [[ $names == "-h --help" ]] && continue
      example=0
      for name in $names; do
        check "$command option $name is documented" grep -qE -- "^ +(-[a-z], )?$name(,| |$)" <<<"$section"
        grep -qE -- "partwise-cli $command .* $name( |$)" <<<"$examples" && example=1
      done
      check "$command option $names has an example" [ "$example" == 1 ]
    done < <("$cli" "$command" --help | grep -oE '^  (-[a-z],)?--[a-z-]+' | tr ',' ' ')
  done
  check "--version is documented" grep -qx -- '       --version' <<<"$text"
  check "--version has an example" grep -q -- 'partwise-cli --version' <<<"$examples"
  check "PARTWISE_PASSWORD has an example" grep -q 'PARTWISE_PASSWORD=' <<<"$examples"
}

cd "$T" && "group_$GROUP"
finish
