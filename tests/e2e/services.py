"""An IRC network with services for the end-to-end scripts: InspIRCd 3 with
atheme linked to it on loopback, so that accounts can be registered with
NickServ and users log in with SASL PLAIN through SaslServ. Everything lives
in the run's folder; the ports are free ones."""
import base64
import os
import socket

from e2e_support import IrcClient, free_port, listening

SERVER = "insp.test"
SERVICES = "services.kelvox.test"
LINK_PASSWORD = "linkpass"


def client_ports(port, calm_port):
    """InspIRCd's client ports: `port` PINGs every 3 s (the links through Kelvox
    idle through a few quickly), `calm_port` every 2 minutes, for the test's own
    clients, whose reader threads may lag on a loaded machine."""
    return "".join(f"""<bind address="127.0.0.1" port="{p}" type="clients">
<connect name="c{p}" allow="*" port="{p}" resolvehostnames="no" pingfreq="{freq}" timeout="20" localmax="100"
         globalmax="100" useident="no" limit="100">
""" for p, freq in [(port, 3), (calm_port, 120)])


def start_plain_inspircd(run, port, calm_port):
    """InspIRCd alone, with server-time: for clients that need no services."""
    run.write("inspircd.conf", f"""<server name="{SERVER}" description="Kelvox test" network="Test">
<admin name="test" nick="test" email="test@localhost">
{client_ports(port, calm_port)}<dns server="127.0.0.1" timeout="1">
<pid file="{run.path("inspircd.pid")}">
<log method="file" type="* -USERINPUT -USEROUTPUT" level="default" target="{run.path("ircd.log")}">
<module name="cap">
<module name="ircv3">
<module name="ircv3_servertime">
""")
    root = ["--runasroot"] if os.geteuid() == 0 else []
    return run.start(["inspircd", "--config", run.path("inspircd.conf"), "--nofork"] + root, "ircd.out")


def start_inspircd(run, port, calm_port, link_port):
    """InspIRCd with the modules SASL and the tags need; atheme links on `link_port`."""
    modules = ["cap", "ircv3", "ircv3_servertime", "ircv3_accounttag", "ircv3_capnotify", "ircv3_echomessage",
               "ircv3_batch", "ircv3_chghost", "ircv3_ctctags", "ircv3_invitenotify", "setname",
               "sasl", "services_account", "spanningtree", "namesx", "uhnames", "chghost"]
    run.write("inspircd.conf", "".join(f'<module name="{name}">\n' for name in modules) + f"""
<server name="{SERVER}" description="Kelvox test" network="Test" id="1AA">
<admin name="test" nick="test" email="test@localhost">
{client_ports(port, calm_port)}<bind address="127.0.0.1" port="{link_port}" type="servers">
<link name="{SERVICES}" ipaddr="127.0.0.1" port="{link_port}" allowmask="127.0.0.0/8"
      sendpass="{LINK_PASSWORD}" recvpass="{LINK_PASSWORD}">
<uline server="{SERVICES}" silent="yes">
<sasl target="{SERVICES}" requiressl="no">
<dns server="127.0.0.1" timeout="1">
<pid file="{run.path("inspircd.pid")}">
<log method="file" type="* -USERINPUT -USEROUTPUT" level="default" target="{run.path("ircd.log")}">
""")
    root = ["--runasroot"] if os.geteuid() == 0 else []
    return run.start(["inspircd", "--config", run.path("inspircd.conf"), "--nofork"] + root, "ircd.out")


