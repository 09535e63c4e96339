# Shared by scripts/demo.sh and scripts/screenshots.sh (sourced): a publisher's certificates, the
# reference server on loopback, and a site's settings document. Expects BIN, QZPACK, WORK and a
# fail function; sets SERVER_PID, HTTP_PORT and HTTPS_PORT.

make_pki() {  # folder: ca.pem/ca.key, the file-signing fs.crt/fs.key and the server's tls.crt/tls.key
  local pki=$1
  mkdir -p "$pki"
  "$QZPACK" ca --cert "$pki/ca.pem" --key "$pki/ca.key" --cn "Varnholt Demo CA" --org Varnholt --country KR >/dev/null
  "$QZPACK" cert --ca "$pki/ca.pem" --ca-key "$pki/ca.key" --cert "$pki/fs.crt" --key "$pki/fs.key" \
    --cn "Varnholt File Signing" --org Varnholt --country KR >/dev/null
  "$QZPACK" cert --tls --ca "$pki/ca.pem" --ca-key "$pki/ca.key" --cert "$pki/tls.crt" --key "$pki/tls.key" \
    --cn 127.0.0.1 --org Varnholt --country KR --ip 127.0.0.1 >/dev/null
}

start_server() {  # release folder, pki folder, more qzserver options...
  local release=$1 pki=$2
  shift 2
  "$BIN/qzserver" --root "$release" --cert "$pki/tls.crt" --key "$pki/tls.key" --port-file "$WORK/ports.txt" \
    --https-port 0 --http-port 0 --set lang=1 "$@" >"$WORK/server.log" 2>&1 &
  SERVER_PID=$!
  for _ in $(seq 100); do [ -s "$WORK/ports.txt" ] && break; sleep 0.1; done
  [ -s "$WORK/ports.txt" ] || fail "qzserver did not start: $(cat "$WORK/server.log")"
  HTTPS_PORT="$(sed -n 's/^https=//p' "$WORK/ports.txt")"
  HTTP_PORT="$(sed -n 's/^http=//p' "$WORK/ports.txt")"
}

write_site_settings() {  # file: the site installer's settings document for the running server
  cat >"$1" <<CFG
<?xml version="1.0" encoding="UTF-8"?>
<setup>
  <serial>VH-2024-0001</serial>
  <server>127.0.0.1</server>
  <productkind>V3-2</productkind>
  <msg>VH-KSM Agent</msg>
  <showui>true</showui>
  <companyName>Varnholt Demo Site</companyName>
  <pk_server>127.0.0.2</pk_server>
  <port>$HTTP_PORT</port>
  <ssl>$HTTPS_PORT</ssl>
</setup>
CFG
}
