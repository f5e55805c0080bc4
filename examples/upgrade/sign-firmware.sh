#!/usr/bin/env bash
# Signs firmware files as their maker does: FILE.sig beside each FILE, the signature of its bytes
# (SHA-256) by the private key. The backend verifies FILE.sig with the public keys listed in
# firmwareSignature.publicKeyFiles of its configuration.
#   examples/upgrade/sign-firmware.sh PRIVATE_KEY FILE...
# For the example site: examples/upgrade/sign-firmware.sh examples/keys/example-maker.key /tmp/site-upgrade/*.bin
# examples/keys/example-maker.key is a published test key: it vouches for nothing on a real site.
set -euo pipefail
key=${1:?usage: $0 PRIVATE_KEY FILE...}
shift
[ $# -gt 0 ] || { echo "usage: $0 PRIVATE_KEY FILE..." >&2; exit 2; }
for file in "$@"; do
    openssl dgst -sha256 -sign "$key" -out "$file.sig" "$file"
    echo "$file.sig"
done
