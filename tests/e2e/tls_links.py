#!/usr/bin/env python3
"""TLS through Kelvox: links to a TLS IRC server, and users on the TLS port.

InspIRCd listens plain and with TLS on two certificates for "localhost": one
that Kelvox trusts (it is its SSL_CERT_FILE) and one it does not. Users link
with CONN host:+port, are refused with a clear notice for a wrong host name or
an untrusted certificate, and accepted for a pinned fingerprint. A user who
connects to Kelvox's own TLS port links through as on the plain one. Exits 0
when everything held.

    tls_links.py KELVOX_BINARY
"""
import os
import socket
import ssl
import subprocess
import sys

from e2e_support import IrcClient, Run, free_port, listening

KELVOX = sys.argv[1]
RUN = Run("kelvox-tls-")
CHANNEL = "#tls"


def make_certificate(name):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-keyout", RUN.path(name + ".key"), "-out", RUN.path(name + ".pem"), "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost"], check=True, capture_output=True)
    out = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", RUN.path(name + ".pem")],
                         check=True, capture_output=True, text=True).stdout
    return out.strip().split("=", 1)[1]


def start_server(plain, trusted, untrusted):
    profiles = "".join(f'<sslprofile name="{name}" provider="gnutls" certfile="{RUN.path(name + ".pem")}" '
                       f'keyfile="{RUN.path(name + ".key")}" requestclientcert="no">\n'
                       for name in ("trusted", "untrusted"))
    RUN.write("inspircd.conf", f"""<server name="insp.test" description="Kelvox TLS test" network="Test">
<admin name="test" nick="test" email="test@localhost">
<module name="ssl_gnutls">
{profiles}<bind address="127.0.0.1" port="{plain}" type="clients">
<bind address="127.0.0.1" port="{trusted}" type="clients" sslprofile="trusted">
<bind address="127.0.0.1" port="{untrusted}" type="clients" sslprofile="untrusted">
<connect allow="*" resolvehostnames="no" timeout="20" localmax="100" globalmax="100" useident="no" limit="100">
<dns server="127.0.0.1" timeout="1">
<pid file="{RUN.path("inspircd.pid")}">
<log method="file" type="* -USERINPUT -USEROUTPUT" level="default" target="{RUN.path("ircd.log")}">
""")
    root = ["--runasroot"] if os.geteuid() == 0 else []
    RUN.start(["inspircd", "--config", RUN.path("inspircd.conf"), "--nofork"] + root, "ircd.out")


def user(port, tls=False):
    sock = socket.create_connection(("127.0.0.1", port))
    if tls:  # the bouncer's own certificate is self-signed: the test takes it as it comes
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        sock = context.wrap_socket(sock)
    return IrcClient(sock)


def link(kelvox_port, nick, conn, tls=False):
    client = user(kelvox_port, tls)
    RUN.wait_for(f"greeting for {nick}", lambda: client.saw("Kelvox v2.6"))
    client.send(f"NICK {nick}", f"USER {nick} 0 * :{nick}", conn)
    return client


def main():
    RUN.skip_without("inspircd", "openssl")
    trusted_fp = make_certificate("trusted")
    untrusted_fp = make_certificate("untrusted")
    plain, trusted, untrusted = free_port(), free_port(), free_port()
    start_server(plain, trusted, untrusted)
    RUN.wait_for("IRC server listening", lambda: all(listening(p) for p in (plain, trusted, untrusted)))

    kelvox_port, kelvox_tls = free_port(), free_port()
    made = subprocess.run([KELVOX, "--config-dir", RUN.work, "--make-cert"], capture_output=True, text=True)
    if made.returncode != 0 or "fingerprint (SHA-256): " not in made.stdout:
        RUN.fail("kelvox --make-cert: " + made.stdout + made.stderr)
    RUN.write("Config.ini", f"[Main]\r\nPort={kelvox_port}\r\nBeep=no\r\n[TLS]\r\nSSL Port={kelvox_tls}\r\n")
    RUN.start([KELVOX, "--config-dir", RUN.work, "--start"], "kelvox.out", stdin=subprocess.DEVNULL,
              env={"SSL_CERT_FILE": RUN.path("trusted.pem"), "PATH": "/usr/bin:/bin"})
    RUN.wait_for("Kelvox listening with TLS", lambda: f"listening with TLS on port {kelvox_tls}" in RUN.read("kelvox.out"))

    direct = user(plain)
    direct.send("NICK direct", "USER direct 0 * :direct")
    RUN.wait_for("direct client registered", lambda: direct.saw(r"^:\S+ 001 direct "))
    direct.send(f"JOIN {CHANNEL}")

    # A trusted certificate for the name given: the user registers and chats.
    ann = link(kelvox_port, "ann", f"CONN localhost:+{trusted}")
    RUN.wait_for("ann linked over TLS", lambda: ann.saw(r"^:insp.test 001 ann "))
    ann.send(f"JOIN {CHANNEL}", f"PRIVMSG {CHANNEL} :hello over TLS")
    RUN.wait_for("ann's message", lambda: direct.saw(rf"^:ann!\S+ PRIVMSG {CHANNEL} :hello over TLS"))
    direct.send(f"PRIVMSG {CHANNEL} :hello back")
    RUN.wait_for("the answer at ann", lambda: ann.saw(rf"PRIVMSG {CHANNEL} :hello back"))

    # The same certificate under another name, and a certificate nobody vouches for.
    bob = link(kelvox_port, "bob", f"CONN 127.0.0.1:+{trusted}")
    RUN.wait_for("host name refused", lambda: bob.saw(r"NOTICE bob :.*   TLS: certificate verify failed: "))
    cid = link(kelvox_port, "cid", f"CONN localhost:+{untrusted}")
    RUN.wait_for("untrusted refused", lambda: cid.saw(r"   TLS: certificate verify failed: self.signed certificate"))
    dan = link(kelvox_port, "dan", f"CONN localhost:+{untrusted} fp={trusted_fp}")
    RUN.wait_for("wrong pin refused", lambda: dan.saw(r"   TLS: fingerprint mismatch"))
    for refused in (bob, cid, dan):
        RUN.wait_for("the refused link's end", lambda: refused.saw("Disconnected from the IRC server."))

    # Pinned by its fingerprint, the untrusted one is taken.
    eve = link(kelvox_port, "eve", f"CONN localhost:+{untrusted} fp={untrusted_fp.lower()}")
    RUN.wait_for("eve linked with a pinned certificate", lambda: eve.saw(r"^:insp.test 001 eve "))

    # A user on the bouncer's TLS port links through as on the plain one.
    fay = link(kelvox_tls, "fay", f"CONN localhost:{plain}", tls=True)
    RUN.wait_for("fay linked from the TLS port", lambda: fay.saw(r"^:insp.test 001 fay "))
    fay.send(f"JOIN {CHANNEL}", f"PRIVMSG {CHANNEL} :hello from the TLS port")
    RUN.wait_for("fay's message", lambda: direct.saw(rf"^:fay!\S+ PRIVMSG {CHANNEL} :hello from the TLS port"))


if __name__ == "__main__":
    RUN.main(main)
