"""The metrics of a running kelvox, scraped while users come and lines flow:
promtool accepts every scrape, the counters equal what the script did, and 200
slow connections to the metrics port leave a user's round trip through the
bouncer working and a normal scrape answered. The round trip is measured
before, beside and after them and printed, never judged by its time.

    metrics.py KELVOX_BINARY
"""
import queue
import re
import select
import socket
import statistics
import subprocess
import sys
import threading
import time

from e2e_support import Run, free_port, listening

PASSWORD = "metrics-secret"
SLOW = 200           # slow connections to the metrics port
ROUND_TRIPS = 200    # round trips measured, with and without them
SCRAPES = 30         # scrapes taken under load, at the least
LOAD_DOWN = 20000    # lines the server sends the user in a round of the load
LOAD_UP = 2000       # lines the user sends the server in a round


class Peer:
    """One end of a line connection: every line read, with a condition to wait on."""

    def __init__(self, sock, on_line=None):
        self.sock, self.on_line = sock, on_line
        self.lines, self.ended = [], False
        self.changed = threading.Condition()
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        rest = b""
        try:
            while data := self.sock.recv(65536):
                *whole, rest = (rest + data).split(b"\n")
                fresh = [line.rstrip(b"\r").decode(errors="replace") for line in whole]
                for line in fresh:
                    if self.on_line:
                        self.on_line(line)
                with self.changed:
                    self.lines.extend(fresh)
                    self.changed.notify_all()
        except OSError:
            pass
        with self.changed:
            self.ended = True
            self.changed.notify_all()

    def send(self, *lines):
        self.sock.sendall("".join(line + "\r\n" for line in lines).encode())

    def mark(self):
        """Where the lines read from now on begin."""
        with self.changed:
            return len(self.lines)

    def await_line(self, pattern, after=0, limit=60):
        """Waits for a line that matches, from line `after` on; each line is
        looked at once."""
        found, at = None, after

        def seen():
            nonlocal found, at
            while found is None and at < len(self.lines):
                if re.search(pattern, self.lines[at]):
                    found = self.lines[at]
                at += 1
            return found is not None or self.ended
        with self.changed:
            self.changed.wait_for(seen, limit)
        if found is None:
            raise AssertionError(f"no line like {pattern!r}; the last ones: {self.lines[-5:]}")
        return found


