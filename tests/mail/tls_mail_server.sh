#!/bin/bash
# Debian's exim4 or Dovecot's submission server on loopback with TLS and a login, for the
# tests; runs in the foreground until SIGTERM. The login is "velmora" / "s3cret pass".
#   tls_mail_server.sh DIR exim ADDRESS PORT MODE   (MODE: starttls, implicit, selfsigned
#                                                   or notls: AUTH offered without TLS)
#   tls_mail_server.sh DIR dovecot ADDRESS PORT RELAYPORT   (relays to exim on 127.0.0.1)
#   tls_mail_server.sh DIR certs ADDRESS 0 -   (only makes the certificates)
# DIR gets a throwaway CA, ca.pem (the client trusts it through SSL_CERT_FILE only), and a
# certificate it signed for localhost, 127.0.0.1, 127.0.0.7 and ADDRESS (the first call's);
# the server's log is DIR/MODE-mainlog or DIR/dovecotlog.
set -eu
dir=$1 kind=$2 address=$3 port=$4 mode=$5
cd "$dir"
if [ ! -f ca.pem ]; then
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
        -subj "/CN=velmora test CA" -keyout ca.key -out ca.pem 2>/dev/null
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
        -subj "/CN=localhost" -CA ca.pem -CAkey ca.key -keyout server.key -out server.pem \
        -addext "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:127.0.0.7,IP:$address" 2>/dev/null
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
        -subj "/CN=localhost" -keyout self.key -out self.pem \
        -addext "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:127.0.0.7,IP:$address" 2>/dev/null
fi
[ "$kind" = certs ] && exit 0
if [ "$kind" = dovecot ]; then
    chmod 755 "$dir"  # its auth process reads the users file as the dovecot user
    mkdir -p dovecot/home && chown dovecot: dovecot/home
    echo "velmora:{PLAIN}s3cret pass" >dovecot/users
    cat >dovecot/dovecot.conf <<END
protocols = submission
base_dir = $dir/dovecot/run
state_dir = $dir/dovecot/state
log_path = $dir/dovecotlog
listen = $address
ssl = required
ssl_cert = <$dir/server.pem
ssl_key = <$dir/server.key
hostname = localhost
first_valid_uid = 100
mail_location = maildir:~/mail
submission_relay_host = 127.0.0.1
submission_relay_port = $mode
submission_relay_trusted = yes
passdb {
  driver = passwd-file
  args = $dir/dovecot/users
}
userdb {
  driver = static
  args = uid=dovecot gid=dovecot home=$dir/dovecot/home
}
service submission-login {
  inet_listener submission {
    port = $port
  }
}
END
    exec /usr/sbin/dovecot -F -c "$dir/dovecot/dovecot.conf"
fi
if [ ! -f exim.body ]; then
    cp -r /etc/exim4 exim
    sed -i '/^# \(plain\|login\)_server:/,/^$/s/^# \?//' exim/exim4.conf.template
    echo "velmora:$(openssl passwd -6 's3cret pass')" >exim/passwd
    update-exim4.conf -d exim -o exim.tmp && mv exim.tmp exim.body
fi
{
    echo "CONFDIR = $dir/exim"
    echo "SPOOLDIR = $dir/spool-$mode"
    echo "MAIN_LOCAL_INTERFACES = <; $address"
    case $mode in
        notls) printf "AUTH_SERVER_ALLOW_NOTLS_PASSWORDS = yes\ntls_advertise_hosts =\n" ;;
        selfsigned) printf 'MAIN_TLS_ENABLE = yes\nMAIN_TLS_CERTIFICATE = %s\nMAIN_TLS_PRIVATEKEY = %s\n' \
            "$dir/self.pem" "$dir/self.key" ;;
        *) printf 'MAIN_TLS_ENABLE = yes\nMAIN_TLS_CERTIFICATE = %s\nMAIN_TLS_PRIVATEKEY = %s\n' \
            "$dir/server.pem" "$dir/server.key" ;;
    esac
    [ "$mode" = implicit ] && echo "tls_on_connect_ports = $port"
    echo "log_file_path = $dir/$mode-%slog"
    echo "queue_only = true"
    echo "exim_user = root"
    echo "exim_group = root"
    cat exim.body
} >"exim-$mode.conf"
exec /usr/sbin/exim4 -C "$dir/exim-$mode.conf" -bdf -oX "$port" -oP "$dir/exim-$mode.pid"
