"""The programs the end-to-end scripts drive around Kelvox: ngircd, Kelvox
itself with the users' password in force, irssi under tmux, WeeChat headless,
and a logging relay that keeps every line of each connection it carries."""
import os
import re
import signal
import socket
import subprocess
import threading

from e2e_support import IrcClient, LineLog

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


def restamp(channel, stamps):
    """A relay's rewrite: the server's time of each message to `channel` whose
    text is a key of `stamps` becomes that key's value."""
    ends = {f" PRIVMSG {channel} :{text}".encode(): stamp.encode() for text, stamp in stamps.items()}

    def rewrite(line):
        stamp = ends.get(next((end for end in ends if line.rstrip(b"\r").endswith(end)), None))
        return re.sub(rb"^@time=[^; ]+", b"@time=" + stamp, line) if stamp else line
    return rewrite


def await_pings(run, relay, nicks, ping, count):
    """Waits until the link of each of `nicks` has had `count` more PINGs from
    the server (lines matching `ping`) and an answer to every one."""
    links = {nick: relay.link_of(nick) for nick in nicks}
    seen = {nick: link.count(link.down, ping) for nick, link in links.items()}
    for nick, link in links.items():
        run.wait_for(f"{count} PINGs answered for {nick}", lambda: link.count(link.down, ping) >= seen[nick] + count
                     and link.count(link.up, r"^PONG ") >= link.count(link.down, ping))


def await_link(run, relay, nick, what, line):
    """The relay's link of `nick`, once the server has sent it `line` (a
    pattern; `what` it is)."""
    run.wait_for(f"link of {nick}", lambda: relay.link_of(nick))
    link = relay.link_of(nick)
    run.wait_for(f"{what} for {nick}", lambda: link.count(link.down, line))
    return link


def join(run, direct, nick, client, channel):
    """`client` (irssi or WeeChat) joins `channel`, as `direct` there sees."""
    client.command(f"/join {channel}")
    run.wait_for(f"{nick} in the channel", lambda: direct.saw(rf"^:{nick}!\S+ JOIN :?{channel}"))


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


def start_kelvox(run, binary, port, password, settings="", name="kelvox", admin=""):
    """Kelvox on `port`, its users asked for `password`, with `settings` (more
    of Config.ini) and the administrator's password `admin` too; waits until
    the passwords are in force. Its console says what it does in `name`.out; a
    `name` of its own keeps its settings apart."""
    folder = run.work if name == "kelvox" else run.path(name)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "Config.ini"), "w") as config:
        config.write(f"[Main]\r\nPort={port}\r\nAutoStart=yes\r\nBeep=no\r\n{settings}")
    kelvox = run.start([binary, "--config-dir", folder], name + ".out", stdin=subprocess.PIPE, text=True)
    admin = [f"config set Admin password {admin}", f"config set Admin password confirmation {admin}"] if admin else []
    tell(kelvox, "config open", "config set Identification yes", f"config set Password {password}",
         f"config set Password confirmation {password}", *admin, "config ok", "config show")
    run.wait_for("the users' password in force", lambda: "Identification=yes" in run.read(name + ".out"))
    return kelvox


def kelvox_user(run, port, password, nick):
    """A raw client on Kelvox, identified and welcomed by it; its lines go to `nick`.log."""
    user = IrcClient(socket.create_connection(("127.0.0.1", port)), record=run.path(nick + ".log"))
    user.send(f"PASS {password}", f"NICK {nick}", f"USER {nick} 0 * :{nick}")
    run.wait_for(f"Kelvox's welcome for {nick}", lambda: user.saw(rf"^:Kelvox 001 {nick} "))
    return user


def tell(kelvox, *commands):
    """Types `commands` on Kelvox's console."""
    kelvox.stdin.write("".join(command + "\n" for command in commands))
    kelvox.stdin.flush()


