#!/usr/bin/env bash
# The commands dezsign --help lists (each action of the table among them) are the ones
# the bash completion offers and the manual page describes; the spool's actions and the
# action codes --code names read the same in all three.
#   commands_check.sh DEZSIGN SOURCE_DIR
set -u
dezsign=$1 src=$2
source "$src/tests/tools/check_lib.sh"
completion=$src/completion/dezsign
page=$src/man/dezsign.1
words() { tr ' ,\n' '\n\n\n' | sed '/^$/d' | sort -u; }  # a list on stdin, one word a line
same() {  # same WHAT LEFT RIGHT: both lists hold the same words
  [ "$2" = "$3" ] && return 0
  echo "$1 differ:" >&2
  diff <(echo "$2") <(echo "$3") >&2
  return 1
}
# roff: "\-" is a minus, font changes are no part of a word.
plain_page=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$page")

help_commands=$("$dezsign" --help | sed -n '/^Commands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }' | words)
check "--help lists the action commands" grep -qx base64-envelope <<<"$help_commands"
completion_commands=$(sed -n '/COMP_CWORD" -eq 1/,/-- "\$cur"/p' "$completion" |
  sed -e 's/.*-W "//' -e 's/" -- .*//' | grep -v 'COMP_CWORD' | words | grep -vx -e --help -e --version)
check "completion offers the commands of --help" same commands "$help_commands" "$completion_commands"
page_commands=$(echo "$plain_page" | sed -n '/^\.SH COMMANDS/,/^\.SH OPTIONS/p' |
  awk '/^\.TP/ { getline; if ($1 == ".B" || $1 == ".BI") print $2 }' | words)
check "the manual page describes the commands of --help" same commands "$help_commands" "$page_commands"

spool_actions=$("$dezsign" spool --help | sed -n 's/.*ACTION (\([^)]*\)) on every file.*/\1/p' | words)
check "spool --help names its actions" grep -qx check-signature <<<"$spool_actions"
completion_spool=$(sed -n '/COMP_CWORD" -eq 2/{n;p}' "$completion" | sed -e 's/.*-W "//' -e 's/" -- .*//' | words)
check "completion offers the spool's actions" same "spool actions" "$spool_actions" "$completion_spool"
page_spool=$(echo "$plain_page" | sed -n 's/^run ACTION (\([^)]*\)) on every file$/\1/p' | sed 's/ or /, /' | words)
check "the manual page names the spool's actions" same "spool actions" "$spool_actions" "$page_spool"

# "1 childs, 2 root, ... or 6 base64-envelope" as the refusal of an unknown code says it.
codes=$("$dezsign" --code 0 in.xml 2>&1 | sed -n 's/.*its low 8 bits must be \([^)]*\)).*/\1/p')
check "--code names the codes" test -n "$codes"
page_codes=$(echo "$plain_page" | sed -n '/^run an action by its code/,/^\./p' | tr '\n' ' ' |
  sed -n 's/.*its low 8 bits: \([^)]*\)).*/\1/p' | sed 's/  */ /g')
check "the manual page lists the codes as --code does" same codes "$(echo "$codes" | sed 's/ or /, /')" "$page_codes"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
