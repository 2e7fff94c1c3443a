#!/usr/bin/env bash
# Every option a command's --help prints is described in its manual page, and the page
# describes no option that --help does not print.
#   manpage_test.sh COMMAND MANPAGE...   (pairs: the command, then its page)
set -u
options() {  # the distinct options (-x, --long-name) in a text on stdin
  grep -oE '(^|[^A-Za-z0-9-])--?[A-Za-z][A-Za-z0-9-]*' | sed -E 's/^[^-]*//' | sort -u
}
passed=0
failed=0
while [ $# -ge 2 ]; do
  command=$1 page=$2
  shift 2
  name=$(basename "$page")
  help=$("$command" --help) || { echo "FAILED: $command --help"; failed=$((failed + 1)); continue; }
  # roff: "\-" is a minus; font changes (\fB ... \fR) are no part of a word.
  in_help=$(printf '%s\n' "$help" | options)
  in_page=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$page" | options)
  missing=$(comm -23 <(echo "$in_help") <(echo "$in_page"))
  extra=$(comm -13 <(echo "$in_help") <(echo "$in_page"))
  if [ -z "$in_help" ]; then
    echo "FAILED: $name: --help printed no option"
    failed=$((failed + 1))
  elif [ -n "$missing$extra" ]; then
    [ -n "$missing" ] && echo "FAILED: $name lacks:" $missing
    [ -n "$extra" ] && echo "FAILED: $name has options --help does not print:" $extra
    failed=$((failed + 1))
  else
    passed=$((passed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
