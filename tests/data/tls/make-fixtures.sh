#!/usr/bin/env bash
# Writes the TLS test fixtures with the openssl command line. Every private
# key is encrypted (AES-256-CBC) under the pass phrase 61937.
#   local.pem  self-signed RSA-2048 / SHA-256 server certificate and key
#   chain.pem  server certificate, key and the issuing test CA (ca.pem)
#   weak.pem   RSA-1024 key: refused at security level 2
#   sha1.pem   certificate signed by the CA with SHA-1: refused likewise
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pass=pass:61937
days=36500
san="subjectAltName=DNS:localhost,IP:127.0.0.1"

key() { # bits out
  openssl genpkey -algorithm RSA -pkeyopt "rsa_keygen_bits:$1" -out "$work/$2.key" 2>/dev/null
  openssl pkey -in "$work/$2.key" -aes256 -passout "$pass" -out "$work/$2.enc"
}

key 2048 local
openssl req -x509 -new -key "$work/local.key" -sha256 -days $days -subj "/CN=localhost" \
  -addext "$san" -out "$work/local.crt"
cat "$work/local.crt" "$work/local.enc" > local.pem

key 2048 ca
openssl req -x509 -new -key "$work/ca.key" -sha256 -days $days -subj "/CN=zimraCert test CA" \
  -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign" -out ca.pem

signed() { # bits digest name
  key "$1" "$3"
  openssl req -new -key "$work/$3.key" -subj "/CN=localhost" -out "$work/$3.csr"
  openssl x509 -req -in "$work/$3.csr" -CA ca.pem -CAkey "$work/ca.key" -CAcreateserial -CAserial "$work/ca.srl" \
    -"$2" -days $days -extfile <(echo "$san") -out "$work/$3.crt" 2>/dev/null
}

signed 2048 sha256 chain
cat "$work/chain.crt" "$work/chain.enc" ca.pem > chain.pem

key 1024 weak
openssl req -x509 -new -key "$work/weak.key" -sha256 -days $days -subj "/CN=localhost" -out "$work/weak.crt"
cat "$work/weak.crt" "$work/weak.enc" > weak.pem

signed 2048 sha1 sha1
cat "$work/sha1.crt" "$work/sha1.enc" ca.pem > sha1.pem
