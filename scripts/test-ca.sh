#!/usr/bin/env bash
# The tests' HTTPS server: a certificate for "localhost", issued by a test certificate
# authority that this script adds to the machine's trust store (Wine trusts what the system
# trusts). The authority may only vouch for localhost and loopback addresses (name
# constraints), and its private key is deleted once the server's certificate is signed, so
# it can never issue another one. Idempotent; run by scripts/setup.sh as root.
#   files: /usr/local/share/mirovane-test-ca/server.{crt,key}
#          /usr/local/share/ca-certificates/mirovane-test-ca.crt
set -euo pipefail
dir=/usr/local/share/mirovane-test-ca
trusted=/usr/local/share/ca-certificates/mirovane-test-ca.crt

if [ -f "$dir/server.crt" ] && [ -f "$dir/server.key" ] && [ -f "$trusted" ] &&
   openssl verify -CAfile "$trusted" "$dir/server.crt" >/dev/null 2>&1 &&
   openssl x509 -checkend $((30 * 86400)) -noout -in "$dir/server.crt" >/dev/null; then
  # Trusted by the system as well (a reinstalled ca-certificates may have dropped it).
  if openssl verify "$dir/server.crt" >/dev/null 2>&1; then
    echo "setup: test certificate authority present"
    exit 0
  fi
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/ca.cnf" <<'EOF'
[req]
distinguished_name = dn
prompt = no
x509_extensions = ca
[dn]
CN = Mirovane tests (localhost only)
[ca]
basicConstraints = critical,CA:TRUE,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
nameConstraints = critical,permitted;DNS:localhost,permitted;IP:127.0.0.0/255.0.0.0
subjectKeyIdentifier = hash
EOF
cat >"$work/server.cnf" <<'EOF'
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost
authorityKeyIdentifier = keyid
EOF
quiet() { local out; out=$("$@" 2>&1) || { printf '%s\n' "$out" >&2; echo "setup: failed: $*" >&2; exit 1; }; }
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.crt" -days 3650 \
  -config "$work/ca.cnf"
quiet openssl req -newkey rsa:2048 -nodes -keyout "$work/server.key" -out "$work/server.csr" -subj "/CN=localhost"
quiet openssl x509 -req -in "$work/server.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" -set_serial "0x$(openssl rand -hex 8)" \
  -out "$work/server.crt" -days 3000 -extfile "$work/server.cnf"
mkdir -p "$dir"
# The key only serves localhost; the test servers run as the tests' user.
install -m 0644 "$work/server.crt" "$work/server.key" "$dir/"
install -m 0644 "$work/ca.crt" "$trusted"
quiet update-ca-certificates
openssl verify "$dir/server.crt" >/dev/null || { echo "setup: the system does not trust the test authority" >&2; exit 1; }
echo "setup: test certificate authority made and trusted (localhost only; its key is gone)"
