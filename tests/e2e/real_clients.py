#!/usr/bin/env python3
"""Real IRC clients through Kelvox to a real IRC server.

irssi (under tmux) and WeeChat (headless) connect to Kelvox with the users'
password in their own server settings and send HELP and CONN with their own
on-connect setting. A third client talks to the server directly. Between Kelvox
and the server a logging relay keeps every line each way, so the test sees what
reached the server. Exits 0 when everything held, else prints what failed.

    real_clients.py KELVOX_BINARY ngircd|inspircd
"""
import os
import re
import socket
import subprocess
import sys
import threading

from e2e_support import IrcClient, LineLog, Run, free_port, listening

KELVOX, SERVER = sys.argv[1], sys.argv[2]
PASSWORD = "s3cret"
CHANNEL = "#kelvox"
PINGS = 3  # server PINGs each linked client idles through
RUN = Run("kelvox-clients-")
WORK = RUN.work
fail, wait_for, read_file, start = RUN.fail, RUN.wait_for, RUN.read, RUN.start


class Relay:
    """Kelvox's side of the IRC server: passes bytes on, keeps the lines."""

    def __init__(self, server_port):
        self.server_port, self.links = server_port, []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            inner, _ = self.listener.accept()
            outer = socket.create_connection(("127.0.0.1", self.server_port))
            log = LineLog()
            with LineLog.lock:
                self.links.append(log)
            threading.Thread(target=self.pump, args=(inner, outer, log, log.up), daemon=True).start()
            threading.Thread(target=self.pump, args=(outer, inner, log, log.down), daemon=True).start()

    @staticmethod
    def pump(source, sink, log, lines):
        rest = b""
        while data := source.recv(65536):
            rest = log.add(lines, data, rest)
            sink.sendall(data)
        sink.shutdown(socket.SHUT_WR)

    def link_of(self, nick):
        with LineLog.lock:
            return next((log for log in self.links if f"NICK {nick}" in log.up), None)


def start_server(port):
    if SERVER == "ngircd":
        config = f"""[Global]
  Name = irc.kelvox.test
  Info = Kelvox test server
  Listen = 127.0.0.1
  Ports = {port}
[Limits]
  PingTimeout = 5
  PongTimeout = 10
  MaxConnectionsIP = 0
[Options]
  DNS = no
  Ident = no
  PAM = no
"""
        open(os.path.join(WORK, "ngircd.conf"), "w").write(config)
        return start(["ngircd", "-n", "-f", os.path.join(WORK, "ngircd.conf")], "ircd.out")
    config = f"""<server name="insp.test" description="Kelvox test" network="Test">
<admin name="test" nick="test" email="test@localhost">
<bind address="127.0.0.1" port="{port}" type="clients">
<connect allow="*" pingfreq="3" timeout="20" localmax="100" globalmax="100" useident="no" limit="100">
<dns timeout="1">
<pid file="{WORK}/inspircd.pid">
<log method="file" type="* -USERINPUT -USEROUTPUT" level="default" target="{WORK}/ircd.log">
<module name="cap">
<module name="ircv3">
<module name="ircv3_servertime">
"""
    open(os.path.join(WORK, "inspircd.conf"), "w").write(config)
    argv = ["inspircd", "--config", os.path.join(WORK, "inspircd.conf"), "--nofork"]
    return start(argv + (["--runasroot"] if os.geteuid() == 0 else []), "ircd.out")


def start_kelvox(port):
    config = f"[Main]\r\nPort={port}\r\nAutoStart=yes\r\nBeep=no\r\n"
    open(os.path.join(WORK, "Config.ini"), "w").write(config)
    kelvox = start([KELVOX, "--config-dir", WORK], "kelvox.out", stdin=subprocess.PIPE, text=True)
    for command in ["config open", "config set Identification yes", f"config set Password {PASSWORD}",
                    f"config set Password confirmation {PASSWORD}", "config ok", "config show"]:
        kelvox.stdin.write(command + "\n")
    kelvox.stdin.flush()
    return kelvox


class Irssi:
    """irssi in a tmux session of its own, set up with the README's commands;
    everything it shows goes to irssi.log."""

    def __init__(self, kelvox_port, relay_port):
        home = os.path.join(WORK, "irssi")
        os.mkdir(home)
        open(os.path.join(home, "config"), "w").write(f"""
settings = {{ core = {{ nick = "irssiuser"; user_name = "irssiuser"; real_name = "irssi user"; }}; }};
logs = {{ "{WORK}/irssi.log" = {{ auto_open = "yes"; level = "ALL"; }}; }};
""")
        self.tmux = ["tmux", "-L", "kelvox-" + os.path.basename(WORK)]
        env = {k: v for k, v in os.environ.items() if k != "TMUX"}
        env.update(LANG="C.UTF-8", TERM="xterm")
        subprocess.run(self.tmux + ["new-session", "-d", "-x", "200", "-y", "50", f"irssi --home={home}"],
                       env=env, check=True)
        wait_for("irssi started", lambda: os.path.exists(os.path.join(WORK, "irssi.log")))
        self.command(f'/network add -autosendcmd "/quote HELP; /quote CONN 127.0.0.1:{relay_port}" kelvox')
        self.command(f"/server add -network kelvox -notls 127.0.0.1 {kelvox_port} {PASSWORD}")
        self.command("/connect kelvox")

    def command(self, text):
        subprocess.run(self.tmux + ["send-keys", "-t", "0", text, "Enter"], check=True)

    def shows(self, text):
        return text in read_file("irssi.log")

    def stop(self):
        subprocess.run(self.tmux + ["kill-server"], stderr=subprocess.DEVNULL)


