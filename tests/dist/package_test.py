#!/usr/bin/env python3
"""The installation and the Debian packages, checked from outside.

Builds the packages of this build tree with cpack and checks their control
data, maintainer scripts, files and modes, the copyright file and changelog;
the unit's keys (and systemd-analyze verify where it runs); the manual pages
with man and mandoc; the desktop entries with desktop-file-validate.
kelvox-desktop, made when that program is built, stands alone: no scripts, no
need of kelvox. Stages an install with cmake --install as a user without root.
Then runs the packaged program the way the unit does, telling a service
manager of the test's own, connects to it, reloads a changed ban list with
SIGHUP and stops it with SIGTERM. Exits 0 when everything held.

    package_test.py BUILD_DIR
"""
import configparser
import gzip
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

BUILD = os.path.abspath(sys.argv[1])
WORK = tempfile.mkdtemp(prefix="kelvox-package-")
LIMIT = 30  # seconds that any one awaited event may take
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, flush=True)


def run(argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, **kwargs)


def as_user_without_root(argv):
    """argv run as nobody when this runs as root."""
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        return argv
    nobody = pwd.getpwnam("nobody")
    return ["setpriv", f"--reuid={nobody.pw_uid}", f"--regid={nobody.pw_gid}", "--clear-groups"] + argv


def build_packages():
    """The packages made, by package name (the file name's first part)."""
    out = os.path.join(WORK, "out")
    made = run(["cpack", "-G", "DEB", "-B", out], cwd=BUILD)
    debs = {name.split("_")[0]: os.path.join(out, name) for name in os.listdir(out) if name.endswith(".deb")}
    if made.returncode != 0 or "kelvox" not in debs:
        print(made.stdout, made.stderr)
        sys.exit(1)
    return debs


def check_control(deb):
    fields = run(["dpkg-deb", "-f", deb, "Package", "Section", "Depends"]).stdout
    check("Package: kelvox" in fields and "Section: net" in fields, "control fields: " + fields)
    for needed in ("libc6", "libstdc++6", "libcurl4", "libsystemd0", "adduser"):
        check(re.search(rf"Depends:.*\b{re.escape(needed)}\b", fields), f"{needed} among the dependencies: {fields}")
    control = os.path.join(WORK, "control")
    run(["dpkg-deb", "-e", deb, control])
    for script in ("postinst", "prerm", "postrm"):
        path = os.path.join(control, script)
        check(os.path.exists(path) and os.stat(path).st_mode & 0o777 == 0o755, f"{script} there, mode 0755")
        check(run(["sh", "-n", path]).returncode == 0, f"{script} is valid sh")
    postinst = open(os.path.join(control, "postinst")).read()
    check("adduser --system" in postinst and "install -d -o kelvox" in postinst, "postinst makes the user and state")
    check("deb-systemd-helper enable kelvox.service" in postinst, "postinst enables the unit")
    postrm = open(os.path.join(control, "postrm")).read()
    check(re.search(r'"\$1" = purge.*rm -rf /var/lib/kelvox', postrm, re.S), "only a purge removes /var/lib/kelvox")


def check_desktop_control(deb):
    fields = run(["dpkg-deb", "-f", deb, "Package", "Section", "Depends"]).stdout
    check("Package: kelvox-desktop" in fields and "Section: net" in fields, "desktop control fields: " + fields)
    depends = next(iter(re.findall(r"^Depends: (.*)$", fields, re.M)), "")
    names = {item.split()[0] for item in depends.split(",") if item.strip()}
    check("libqt6widgets6" in names, "libqt6widgets6 among the dependencies: " + fields)
    check("kelvox" not in names, "kelvox-desktop needs no kelvox: " + fields)
    control = os.path.join(WORK, "desktop-control")
    run(["dpkg-deb", "-e", deb, control])
    scripts = [name for name in ("preinst", "postinst", "prerm", "postrm") if os.path.exists(f"{control}/{name}")]
    check(not scripts, f"kelvox-desktop has no maintainer scripts, got {scripts}")


