#!/usr/bin/env bash
# Makes the test certificates into the folder given: a test CA, the server certificate for
# localhost (and 127.0.0.1), two card certificates (DER) and an expired one; and, for signing,
# a code-signing certificate with its key in code-signing.pfx (password in
# code-signing.password), plus two that must not sign: expired, and one for TLS servers only. Keys are made
# here each time and never leave the build folder; nothing of anything real.
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
quiet() { "$@" >/dev/null 2>&1 || { echo "make-certs: $* failed" >&2; exit 1; }; }

quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout test-ca.key -out test-ca.pem -days 3650 \
  -subj "/CN=Orvane Test CA" -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
openssl x509 -in test-ca.pem -outform DER -out test-ca.der

quiet openssl req -newkey rsa:2048 -nodes -keyout server.key -out "$work/server.csr" -subj "/CN=localhost"
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' > "$work/server.ext"
quiet openssl x509 -req -in "$work/server.csr" -CA test-ca.pem -CAkey test-ca.key -CAcreateserial \
  -out server.pem -days 3650 -extfile "$work/server.ext"

card() {  # name subject [start end] [extensions]
  quiet openssl req -newkey rsa:2048 -nodes -keyout "$work/$1.key" -out "$work/$1.csr" -subj "$2"
  printf '%b' "${5:-extendedKeyUsage=clientAuth\nkeyUsage=critical,digitalSignature,keyEncipherment\n}" > "$work/card.ext"
  if [ $# -eq 2 ] || [ -z "$3" ]; then
    quiet openssl x509 -req -in "$work/$1.csr" -CA test-ca.pem -CAkey test-ca.key -CAcreateserial \
      -out "$work/$1.pem" -days 3650 -extfile "$work/card.ext"
  else
    # A fixed past validity needs the CA tool and its small database.
    mkdir -p "$work/ca"; : > "$work/ca/index.txt"; echo 1000 > "$work/ca/serial"
    cat > "$work/ca.cnf" <<CNF
[ca]
default_ca = test
[test]
database = $work/ca/index.txt
serial = $work/ca/serial
new_certs_dir = $work/ca
default_md = sha256
policy = any
copy_extensions = none
[any]
commonName = supplied
CNF
    quiet openssl ca -batch -config "$work/ca.cnf" -cert test-ca.pem -keyfile test-ca.key -in "$work/$1.csr" \
      -out "$work/$1.pem" -startdate "$3" -enddate "$4" -extfile "$work/card.ext" -notext
  fi
  openssl x509 -in "$work/$1.pem" -outform DER -out "$1.der"
}
card card-alice "/CN=Alice Kiosk User"
card card-bob "/CN=Bob Kiosk User"
card card-expired "/CN=Expired Kiosk User" 20200101000000Z 20210101000000Z

# PKCS#12 files as a builder has them: the key, its certificate and the CA, one password.
printf 'orvane test only\n' > code-signing.password
signer() {  # name subject extensions [start end]
  card "$1" "$2" "${4:-}" "${5:-}" "$3"
  quiet openssl pkcs12 -export -inkey "$work/$1.key" -in "$work/$1.pem" -certfile test-ca.pem -name "$2" \
    -passout file:code-signing.password -out "$1.pfx"
  rm -f "$1.der"
}
signing='extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\n'
signer code-signing "/CN=Tessam Test Publisher" "$signing"
signer code-signing-expired "/CN=Tessam Expired Publisher" "$signing" 20200101000000Z 20210101000000Z
signer tls-server-only "/CN=localhost" 'extendedKeyUsage=serverAuth\n'
rm -f test-ca.srl
