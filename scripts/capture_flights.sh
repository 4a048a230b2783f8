#!/usr/bin/env bash
# Records the seed corpora that come from real peers:
#   tests/fuzz/seeds/handshake/  what openssl s_server and gnutls-serv send to
#                                the provider's client (TLS 1.0, TLS 1.2, RSA
#                                and DHE key exchange, alerts, client
#                                certificate requests), as fuzz_handshake reads it
#   tests/fuzz/seeds/certs/      the DER chains those servers present, and
#                                certificates with the odd fields a server may send
#
# Everything runs in a network namespace of its own that holds only a
# loopback interface; every server serves one client and is stopped after.
# The client's randomness is fixed, so a flight answers the same hello when
# replayed; when the provider's hello changes (protocols, suites,
# extensions), run this again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${KV_FUZZ_BUILD:-build-fuzz}

if [ -z "${KV_CAPTURE_INSIDE:-}" ]; then
  cmake -S tests/fuzz -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$build" --target capture_flights >/dev/null
  exec env KV_CAPTURE_INSIDE=1 unshare --user --map-root-user --net bash "$0" "$@"
fi

ip link set lo up
capture=$root/$build/bin/capture_flights
flights=$root/tests/fuzz/seeds/handshake
certs=$root/tests/fuzz/seeds/certs
mkdir -p "$flights" "$certs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export ASAN_OPTIONS=detect_leaks=0

