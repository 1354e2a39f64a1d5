#!/bin/bash
# Makes a test CA and certificates signed by it for IIOP and SIP over TLS, in FOLDER (default ./tls):
#   ca.pem                        the CA to name as ClientCAFile (server), --tls-ca (clients), a SIP phone's CA
#   server.pem, server.key        the server's CertificateFile and PrivateKeyFile (also [SIP]'s), for 127.0.0.1
#                                 and localhost
#   client.pem, client.key        a client's --tls-cert and --tls-key
# Not for production: the keys have no password and the CA's key stays beside them.
set -euo pipefail
folder=${1:-tls}
days=${DAYS:-825}
mkdir -p "$folder"
umask 077
cd "$folder"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days "$days" \
  -subj "/CN=Vantrel test CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
for who in server client; do
  openssl req -newkey rsa:2048 -nodes -keyout "$who.key" -out "$who.csr" -subj "/CN=vantrel-$who" 2>/dev/null
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n' > "$who.ext"
  openssl x509 -req -in "$who.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -out "$who.pem" -days "$days" \
    -extfile "$who.ext" 2>/dev/null
  rm -f "$who.csr" "$who.ext"
done
chmod 644 ca.pem
echo "$PWD"
