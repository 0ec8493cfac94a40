#!/usr/bin/env python3
"""Lingering sessions with real IRC clients.

With Linger minutes on, irssi and WeeChat link through Kelvox with CONN ...
linger=KEY and join a channel; irssi ends abruptly, WeeChat quits. While they
are away a client straight on the server talks in the channel and sees them
still there, and the server PINGs their links. Started again as before, each
is given the channel and every line it missed, once, in order, at the time it
was said. A raw client attaches beside irssi with its key and each sees what
the other says; a client with another key gets a link of its own. Then the
sessions end, each with the bouncer's QUIT: in a second Kelvox with one
minute's linger one expires and SIGTERM ends the other; in the first the
operator kicks one, an administrator KILLs one and DIE ends the last. A
logging relay between Kelvox and the server keeps what the server was sent.
Exits 0 when everything held, else prints what each client saw.

    linger_clients.py KELVOX_BINARY ngircd|inspircd
"""
import re
import socket
import sys
from datetime import datetime, timedelta, timezone

from e2e_support import IrcClient, Run, free_port, listening, order
from programs import (NICKS, Irssi, Relay, WeeChat, await_link, await_pings, join, kelvox_user, restamp,
                      start_kelvox, start_ngircd, tell)
from services import start_plain_inspircd

KELVOX, SERVER = sys.argv[1], sys.argv[2]
PASSWORD = "s3cret"
ADMIN = "b0ss"
CHANNEL = "#linger"
IRSSI, WEE = NICKS["irssi"], NICKS["weechat"]
KEYS = {IRSSI: "irssi-lingers-1", WEE: "weechat-lingers-2"}
CLOSED = 'QUIT :(Quit: |")?Session closed by the bouncer"?$'  # as the server tells the others
AWAY = r"^AWAY :Detached from the bouncer$"
# What the direct client says while they are away, with the part each client shows.
MISSED = {"missed 1": "missed 1", "\x01ACTION waves at the empty seats\x01": "waves at the empty seats",
          "missed 2": "missed 2", "missed 3": "missed 3"}