# ----- a small PKI: root, intermediate, server -----
cat >ext.cnf <<'EOF'
[ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:server.test, DNS:*.server.test
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[client_only_ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign
extendedKeyUsage = clientAuth
[ip_only]
subjectAltName = IP:127.0.0.1
[no_san]
basicConstraints = CA:false
EOF
key() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1" 2>/dev/null; }
key root.key
key inter.key
key server.key
openssl req -x509 -new -key root.key -subj "/C=FI/O=Kestavane Fuzz/CN=Fuzz Root" -days 3650 \
  -set_serial 1 -extensions ca -config ext.cnf -out root.pem 2>/dev/null
sign() { # subject-key subject extensions issuer-cert issuer-key serial days out [more x509 options]
  openssl req -new -key "$1" -subj "$2" -out req.csr 2>/dev/null
  openssl x509 -req -in req.csr -CA "$4" -CAkey "$5" -set_serial "$6" -days "$7" \
    -extfile ext.cnf -extensions "$3" -out "$8" "${@:9}" 2>/dev/null
}
sign inter.key "/C=FI/O=Kestavane Fuzz/OU=Issuing/CN=Fuzz Issuing CA" ca root.pem root.key 2 1825 inter.pem
# a serial whose top byte is 0x80 or more carries a leading zero in its encoding
sign server.key "/C=FI/ST=Uusimaa/L=Espoo/O=Kestavane Fuzz/CN=server.test" server inter.pem inter.key \
  0x9F00A1 365 server.pem
cat server.pem inter.pem >chain.pem
der() { openssl x509 -in "$1" -outform DER; }

# ----- flights -----
port=4433
run_openssl() { # name, s_server options...
  local name=$1
  shift
  port=$((port + 1))
  # s_server ends a connection when its standard input ends: keep it open a while
  timeout 20 openssl s_server -accept "127.0.0.1:$port" -naccept 1 -quiet -cert server.pem -key server.key \
    -cert_chain inter.pem "$@" < <(sleep 20) >/dev/null 2>&1 &
  local server=$!
  "$capture" "$port" "$flights/openssl-$name" || echo "capture of openssl-$name failed"
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
}
run_gnutls() { # name, gnutls-serv options...
  local name=$1
  shift
  port=$((port + 1))
  timeout 20 gnutls-serv -q -p "$port" --x509certfile chain.pem --x509keyfile server.key "$@" >/dev/null 2>&1 &
  local server=$!
  "$capture" "$port" "$flights/gnutls-$name" || echo "capture of gnutls-$name failed"
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
}

run_openssl tls12 -tls1_2
run_openssl tls10 -tls1 -cipher 'DEFAULT:@SECLEVEL=0'
run_openssl rsa-kx -tls1_2 -cipher AES128-SHA
run_openssl dhe -tls1_2 -cipher DHE-RSA-AES256-GCM-SHA384
run_openssl client-cert-requested -tls1_2 -verify 1
run_openssl client-cert-required-alert -tls1_2 -Verify 1
run_openssl no-shared-cipher-alert -tls1_2 -cipher ECDHE-ECDSA-AES128-GCM-SHA256
run_openssl tls13-only-alert -tls1_3

run_gnutls tls12 -a --priority 'NORMAL:-VERS-ALL:+VERS-TLS1.2'
run_gnutls tls10 -a --priority 'NORMAL:-VERS-ALL:+VERS-TLS1.0:+SHA1:+SIGN-RSA-SHA1'
run_gnutls client-cert-requested --priority 'NORMAL:-VERS-ALL:+VERS-TLS1.2'
run_gnutls client-cert-required-alert -r --priority 'NORMAL:-VERS-ALL:+VERS-TLS1.2'
run_gnutls no-shared-cipher-alert -a --priority 'NORMAL:-VERS-ALL:+VERS-TLS1.2:-CIPHER-ALL:+CHACHA20-POLY1305'

# ----- certificates -----
{ der server.pem; der inter.pem; der root.pem; } >"$certs/chain"
der server.pem >"$certs/server-alone"
der root.pem >"$certs/root-alone"
# a server certificate that has already expired (only "openssl ca" sets both dates)
mkdir ca
touch ca/index.txt
echo 03 >ca/serial
printf '%s\n' '[ca]' 'default_ca = fuzz' '[fuzz]' 'database = ca/index.txt' 'new_certs_dir = ca' \
  'serial = ca/serial' 'default_md = sha256' 'policy = any' 'unique_subject = no' '[any]' \
  'commonName = supplied' >ca.cnf
openssl req -new -key server.key -subj "/CN=server.test" -out expired.csr 2>/dev/null
openssl ca -batch -config ca.cnf -cert inter.pem -keyfile inter.key -in expired.csr -out expired.pem -notext \
  -startdate 20200101000000Z -enddate 20200102000000Z -extfile ext.cnf -extensions server 2>/dev/null
{ der expired.pem; der inter.pem; der root.pem; } >"$certs/expired"
# an intermediate that allows client authentication only
sign inter.key "/CN=Client Only CA" client_only_ca root.pem root.key 4 365 client-ca.pem
sign server.key "/CN=server.test" server client-ca.pem inter.key 5 365 under-client-ca.pem
{ der under-client-ca.pem; der client-ca.pem; der root.pem; } >"$certs/usage-along-chain"
# names: a multi-valued RDN, characters that are quoted, an e-mail, no SAN
openssl req -new -key server.key -multivalue-rdn -out names.csr \
  -subj '/C=FI/O=Quote, "Inc"/OU=a+OU=b/CN= padded /emailAddress=ops@server.test/serialNumber=42' 2>/dev/null
openssl x509 -req -in names.csr -CA root.pem -CAkey root.key -set_serial 6 -days 365 -extfile ext.cnf \
  -extensions no_san -out names.pem 2>/dev/null
{ der names.pem; der root.pem; } >"$certs/names"
# an IP address as the only name; dates past 2049 (GeneralizedTime)
sign server.key "/CN=127.0.0.1" ip_only root.pem root.key 0x00 10000 ip.pem
{ der ip.pem; der root.pem; } >"$certs/ip-and-far-dates"
# the server's chain in a loop: a root that names itself twice
{ der server.pem; der inter.pem; der inter.pem; der root.pem; der root.pem; } >"$certs/repeated"

ls -l "$flights" "$certs"
