#!/usr/bin/env python3
"""Real IRC clients through Kelvox to a real IRC server.

irssi (under tmux) and WeeChat (headless) connect to Kelvox with the users'
password in their own server settings and send HELP and CONN with their own
on-connect setting. A third client talks to the server directly. Between Kelvox
and the server a logging relay keeps every line each way, so the test sees what
reached the server. Exits 0 when everything held, else prints what failed.

    real_clients.py KELVOX_BINARY ngircd|inspircd
"""
import socket
import sys

from e2e_support import IrcClient, LineLog, Run, free_port, listening
from programs import NICKS, Irssi, Relay, WeeChat, await_link, await_pings, join, start_kelvox, start_ngircd
from services import start_plain_inspircd

KELVOX, SERVER = sys.argv[1], sys.argv[2]
PASSWORD = "s3cret"
CHANNEL = "#kelvox"
PINGS = 3  # server PINGs each linked client idles through
RUN = Run("kelvox-clients-")
fail, wait_for, read_file = RUN.fail, RUN.wait_for, RUN.read


def start_server(port, calm_port):
    if SERVER == "ngircd":
        return start_ngircd(RUN, port)
    return start_plain_inspircd(RUN, port, calm_port)


def main():
    RUN.skip_without("irssi", "tmux", "weechat-headless", SERVER)
    server_port, kelvox_port = free_port(), free_port()
    calm_port = free_port() if SERVER == "inspircd" else server_port
    start_server(server_port, calm_port)
    wait_for("IRC server listening", lambda: listening(server_port) and listening(calm_port))
    relay = Relay(server_port, RUN.path("relay.log"))
    start_kelvox(RUN, KELVOX, kelvox_port, PASSWORD)
    wait_for("Kelvox listening", lambda: listening(kelvox_port) and "status 0" in read_file("kelvox.out"))
    direct = IrcClient(socket.create_connection(("127.0.0.1", calm_port)), "direct")
    wait_for("direct client registered", lambda: direct.saw(r"^:\S+ 001 direct "))
    direct.send(f"JOIN {CHANNEL}")
    wait_for("direct client in the channel", lambda: direct.saw(rf"JOIN :?{CHANNEL}"))

    on_connect = ["/quote HELP", f"/quote CONN 127.0.0.1:{relay.port}"]
    clients = {NICKS["irssi"]: Irssi(RUN, kelvox_port, PASSWORD, on_connect),
               NICKS["weechat"]: WeeChat(RUN, kelvox_port, PASSWORD, on_connect)}
    for nick, client in clients.items():
        # Readable notices: the prompt and HELP, then the server's welcome.
        wait_for(f"password prompt shown by {nick}", lambda: client.shows("Enter your password. /quote PASS"))
        wait_for(f"HELP shown by {nick}", lambda: client.shows("Connect to IRC server."))
        await_link(RUN, relay, nick, "server welcome", rf"^(@\S+ )?:\S+ 001 {nick} ")
        join(RUN, direct, nick, client, CHANNEL)
        client.command(f"/msg {CHANNEL} hello from {nick}")
        wait_for(f"{nick}'s message", lambda: direct.saw(rf"^:{nick}!\S+ PRIVMSG {CHANNEL} :hello from {nick}"))
    direct.send(f"PRIVMSG {CHANNEL} :hello from direct")
    for nick, client in clients.items():
        wait_for(f"direct's message shown by {nick}", lambda: client.shows("hello from direct"))

    # Idle through the server's PINGs: Kelvox answers every one itself. The
    # clients took server-time, so InspIRCd's come tagged.
    await_pings(RUN, relay, clients, r"^@time=\S+ PING " if SERVER == "inspircd" else r"^PING ", PINGS)
    direct.send(f"PRIVMSG {CHANNEL} :still here")
    for nick, client in clients.items():
        wait_for(f"the last message shown by {nick}", lambda: client.shows("still here"))

    # What reached the server: Kelvox's own negotiation and the registration,
    # never the bouncer's password.
    for nick in clients:
        link = relay.link_of(nick)
        with LineLog.lock:
            up = list(link.up)
        if any(PASSWORD in line or line.upper().startswith("PASS") for line in up):
            fail(f"{nick}'s link carried the bouncer's password: {up[:6]}")
        if up[0] != "CAP LS 302" or not up[1].startswith(f"NICK {nick}"):
            fail(f"{nick}'s link did not open with its negotiation and registration: {up[:6]}")


if __name__ == "__main__":
    RUN.main(main)