class WeeChat:
    """weechat-headless; commands through its FIFO, buffers logged under logs/."""

    def __init__(self, kelvox_port, relay_port):
        home = os.path.join(WORK, "weechat")
        setup = ";".join([
            "/set logger.file.flush_delay 0",
            f"/server add kelvox 127.0.0.1/{kelvox_port} -notls -password={PASSWORD}",
            "/set irc.server.kelvox.nicks weeuser",
            "/set irc.server.kelvox.username weeuser",
            f'/set irc.server.kelvox.command "/quote HELP\\;/quote CONN 127.0.0.1:{relay_port}"',
            "/connect kelvox",
        ])
        self.process = start(["weechat-headless", "--dir", home, "-r", setup], "weechat.out")
        self.home = home

    def command(self, text):
        fifo = os.path.join(self.home, f"weechat_fifo_{self.process.pid}")
        wait_for("WeeChat FIFO", lambda: os.path.exists(fifo))
        with open(fifo, "w") as pipe:
            pipe.write(f"irc.server.kelvox */{text.lstrip('/')}\n")

    def shows(self, text):
        logs = os.path.join(self.home, "logs")
        return any(text in open(os.path.join(logs, name), errors="replace").read()
                   for name in (os.listdir(logs) if os.path.isdir(logs) else []))

    def stop(self):
        self.process.terminate()


def main():
    RUN.skip_without("irssi", "tmux", "weechat-headless", SERVER)
    server_port, kelvox_port = free_port(), free_port()
    start_server(server_port)
    wait_for("IRC server listening", lambda: listening(server_port))
    relay = Relay(server_port)
    start_kelvox(kelvox_port)
    wait_for("Kelvox listening", lambda: listening(kelvox_port) and "status 0" in read_file("kelvox.out"))
    wait_for("the users' password in force", lambda: "Identification=yes" in read_file("kelvox.out"))
    direct = IrcClient(socket.create_connection(("127.0.0.1", server_port)), "direct")
    wait_for("direct client registered", lambda: direct.saw(r"^:\S+ 001 direct "))
    direct.send(f"JOIN {CHANNEL}")
    wait_for("direct client in the channel", lambda: direct.saw(rf"JOIN :?{CHANNEL}"))

    clients = {"irssiuser": Irssi(kelvox_port, relay.port), "weeuser": WeeChat(kelvox_port, relay.port)}
    try:
        for nick, client in clients.items():
            # Readable notices: the prompt and HELP, then the server's welcome.
            wait_for(f"password prompt shown by {nick}", lambda: client.shows("Enter your password. /quote PASS"))
            wait_for(f"HELP shown by {nick}", lambda: client.shows("Connect to IRC server."))
            wait_for(f"link of {nick}", lambda: relay.link_of(nick))
            link = relay.link_of(nick)
            wait_for(f"server welcome for {nick}", lambda: link.count(link.down, rf"^(@\S+ )?:\S+ 001 {nick} "))
            client.command(f"/join {CHANNEL}")
            wait_for(f"{nick} in the channel", lambda: direct.saw(rf"^:{nick}!\S+ JOIN :?{CHANNEL}"))
            client.command(f"/msg {CHANNEL} hello from {nick}")
            wait_for(f"{nick}'s message", lambda: direct.saw(rf"^:{nick}!\S+ PRIVMSG {CHANNEL} :hello from {nick}"))
        direct.send(f"PRIVMSG {CHANNEL} :hello from direct")
        for nick, client in clients.items():
            wait_for(f"direct's message shown by {nick}", lambda: client.shows("hello from direct"))

        # Idle through the server's PINGs: Kelvox answers every one itself,
        # tagged ones too (InspIRCd's, for a client that took server-time).
        ping = r"^(@\S+ )?PING "
        links = {nick: relay.link_of(nick) for nick in clients}
        seen = {nick: link.count(link.down, ping) for nick, link in links.items()}
        for nick, link in links.items():
            wait_for(f"{PINGS} PINGs answered for {nick}",
                     lambda: link.count(link.down, ping) >= seen[nick] + PINGS and
                     link.count(link.up, r"^PONG ") >= link.count(link.down, ping))
        direct.send(f"PRIVMSG {CHANNEL} :still here")
        for nick, client in clients.items():
            wait_for(f"the last message shown by {nick}", lambda: client.shows("still here"))

        # What reached the server: the registration, never the bouncer's password;
        # for a client that took capabilities, inside the bouncer's own CAP LS and
        # CAP END, which comes before the client's first JOIN.
        for nick in clients:
            link = relay.link_of(nick)
            with LineLog.lock:
                up = list(link.up)
            if any(PASSWORD in line or line.upper().startswith("PASS") for line in up):
                fail(f"{nick}'s link carried the password: {up[:6]}")
            first = 1 if up[0] == "CAP LS 302" else 0
            if not up[first].startswith(f"NICK {nick}"):
                fail(f"{nick}'s link did not open with its registration: {up[:6]}")
            if first:
                ends = [i for i, line in enumerate(up) if line == "CAP END"]
                joins = [i for i, line in enumerate(up) if line.upper().startswith("JOIN")]
                if not ends or (joins and joins[0] < ends[0]):
                    fail(f"{nick}'s link did not end its negotiation before joining: {up[:8]}")
            print(f"{nick}: {up[:first + 4]}")
        print("OK")
    finally:
        for client in clients.values():
            client.stop()


if __name__ == "__main__":
    try:
        main()
    finally:
        RUN.finish()
