#!/usr/bin/env bash
# Generates the TLS files kestrum reads from ssl-cert/, for tests and demos:
#   ca.crt, server.cer, server.key (key encrypted with "740391")   default context, verifies client certificates
#   ca2.crt, server2.cer, server2.key (key encrypted with "xqzv")  context for clients that send a host name (SNI)
#   client.crt, client.key                                         a client certificate signed by ca.crt
#   client2.crt, client2.key                                       a client certificate signed by ca2.crt
#   rogue-client.crt, rogue-client.key                             a client certificate no kestrum CA signed
# Server certificates carry CN kestrum-default / kestrum-sni and the names localhost and 127.0.0.1.
# EC P-256 keys keep generation well under a second. Usage: gen-certs.sh OUTDIR (files go to OUTDIR/ssl-cert/).
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi
out="$1/ssl-cert"
mkdir -p "$out"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

newkey() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

# ca NAME CN: self-signed CA certificate NAME.crt with key NAME.key in $work.
ca() {
    newkey "$work/$1.key"
    openssl req -x509 -new -key "$work/$1.key" -subj "/CN=$2" -days 3650 -sha256 \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -out "$work/$1.crt" 2>/dev/null
}

# leaf NAME CN CA USAGE: certificate NAME.crt signed by CA, key NAME.key in $work.
leaf() {
    newkey "$work/$1.key"
    openssl req -new -key "$work/$1.key" -subj "/CN=$2" -out "$work/$1.csr" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=%s\nsubjectAltName=DNS:localhost,IP:127.0.0.1\n' "$4" \
        >"$work/$1.ext"
    openssl x509 -req -in "$work/$1.csr" -CA "$work/$3.crt" -CAkey "$work/$3.key" -CAcreateserial \
        -days 3650 -sha256 -extfile "$work/$1.ext" -out "$work/$1.crt" 2>/dev/null
}

ca ca "kestrum test CA"
ca ca2 "kestrum test CA 2"
ca rogue "unknown CA"
leaf server kestrum-default ca serverAuth
leaf server2 kestrum-sni ca2 serverAuth
leaf client kestrum-client ca clientAuth
leaf client2 kestrum-client2 ca2 clientAuth
leaf rogue-client rogue-client rogue clientAuth

cp "$work/ca.crt" "$out/ca.crt"
cp "$work/ca2.crt" "$out/ca2.crt"
cp "$work/server.crt" "$out/server.cer"
cp "$work/server2.crt" "$out/server2.cer"
openssl pkey -in "$work/server.key" -aes256 -passout pass:740391 -out "$out/server.key"
openssl pkey -in "$work/server2.key" -aes256 -passout pass:xqzv -out "$out/server2.key"
cp "$work/client.crt" "$out/client.crt"
cp "$work/client.key" "$out/client.key"
cp "$work/client2.crt" "$out/client2.crt"
cp "$work/client2.key" "$out/client2.key"
cp "$work/rogue-client.crt" "$out/rogue-client.crt"
cp "$work/rogue-client.key" "$out/rogue-client.key"
