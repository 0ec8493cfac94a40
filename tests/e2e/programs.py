"""The programs the end-to-end scripts drive around Kelvox: ngircd, Kelvox
itself with the users' password in force, irssi under tmux, WeeChat headless,
and a logging relay that keeps every line of each connection it carries."""
import os
import re
import socket
import subprocess
import threading

from e2e_support import LineLog

NICKS = {"irssi": "irssiuser", "weechat": "weeuser"}


class Relay:
    """Sits before a port: passes each whole line on, keeps the lines each way
    per connection, and writes them to `record` ("3> line": link 3, towards the
    port). `rewrite` may change the lines coming back (bytes, no LF)."""

    def __init__(self, port, record=os.devnull, rewrite=None):
        self.target, self.rewrite, self.links = port, rewrite, []
        self.record = open(record, "w", errors="replace")
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            inner, _ = self.listener.accept()
            outer = socket.create_connection(("127.0.0.1", self.target))
            log = LineLog()
            with LineLog.lock:
                self.links.append(log)
                name = len(self.links)
            threading.Thread(target=self.pump, args=(inner, outer, log, log.up, f"{name}>"), daemon=True).start()
            threading.Thread(target=self.pump, args=(outer, inner, log, log.down, f"{name}<"), daemon=True).start()

    def pump(self, source, sink, log, lines, mark):
        rest, rewrite = b"", self.rewrite if lines is log.down else None
        try:
            while data := source.recv(65536):
                *whole, rest = (rest + data).split(b"\n")
                out = b"".join((rewrite(line) if rewrite else line) + b"\n" for line in whole)
                log.add(lines, out, b"")
                with LineLog.lock:
                    self.record.writelines(f"{mark} {line.decode(errors='replace')}\n" for line in out.splitlines())
                    self.record.flush()
                sink.sendall(out)
            sink.shutdown(socket.SHUT_WR)
        except OSError:  # the other side went first
            pass

    def link_of(self, nick):
        with LineLog.lock:
            return next((log for log in self.links if any(line.startswith(f"NICK {nick}") for line in log.up)), None)


def await_pings(run, relay, nicks, ping, count):
    """Waits until the link of each of `nicks` has had `count` more PINGs from
    the server (lines matching `ping`) and an answer to every one."""
    links = {nick: relay.link_of(nick) for nick in nicks}
    seen = {nick: link.count(link.down, ping) for nick, link in links.items()}
    for nick, link in links.items():
        run.wait_for(f"{count} PINGs answered for {nick}", lambda: link.count(link.down, ping) >= seen[nick] + count
                     and link.count(link.up, r"^PONG ") >= link.count(link.down, ping))


def start_ngircd(run, port):
    run.write("ngircd.conf", f"""[Global]
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
""")
    return run.start(["ngircd", "-n", "-f", run.path("ngircd.conf")], "ircd.out")


def start_kelvox(run, binary, port, password):
    """Kelvox on `port`, its users asked for `password`; waits until it is in force."""
    run.write("Config.ini", f"[Main]\r\nPort={port}\r\nAutoStart=yes\r\nBeep=no\r\n")
    kelvox = run.start([binary, "--config-dir", run.work], "kelvox.out", stdin=subprocess.PIPE, text=True)
    for command in ["config open", "config set Identification yes", f"config set Password {password}",
                    f"config set Password confirmation {password}", "config ok", "config show"]:
        kelvox.stdin.write(command + "\n")
    kelvox.stdin.flush()
    run.wait_for("the users' password in force", lambda: "Identification=yes" in run.read("kelvox.out"))
    return kelvox


class Irssi:
    """irssi in a tmux session of its own as irssiuser, set up with the README's
    commands plus `network_options`; everything it shows goes to irssi.log."""

    def __init__(self, run, port, password, on_connect, network_options=""):
        self.run, home = run, run.path("irssi")
        os.mkdir(home)
        nick = NICKS["irssi"]
        run.write("irssi/config", f"""
settings = {{ core = {{ nick = "{nick}"; user_name = "{nick}"; real_name = "irssi user"; }}; }};
logs = {{ "{run.path("irssi.log")}" = {{ auto_open = "yes"; level = "ALL"; }}; }};
""")
        self.tmux = ["tmux", "-L", "kelvox-" + os.path.basename(run.work)]
        env = {k: v for k, v in os.environ.items() if k != "TMUX"}
        env.update(LANG="C.UTF-8", TERM="xterm", TZ="UTC")
        subprocess.run(self.tmux + ["new-session", "-d", "-x", "200", "-y", "50", f"irssi --home={home}"],
                       env=env, check=True)
        run.cleanups.append(self.stop)
        run.wait_for("irssi started", lambda: os.path.exists(run.path("irssi.log")))
        self.command(f'/network add {network_options} -autosendcmd "{"; ".join(on_connect)}" kelvox')
        self.command(f"/server add -network kelvox -notls 127.0.0.1 {port} {password}")
        self.command("/connect kelvox")

    def command(self, text):
        subprocess.run(self.tmux + ["send-keys", "-t", "0", text, "Enter"], check=True)

    def shows(self, pattern):
        return re.search(pattern, self.run.read("irssi.log"), re.M) is not None

    def stop(self):
        subprocess.run(self.tmux + ["kill-server"], stderr=subprocess.DEVNULL)


class WeeChat:
    """weechat-headless as weeuser with `settings` of its server ("name value");
    commands through its FIFO, buffers logged under logs/."""

    def __init__(self, run, port, password, on_connect, settings=()):
        self.run, self.home = run, run.path("weechat")
        nick = NICKS["weechat"]
        commands = "\\;".join(on_connect)  # WeeChat's separator, escaped inside the option
        server = [f"nicks {nick}", f"username {nick}", f'command "{commands}"', *settings]
        setup = ";".join(["/set logger.file.flush_delay 0",
                          f"/server add kelvox 127.0.0.1/{port} -notls -password={password}",
                          *(f"/set irc.server.kelvox.{line}" for line in server), "/connect kelvox"])
        self.process = run.start(["weechat-headless", "--dir", self.home, "-r", setup], "weechat.out",
                                 env=dict(os.environ, TZ="UTC"))

    def command(self, text):
        fifo = os.path.join(self.home, f"weechat_fifo_{self.process.pid}")
        self.run.wait_for("WeeChat FIFO", lambda: os.path.exists(fifo))
        with open(fifo, "w") as pipe:
            pipe.write(f"irc.server.kelvox */{text.lstrip('/')}\n")

    def shows(self, pattern):
        logs = os.path.join(self.home, "logs")
        return any(re.search(pattern, open(os.path.join(logs, name), errors="replace").read(), re.M)
                   for name in (os.listdir(logs) if os.path.isdir(logs) else []))
