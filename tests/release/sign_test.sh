#!/usr/bin/env bash
# Signs copies of the program and its two libraries with a throwaway self-signed certificate,
# through the same step the Release build runs, and checks that osslsigncode finds a valid
# signature on each.  Usage: sign_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
bin=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export PALLATON_SIGNING_PASSWORD="throwaway-$$"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Pallaton test signing" \
    -addext "extendedKeyUsage=codeSigning" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.p12" \
    -passout env:PALLATON_SIGNING_PASSWORD

status=0
for name in PallatonUpdater.exe Log.dll Utility.dll; do
    cp "$bin/$name" "$work/$name"
    if osslsigncode verify -in "$work/$name" >/dev/null 2>&1; then
        echo "FAIL: $name is signed before signing"; status=1
    fi
    "$source/cmake/sign-file.sh" "$work/cert.p12" "$work/$name"
    if output=$(osslsigncode verify -CAfile "$work/cert.pem" -in "$work/$name" 2>&1) &&
        grep -q "Signature verification: ok" <<<"$output"; then
        echo "ok: $name carries a valid signature"
    else
        echo "FAIL: $name: no valid signature"; echo "$output" | tail -n 5; status=1
    fi
done
# The password never reaches a command line or a file of the build.
if grep -rqs "$PALLATON_SIGNING_PASSWORD" "$bin/../CMakeCache.txt"; then
    echo "FAIL: the password is in the build's cache"; status=1
fi
exit $status
