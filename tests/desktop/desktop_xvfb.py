#!/usr/bin/env python3
"""kelvox-desktop on a real X display: Xvfb with a window manager (openbox) and
a tray host (trayer), read through the accessibility tree (AT-SPI) as a screen
reader reads it.

Two users connect and appear in the grid with the count; the tray icon's menu
opens on a right click and hides the window, a click on the icon brings it
back; Preferences opens "Configuration"; SIGTERM tells the users and ends the
program. On the way it takes the screenshots that the README shows, into the
folder given as second argument (docs/ to refresh them), else into its own.

    python3 desktop_xvfb.py PATH/TO/kelvox-desktop [SCREENSHOT_FOLDER]
"""
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from e2e_support import IrcClient, Run, free_port, listening, program_state  # noqa: E402

# pyatspi is Debian's, for Debian's own Python; another python3 first on PATH
# hands over to it.
try:
    import pyatspi
    from gi.repository import Atspi
except ImportError:
    if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    pyatspi = None

PROGRAMS = ("Xvfb", "openbox", "trayer", "xdotool", "import", "dbus-run-session", "xdpyinfo", "xprop", "xwininfo")


def output(command):
    return subprocess.run(command, capture_output=True, text=True).stdout


def start_display(run):
    """Xvfb on the first free display number, which it writes to a pipe once it
    listens, and which then has to answer a client (xdpyinfo).

    It never resets (-noreset). By default an X server resets whenever its last
    client leaves, and the reset drops every connection not yet set up: an xprop
    asking for the window manager that leaves while openbox connects takes
    openbox's connection with it, and openbox ends unable to open the display.
    The server starved on a loaded machine with cold caches, as on a first run,
    widens that window from microseconds to many milliseconds."""
    read_end, write_end = os.pipe()
    xvfb = run.start(["Xvfb", "-displayfd", str(write_end), "-noreset", "-screen", "0", "1024x768x24",
                      "-nolisten", "tcp"], "xvfb.log", pass_fds=(write_end,))
    os.close(write_end)
    run.watched.append(xvfb)
    number = b""
    deadline = time.monotonic() + run.limit
    while not number.endswith(b"\n"):
        if not select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))[0]:
            run.fail(f"waited {run.limit} s for Xvfb's display number; it wrote {number!r}")
        chunk = os.read(read_end, 16)
        if not chunk:  # it ended, most likely: its status goes with the report
            try:
                xvfb.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
            run.fail(f"Xvfb closed its pipe after {number!r}, without a whole display number")
        number += chunk
    os.close(read_end)
    os.environ["DISPLAY"] = ":" + number.decode().strip()

    def ask():
        return subprocess.run(["xdpyinfo"], capture_output=True, text=True)
    run.wait_for(f"the display {os.environ['DISPLAY']} answering", lambda: ask().returncode == 0,
                 seen=lambda: ask().stderr.strip())


def find(node, role, name=None, depth=0):
    """The first node of `role` (and `name`) under `node`, depth first."""
    try:
        if node.getRoleName() == role and (name is None or node.name == name):
            return node
        children = [node.getChildAtIndex(i) for i in range(node.childCount)] if depth < 12 else []
    except Exception:  # a node that went away while it was read
        return None
    for child in children:
        found = find(child, role, name, depth + 1)
        if found is not None:
            return found
    return None


def showing(node):
    return node is not None and node.getState().contains(pyatspi.STATE_SHOWING)


def screenshot(app, name, *where):
    """`where` in a PNG file; a call into the program first lets it paint what
    it has just been told."""
    for _ in range(2):
        app.get_child_count()
    subprocess.run(["import", *where, name], check=True)


def window_id(name):
    ids = output(["xdotool", "search", "--onlyvisible", "--name", f"^{re.escape(name)}$"]).split()
    return ids[0] if ids else None


def named_windows():
    """The names of the windows on the display, for a failure's report."""
    names = re.findall(r'^\s+0x[0-9a-f]+ "([^"]*)"', output(["xwininfo", "-root", "-tree"]), re.M)
    return "the windows " + (", ".join(f'"{name}"' for name in dict.fromkeys(names)) or "none")