KELVOX_FILES = {
    "/usr/bin/kelvox": "-rwxr-xr-x",
    "/usr/share/man/man1/kelvox.1.gz": "-rw-r--r--",
    "/usr/lib/systemd/system/kelvox.service": "-rw-r--r--",
    "/usr/share/applications/kelvox.desktop": "-rw-r--r--",
    "/usr/share/doc/kelvox/README.md": "-rw-r--r--",
    "/usr/share/doc/kelvox/copyright": "-rw-r--r--",
    "/usr/share/doc/kelvox/changelog.gz": "-rw-r--r--",
}
DESKTOP_FILES = {
    "/usr/bin/kelvox-desktop": "-rwxr-xr-x",
    "/usr/share/man/man1/kelvox-desktop.1.gz": "-rw-r--r--",
    "/usr/share/applications/kelvox-desktop.desktop": "-rw-r--r--",
    "/usr/share/icons/hicolor/scalable/apps/kelvox-desktop.svg": "-rw-r--r--",
    "/usr/share/doc/kelvox-desktop/copyright": "-rw-r--r--",
    "/usr/share/doc/kelvox-desktop/changelog.gz": "-rw-r--r--",
}


def check_files(deb, expected, root):
    """The package holds these files and no others, with these modes; unpacked into root."""
    listing = {}
    for line in run(["dpkg-deb", "-c", deb]).stdout.splitlines():
        mode, owner, _size, _date, _time, path = line.split(None, 5)
        if not mode.startswith("d"):
            listing[path.removeprefix(".")] = (mode, owner)
    check(listing.keys() == expected.keys(), f"{os.path.basename(deb)} holds {sorted(listing)}")
    for path, mode in expected.items():
        check(listing.get(path) == (mode, "root/root"), f"{path} {mode} root/root, got {listing.get(path)}")
    run(["dpkg-deb", "-x", deb, root])


def check_documents(deb, root, package):
    """The copyright file in Debian's form, LICENSE's text whole; the changelog
    for this version, gzip without a name or a time."""
    doc = os.path.join(root, "usr/share/doc", package)
    copyright_file = open(os.path.join(doc, "copyright")).read()
    licence = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "LICENSE")).read()
    holders = re.search(r"Copyright \(c\) (.+)", licence).group(1)
    body = licence.split(holders, 1)[1].strip()
    paragraph = "\n".join(" " + (line or ".") for line in body.split("\n"))
    check(copyright_file.startswith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")
          and f"Files: *\nCopyright: {holders}\nLicense: Expat\n" in copyright_file
          and copyright_file.endswith(f"\nLicense: Expat\n{paragraph}\n"), f"{package} copyright:\n{copyright_file}")
    packed = open(os.path.join(doc, "changelog.gz"), "rb").read()
    version = run(["dpkg-deb", "-f", deb, "Version"]).stdout.strip()
    first = gzip.decompress(packed).decode().split("\n", 1)[0]
    check(packed[3] == 0 and packed[4:8] == bytes(4), f"{package} changelog.gz has no name and no time")
    check(first == f"kelvox ({version}) unstable; urgency=medium", f"{package} changelog begins: {first}")


