#!/usr/bin/env bash
# Signs one Windows file in place with osslsigncode: sign-file.sh CERTIFICATE.p12 FILE.
# The certificate's password comes from the environment (PALLATON_SIGNING_PASSWORD), never from
# the command line or the build's cache, and reaches osslsigncode through a pipe.
set -euo pipefail
certificate=$1
file=$2
signed=$file.signing
rm -f "$signed"
osslsigncode sign -pkcs12 "$certificate" -readpass <(printf '%s' "${PALLATON_SIGNING_PASSWORD:-}") \
    -n "Pallaton Updater" -h sha256 -in "$file" -out "$signed" >/dev/null
mv -f "$signed" "$file"
