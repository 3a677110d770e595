#!/usr/bin/env bash
# Writes the agent's TLS certificate file, cert/local.pem, beside the agent's
# executable:
#
#   scripts/make-local-cert.sh FOLDER    (FOLDER: where the executable lies)
#
# The file holds the server certificate (RSA 2048, SHA-256, for the names
# localhost and 127.0.0.1) followed by its private key, encrypted under the
# agent's pass phrase. When mkcert is installed the certificate is issued by
# mkcert's local authority, which browsers trust after `mkcert -install`
# (once per machine); otherwise it is self-signed by the openssl command line
# and the browser must be told to trust that certificate itself (README).
# MKCERT names the mkcert command (default: mkcert).
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 FOLDER-OF-THE-AGENT-EXECUTABLE" >&2
  exit 2
fi
folder=$1/cert
target=$folder/local.pem
pass=pass:61937
mkcert=${MKCERT:-mkcert}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if command -v "$mkcert" >/dev/null 2>&1; then
  # mkcert's leaf keys are RSA 2048 and its signatures SHA-256.
  "$mkcert" -cert-file "$work/cert.pem" -key-file "$work/key.pem" localhost 127.0.0.1 >/dev/null 2>&1
  issuer="mkcert's local authority ($("$mkcert" -CAROOT)/rootCA.pem);
browsers trust it after \`$mkcert -install\` (once per machine)"
else
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 825 -subj "/CN=localhost" \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    -addext "basicConstraints=critical,CA:FALSE" \
    -addext "keyUsage=critical,digitalSignature,keyEncipherment" \
    -addext "extendedKeyUsage=serverAuth" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
  issuer="itself (self-signed); see the README to make the browser trust it"
fi
openssl pkey -in "$work/key.pem" -aes256 -passout "$pass" -out "$work/key.enc"

mkdir -p "$folder"
umask 077
cat "$work/cert.pem" "$work/key.enc" > "$work/local.pem"
mv -f "$work/local.pem" "$target"
echo "wrote $target, issued by $issuer"