def check_unit(root):
    path = os.path.join(root, "usr/lib/systemd/system/kelvox.service")
    unit = configparser.ConfigParser(strict=False, interpolation=None)
    unit.optionxform = str
    unit.read(path)
    service = unit["Service"]
    expected = {
        "ExecStart": "/usr/bin/kelvox --config-dir /var/lib/kelvox --start", "User": "kelvox",
        "Type": "notify", "NotifyAccess": "main",
        "StandardInput": "null", "Restart": "on-failure", "NoNewPrivileges": "yes", "ProtectSystem": "strict",
        "ProtectHome": "yes", "PrivateTmp": "yes", "ReadWritePaths": "/var/lib/kelvox",
        "AmbientCapabilities": "CAP_NET_BIND_SERVICE", "ExecReload": "/bin/kill -HUP $MAINPID",
    }
    for key, value in expected.items():
        check(service.get(key) == value, f"unit {key}={value}, got {service.get(key)}")
    check(unit["Install"].get("WantedBy") == "multi-user.target", "unit wanted by multi-user.target")
    if shutil.which("systemd-analyze"):
        # Verified as it stands, but for the program's path: the one unpacked here.
        copy = os.path.join(WORK, "kelvox.service")
        program = os.path.join(root, "usr/bin/kelvox")
        open(copy, "w").write(open(path).read().replace("ExecStart=/usr/bin/kelvox", "ExecStart=" + program))
        verified = run(["systemd-analyze", "verify", "--man=no", copy])
        noise = [line for line in (verified.stdout + verified.stderr).splitlines() if "kelvox" in line]
        check(verified.returncode == 0 and not noise, "systemd-analyze verify: " + "\n".join(noise))


def check_manual(root, name, word):
    page = os.path.join(root, f"usr/share/man/man1/{name}.1.gz")
    shown = run(["man", "--warnings", "-l", page], env=dict(os.environ, MANWIDTH="80"))
    check(shown.returncode == 0 and word in shown.stdout and not shown.stderr.strip(),
          f"man renders {name}.1 without warnings: " + shown.stderr)
    if shutil.which("mandoc"):
        linted = run(["mandoc", "-T", "lint", "-W", "warning", page])
        check(linted.returncode == 0 and not linted.stdout.strip(), f"mandoc lint {name}.1: " + linted.stdout)
    elif os.environ.get("CI"):
        check(False, "mandoc is not installed (scripts/test.sh installs it)")


def check_desktop_entries(root, names):
    if shutil.which("desktop-file-validate") is None:
        if os.environ.get("CI"):
            check(False, "desktop-file-validate is not installed (scripts/test.sh installs it)")
        return
    for name in names:
        validated = run(["desktop-file-validate", os.path.join(root, "usr/share/applications", name)])
        check(validated.returncode == 0 and not validated.stdout.strip(), f"{name} is valid: " + validated.stdout)


def check_staged_install(desktop):
    stage = os.path.join(WORK, "stage")
    os.mkdir(stage)
    if os.geteuid() == 0:
        # The install writes only the stage and the build tree's list of what it installed.
        os.chmod(WORK, 0o755)
        nobody = pwd.getpwnam("nobody")
        manifest = os.path.join(BUILD, "install_manifest.txt")
        open(manifest, "a").close()
        for path in (stage, manifest):
            os.chown(path, nobody.pw_uid, nobody.pw_gid)
    installed = run(as_user_without_root(["cmake", "--install", BUILD, "--prefix", stage]))
    check(installed.returncode == 0, "cmake --install without root: " + installed.stdout + installed.stderr)
    staged = ["bin/kelvox", "share/man/man1/kelvox.1.gz", "lib/systemd/system/kelvox.service"]
    if desktop:
        staged += ["bin/kelvox-desktop", "share/man/man1/kelvox-desktop.1.gz"]
    for path in staged:
        check(os.path.exists(os.path.join(stage, path)), f"staged {path}")


class Bouncer:
    """The packaged program, run as the unit runs it, with a service manager's
    socket whose datagrams a thread gathers."""

    def __init__(self, program, state):
        self.manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.manager.bind(os.path.join(WORK, "notify"))
        self.manager.settimeout(LIMIT)
        self.notes = []
        self.reader = threading.Thread(target=self.gather, daemon=True)
        self.reader.start()
        self.process = subprocess.Popen([program, "--config-dir", state, "--start"], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                        env=dict(os.environ, NOTIFY_SOCKET=self.manager.getsockname()))
        self.seen = []

    def gather(self):
        while not (self.notes and self.notes[-1].startswith("STOPPING=1")):
            try:
                self.notes.append(self.manager.recv(4096).decode())
            except OSError:
                return

    def wait_line(self, prefix):
        deadline = time.monotonic() + LIMIT
        while time.monotonic() < deadline:
            line = self.process.stdout.readline()
            if not line:
                break
            self.seen.append(line)
            if line.startswith(prefix):
                return line.rstrip("\n")
        check(False, f"no line '{prefix}...' from kelvox:\n" + "".join(self.seen))
        return None


