#!/usr/bin/env python3
"""SASL logins and the server's time through Kelvox, with real IRC clients.

irssi and WeeChat connect to Kelvox at their defaults plus their SASL account
settings and link with CONN ... sasl=plain-insecure; a raw client goes the same
way byte by byte. With InspIRCd and atheme, Kelvox logs the users in before
their registration ends, tells them so, and passes the server's time on; the
raw client's wrong password is told and its link serves all the same. ngircd
offers neither SASL nor server-time: Kelvox says so and stamps the lines with
their arrival time itself. One logging relay sits between the users and
Kelvox, another between Kelvox and the server; a third client talks to the
server directly. Exits 0 when everything held, else prints what failed.

    sasl_clients.py KELVOX_BINARY inspircd|ngircd
"""
import re
import socket
import sys
from datetime import datetime, timedelta, timezone

import services
from e2e_support import IrcClient, Run, free_port, listening, order
from programs import (NICKS, Irssi, Relay, WeeChat, await_link, await_pings, join, restamp, start_kelvox,
                      start_ngircd)

KELVOX, SERVER = sys.argv[1], sys.argv[2]
SASL = SERVER == "inspircd"
PASSWORD = "s3cret"  # the users' password for Kelvox
ACCOUNT_PASSWORD = "wonder1and"
CHANNEL = "#sasl"
STAMP = "2001-02-03T04:05:06.000Z"  # the server's time that the relay gives the "stamped" message
SHOWN_STAMP = {NICKS["irssi"]: r"^04:05 #sasl: <@direct> stamped$",  # how each client's log shows it (TZ=UTC)
               NICKS["weechat"]: r"^2001-02-03 04:05:06\s+@direct\s+stamped$"}
PINGS = 2  # server PINGs each link idles through
RUN = Run("kelvox-sasl-")
wait_for = RUN.wait_for


def raw_user(kelvox_port, relay_port):
    """rex, byte by byte: capabilities and credentials before the link (a wrong
    password for the server that checks them), then CONN."""
    rex = IrcClient(socket.create_connection(("127.0.0.1", kelvox_port)))
    rex.send("CAP LS 302", "NICK rex", "USER rex 0 * :rex")
    wait_for("Kelvox's capabilities for rex", lambda: rex.saw(r"^:Kelvox CAP \S+ LS :.*\bsasl=PLAIN\b"))
    rex.send("CAP REQ :sasl server-time", "AUTHENTICATE PLAIN")
    wait_for("AUTHENTICATE + from Kelvox", lambda: rex.saw(r"^AUTHENTICATE \+$"))
    rex.send("AUTHENTICATE " + services.plain_payload("rex", "not-" + ACCOUNT_PASSWORD))
    wait_for("the credentials kept", lambda: rex.saw(
        r"^:Kelvox 900 rex rex!\*@\* rex :SASL credentials for rex kept for the network$") and rex.saw(
        r"^:Kelvox 903 rex :SASL credentials kept for the network$"), seen=lambda: rex.log.down[-3:])
    rex.send("CAP END", f"PASS {PASSWORD}")
    wait_for("Kelvox's welcome for rex", lambda: rex.saw(r"^:Kelvox 001 rex "))
    rex.send(f"CONN 127.0.0.1:{relay_port} sasl=plain-insecure")
    told = r"the IRC server refused the login \(904 SASL authentication failed\)" if SASL else \
        "the IRC server offers no SASL; you are not logged in"
    notice = r"^:Kelvox NOTICE rex :\ufffd \ufffd \ufffd   SASL: "  # the bouncer's 0xA9 marks, not UTF-8
    wait_for("rex told the outcome", lambda: rex.saw(notice + told + r"\.$"),
             seen=lambda: [line for line in rex.log.down if "Kelvox NOTICE" in line])
    wait_for("the server's welcome for rex", lambda: rex.saw(r"^(@\S+ )?:(?!Kelvox )\S+ 001 rex "))
    return rex