def start_atheme(run, link_port):
    """atheme with NickServ and SaslServ (PLAIN), its database in the run's folder."""
    data = run.path("atheme")
    os.mkdir(data)
    modules = ["protocol/inspircd", "backend/opensex", "nickserv/main", "nickserv/register",
               "nickserv/identify", "saslserv/main", "saslserv/plain"]
    service = 'nick = "{0}"; user = "{0}"; host = "{1}"; real = "{0}";'
    run.write("atheme.conf", "".join(f'loadmodule "modules/{name}";\n' for name in modules) + f"""
serverinfo {{
  name = "{SERVICES}"; desc = "Kelvox test services"; numeric = "00A"; recontime = 1;
  netname = "Test"; hidehostsuffix = "users.test"; adminname = "test"; adminemail = "test@localhost";
  registeremail = "test@localhost"; auth = none; casemapping = rfc1459; maxlogins = 5; maxusers = 5;
}};
uplink "{SERVER}" {{ host = "127.0.0.1"; port = {link_port}; password = "{LINK_PASSWORD}"; }};
nickserv {{ {service.format("NickServ", SERVICES)} }};
saslserv {{ {service.format("SaslServ", SERVICES)} }};
general {{ ratelimit_uses = 100; ratelimit_period = 1; }};
logfile "{run.path("atheme.log")}" {{ all; }};
""")
    return run.start(["atheme-services", "-n", "-c", run.path("atheme.conf"), "-D", data,
                      "-l", run.path("atheme-main.log"), "-p", run.path("atheme.pid")], "atheme.out")


def start_network(run):
    """Starts InspIRCd and atheme, both watched; returns the client ports (see
    client_ports) once the server offers SASL (which it does only while atheme
    is linked)."""
    port, calm_port, link_port = free_port(), free_port(), free_port()
    run.watched.append(start_inspircd(run, port, calm_port, link_port))
    run.wait_for("InspIRCd listening", lambda: listening(port) and listening(calm_port) and listening(link_port))
    run.watched.append(start_atheme(run, link_port))
    run.wait_for("atheme linked", lambda: "finished synching with uplink" in run.read("atheme-main.log"))
    probe = IrcClient(socket.create_connection(("127.0.0.1", calm_port)))
    probe.send("CAP LS 302")
    run.wait_for("SASL offered", lambda: probe.saw(r"CAP \* LS :.*\bsasl\b"))
    probe.sock.close()
    return port, calm_port


def register(run, port, account, password):
    """Registers `account` with NickServ from a plain client of that nick."""
    client = IrcClient(socket.create_connection(("127.0.0.1", port)), account)
    run.wait_for(f"{account} on the server", lambda: client.saw(rf"^:\S+ 001 {account} "))
    client.send(f"PRIVMSG NickServ :REGISTER {password} {account}@kelvox.test")
    run.wait_for(f"{account} registered", lambda: client.saw(rf"NOTICE {account} :.*{account}.* is now registered"),
                 seen=lambda: client.log.down[-3:])
    client.send("QUIT")
    client.sock.close()


def plain_payload(account, password):
    return base64.b64encode(f"{account}\0{account}\0{password}".encode()).decode()


def sasl_login(run, port, nick, account, password):
    """A raw client that logs in with SASL PLAIN before its registration ends;
    returns it once the server welcomed it."""
    client = IrcClient(socket.create_connection(("127.0.0.1", port)))
    client.send("CAP LS 302", f"NICK {nick}", f"USER {nick} 0 * :{nick}")
    run.wait_for(f"capabilities for {nick}", lambda: client.saw(r"CAP \* LS :.*\bsasl\b"))
    client.send("CAP REQ :sasl")
    run.wait_for(f"sasl acknowledged for {nick}", lambda: client.saw(r"CAP \S+ ACK :sasl"))
    client.send("AUTHENTICATE PLAIN")
    run.wait_for(f"AUTHENTICATE + for {nick}", lambda: client.saw(r"^AUTHENTICATE :?\+$"),
                 seen=lambda: client.log.down[-3:])
    client.send("AUTHENTICATE " + plain_payload(account, password))
    run.wait_for(f"{nick} logged in", lambda: client.saw(rf"^:\S+ 903 {nick} "))
    client.send("CAP END")
    run.wait_for(f"{nick} welcomed", lambda: client.saw(rf"^:\S+ 001 {nick} "))
    return client