def user(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=LIMIT)
    return sock, sock.makefile("rb")


def line_with(lines, text):
    """The next line that holds the text, or the last one read before the end."""
    line = b""
    for line in lines:
        if text in line:
            break
    return line


def check_runs_like_the_unit(root):
    state = os.path.join(WORK, "state")
    bouncer = Bouncer(os.path.join(root, "usr/bin/kelvox"), state)
    try:
        listening = bouncer.wait_line("note: listening on port ")
        if listening is None:
            return
        port = int(listening.split()[4])
        first, first_lines = user(port)
        check(b"Kelvox v2.6" in line_with(first_lines, b"Kelvox v2.6"), "the first user greeted")
        check(os.path.exists(os.path.join(state, "Config.ini")), "settings written in the fresh state folder")

        open(os.path.join(state, "Banlist.conf"), "w").write("*\r\n")
        bouncer.process.send_signal(signal.SIGHUP)
        bouncer.wait_line("settings reloaded")
        _, banned = user(port)
        check(b"You are banned, Bye." in line_with(banned, b"banned"), "the next user refused by the reloaded ban list")
        first.sendall(b"PING :still\r\n")
        check(line_with(first_lines, b"PONG") == b"PONG :still\r\n", "the first user still served after the reload")

        bouncer.process.send_signal(signal.SIGTERM)
        check(b"Disconnection - Bouncer is down." in line_with(first_lines, b"Disconnection"),
              "SIGTERM tells the user, as DIE")
        check(bouncer.process.wait(timeout=LIMIT) == 0, "SIGTERM ends with status 0")
        bouncer.reader.join(LIMIT)
        states = [note.split("\n")[0] for note in bouncer.notes if not note.startswith("STATUS=")]
        check(states == ["READY=1", "RELOADING=1", "READY=1", "STOPPING=1"]
              and bouncer.notes[0] == f"READY=1\nSTATUS=Listening on port {port}, 0 users",
              f"systemd told: {bouncer.notes}")
    finally:
        if bouncer.process.poll() is None:
            bouncer.process.kill()


def main():
    missing = [name for name in ("cpack", "dpkg-deb", "dpkg-shlibdeps", "man") if shutil.which(name) is None]
    if missing:
        if os.environ.get("CI"):
            check(False, "not installed: " + " ".join(missing))
            return
        print("SKIP: not installed: " + " ".join(missing))
        sys.exit(77)
    debs = build_packages()
    desktop = os.path.exists(os.path.join(BUILD, "desktop", "kelvox-desktop"))
    check(sorted(debs) == ["kelvox"] + ["kelvox-desktop"] * desktop, f"the packages made: {sorted(debs)}")
    root = os.path.join(WORK, "root")
    check_control(debs["kelvox"])
    check_files(debs["kelvox"], KELVOX_FILES, root)
    check_documents(debs["kelvox"], root, "kelvox")
    check_unit(root)
    check_manual(root, "kelvox", "CONN")
    entries = ["kelvox.desktop"]
    if desktop and "kelvox-desktop" in debs:
        check_desktop_control(debs["kelvox-desktop"])
        check_files(debs["kelvox-desktop"], DESKTOP_FILES, root)
        check_documents(debs["kelvox-desktop"], root, "kelvox-desktop")
        check_manual(root, "kelvox-desktop", "kelvox(1)")
        entries.append("kelvox-desktop.desktop")
    check_desktop_entries(root, entries)
    check_staged_install(desktop)
    check_runs_like_the_unit(root)


if __name__ == "__main__":
    try:
        main()
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
    print("OK" if not failures else f"{len(failures)} failed")
    sys.exit(1 if failures else 0)