class StandInServer:
    """An IRC server that welcomes a registration, sends `PRIVMSG burst :N`'s
    N lines, echoes `PRIVMSG echo :TEXT` back, and tallies its lines each way."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.sent_lines = self.sent_bytes = 0
        self.received = []  # every line received, registration included
        self.loaded = 0  # load lines sent
        self.outgoing = queue.Queue()  # written by a thread of its own: reading never waits for writing
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        sock, _ = self.listener.accept()
        Peer(sock, self.answer)
        try:
            while data := self.outgoing.get():
                sock.sendall(data)
        except OSError:
            pass

    def say(self, lines):
        data = "".join(line + "\r\n" for line in lines).encode()
        with self.lock:
            self.sent_lines += len(lines)
            self.sent_bytes += len(data)
        self.outgoing.put(data)

    def count(self):
        with self.lock:
            return len(self.received)

    def answer(self, line):
        with self.lock:
            self.received.append(line)
        if line.startswith("USER "):
            self.say([":irc.test 001 alice :Welcome to the stand-in"])
        elif line.startswith("PRIVMSG burst :"):
            first, self.loaded = self.loaded, self.loaded + int(line.split(":", 1)[1])
            self.say([f":irc.test NOTICE alice :load {i} " + "x" * 60 for i in range(first, self.loaded)])
        elif line.startswith("PRIVMSG echo :"):
            self.say([":echo!e@irc.test PRIVMSG alice :" + line.split(":", 1)[1]])


def scrape(port):
    """The whole answer to GET /metrics, headers and body apart."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
        sock.sendall(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        data = b""
        while chunk := sock.recv(65536):
            data += chunk
    head, _, body = data.decode().partition("\r\n\r\n")
    return head, body


def samples(body):
    """{'name' or 'name{labels}': value} of a metrics text."""
    return {line.rsplit(" ", 1)[0]: float(line.rsplit(" ", 1)[1])
            for line in body.splitlines() if line and not line.startswith("#")}


def user(port, password):
    sock = socket.create_connection(("127.0.0.1", port), timeout=60)
    sock.settimeout(None)  # a quiet user is still there
    peer = Peer(sock)
    if password is not None:
        peer.send(f"PASS {password}")
    return peer


def round_trips(alice, count, tag):
    """Milliseconds of each PRIVMSG that the server echoes back, one at a time."""
    times = []
    for i in range(count):
        text = f"{tag} {i}"
        mark = alice.mark()
        start = time.perf_counter()
        alice.send(f"PRIVMSG echo :{text}")
        alice.await_line(f"^:echo!\\S+ PRIVMSG alice :{text}$", mark)
        times.append((time.perf_counter() - start) * 1000)
    return times


def figures(times):
    times = sorted(times)
    return f"median {statistics.median(times):.2f} ms, 95th percentile {times[int(len(times) * 0.95)]:.2f} ms"


def slow_scrapers(port, count):
    """`count` connections to the metrics port that send a byte of a request
    now and then and never finish it, until standard input ends; those the
    server lets go stay gone. A process of its own: the one that measures the
    round trips shares no interpreter with it."""
    def trickle(sock, byte):
        try:
            sock.send(byte)
        except OSError:
            pass  # let go by the server: reset, or closed after its answer

    socks = [socket.create_connection(("127.0.0.1", port), timeout=30) for _ in range(count)]
    for sock in socks:
        sock.setblocking(False)
        trickle(sock, b"G")
    print("connected", flush=True)
    while not select.select([sys.stdin], [], [], 0.2)[0]:
        for sock in socks:
            trickle(sock, b"a")


class SlowScrapers:
    """slow_scrapers in a child process, connected once this returns."""

    def __init__(self, port, count):
        self.child = subprocess.Popen([sys.executable, __file__, "--slow", str(port), str(count)],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.child.stdout.readline() == "connected\n", "the slow connections made"

    def close(self):
        self.child.stdin.close()
        self.child.wait(timeout=30)


def main(binary):
    run = Run("kelvox-metrics-", limit=120)
    run.skip_without("promtool")
    port, metrics_port = free_port(), free_port()
    server = StandInServer()

    def body():
        run.write("Config.ini", f"[Main]\r\nPort={port}\r\nAutoStart=yes\r\nBeep=no\r\nMax=2\r\n"
                                f"[Metrics]\r\nMetrics port={metrics_port}\r\n")
        kelvox = run.start([binary, "--config-dir", run.work], "kelvox.out", stdin=subprocess.PIPE, text=True)
        run.watched.append(kelvox)
        for command in ["config open", "config set Identification yes", f"config set Password {PASSWORD}",
                        f"config set Password confirmation {PASSWORD}", "config ok", "config show"]:
            kelvox.stdin.write(command + "\n")
        kelvox.stdin.flush()
        run.wait_for("the users' password in force", lambda: "Identification=yes" in run.read("kelvox.out"))
        run.wait_for("the metrics port open", lambda: listening(metrics_port))
        assert f"note: metrics at http://127.0.0.1:{metrics_port}/metrics" in run.read("kelvox.out")

        # Scrapes all along, each kept for promtool.
        scrapes, done = [], threading.Event()

        def scraper():
            while not done.is_set():
                scrapes.append(scrape(metrics_port))
                done.wait(0.02)
        scraping = threading.Thread(target=scraper, daemon=True)
        scraping.start()

        # alice is linked and carries the load; bob gives a wrong password;
        # carol waits, and dave is one user too many.
        alice = user(port, PASSWORD)
        alice.send("NICK alice", "USER alice 0 * :Alice", f"CONN 127.0.0.1:{server.port}")
        alice.await_line(r"^:irc\.test 001 alice ")
        # The load runs in rounds until the scraper has taken its scrapes
        # meanwhile; the other users come during the first.
        sent_up, down = [], 0
        while not sent_up or len(scrapes) < SCRAPES:
            assert len(sent_up) < 500 * LOAD_UP, "the scraper stopped"
            mark = alice.mark()
            load = [f"PRIVMSG burst :{LOAD_DOWN}"] + [f"PRIVMSG #load :{i} " + "y" * 40 for i in range(LOAD_UP)]
            alice.send(*load)
            sent_up += load
            down += LOAD_DOWN
            if len(sent_up) == len(load):
                bob = user(port, "wrong")
                bob.await_line("Bad password")
                run.wait_for("bob gone", lambda: samples(scrape(metrics_port)[1])["kelvox_users"] == 1)
                carol = user(port, None)
                carol.await_line("Enter your password")
                dave = user(port, PASSWORD)
                dave.await_line("Too many connections, bye")
            alice.await_line(f"load {down - 1} ", mark)
        run.wait_for("the load at the server", lambda: server.count() == 2 + len(sent_up))
        done.set()
        scraping.join()
        carol.sock.shutdown(socket.SHUT_RDWR)
        run.wait_for("carol gone", lambda: samples(scrape(metrics_port)[1])["kelvox_users"] == 1)

        # Every scrape is a valid exposition, and no counter ever went down.
        for head, text in scrapes:
            assert head.startswith("HTTP/1.1 200 OK\r\n"), head
            assert "\r\nContent-Type: text/plain; version=0.0.4\r\n" in head, head
        last = {}
        for _, text in scrapes:
            for name, value in samples(text).items():
                assert "_total" not in name or value >= last.get(name, 0), name
                last[name] = value
        for _, text in scrapes[:: max(1, len(scrapes) // 20)] + scrapes[-1:]:
            check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
            assert check.returncode == 0, check.stdout + check.stderr + text
        print(f"{len(scrapes)} scrapes under load ({len(sent_up)} lines up, {down} down), promtool accepts them")

        # The round trip, again with the slow connections holding on, and once
        # more after them (what the machine's load alone changes).
        alone = round_trips(alice, ROUND_TRIPS, "alone")
        slow = SlowScrapers(metrics_port, SLOW)
        head, _ = scrape(metrics_port)  # taken after every slow connection
        assert head.startswith("HTTP/1.1 200 OK"), head
        beside = round_trips(alice, ROUND_TRIPS, "beside")
        head, _ = scrape(metrics_port)
        assert head.startswith("HTTP/1.1 200 OK"), head
        slow.close()
        after = round_trips(alice, ROUND_TRIPS, "after")
        print(f"round trip alone: {figures(alone)}")
        print(f"round trip beside {SLOW} slow metrics connections: {figures(beside)}")
        print(f"round trip after them: {figures(after)}")

        # The counters are the script's counts.
        up = sent_up + [f"PRIVMSG echo :{tag} {i}" for tag in ("alone", "beside", "after") for i in range(ROUND_TRIPS)]
        run.wait_for("the round trips at the server", lambda: server.count() == 2 + len(up))
        assert server.received[2:] == up
        got = samples(scrape(metrics_port)[1])
        want = {
            "kelvox_users": 1, "kelvox_links": 1, "kelvox_lingering_sessions": 0,
            "kelvox_users_admitted_total": 4, "kelvox_links_opened_total": 1,
            "kelvox_lines_from_server_total": server.sent_lines, "kelvox_bytes_from_server_total": server.sent_bytes,
            "kelvox_lines_to_server_total": len(up), "kelvox_bytes_to_server_total": sum(len(l) + 2 for l in up),
            'kelvox_refusals_total{reason="max"}': 1, 'kelvox_refusals_total{reason="password"}': 1,
            'kelvox_refusals_total{reason="ban"}': 0, 'kelvox_refusals_total{reason="access"}': 0,
            'kelvox_refusals_total{reason="destination"}': 0, 'kelvox_refusals_total{reason="per_address"}': 0,
            "kelvox_failed_lookups_total": 0, "kelvox_failed_tls_handshakes_total": 0,
        }
        wrong = {name: (got.get(name), value) for name, value in want.items() if got.get(name) != value}
        assert not wrong, f"counters (got, want): {wrong}"
        assert got["kelvox_resident_memory_bytes"] > 0 and got["kelvox_open_descriptors"] > 0, got
        print("the counters match the script")

    def checked():
        try:
            body()
        except AssertionError as error:
            run.fail(str(error) or "an assertion failed")
    run.main(checked)


if __name__ == "__main__":
    if sys.argv[1] == "--slow":
        slow_scrapers(int(sys.argv[2]), int(sys.argv[3]))
    else:
        main(sys.argv[1])
