#!/usr/bin/env bash
# After `cmake --install`, a consumer finds the library with find_package(LumoDEZ) and
# with pkg-config, and both builds run.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null

mkdir -p "$work/consumer"
cat > "$work/consumer/main.c" <<'C'
#include <lumodez.h>
#include <stdio.h>
#include <string.h>
int main(void) {
  lumodez_sign* s = NULL;
  char* out = NULL;
  if (lumodez_sign_create(&s)) return 1;
  lumodez_sign_set_test_mode(s, 1);
  if (lumodez_sign_xml(s, "<a/>", "k", LUMODEZ_ROOT, &out)) return 2;
  int ok = strstr(out, "<dsig:SigValue") != NULL;
  lumodez_free(out);
  lumodez_sign_release(s);
  printf("%s\n", ok ? "consumer ok" : "consumer wrong result");
  return ok ? 0 : 3;
}
C
cat > "$work/consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.20)
project(consumer C)
find_package(LumoDEZ REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE LumoDEZ::lumodez)
CM
# The library was built with sanitizers in the test build; the consumer links them too.
flags="${LUMO_CONSUMER_FLAGS:-}"
libs="${LUMO_CONSUMER_LIBS:-}"
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_C_COMPILER="${CC:-cc}" -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags $libs" >/dev/null
cmake --build "$work/consumer/build" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib64:$work/prefix/lib/x86_64-linux-gnu" "$work/consumer/build/consumer"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig:$work/prefix/lib64/pkgconfig:$work/prefix/lib/x86_64-linux-gnu/pkgconfig"
${CC:-cc} $flags "$work/consumer/main.c" -o "$work/consumer/pc" $(pkg-config --cflags --libs lumodez) $libs
LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib64:$work/prefix/lib/x86_64-linux-gnu" "$work/consumer/pc"
echo "1 passed, 0 failed"