class Irssi:
    """irssi in a tmux session of its own as irssiuser, set up with the README's
    commands plus `network_options`; everything it shows goes to irssi.log.
    Ended (`kill`), it starts again as before (`start`), its log kept."""

    def __init__(self, run, port, password, on_connect, network_options=""):
        self.run, self.home = run, run.path("irssi")
        os.mkdir(self.home)
        nick = NICKS["irssi"]
        run.write("irssi/config", f"""
settings = {{ core = {{ nick = "{nick}"; user_name = "{nick}"; real_name = "irssi user"; }}; }};
logs = {{ "{run.path("irssi.log")}" = {{ auto_open = "yes"; level = "ALL"; }}; }};
""")
        self.tmux = ["tmux", "-L", "kelvox-" + os.path.basename(run.work)]
        self.setup = [f'/network add {network_options} -autosendcmd "{"; ".join(on_connect)}" kelvox',
                      f"/server add -network kelvox -notls 127.0.0.1 {port} {password}", "/connect kelvox"]
        run.cleanups.append(self.stop)
        self.start()

    def start(self):
        env = {k: v for k, v in os.environ.items() if k != "TMUX"}
        env.update(LANG="C.UTF-8", TERM="xterm", TZ="UTC")
        opened = self.run.read("irssi.log").count("--- Log opened")
        subprocess.run(self.tmux + ["new-session", "-d", "-x", "200", "-y", "50", f"irssi --home={self.home}"],
                       env=env, check=True)
        self.run.wait_for("irssi started", lambda: self.run.read("irssi.log").count("--- Log opened") > opened)
        for command in self.setup:
            self.command(command)

    def kill(self):
        """Ends irssi at once, as a crash would: it says nothing to anyone."""
        panes = subprocess.run(self.tmux + ["list-panes", "-F", "#{pane_pid}"], capture_output=True, text=True)
        for pid in [int(pane) for pane in panes.stdout.split()]:
            # The pane runs irssi, or a shell that runs it.
            children = open(f"/proc/{pid}/task/{pid}/children").read().split()
            for process in [pid, *map(int, children)]:
                if open(f"/proc/{process}/comm").read().strip() == "irssi":
                    os.kill(process, signal.SIGKILL)
        self.run.wait_for("irssi ended", lambda: subprocess.run(
            self.tmux + ["has-session"], stderr=subprocess.DEVNULL).returncode != 0)

    def command(self, text):
        subprocess.run(self.tmux + ["send-keys", "-t", "0", text, "Enter"], check=True)

    def shows(self, pattern, since=0):
        """Whether its log shows `pattern` (from `since` characters in)."""
        return re.search(pattern, self.run.read("irssi.log")[since:], re.M) is not None

    def mark(self):
        """Where its log ends now, for `shows` and `lines`."""
        return len(self.run.read("irssi.log"))

    def lines(self, since=0):
        return self.run.read("irssi.log")[since:].splitlines()

    def stop(self):
        subprocess.run(self.tmux + ["kill-server"], stderr=subprocess.DEVNULL)


class WeeChat:
    """weechat-headless as weeuser with `settings` of its server ("name value");
    commands through its FIFO, buffers logged under logs/. Ended (`quit`), it
    starts again as before (`start`), its logs kept."""

    def __init__(self, run, port, password, on_connect, settings=()):
        self.run, self.home = run, run.path("weechat")
        nick = NICKS["weechat"]
        commands = "\\;".join(on_connect)  # WeeChat's separator, escaped inside the option
        server = [f"nicks {nick}", f"username {nick}", f'command "{commands}"', *settings]
        self.setup = ";".join(["/set logger.file.flush_delay 0",
                               f"/server add kelvox 127.0.0.1/{port} -notls -password={password}",
                               *(f"/set irc.server.kelvox.{line}" for line in server), "/connect kelvox"])
        self.start()

    def start(self):
        self.process = self.run.start(["weechat-headless", "--dir", self.home, "-r", self.setup], "weechat.out",
                                      env=dict(os.environ, TZ="UTC"))

    def quit(self):
        """Quits WeeChat as its user would: its QUIT goes out, then it ends."""
        self.command("/quit")
        self.run.wait_for("WeeChat ended", lambda: self.process.poll() is not None)

    def command(self, text):
        fifo = os.path.join(self.home, f"weechat_fifo_{self.process.pid}")
        self.run.wait_for("WeeChat FIFO", lambda: os.path.exists(fifo))
        with open(fifo, "w") as pipe:
            pipe.write(f"irc.server.kelvox */{text.lstrip('/')}\n")

    def logs(self):
        folder = os.path.join(self.home, "logs")
        return {name: os.path.join(folder, name) for name in (os.listdir(folder) if os.path.isdir(folder) else [])}

    def mark(self):
        """Where each of its logs ends now, for `shows` and `lines`."""
        return {name: os.path.getsize(path) for name, path in self.logs().items()}

    def lines(self, since=None):
        """The lines of its logs, one after the other, from `since` (a mark) on."""
        lines = []
        for name, path in sorted(self.logs().items()):
            with open(path, "rb") as file:
                file.seek((since or {}).get(name, 0))
                lines += file.read().decode(errors="replace").splitlines()
        return lines

    def shows(self, pattern, since=None):
        """Whether its logs show `pattern` (from `since`, a mark, on)."""
        return re.search(pattern, "\n".join(self.lines(since)), re.M) is not None
