#!/usr/bin/env python3
"""The service's console on demand, checked from outside.

Runs the packaged kelvox (the build tree's where no package can be made) the
way its unit does, standard input from /dev/null. Two consoles attach with
kelvox --console and see a user arrive in their grids; one kicks it, the other
changes a setting; both detach, one with quit and one with the end of its
input, and the program goes on serving; a third console ends it with
shutdown, answering its question. Exits 0 when everything held.

    console_test.py BUILD_DIR
"""
import os
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time

BUILD = os.path.abspath(sys.argv[1])
LIMIT = 30  # seconds that any one awaited event may take
HELP_END = "about, website, help        about Kelvox, its web site, this list"
EXIT_QUESTION = "ask: Are you sure you want to exit Kelvox ? Some users are connected."
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, flush=True)
    return ok


def packaged_program(work):
    """kelvox from this build's Debian package, unpacked in `work`; the build tree's without the tools."""
    if not (shutil.which("cpack") and shutil.which("dpkg-deb") and shutil.which("dpkg-shlibdeps")):
        print("no package tools: the build tree's kelvox", flush=True)
        return os.path.join(BUILD, "app", "kelvox")
    out = os.path.join(work, "out")
    made = subprocess.run(["cpack", "-G", "DEB", "-B", out], cwd=BUILD, capture_output=True, text=True)
    debs = [name for name in os.listdir(out) if name.split("_")[0] == "kelvox"] if made.returncode == 0 else []
    if not debs:
        print(made.stdout, made.stderr)
        sys.exit(1)
    root = os.path.join(work, "root")
    subprocess.run(["dpkg-deb", "-x", os.path.join(out, debs[0]), root], check=True)
    return os.path.join(root, "usr/bin/kelvox")


class Output:
    """A process's output lines, read as they come."""

    def __init__(self, stream):
        self.lines = []
        self.ended = False
        self.changed = threading.Condition()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.ended = True
            self.changed.notify_all()

    def wait(self, wanted, start=0):
        """The index of the first line from `start` on that equals `wanted` (or that
        `wanted` accepts, when it is a test); None at the deadline or the end."""
        accepts = wanted if callable(wanted) else lambda line: line == wanted
        deadline = time.monotonic() + LIMIT
        with self.changed:
            while True:
                for index in range(start, len(self.lines)):
                    if accepts(self.lines[index]):
                        return index
                start = len(self.lines)
                left = deadline - time.monotonic()
                if self.ended or left <= 0:
                    return None
                self.changed.wait(left)

    def text(self):
        with self.changed:
            return "\n".join(self.lines)


class Process:
    def __init__(self, argv, stdin):
        self.process = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True)
        self.output = Output(self.process.stdout)

    def wait_line(self, wanted, what, start=0):
        index = self.output.wait(wanted, start)
        check(index is not None, f"{what}; got:\n{self.output.text()}")
        return index

    def exit_status(self):
        try:
            return self.process.wait(timeout=LIMIT)
        except subprocess.TimeoutExpired:
            return None

    def end(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


class Console(Process):
    """kelvox --console on a pipe."""

    def __init__(self, program, state):
        super().__init__([program, "--console", "--config-dir", state], subprocess.PIPE)

    def type(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def settle(self, what):
        """Waits until every line typed so far has run: they run in order, so the
        answer to a later help proves it."""
        start = len(self.output.lines)
        self.type("help")
        return self.wait_line(HELP_END, f"{what}: help answered", start)


class User:
    """A raw IRC client on loopback."""

    def __init__(self, port, nick):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=LIMIT)
        self.lines = self.sock.makefile("rb")
        self.sock.sendall(f"NICK {nick}\r\nUSER {nick} 0 * :{nick}\r\n".encode())

    def line_with(self, text):
        """The next line that holds the text; empty at the end."""
        for line in self.lines:
            if text in line:
                return line
        return b""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def run(program, work):
    state = os.path.join(work, "state")
    os.mkdir(state, 0o700)
    port = free_port()
    with open(os.path.join(state, "Config.ini"), "w", newline="") as config:
        config.write(f"[Main]\r\nPort={port}\r\nBeep=no\r\n")
    sock_file = os.path.join(state, "kelvox.sock")
    bouncer = Process([program, "--config-dir", state, "--start"], subprocess.DEVNULL)
    consoles = []
    try:
        if bouncer.wait_line("note: type help for the commands", "kelvox started") is None:
            return
        check(stat.S_ISSOCK(os.lstat(sock_file).st_mode), "the control socket beside Config.ini")
        check(stat.S_IMODE(os.lstat(sock_file).st_mode) == 0o600, "the control socket's mode is 0600")

        first, second = Console(program, state), Console(program, state)
        consoles += [first, second]
        for console, name in ((first, "first"), (second, "second")):
            end = console.settle(name + " console attached")
            check(end is not None and "shutdown" in console.output.text(), f"{name} console's help names shutdown")

        user = User(port, "alice")
        check(b"Kelvox v2.6" in user.line_with(b"Kelvox v2.6"), "the user greeted")
        in_grid = lambda line: line.startswith("alice@") and line.endswith("\t1")
        for console, name in ((first, "first"), (second, "second")):
            console.wait_line("users: 1", f"the {name} console sees the user arrive")
            start = len(console.output.lines)
            console.type("grid")
            console.wait_line(in_grid, f"the user in the {name} console's grid", start)
            console.settle(name)
        header = "Identification\tStatus\tIrc server\tTime\tTag"
        check(first.output.lines.count(header) == 1 and second.output.lines.count(header) == 1,
              "each grid goes to the console that asked for it")

        first.type("kill 1")
        check(b"You were kicked by the administrator." in user.line_with(b"kicked"), "the user kicked")
        second.wait_line("users: 0", "the second console sees the kick")

        second.type("config set Max 7")
        second.type("config ok")
        second.settle("config ok")
        with open(os.path.join(state, "Config.ini"), newline="") as config:
            check("\r\nMax=7\r\n" in config.read(), "config ok from a console writes Config.ini")

        first.type("quit")
        check(first.exit_status() == 0, "quit detaches the first console: exit 0")
        second.process.stdin.close()
        check(second.exit_status() == 0, "the end of input detaches the second console: exit 0")
        check(bouncer.process.poll() is None, "the program goes on once both have detached")
        later = User(port, "bob")
        check(b"Kelvox v2.6" in later.line_with(b"Kelvox v2.6"), "a new user served after the detaches")

        third = Console(program, state)
        consoles.append(third)
        third.type("shutdown")
        third.wait_line(EXIT_QUESTION, "shutdown asks the console that typed it")
        third.type("ok")
        check(b"Disconnection - Bouncer is down." in later.line_with(b"Disconnection"), "the user told at the end")
        check(bouncer.exit_status() == 0, "shutdown ends the program with status 0")
        check(third.exit_status() == 0, "the third console ends with the program: exit 0")
        check(not os.path.exists(sock_file), "the control socket removed at exit")
        own = bouncer.output.text()
        check(header not in own and "ask:" not in own, "the program's own output has no console's answers:\n" + own)
    finally:
        for process in consoles + [bouncer]:
            process.end()


def main():
    with tempfile.TemporaryDirectory(prefix="kelvox-console-") as work:
        run(packaged_program(work), work)
    print("OK" if not failures else f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
