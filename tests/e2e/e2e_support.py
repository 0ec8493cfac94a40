"""What the end-to-end scripts share: a run with its work folder and the
programs it started, waits bounded in time, free loopback ports, and the lines
seen on a connection."""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time


class Run:
    """One test run: its folder, its programs, and what it reports."""

    def __init__(self, prefix, limit=60):
        self.work = tempfile.mkdtemp(prefix=prefix)
        self.limit = limit  # seconds that any one awaited event may take
        self.children = []
        self.watched = []  # programs whose end while a wait runs is the failure
        self.cleanups = []  # what stops the programs that are not its children
        self.started = time.monotonic()

    def path(self, name):
        return os.path.join(self.work, name)

    def read(self, name):
        path = self.path(name)
        return open(path, errors="replace").read() if os.path.exists(path) else ""

    def write(self, name, text):
        with open(self.path(name), "w") as file:
            file.write(text)

    def start(self, argv, output, **kwargs):
        child = subprocess.Popen(argv, stdout=open(self.path(output), "w"), stderr=subprocess.STDOUT,
                                 cwd=self.work, **kwargs)
        self.children.append(child)
        return child

    def fail(self, why):
        """Reports `why`, how each program stands, and the end of every log."""
        print("FAIL:", why)
        for child in self.children:
            print(f"  {program_state(child)}")
        for name in self.logs():
            text = self.read(name)
            tail = text[-4000:]
            if len(tail) < len(text):  # from the start of a line
                tail = tail[tail.find("\n") + 1:]
                name += " (its last {} lines)".format(tail.count("\n"))
            print(f"--- {name}" + (":\n" + tail if text else ": empty"))
        sys.exit(1)

    def logs(self):
        """The logs in the run's folder and below it, by their path in it."""
        return sorted(os.path.relpath(os.path.join(folder, name), self.work)
                      for folder, _, names in os.walk(self.work) for name in names
                      if name.endswith((".log", ".out", ".weechatlog")))

    def wait_for(self, what, check, seen=None, limit=None):
        """Polls `check` until it holds, for `limit` seconds at most (the run's
        own by default); fails at once when a watched program ends. `seen`
        tells what there was instead."""
        limit = limit or self.limit
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if check():
                print(f"{time.monotonic() - self.started:6.1f} s  {what}", flush=True)
                return
            for child in self.watched:
                if child.poll() is not None:
                    self.fail(f"{program_state(child)}, while waiting for {what}")
            time.sleep(0.05)
        try:
            saw = f"; saw {seen()}" if seen else ""
        except Exception as error:  # what was to be read went away
            saw = f"; could not read what there was ({error!r})"
        self.fail(f"waited {limit} s for {what}{saw}")

    def skip_without(self, *programs):
        missing = [name for name in programs if shutil.which(name) is None]
        if not missing:
            return
        if os.environ.get("CI"):
            self.fail("not installed: " + " ".join(missing) + " (scripts/test.sh installs them)")
        print("SKIP: not installed: " + " ".join(missing))
        sys.exit(77)

    def main(self, body):
        """Runs the test's `body`, says OK when it returned, and cleans up after it."""
        try:
            body()
            print("OK")
        finally:
            self.finish()

    def finish(self):
        for cleanup in self.cleanups:
            cleanup()
        for child in self.children:
            child.terminate()
        for child in self.children:
            try:
                child.wait(timeout=15)
            except subprocess.TimeoutExpired:
                child.kill()
        shutil.rmtree(self.work, ignore_errors=True)


def program_state(child):
    """`child` by its program's name: running, or how it ended."""
    name, code = os.path.basename(child.args[0]), child.poll()
    if code is None:
        return f"{name} is running"
    return f"{name} ended with " + (f"exit status {code}" if code >= 0 else signal.Signals(-code).name)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


class LineLog:
    """Lines seen on one connection, each way, under one lock."""

    lock = threading.Lock()

    def __init__(self):
        self.up, self.down = [], []

    def add(self, lines, data, rest):
        rest += data
        *whole, rest = rest.split(b"\n")
        with LineLog.lock:
            lines.extend(line.rstrip(b"\r").decode(errors="replace") for line in whole)
        return rest

    def count(self, lines, pattern):
        with LineLog.lock:
            return sum(1 for line in lines if re.search(pattern, line))


class IrcClient:
    """A plain IRC client on a socket (or a TLS one): answers PINGs, keeps every
    line, and writes the lines it gets to `record` as they come."""

    def __init__(self, sock, nick=None, record=os.devnull):
        self.sock = sock
        self.log = LineLog()
        self.record = open(record, "w", errors="replace")
        threading.Thread(target=self.read, daemon=True).start()
        if nick:
            self.send(f"NICK {nick}", f"USER {nick} 0 * :{nick}")

    def read(self):
        rest, written = b"", 0
        try:
            while data := self.sock.recv(65536):
                rest = self.log.add(self.log.down, data, rest)
                with LineLog.lock:
                    self.record.writelines(line + "\n" for line in self.log.down[written:])
                    self.record.flush()
                    written = len(self.log.down)
                for token in re.findall(rb"^(?:@\S+ )?PING (\S+)", data, re.M):
                    self.send("PONG " + token.decode())
        except OSError:
            pass

    def send(self, *lines):
        self.sock.sendall("".join(line + "\r\n" for line in lines).encode())

    def close(self):
        """Ends the connection at once (a reader blocked on it would keep it open)."""
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:  # the other side went first
            pass
        self.sock.close()

    def saw(self, pattern):
        return self.log.count(self.log.down, pattern) > 0


def order(lines, *patterns):
    """Where the first line matching each pattern stands (-1 for none)."""
    with LineLog.lock:
        return [next((i for i, line in enumerate(lines) if re.search(p, line)), -1) for p in patterns]