def tray_icon_corner():
    """Where the icon that Qt embedded in trayer's panel is on the screen: its
    top left corner, where a menu opened leaves the icon in sight."""
    tree = output(["xwininfo", "-root", "-tree"])
    for line in tree.splitlines():
        match = re.search(r'"Kelvox": \("kelvox-desktop" "Kelvox"\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(\d+)\+(\d+)', line)
        if match and int(match[1]) > 1:
            return int(match[3]) + 2, int(match[4]) + 2
    return None


def main():
    program = os.path.abspath(sys.argv[1])
    run = Run("kelvox-desktop-", limit=60)
    run.skip_without(*PROGRAMS)
    if pyatspi is None:
        run.fail("no pyatspi (python3-pyatspi; scripts/test.sh installs it)")
    if "KELVOX_DESKTOP_BUS" not in os.environ:
        # A session bus of its own, for AT-SPI, and a runtime folder of its own
        # where the accessibility bus puts its socket (else ~/.cache/at-spi,
        # which another run's bus would take over or remove).
        runtime = tempfile.mkdtemp(prefix="kelvox-desktop-runtime-")
        os.environ["KELVOX_DESKTOP_BUS"] = os.environ["XDG_RUNTIME_DIR"] = runtime
        shutil.rmtree(run.work)  # the run inside the session makes its own
        os.execvp("dbus-run-session", ["dbus-run-session", "--", sys.executable] + sys.argv)
    shots = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else run.work
    try:
        start_display(run)
        # Its title bars draw the buttons that the windows ask for (icon, title,
        # minimise, close), as most window managers do, where its own theme would
        # add a maximise box regardless.
        run.write("openbox.xml", '<openbox_config xmlns="http://openbox.org/3.4/rc">'
                  "<theme><titleLayout>NLIC</titleLayout></theme></openbox_config>")
        run.watched.append(run.start(["openbox", "--config-file", run.path("openbox.xml")], "openbox.log"))
        wm_check = ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"]
        run.wait_for("a window manager", lambda: "window id" in output(wm_check), seen=lambda: output(wm_check).strip())
        desktop = pyatspi.Registry.getDesktop(0)  # starts the accessibility bus before the program looks for it

        port = free_port()
        os.makedirs(run.path("settings"))
        run.write("settings/Config.ini", f"[Main]\r\nPort={port}\r\nAutoStart=yes\r\nBeep=no\r\n")
        env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   KELVOX_AUTOSTART_DIR=run.path("autostart"))
        kelvox = run.start([program, "--config-dir", run.path("settings")], "kelvox-desktop.log", env=env)
        run.watched.append(kelvox)
        run.wait_for("the listener", lambda: listening(port))
        run.watched.append(run.start(
            ["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel", "--width", "64",
             "--height", "24", "--transparent", "false", "--tint", "0x2e3440", "--SetDockType", "true"], "trayer.log"))
        run.wait_for("the tray host, started after the program as at logon",
                     lambda: '("panel" "trayer")' in output(["xwininfo", "-root", "-tree"]), seen=named_windows)
        # The program joins the accessibility bus on its own time.
        def window_in_tree():
            apps = [desktop.getChildAtIndex(i) for i in range(desktop.childCount)]
            return next(((app, frame) for app in apps if app is not None and app.name == "Kelvox"
                         for frame in [find(app, "frame", "Kelvox v2.6")] if frame is not None), None)
        def programs():
            names = [app.name for app in map(desktop.getChildAtIndex, range(desktop.childCount)) if app is not None]
            return "the programs in the tree: " + (", ".join(names) or "none")
        run.wait_for("the window in the accessibility tree", lambda: window_in_tree() is not None, seen=programs)
        app, frame = window_in_tree()
        app.set_cache_mask(Atspi.Cache.NONE)  # every read asks the program: its windows come and go
        table = find(frame, "table").queryTable()
        count = find(frame, "label", "Connected users : ").parent

        users = [IrcClient(socket.create_connection(("127.0.0.1", port)), nick) for nick in ("ann", "bob")]

        def row(r):
            return [table.getAccessibleAt(r, c).name for c in (0, 1, 2, 4)]

        def grid_holds_both():
            return table.nRows == 3 and row(0) == ["ann@127.0.0.1", "Waiting...", "", "1"] and \
                row(1) == ["bob@127.0.0.1", "Waiting...", "", "2"] and row(2) == ["", "", "", ""]
        def rows():
            return "the rows " + repr([row(r) for r in range(table.nRows)])
        run.wait_for("both users in the grid", grid_holds_both, seen=rows)
        # ann links to an "IRC server" that accepts and stays silent.
        server = socket.create_server(("127.0.0.1", 0))
        links = []
        threading.Thread(target=lambda: links.append(server.accept()), daemon=True).start()
        users[0].send(f"CONN 127.0.0.1:{server.getsockname()[1]}")
        linked = ["ann@127.0.0.1", "Connected to IRC.", f"127.0.0.1:{server.getsockname()[1]}", "1"]
        run.wait_for("ann linked, in the grid", lambda: row(0) == linked, seen=rows)
        run.wait_for("the count of 2", lambda: find(count, "label", "2") is not None)
        window = window_id("Kelvox v2.6")
        screenshot(app, os.path.join(shots, "main-window.png"), "-frame", "-window", window)

        # The tray icon's menu, on a right click at the icon.
        run.wait_for("the icon in the tray", lambda: tray_icon_corner() is not None, seen=named_windows)
        corner = tray_icon_corner()
        # Qt keeps pop-up menus out of the accessibility tree until an item
        # takes the focus: the menu is seen as a window of the program's that
        # appears, and driven with the keys, as the pointer left it.
        before = set(output(["xdotool", "search", "--onlyvisible", "--classname", "kelvox-desktop"]).split())
        subprocess.run(["xdotool", "mousemove", str(corner[0]), str(corner[1]), "click", "3"], check=True)
        run.wait_for("the tray menu", lambda: set(
            output(["xdotool", "search", "--onlyvisible", "--classname", "kelvox-desktop"]).split()) - before,
            seen=named_windows)
        screenshot(app, os.path.join(shots, "tray-menu.png"), "-window", "root", "-crop", "300x110+724+658", "+repage")
        subprocess.run(["xdotool", "key", "Down", "Down", "Return"], check=True)  # "Minimize Kelvox to tray"
        run.wait_for("the window hidden to the tray", lambda: not showing(frame) and window_id("Kelvox v2.6") is None,
                     seen=named_windows)
        subprocess.run(["xdotool", "mousemove", str(corner[0]), str(corner[1]), "click", "1"], check=True)
        run.wait_for("the window back from the tray", lambda: showing(frame))

        find(frame, "menu item", "Preferences").queryAction().doAction(0)
        run.wait_for("the Configuration dialog", lambda: showing(find(app, "dialog", "Configuration")))
        run.wait_for("its window", lambda: window_id("Configuration") is not None, seen=named_windows)
        screenshot(app, os.path.join(shots, "settings-dialog.png"), "-frame", "-window", window_id("Configuration"))

        run.watched.remove(kelvox)  # it is to end now
        kelvox.send_signal(signal.SIGTERM)
        run.wait_for("both users told", lambda: all(user.saw("Disconnection - Bouncer is down") for user in users))
        if kelvox.wait(timeout=run.limit) != 0:
            run.fail(f"{program_state(kelvox)} after SIGTERM, where 0 was due")
        print("PASS")
    except Exception as error:  # one not foreseen (a call into the program that timed out): with the logs too
        traceback.print_exc()
        run.fail(f"the test broke off: {error}")
    finally:
        run.finish()
        shutil.rmtree(os.environ["KELVOX_DESKTOP_BUS"], ignore_errors=True)


if __name__ == "__main__":
    main()
