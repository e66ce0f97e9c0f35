#!/usr/bin/env bash
# Makes the demo token: a SoftHSM2 token holding an ICP-Brasil-shaped e-CPF A3
# certificate (with its key and its issuing CA), and a trust bundle that adds the demo
# root to the system's roots. Prints the two environment settings that point the
# signer at them. Idempotent: an existing demo token is kept.
#   usage: demo-token.sh FOLDER      (user PIN 1234, SO PIN 123456)
set -euo pipefail
dir="$(mkdir -p "$1" && cd "$1" && pwd)"
label="Norvane Demo"
module=/usr/lib/softhsm/libsofthsm2.so

conf="$dir/softhsm2.conf"
trust="$dir/trust.pem"
# A token made before is kept only while it is whole: its store, the user's certificate
# on it and the trust bundle.
intact() {
  [ -f "$dir/ready" ] && [ -s "$trust" ] && [ -f "$conf" ] || return 1
  SOFTHSM2_CONF="$conf" pkcs11-tool --module "$module" --token-label "$label" --list-objects --type cert \
    2>/dev/null | grep -q "label: *demo$"
}
if ! intact; then
  rm -f "$dir/ready"
  rm -rf "$dir/tokens" "$dir/pki"
  mkdir -p "$dir/tokens" "$dir/pki"
  cd "$dir/pki"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$dir/tokens" >"$conf"

  cat >ext.cnf <<'CNF'
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always

[a3]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,nonRepudiation,keyEncipherment
extendedKeyUsage = clientAuth,emailProtection
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
certificatePolicies = @policy
subjectAltName = @names

[policy]
policyIdentifier = 2.16.76.1.2.3.99
CPS.1 = "http://127.0.0.1/demo/dpc.pdf"

[names]
otherName.0 = 2.16.76.1.3.1;OCT:010119801234567890900000000000000000000000000000SSPSP
otherName.1 = 2.16.76.1.3.6;OCT:000000000000
otherName.2 = 2.16.76.1.3.5;OCT:0000000000000000000SAO PAULOSP
email.0 = demo@norvane.local
CNF

  openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 3650 \
    -subj "/C=BR/O=ICP-Brasil/CN=AC Raiz Demo Norvane" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout ca.key -out ca.csr -subj "/C=BR/O=ICP-Brasil/CN=AC Demo Norvane" 2>/dev/null
  openssl x509 -req -in ca.csr -CA root.pem -CAkey root.key -CAcreateserial -out ca.pem -days 3000 \
    -extfile ext.cnf -extensions ca 2>/dev/null
  openssl req -utf8 -newkey rsa:2048 -nodes -keyout user.key -out user.csr \
    -subj "/C=BR/O=ICP-Brasil/OU=Demonstração/CN=FULANO DE DEMONSTRACAO:12345678909" 2>/dev/null
  openssl x509 -req -in user.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out user.pem -days 730 \
    -extfile ext.cnf -extensions a3 2>/dev/null
  openssl pkcs8 -topk8 -nocrypt -in user.key -out user.p8
  openssl x509 -in user.pem -outform DER -out user.der
  openssl x509 -in ca.pem -outform DER -out ca.der

  export SOFTHSM2_CONF="$conf"
  softhsm2-util --init-token --free --label "$label" --pin 1234 --so-pin 123456 >/dev/null
  softhsm2-util --import user.p8 --token "$label" --label demo --id 01 --pin 1234 >/dev/null
  pkcs11-tool --module "$module" --token-label "$label" --login --pin 1234 \
    --write-object user.der --type cert --id 01 --label demo >/dev/null
  pkcs11-tool --module "$module" --token-label "$label" --login --pin 1234 \
    --write-object ca.der --type cert --id 02 --label "AC Demo Norvane" >/dev/null
  rm -f root.key ca.key user.key user.p8 ./*.csr

  cat /etc/ssl/certs/ca-certificates.crt root.pem >"$trust" 2>/dev/null || cp root.pem "$trust"
  touch "$dir/ready"
fi
echo "SOFTHSM2_CONF=$conf"
echo "SSL_CERT_FILE=$trust"
