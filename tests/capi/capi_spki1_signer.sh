#!/usr/bin/env bash
# The C API's signer fields with real signatures: a key profile of the reference provider
# with a known subject, made in a throwaway provider home, and capi_c_test run against it.
#   capi_spki1_signer.sh CAPI_C_TEST SPKI1_TOOL
set -u
if [ $# -ne 2 ] || [ ! -x "$1" ] || [ ! -x "$2" ]; then
  echo "usage: capi_spki1_signer.sh CAPI_C_TEST SPKI1_TOOL" >&2
  exit 2
fi
test_program=$(realpath "$1")
tool=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
export SPKI1_HOME="$work/spki1-home" HOME="$work/home"
mkdir -p "$HOME"
unset SPKI1_PIN
# (A sanitizer runtime preloaded for the test program is not the tool's.)
env -u LD_PRELOAD "$tool" create clerk --subject "CN=Clerk,O=Test Bank" >/dev/null || exit 1
serial=$(openssl x509 -in "$SPKI1_HOME/clerk/cert.pem" -noout -serial | sed 's/^serial=//')
[ -n "$serial" ] || { echo "no serial in the profile's certificate" >&2; exit 1; }
LUMO_SPKI1_PROFILE=clerk LUMO_SPKI1_SERIAL=$serial "$test_program"
