# What the shell tests of dezsign share: counted checks (each script prints
# "$passed passed, $failed failed" at its end).
#   source "$src/tests/tools/check_lib.sh"   (src: the source tree)
#   check NAME COMMAND...   runs COMMAND; counts it passed, or failed with "FAILED: NAME"
passed=0
failed=0
check() {  # check NAME COMMAND...
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $name" >&2
  fi
}