# InspIRCd's times for them, as the relay rewrites them; ngircd has none, Kelvox stamps their arrival.
STAMPS = {text: f"2001-02-03T04:0{i}:1{i}.000Z" for i, text in enumerate(MISSED, 1)}
# Each client's log line: its time as shown (TZ=UTC), and its form.
SHOWN = {IRSSI: (r"^(\d\d:\d\d) ", "%H:%M"), WEE: (r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\t", "%Y-%m-%d %H:%M:%S")}
# How each shows its own JOIN, and the channel's names.
JOINED = {IRSSI: rf"-!- {IRSSI} \[\S+\] has joined {CHANNEL}$", WEE: rf"-->\t{WEE} \(\S+\) has joined {CHANNEL}$"}
NAMES = {IRSSI: rf"^\d\d:\d\d \[@direct\] .*\[ {WEE}\]", WEE: rf"--\tChannel {CHANNEL}: \d+ nicks "}
RUN = Run("kelvox-linger-")
wait_for, fail = RUN.wait_for, RUN.fail


def linger(minutes):
    """Config.ini's settings past the port: the bouncer answers the server's
    PINGs only for a session without a client."""
    return f"AutoPong=no\r\n[Linger]\r\nLinger minutes={minutes}\r\n"


def now():
    return datetime.now(timezone.utc)


def said(client, pattern, since=0):
    """How many lines from `since` on match `pattern`."""
    return sum(1 for line in client.log.down[since:] if re.search(pattern, line))


def quits(direct, nick):
    return said(direct, rf"^(@\S+ )?:{nick}!\S+ {CLOSED}")


def tag_of(kelvox, nick):
    """The operator's grid: the tag of the row of `nick`."""
    start = len(RUN.read("kelvox.out"))
    tell(kelvox, "grid")
    row = rf"^{nick}@\S+\t.*\t(\d+)$"
    wait_for(f"{nick} in the grid", lambda: re.search(row, RUN.read("kelvox.out")[start:], re.M))
    return int(re.search(row, RUN.read("kelvox.out")[start:], re.M)[1])


def raw_session(port, relay, direct, nick):
    """A raw client's lingering session, in the channel."""
    user = kelvox_user(RUN, port, PASSWORD, nick)
    user.send(f"CONN 127.0.0.1:{relay.port} linger={nick}-lingers")
    wait_for(f"{nick} linked", lambda: user.saw(rf"^(@\S+ )?:(?!Kelvox )\S+ 001 {nick} "))
    user.send(f"JOIN {CHANNEL}")
    wait_for(f"{nick} in the channel", lambda: direct.saw(rf"^:{nick}!\S+ JOIN :?{CHANNEL}"))
    return user


def detached(relay, nick):
    link = relay.link_of(nick)
    wait_for(f"{nick}'s session detached", lambda: link.count(link.up, AWAY))


def away_noted(relay, nick, away):
    """On InspIRCd, waits until the other sessions heard of `nick`'s AWAY."""
    if SERVER != "inspircd":
        return
    for other in set(KEYS) - {nick}:
        link = relay.link_of(other)
        wait_for(f"{other} told of {nick}'s AWAY", lambda: link.count(link.down, rf":{nick}!\S+ AWAY{away}$"))


def check_return(nick, client, since, times):
    """What `client` shows after its return (its log from `since` on): the
    channel, then each missed line once, in order, said within its `times`."""
    wait_for(f"the channel shown by {nick} again", lambda: client.shows(JOINED[nick], since) and
             client.shows(NAMES[nick], since), seen=lambda: client.lines(since)[-8:])
    pattern, form = SHOWN[nick]
    lines = client.lines(since)
    shown = [(part, re.match(pattern, line)) for line in lines for part in MISSED.values() if part in line]
    if [part for part, _ in shown] != list(MISSED.values()):
        fail(f"{nick} showed the missed lines as {[part for part, _ in shown]}, not each once in order")
    for (part, at), (first, last) in zip(shown, times):
        seconds = range(int((last - first).total_seconds()) + 1)
        if not at or at[1] not in {(first + timedelta(seconds=n)).strftime(form) for n in seconds} | {
                last.strftime(form)}:
            fail(f"{nick} showed '{part}' at {at and at[1]}, said from {first} to {last}")



def main():
    RUN.skip_without("irssi", "tmux", "weechat-headless", SERVER)
    server_port = free_port()
    if SERVER == "ngircd":
        calm_port = server_port
        RUN.watched.append(start_ngircd(RUN, server_port))
    else:
        calm_port = free_port()
        RUN.watched.append(start_plain_inspircd(RUN, server_port, calm_port))
    wait_for("IRC server listening", lambda: listening(server_port) and listening(calm_port))
    relay = Relay(server_port, RUN.path("relay.log"), restamp(CHANNEL, STAMPS) if SERVER == "inspircd" else None)
    direct = IrcClient(socket.create_connection(("127.0.0.1", calm_port)), "direct", RUN.path("direct.log"))
    wait_for("direct client registered", lambda: direct.saw(r"^:\S+ 001 direct "))
    direct.send(f"JOIN {CHANNEL}")
    wait_for("direct client in the channel", lambda: direct.saw(rf"JOIN :?{CHANNEL}"))

    # A Kelvox whose sessions wait one minute: one is left to expire meanwhile.
    brief_port, kelvox_port = free_port(), free_port()
    brief = start_kelvox(RUN, KELVOX, brief_port, PASSWORD, linger(1), "brief")
    kelvox = start_kelvox(RUN, KELVOX, kelvox_port, PASSWORD, linger(10), admin=ADMIN)
    RUN.watched += [brief, kelvox]
    wait_for("both Kelvox listening", lambda: listening(brief_port) and listening(kelvox_port))
    fleeting, _ = (raw_session(brief_port, relay, direct, nick) for nick in ("fleeting", "steady"))
    fleeting.close()
    left = now()
    detached(relay, "fleeting")

    on_connect = {nick: [f"/quote CONN 127.0.0.1:{relay.port} linger={key}"] for nick, key in KEYS.items()}
    clients = {IRSSI: Irssi(RUN, kelvox_port, PASSWORD, on_connect[IRSSI]),
               WEE: WeeChat(RUN, kelvox_port, PASSWORD, on_connect[WEE], ["autoreconnect off"])}
    for nick, client in clients.items():
        # The client's CONN again at the server's welcome: the server's to refuse.
        await_link(RUN, relay, nick, "CONN refused by the server", rf" 421 {nick} CONN ")
        join(RUN, direct, nick, client, CHANNEL)
    direct.send(f"PRIVMSG {CHANNEL} :before the drop")
    for nick, client in clients.items():
        wait_for(f"{nick} shows the last line before the drop", lambda: client.shows("before the drop"))

    # irssi ends as a crash would, WeeChat quits: their sessions stay, away,
    # on the server. InspIRCd tells each session of the other's AWAY
    # (away-notify): irssi's holds WeeChat's two, as WeeChat leaves after it
    # and comes back before.
    for nick, leave in ((IRSSI, clients[IRSSI].kill), (WEE, clients[WEE].quit)):
        leave()
        detached(relay, nick)
        away_noted(relay, nick, " :Detached from the bouncer")
    times = []  # from when to when each was said
    for text in MISSED:
        first = now()
        direct.send(f"PRIVMSG {CHANNEL} :{text}")
        for nick in clients:
            link = relay.link_of(nick)
            wait_for(f"'{text}' at {nick}'s session", lambda: link.count(link.down, f"PRIVMSG {CHANNEL} :{text}$"))
        stamp = datetime.strptime(STAMPS[text], "%Y-%m-%dT%H:%M:%S.%f%z")
        times.append((stamp, stamp) if SERVER == "inspircd" else (first, now()))
    direct.send(*(f"PRIVMSG {nick} :\x01VERSION\x01" for nick in clients))  # dropped unanswered
    since = len(direct.log.down)
    direct.send(f"NAMES {CHANNEL}")
    wait_for("both still in the channel", lambda: said(direct, rf" 353 direct . {CHANNEL} :(?=.*\b{IRSSI}\b)"
                                                             rf"(?=.*\b{WEE}\b)", since))
    await_pings(RUN, relay, clients, r"^@time=\S+ PING " if SERVER == "inspircd" else r"^PING ", 2)
    tell(kelvox, "grid")
    wait_for("the grid shows them detached", lambda: RUN.read("kelvox.out").count("Detached (10 min left)") >= 2)

    # Back as before: each is given the channel and what it missed.
    marks = {nick: client.mark() for nick, client in clients.items()}
    held = {WEE: len(MISSED), IRSSI: len(MISSED) + 2 * (SERVER == "inspircd")}
    for nick, client in reversed(clients.items()):
        client.start()
        wait_for(f"{nick} told of the held lines", lambda: client.shows(
            rf"Linger: {held[nick]} lines held while no client was attached, 0 dropped\.$", marks[nick]))
        link = relay.link_of(nick)
        wait_for(f"{nick} back from away", lambda: link.count(link.up, r"^AWAY$"))
        away_noted(relay, nick, "")
    for nick, client in clients.items():
        link = relay.link_of(nick)
        check_return(nick, client, marks[nick], times)
        if link.count(link.up, r"^QUIT\b"):
            fail(f"the server was sent a QUIT for {nick}")
    direct.send(f"PRIVMSG {CHANNEL} :after the return")
    for nick, client in clients.items():
        wait_for(f"{nick} shows what is said after its return", lambda: client.shows("after the return"))
        if len(re.findall("before the drop", "\n".join(client.lines()))) != 1:
            fail(f"{nick} was given 'before the drop' again")

    second = attach_second(kelvox_port, relay, direct, clients[IRSSI])
    intruder = other_key(kelvox_port, relay, direct, second)
    ends(kelvox, kelvox_port, brief, direct, relay, left)
    down = "Disconnection - Bouncer is down"
    for shows, why in ((clients[WEE].shows, "You were kicked by the administrator"), (clients[IRSSI].shows, down),
                       (second.saw, down)):
        wait_for(f"told: {why}", lambda: shows(rf"   {why}\.$"))
    for who, client in (("second", second), ("intruder", intruder), ("direct", direct)):
        if said(client, "\x01VERSION"):
            fail(f"a CTCP VERSION reached {who}")


def attach_second(port, relay, direct, irssi):
    """A raw client with irssi's key joins it in its session: what one says, the other sees."""
    second = kelvox_user(RUN, port, PASSWORD, "second")
    second.send(f"CONN 127.0.0.1:{relay.port} linger={KEYS[IRSSI]}")
    notice = r"^:Kelvox NOTICE irssiuser :\ufffd \ufffd \ufffd   Linger: 0 lines held while no client was " \
             r"attached, 0 dropped\.$"
    wait_for("the second attached", lambda: second.saw(notice))
    burst = order(second.log.down, rf"^:second NICK :{IRSSI}$", r"^:\S+ 005 ", rf"^:{IRSSI}!\S+ JOIN :?{CHANNEL}$",
                  rf"^:\S+ 353 {IRSSI} . {CHANNEL} :", rf"^:\S+ 366 {IRSSI} {CHANNEL} ", notice)
    if sorted(burst) != burst or burst[0] < 0 or said(second, "missed|before the drop"):
        fail(f"the second was given {burst} (nick, 005, JOIN, names, end of names, notice) or old lines")
    second.send(f"PRIVMSG {CHANNEL} :hello from the second")
    wait_for("irssi shows the second's line", lambda: irssi.shows(f"<.?{IRSSI}> hello from the second$"))
    irssi.command(f"/msg {CHANNEL} hello from irssi")
    wait_for("the second sees irssi's line",
             lambda: second.saw(rf"^:{IRSSI}!\S+ PRIVMSG {CHANNEL} :hello from irssi$"))
    for text in ("the second", "irssi"):
        wait_for(f"the server has {text}'s line once", lambda: said(
            direct, rf"^:{IRSSI}!\S+ PRIVMSG {CHANNEL} :hello from {text}$") == 1)
    return second


def other_key(port, relay, direct, second):
    """A client with another key gets a link of its own and nothing of the session."""
    intruder = kelvox_user(RUN, port, PASSWORD, "intruder")
    intruder.send(f"CONN 127.0.0.1:{relay.port} linger=not-{KEYS[IRSSI]}")
    wait_for("the intruder's own link", lambda: intruder.saw(r"^:(?!Kelvox )\S+ 001 intruder "))
    intruder.send(f"JOIN {CHANNEL}")
    wait_for("the intruder in the channel", lambda: direct.saw(rf"^:intruder!\S+ JOIN :?{CHANNEL}"))
    intruder.close()
    detached(relay, "intruder")
    direct.send(f"PRIVMSG {CHANNEL} :still theirs")
    wait_for("irssi's session goes on", lambda: second.saw(f"PRIVMSG {CHANNEL} :still theirs$"))
    if said(intruder, r"Linger:| NICK |missed|before the drop"):
        fail("the intruder saw irssi's session")
    return intruder


def ends(kelvox, port, brief, direct, relay, left):
    """Each way a session ends: the server sees the bouncer's QUIT each time."""
    admin = kelvox_user(RUN, port, PASSWORD, "admin")
    # The operator's kick.
    tell(kelvox, f"kill {tag_of(kelvox, WEE)}")
    wait_for("WeeChat's session kicked", lambda: quits(direct, WEE))
    # The administrator's KILL, of a session that no client is attached to.
    admin.send(f"ADMIN {ADMIN}")
    wait_for("the administrator logged in", lambda: admin.saw("Administrator"), seen=lambda: admin.log.down[-1:])
    admin.send(f"KILL {tag_of(kelvox, 'intruder')}")
    wait_for("the intruder's session killed", lambda: quits(direct, "intruder"))
    # DIE: irssi's session, with the second attached, ends with Kelvox.
    RUN.watched.remove(kelvox)
    admin.send("DIE")
    wait_for("irssi's session closed", lambda: quits(direct, IRSSI))
    wait_for("Kelvox stopped", lambda: kelvox.poll() is not None)
    # A minute without a client, then SIGTERM.
    wait_for("the fleeting session expired", lambda: quits(direct, "fleeting"), limit=90)
    if (now() - left).total_seconds() < 60:
        fail(f"the fleeting session expired after {now() - left}")
    RUN.watched.remove(brief)
    brief.terminate()
    wait_for("the steady session closed", lambda: quits(direct, "steady"))
    wait_for("the second Kelvox stopped", lambda: brief.poll() is not None)
    for program in (kelvox, brief):
        if program.returncode != 0:
            fail(f"Kelvox ended with {program.returncode}")
    for nick in (IRSSI, WEE, "intruder", "fleeting", "steady"):
        link = relay.link_of(nick)
        if link.count(link.up, r"^QUIT ") != 1 or not link.count(link.up, r"^QUIT :Session closed by the bouncer$"):
            fail(f"{nick}'s link was not ended by the bouncer's one QUIT")


if __name__ == "__main__":
    RUN.main(main)
