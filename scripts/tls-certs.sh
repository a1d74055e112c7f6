#!/usr/bin/env bash
# Throwaway certificates for the TLS brokers and the TLS tests.
#
#   scripts/tls-certs.sh DIR
#
# Fills DIR with (keys RSA 2048, PEM, unencrypted unless said otherwise):
#   ca.pem ca.key              the test CA, CN "vqstomp test CA"
#   broker.pem broker.key      CN localhost, DNS:localhost and IP:127.0.0.1, server auth, 10 years
#   expired.pem expired.key    the same names, valid only from 2020-01-01 to 2020-01-02
#   other.pem other.key        for DNS:other.example only
#   client.pem client.key      CN vqstomp-client, client auth
#   client-encrypted.key       client.key as encrypted PKCS#8 (AES-256), passphrase "client-secret"
#   rogue-ca.pem rogue-ca.key  a second CA nobody trusts
#   rogue.pem rogue.key        like broker.pem, but signed by the rogue CA
#   broker.p12                 broker key, certificate and chain, password "vqstomp" (ActiveMQ)
#   truststore.p12             ca.pem as a trusted entry, password "vqstomp" (ActiveMQ)
# All but the rogue ones are signed by the test CA.
#
# A complete, still valid set is kept as it is, so that clients can go on
# trusting the same CA; otherwise the whole set is made anew.
set -euo pipefail

readonly SELF=tls-certs.sh
readonly FILES=(ca.pem ca.key broker.pem broker.key expired.pem expired.key other.pem other.key
                client.pem client.key client-encrypted.key rogue-ca.pem rogue-ca.key rogue.pem rogue.key
                broker.p12 truststore.p12)
readonly MARKER="vqstomp test certificates 1: ${FILES[*]}"
readonly STORE_PASSWORD=vqstomp
readonly KEY_PASSPHRASE=client-secret

(( $# == 1 )) || { echo "usage: $0 DIR" >&2; exit 2; }
readonly DIR=$1

complete() {
    [[ -f $DIR/complete && $(< "$DIR/complete") == "$MARKER" ]] || return 1
    local f
    for f in "${FILES[@]}"; do [[ -s $DIR/$f ]] || return 1; done
    openssl verify -CAfile "$DIR/ca.pem" "$DIR/broker.pem" "$DIR/client.pem" > /dev/null 2>&1
}

# openssl and keytool chat on stderr even when all is well.
quietly() {
    "$@" > "$WORK/log" 2>&1 || { cat "$WORK/log" >&2; return 1; }
}

make_ca() { # name common-name
    quietly openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$WORK/$1.key"
    quietly openssl req -x509 -config "$WORK/openssl.cnf" -extensions ca_cert -key "$WORK/$1.key" \
        -subj "/CN=$2" -days 7300 -out "$WORK/$1.pem"
}

issue() { # name ca extensions common-name validity-option...
    local name=$1 ca=$2 extensions=$3 cn=$4
    shift 4
    quietly openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$WORK/$name.key"
    quietly openssl req -new -config "$WORK/openssl.cnf" -key "$WORK/$name.key" -subj "/CN=$cn" -out "$WORK/$name.csr"
    # openssl ca rather than x509 -req: only it takes a start date.
    quietly openssl ca -batch -notext -rand_serial -config "$WORK/openssl.cnf" -extensions "$extensions" \
        -cert "$WORK/$ca.pem" -keyfile "$WORK/$ca.key" -in "$WORK/$name.csr" -out "$WORK/$name.pem" "$@"
}

generate() {
    cat > "$WORK/openssl.cnf" <<EOF
[req]
distinguished_name = dn
[dn]
[ca]
default_ca = test_ca
[test_ca]
database = $WORK/index.txt
new_certs_dir = $WORK
serial = $WORK/serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
[ca_cert]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[localhost]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
authorityKeyIdentifier = keyid
[other]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.example
authorityKeyIdentifier = keyid
[client]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = clientAuth
authorityKeyIdentifier = keyid
EOF
    : > "$WORK/index.txt"
    make_ca ca "vqstomp test CA"
    make_ca rogue-ca "vqstomp rogue CA"
    issue broker ca localhost localhost -days 3650
    issue expired ca localhost localhost -startdate 20200101000000Z -enddate 20200102000000Z
    issue other ca other other.example -days 3650
    issue client ca client vqstomp-client -days 3650
    issue rogue rogue-ca localhost localhost -days 3650
    quietly openssl pkey -in "$WORK/client.key" -aes256 -passout "pass:$KEY_PASSPHRASE" -out "$WORK/client-encrypted.key"
    quietly openssl pkcs12 -export -name broker -in "$WORK/broker.pem" -inkey "$WORK/broker.key" \
        -certfile "$WORK/ca.pem" -passout "pass:$STORE_PASSWORD" -out "$WORK/broker.p12"
    # keytool, not openssl: Java only trusts entries it marked as trusted itself.
    quietly keytool -importcert -noprompt -storetype PKCS12 -alias vqstomp-ca -file "$WORK/ca.pem" \
        -keystore "$WORK/truststore.p12" -storepass "$STORE_PASSWORD"
}

main() {
    mkdir -p "$DIR"
    # Two brokers starting at once must not mix two sets.
    exec 9> "$DIR/.lock"
    flock 9
    complete && return 0
    rm -f "$DIR/complete"
    WORK=$(mktemp -d "$DIR/.new.XXXXXX")
    trap 'rm -rf "$WORK"' EXIT
    generate
    local f
    for f in "${FILES[@]}"; do mv -f "$WORK/$f" "$DIR/$f"; done
    echo "$MARKER" > "$DIR/complete"
    echo "$SELF: made test certificates in $DIR"
}

main