def main():
    programs = ["inspircd", "atheme-services"] if SASL else ["ngircd"]
    RUN.skip_without("irssi", "tmux", "weechat-headless", *programs)
    if SASL:
        server_port, calm_port = services.start_network(RUN)
        for account in [*NICKS.values(), "rex", "direct"]:
            services.register(RUN, calm_port, account, ACCOUNT_PASSWORD)
        direct = services.sasl_login(RUN, calm_port, "direct", "direct", ACCOUNT_PASSWORD)  # the network works
    else:
        server_port = free_port()
        RUN.watched.append(start_ngircd(RUN, server_port))
        wait_for("ngircd listening", lambda: listening(server_port))
        direct = IrcClient(socket.create_connection(("127.0.0.1", server_port)), "direct")
        wait_for("direct client registered", lambda: direct.saw(r"^:\S+ 001 direct "))
    relay, kelvox_port = Relay(server_port, RUN.path("relay.log"), restamp(CHANNEL, {"stamped": STAMP})), free_port()
    RUN.watched.append(start_kelvox(RUN, KELVOX, kelvox_port, PASSWORD))
    wait_for("Kelvox listening", lambda: listening(kelvox_port))
    front = Relay(kelvox_port, RUN.path("users.log"))
    direct.send(f"JOIN {CHANNEL}")

    on_connect = [f"/quote CONN 127.0.0.1:{relay.port} sasl=plain-insecure"]
    irssi, wee = NICKS["irssi"], NICKS["weechat"]
    clients = {irssi: Irssi(RUN, front.port, PASSWORD, on_connect,
                            f"-sasl_mechanism plain -sasl_username {irssi} -sasl_password {ACCOUNT_PASSWORD}"),
               wee: WeeChat(RUN, front.port, PASSWORD, on_connect,
                            ["sasl_mechanism plain", f"sasl_username {wee}", f"sasl_password {ACCOUNT_PASSWORD}"])}
    outcome = r"logged in as {}\." if SASL else r"the IRC server offers no SASL; you are not logged in\."
    for nick, client in clients.items():
        link = await_link(RUN, relay, nick, "server welcome", rf"^(@\S+ )?:\S+ 001 {nick} ")
        wait_for(f"the SASL outcome shown by {nick}", lambda: client.shows("   SASL: " + outcome.format(nick)))
        if SASL:  # logged in before the registration ended
            up, down = order(link.up, r"^AUTHENTICATE PLAIN$", r"^CAP END$"), order(link.down, r" 903 ", r" 001 ")
            if not 0 <= up[0] < up[1] or not 0 <= down[0] < down[1]:
                RUN.fail(f"{nick} was not logged in before registering: up {up}, down {down}")
        join(RUN, direct, nick, client, CHANNEL)
        client.command(f"/msg {CHANNEL} hello from {nick}")
        wait_for(f"{nick}'s message", lambda: direct.saw(rf"^:{nick}!\S+ PRIVMSG {CHANNEL} :hello from {nick}"))
        if SASL:
            direct.send(f"WHOIS {nick}")
            wait_for(f"{nick} logged in, says WHOIS",
                     lambda: direct.saw(rf" 330 direct {nick} {nick} :is logged in as"))

    rex = raw_user(kelvox_port, relay.port)
    rex.send(f"JOIN {CHANNEL}", f"PRIVMSG {CHANNEL} :hello from rex")
    wait_for("rex's message", lambda: direct.saw(rf"^:rex!\S+ PRIVMSG {CHANNEL} :hello from rex"))

    # The server's time reaches the users: InspIRCd's (the relay's STAMP), or Kelvox's own for ngircd.
    direct.send(f"PRIVMSG {CHANNEL} :stamped")
    time = re.escape(STAMP) if SASL else r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"
    stamped = rf"^@time=({time}) :direct!\S+ PRIVMSG {CHANNEL} :stamped$"  # that tag alone
    wait_for("the time on rex's line", lambda: rex.saw(stamped))
    arrival = datetime.strptime(next(m[1] for line in rex.log.down if (m := re.match(stamped, line))),
                                "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=timezone.utc)
    if not SASL and abs(datetime.now(timezone.utc) - arrival) > timedelta(minutes=1):
        RUN.fail(f"Kelvox's time {arrival} is not the time of arrival")
    for nick, client in clients.items():
        user = front.link_of(nick)
        wait_for(f"the time on {nick}'s line", lambda: user.count(user.down, stamped))
        if SASL:
            wait_for(f"the server's time shown by {nick}", lambda: client.shows(SHOWN_STAMP[nick]))

    # Idle through the server's PINGs (tagged on InspIRCd): Kelvox answers every one.
    await_pings(RUN, relay, [*clients, "rex"], r"^@time=\S+ PING " if SASL else r"^PING ", PINGS)
    direct.send(f"PRIVMSG {CHANNEL} :still here")
    for nick, client in clients.items():
        wait_for(f"the last message shown by {nick}", lambda: client.shows("still here"))
    wait_for("the last message at rex", lambda: rex.saw("still here"))


if __name__ == "__main__":
    RUN.main(main)
