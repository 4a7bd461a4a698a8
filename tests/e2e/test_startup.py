"""The command line and the start-up console, as the operator sees them."""
import os
import pty
import re
import select
import shutil
import socket
from unittest import mock

from harness import Server, ServerTest, binary, free_port, has_ipv6, is_windows

BANNER = "tarnLoader, 1.0.5, 2011-06-21\n"

USAGE = (
    "\n"
    "tarnLoader serves firmware update content to an QX2102/QX2105 chassis.\n"
    "This tool runs directly from a windows command prompt.\n"
    "\n"
    "Usage: tarnLoader [options] [ftproot]\n"
    "[options] are:\n"
    "  -p <port>     Use <port> for control (defaults to (21)\n"
    "  -prange <port>-<port>  Specify a port range to use for passive mode"
    " (defaults to OS assigned.\n"
    "  -ip <x.x.x.x> Specifies ip address to listen from over NAT.\n"
    "  -u         Allows uploads, ie put and rename (by default server is read-only\n"
    "  ftproot    Directory to consider as root for FTP-like access\n"
    "             (defaults to current working directory)\n"
    "  -ftpverbose         Echoes every command and reply on the console\n"
    "  -tls                Offers TLS (AUTH TLS) with a self-signed certificate\n"
    "  -tlscert <file>     Offers TLS with the certificate, chain and key of the\n"
    "                      PEM file <file>\n"
    "  -tlsonly            Refuses logins and data connections without TLS\n"
    "  -tlsnoresume        Lets a TLS data connection make a new session of its own\n"
    "  -login <name>[:<password>]\n"
    "                      Accepts only this name and password (asked for, or taken\n"
    "                      from TARNLOADER_PASSWORD, when only <name> is given)\n"
    "  -xferlog <file>     Appends a line for each download and upload to <file>\n"
    "  -report <file>      Appends a CSV row for each download and upload to <file>\n"
    "  -status             Prints a timed line for each client event and keeps a\n"
    "                      status line on a terminal, instead of the dots\n"
    "  -maxsessions <n>    Serves at most <n> sessions at once (defaults to 1000)\n"
    "  -maxperaddress <n>  Serves at most <n> sessions from one address\n"
    "                      (defaults to 64)\n"
    "  -idle <seconds>     Closes a connection that sends nothing for <seconds>\n"
    "                      (defaults to none)\n"
    "  -logintimeout <seconds>\n"
    "                      Closes a connection not logged in by then\n"
    "                      (defaults to 60)\n"
    "  -i <address>        Listens only on <address>, IPv4 or IPv6 (repeatable)\n"
    "  -h                  Prints this text\n"
    "  -version            Prints the version and exits\n"
)

HEADING = "tarnLoader accepting connections on ip addresses:\n"

WARNING = (
    "Warning: ftp control port 21 already in use.  This port is required for the\n"
    "  chassis update.  Be sure no other update tool instances are running.\n"
    "  Alternatively, another ftp server may be running on this PC, please\n"
    "  disable this server temporarily for the update and re-enable after\n"
    "  completion. This session is using port: %d\n"
    "  Please resolve this issue before continuing.\n"
)

INSTRUCTIONS_BEFORE_EXAMPLE = (
    "(NOTE) Only one instance of this tool may be run to update one chassis.\n"
    "       at a time.\n"
    "\n"
    "Chassis Update Instructions:\n"
    "1. Open the chassis home page using either of the following methods:\n"
    "      a. Open using LinkBench, select the chassis\n"
    "         model under the LAN instrument I/O tree, and click\n"
    "         `Instrument Web Interface`.\n"
    "      b. Or, open an Internet Explorer window and enter the chassis\n"
    "         ip address or hostname directly, such as "
)

INSTRUCTIONS_AFTER_EXAMPLE = (
    "\n"
    "\n"
    "2. From the chassis home page, navigate to the health page (heart symbol) and\n"
    "   click on the `Open the Chassis Firmware Update page` link.\n"
    "\n"
    "3. On the update page, click `Locate Package`. (Note: the IP address on the\n"
    "   form should be same as one of the listed addresses above.)\n"
    "\n"
    "4. Select `Install`. This action launches a chassis update status page, which\n"
    "   provides progress information.\n"
    "\n"
    "5. When the update status page instructs to power cycle the chassis, please\n"
    "   close the tarnLoader tool (this window).\n"
    "\n"
    "More information may be found in the chassis users's guide.\n"
    "\n"
    "Waiting for the chassis to connect...\n"
)

ADDRESS_LINE = r"   \d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}\n"
NO_SUCH = "  Reason: No such file or directory\n"
# The line after each port that could not be had: the system's words for why.
REASON_LINE = r"  Reason: [^\n]+\n"
# Under -status: the address, then its interface and network.
DETAILED_ADDRESS_LINE = (ADDRESS_LINE[:-len(r"\n")] +
                         r"   \S[^\n]*, [0-9a-f.:]+/\d+(?:, link-local \(a direct cable\))?\n")


def shown_path(path):
    """A directory as the server prints it after entering it: the physical path, and under
    wine the Windows form of the Unix path."""
    physical = os.path.realpath(path)
    if os.name == "nt":
        return physical  # a Windows host's own path
    if is_windows():
        return "Z:" + physical.replace("/", "\\")
    return physical


def using_line(path):
    """The line as the console reads it: the path's UTF-8 bytes, one character each."""
    shown = shown_path(path).encode("utf-8").decode("latin-1")
    return "Using '%s' as ftp root directory\n" % shown


def hold_port(port):
    """A listening socket on the loopback port, or None when the port cannot be had. Address
    reuse lets it take a port that an earlier server left in TIME_WAIT, as the server does;
    it still keeps the server off the port, since it listens."""
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        holder.bind(("127.0.0.1", port))
        holder.listen(1)
    except OSError:
        holder.close()
        return None
    return holder


def port_is_free(port):
    holder = hold_port(port)
    if holder is None:
        return False
    holder.close()
    return True


class CommandLineErrors(ServerTest):
    def assert_refused(self, args, message):
        server = self.run_server(*args)
        self.assertEqual(server.process.returncode, 255)
        self.assertEqual(server.console(), BANNER + message + USAGE)
        self.assertEqual(server.errors(), "")

    def test_each_error_is_followed_by_the_usage_text(self):
        missing = os.path.join("no", "such", "folder")
        cases = [
            (["-p"], "Error: missing port number for option -p\n"),
            (["-p", "abc"], "Error: missing port number for option -p\n"),
            # An option's value is never examined as an option of its own.
            (["-p", "-h"], "Error: missing port number for option -p\n"),
            (["-prange"], "Error: missing port number for option -tp\n"),
            (["-prange", "abc"], "Error: missing port number for option -tp\n"),
            # Ports outside 0-65535 are refused, not taken modulo 65536.
            (["-p", "99999"], "Error: missing port number for option -p\n"),
            (["-prange", "5000-65536"], "Error: missing port number for option -tp\n"),
            (["-ip"], "Error:  missing ip address for -ha option\n"),
            (["-ip", "10.0.0"], "Error:  missing ip address for -ha option\n"),
            (["-P", "2121"], "Error: '-P' option not found\n"),
            (["-"], "Error: '-' option not found\n"),
            (["--help"], "Error: '--help' option not found\n"),
            (["-prange=5000-5010"], "Error: '-prange=5000-5010' option not found\n"),
            (["-ftpverbose", "-uu"], "Error: '-uu' option not found\n"),
            (["pkg", "other"], "Error: Only one directory may be ftp root\n"),
            (["", "other"], "Error: Only one directory may be ftp root\n"),
            # The first error ends the reading: nothing after it is looked at.
            (["-P", "-p"], "Error: '-P' option not found\n"),
            (["-p", "abc", "-ip"], "Error: missing port number for option -p\n"),
            (["nosuch", "-x"], "Error: '-x' option not found\n"),
            (["nosuch"], "Error: Unable to set ftp root directory: 'nosuch'\n" + NO_SUCH),
            ([missing], "Error: Unable to set ftp root directory: '%s'\n" % missing + NO_SUCH),
            (["-p", "0", "./nosuch/"],
             "Error: Unable to set ftp root directory: './nosuch/'\n" + NO_SUCH),
            (["-prange", "6000-5000"], "Error: the port range '6000-5000' of option -prange ends "
                                       "below its start; give the low port first\n"),
            (["-i"], "Error: missing address for option -i\n"),
            (["-i", "chassis.local"], "Error: Unable to listen on 'chassis.local': not an IPv4 or "
                                      "IPv6 address\n"),
            (["-xferlog"], "Error: missing file name for option -xferlog\n"),
            (["-report", ""], "Error: missing file name for option -report\n"),
            (["-xferlog", missing], "Error: Unable to open transfer log '%s': No such file or "
                                    "directory\n" % missing),
            (["-maxsessions", "0"], "Error: option -maxsessions takes a whole number from 1 to "
                                    "10000\n"),
        ]
        os.mkdir(os.path.join(self.root, "pkg"))
        for args, message in cases:
            with self.subTest(args=args):
                self.assert_refused(args, message)

    def test_the_lines_after_the_original_usage_fit_79_columns(self):
        added = USAGE.split("(defaults to current working directory)\n")[1]
        for line in added.splitlines():
            self.assertLessEqual(len(line), 79, line)
            # One column for the descriptions; a name too long for it has a line of its own.
            self.assertRegex(line, r"^(.{20}  \S|  -\S+ \S+$)")

    def test_help_prints_only_the_usage_text(self):
        cases = [
            ["-h"],
            ["-u", "-p", "2121", "-h"],
            # Arguments after "-h" are not examined, not even a bad one.
            ["-h", "-P", "-p", "nosuch", "other"],
        ]
        for args in cases:
            with self.subTest(args=args):
                self.assert_refused(args, "")

    def test_version_prints_the_banner_alone_and_succeeds(self):
        for args in (["-version"], ["-u", "-version", "-P", "nosuch", "other"]):
            with self.subTest(args=args):
                server = self.run_server(*args)
                self.assertEqual(server.process.returncode, 0)
                self.assertEqual(server.console(), BANNER)
                self.assertEqual(server.errors(), "")


class StartedServer(ServerTest):
    def launch(self, args, cwd=None):
        """Starts the binary with exactly these arguments and waits for its guidance."""
        server = Server(args, cwd or self.root).start()
        self.addCleanup(server.stop)
        if not server.wait_ready():
            self.fail("server did not start:\n%s\n%s" % (server.console(), server.errors()))
        return server

    def assert_greets(self, port):
        s = self.connect(port)
        self.assertEqual(self.command(s, "QUIT"), "221 Goodbye")

    def guidance_pattern(self, root, port, first_address=None, bind_lines="",
                         address_line=ADDRESS_LINE):
        """The whole console after start-up; the example address is ours to choose.
        bind_lines is a pattern."""
        first = re.escape("   %s\n" % first_address) if first_address else address_line
        warning = WARNING % port if port != 21 else ""
        return re.compile(
            r"\A" + re.escape(BANNER + using_line(root)) + bind_lines + re.escape(HEADING) +
            first + "(?:%s){0,9}" % address_line +
            re.escape(warning + "\n\n" + INSTRUCTIONS_BEFORE_EXAMPLE) + r"http://[^\n ]+" +
            re.escape(INSTRUCTIONS_AFTER_EXAMPLE) + r"\Z")

    def test_guidance_text_with_the_current_directory_as_root(self):
        port = free_port()
        server = self.launch(["-p", str(port)])
        self.assertRegex(server.console(), self.guidance_pattern(self.root, port))
        self.assertEqual(server.errors(), "")
        self.assert_greets(port)

    def test_status_adds_each_local_address_s_interface_and_network(self):
        # Without -status the lines stay bare: the test above. Wine's adapter list need not
        # hold the addresses it lists, and such a line stays bare too.
        line = DETAILED_ADDRESS_LINE
        if is_windows():
            line = "(?:%s|%s)" % (DETAILED_ADDRESS_LINE, ADDRESS_LINE)
        # The -ip address is no local one: its line stays bare.
        for args, first in (([], None), (["-ip", "203.0.113.9"], "203.0.113.9")):
            with self.subTest(args=args):
                port = free_port()
                server = self.launch(["-p", str(port), "-status"] + args)
                self.assertRegex(server.console(), self.guidance_pattern(
                    self.root, port, first, address_line=line))
                server.stop()

    def test_relative_root_is_shown_as_an_absolute_path(self):
        # The second folder's path takes over 300 bytes in UTF-8, yet under 260 characters.
        for folder in ("pkg", os.path.join("\u56fa\u4ef6" * 25, "\u56fa\u4ef6" * 25)):
            with self.subTest(folder=folder[:8]):
                os.makedirs(os.path.join(self.root, folder, "sub"))
                self.write_file(os.path.join(folder, "sub", "image.bin"), b"firmware")
                port = free_port()
                server = self.launch([folder, "-p", str(port)])
                self.assertRegex(server.console(),
                                 self.guidance_pattern(os.path.join(self.root, folder), port))
                s = self.connect(port)
                self.assertEqual(self.command(s, "CWD sub"), "250 CWD command successful")
                self.assertEqual(self.command(s, "SIZE image.bin"), "213 8")

    def test_accepted_option_values(self):
        with self.subTest("trailing text after the port is ignored"):
            port = free_port()
            server = self.launch(["-p", "%dx" % port])
            self.assertIn(WARNING % port, server.console())
            self.assert_greets(port)
            server.stop()
        with self.subTest("the last of repeated options wins"):
            first, last = free_port(), free_port()
            server = self.launch(["-p", str(first), "-ip", "1.1.1.1", "-p", str(last),
                                  "-ip", "2.2.2.2"])
            console = server.console()
            self.assertIn(WARNING % last, console)
            self.assertIn(HEADING + "   2.2.2.2\n", console)
            self.assert_greets(last)
            with self.assertRaises(OSError):
                socket.create_connection(("127.0.0.1", first), timeout=2).close()
            server.stop()
        with self.subTest("no range test on the address numbers"):
            port = free_port()
            server = self.launch(["-ip", "300.1.2.3", "-p", str(port)])
            self.assertRegex(server.console(),
                             self.guidance_pattern(self.root, port, "300.1.2.3"))
            server.stop()
        with self.subTest("a long address text shows its first 19 characters"):
            port = free_port()
            server = self.launch(["-ip", "192.168.100.200/24-and-more", "-p", str(port)])
            self.assertRegex(server.console(),
                             self.guidance_pattern(self.root, port, "192.168.100.200/24-"))
            server.stop()
        with self.subTest("port 0 takes any free port and the warning names it"):
            server = self.launch(["-p", "0"])
            found = re.search(r"This session is using port: (\d+)\n", server.console())
            self.assertIsNotNone(found, server.console())
            self.assertNotEqual(int(found.group(1)), 0)
            self.assert_greets(int(found.group(1)))
            server.stop()

    def test_a_held_port_given_with_p_ends_without_fallback(self):
        holder = hold_port(0)
        self.addCleanup(holder.close)
        port = holder.getsockname()[1]
        server = self.run_server("-p", str(port))
        self.assertEqual(server.process.returncode, 255)
        self.assertRegex(server.console(), r"\A" + re.escape(
            BANNER + using_line(self.root) + "Could not open socket port %d\n" % port) +
            REASON_LINE + r"\Z")

    def test_port_21_held_falls_back_to_4100(self):
        holder = hold_port(21)
        if holder is None:
            self.skipTest("port 21 cannot be bound by this test (in use, or not allowed)")
        self.addCleanup(holder.close)
        if not port_is_free(4100):
            self.skipTest("port 4100 is in use on this machine")
        for args in ([], ["-p", "21"]):
            with self.subTest(args=args):
                server = Server(args, self.root).start()
                self.addCleanup(server.stop)
                ready = server.wait_ready()
                console = server.console()
                if not ready and "Could not open socket port 4100" in console:
                    self.skipTest("port 4100 was taken while the test ran")
                self.assertTrue(ready, console + server.errors())
                self.assertRegex(console, self.guidance_pattern(
                    self.root, 4100, bind_lines="Could not open socket port 21\n" + REASON_LINE))
                self.assert_greets(4100)
                server.stop()
        with self.subTest("21 and 4100 both held"):
            second = hold_port(4100)
            if second is None:
                self.skipTest("port 4100 cannot be bound by this test")
            self.addCleanup(second.close)
            server = self.run_server()
            self.assertEqual(server.process.returncode, 255)
            self.assertRegex(server.console(), r"\A" + re.escape(BANNER + using_line(self.root)) +
                             "Could not open socket port 21\n" + REASON_LINE +
                             "Could not open socket port 4100\n" + REASON_LINE + r"\Z")


    def test_i_listens_on_its_addresses_alone(self):
        """The control listener, the passive listeners and the printed list keep to the
        addresses of "-i"; another of this machine's addresses gets no answer."""
        cases = [("127.0.0.2", "127.0.0.1", "PASV", "227 Entering Passive Mode (127,0,0,2,")]
        if has_ipv6():
            cases.append(("::1", "127.0.0.1", "EPSV", "229 Entering Extended Passive Mode"))
        for address, other, verb, reply in cases:
            with self.subTest(address):
                port = free_port()
                server = self.launch(["-i", address, "-p", str(port)])
                self.assertIn(HEADING + "   %s\n" % address + WARNING % port, server.console())
                s = self.connect(port, host=address)
                self.assertEqual(self.command(s, "USER op"), "331 Login accepted")
                self.assertEqual(self.command(s, "PASS x"), "230 User logged in")
                answer = self.command(s, verb)
                self.assertTrue(answer.startswith(reply), answer)
                passive = int(re.findall(r"\d+", answer)[-1]) if verb == "EPSV" else (
                    lambda n: n[-2] * 256 + n[-1])([int(n) for n in re.findall(r"\d+", answer)])
                for refused in (port, passive):
                    with self.assertRaises(OSError):
                        socket.create_connection((other, refused), timeout=2).close()
                socket.create_connection((address, passive), timeout=2).close()
                server.stop()
        with self.subTest("an address this machine does not have"):
            port = free_port()
            server = self.run_server("-i", "192.0.2.55", "-p", str(port))
            self.assertEqual(server.process.returncode, 255)
            self.assertRegex(server.console(), r"\A" + re.escape(
                BANNER + using_line(self.root) + "Error: Unable to listen on '192.0.2.55': ") +
                r"[^\n]+\n" + re.escape(USAGE) + r"\Z")

    def test_a_user_who_may_not_open_port_21_hears_why_and_how(self):
        """Port 21 free, but below the ports this user may bind: the fallback to 4100 names
        the permission and its remedy, not another server that holds the port."""
        if os.name == "nt" or is_windows():
            self.skipTest("Windows lets every user open port 21")
        with open("/proc/sys/net/ipv4/ip_unprivileged_port_start") as f:
            if int(f.read()) <= 21:
                self.skipTest("every user of this machine may open port 21")
        if not port_is_free(4100):
            self.skipTest("port 4100 is in use on this machine")
        if os.geteuid() == 0:
            if not port_is_free(21):
                self.skipTest("port 21 is in use on this machine")
            os.chmod(self.base, 0o755)
            # The build may lie in a folder only root can enter (a clone in mktemp -d's).
            program = os.path.join(self.base, "tarnLoader")
            shutil.copy(binary(), program)
            os.chmod(program, 0o755)

            def as_nobody():
                os.setgid(65534)
                os.setuid(65534)
        elif port_is_free(21):
            self.skipTest("this user may open port 21")
        else:
            as_nobody = None
            program = binary()
        server = Server([], self.root, program=program).start(preexec_fn=as_nobody)
        self.addCleanup(server.stop)
        if not server.wait_ready():
            self.fail("server did not start:\n%s\n%s" % (server.console(), server.errors()))
        console = server.console()
        self.assertIn("Could not open socket port 21\n  Reason: Permission denied\n", console)
        self.assertRegex(console, r"Warning: ftp control port 21 may not be opened by this user"
                         r"\.[^\n]*\n  required for the chassis update\.\n  To use it, run "
                         r"tarnLoader as root, or let this program open it once with:\n    sudo "
                         r"setcap cap_net_bind_service=\+ep '/[^\n]+'\n  This session is using "
                         r"port: 4100\n")
        self.assertNotIn("already in use", console)


class LoginPassword(ServerTest):
    """-login name:password, or the name alone with the password from TARNLOADER_PASSWORD or
    typed at the console without echo; the password never stays in the process list."""

    def log_in(self, password):
        s = self.connect()
        self.assertEqual(self.command(s, "USER op"), "331 Login accepted")
        return self.command(s, "PASS " + password)

    def test_a_password_on_the_command_line_is_erased_and_warned_of(self):
        self.start_server("-login", "op:s3cret")
        self.assertIn("Warning: the -login password came on the command line",
                      self.server.console())
        self.assertEqual(self.log_in("s3cret"), "230 User logged in")
        if not is_windows():
            with open("/proc/%d/cmdline" % self.server.process.pid, "rb") as f:
                arguments = f.read()
            self.assertIn(b"\0op:", arguments)
            self.assertNotIn(b"s3", arguments)

    def test_the_name_alone_takes_the_password_from_the_environment(self):
        with mock.patch.dict(os.environ, {"TARNLOADER_PASSWORD": "s3cret"}):
            self.start_server("-login", "op")
        self.assertNotIn("Warning: the -login password", self.server.console())
        self.assertEqual(self.log_in("op"), "530 Login incorrect.")
        self.assertEqual(self.log_in("s3cret"), "230 User logged in")
        # Without the variable and without a console there is no password to be had.
        with mock.patch.dict(os.environ):
            os.environ.pop("TARNLOADER_PASSWORD", None)
            server = self.run_server("-login", "op")
        self.assertEqual(server.process.returncode, 255)
        self.assertEqual(server.console(), BANNER + "Error: no password for -login op: set "
                         "TARNLOADER_PASSWORD, or start from a console to type it\n" + USAGE)

    def test_the_name_alone_asks_at_a_console_without_echo(self):
        if is_windows():
            self.skipTest("Wine gives a pseudo-terminal to no console")
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        server = Server(["-p", str(free_port()), "-login", "op"], self.root)
        with mock.patch.dict(os.environ):
            os.environ.pop("TARNLOADER_PASSWORD", None)
            server.start(preexec_fn=lambda: os.dup2(slave, 0))
        self.addCleanup(self._stop_and_check, server)
        self.assertTrue(server.wait_console("Password for op: "), server.console())
        os.write(master, b"s3cret\n")
        self.assertTrue(server.wait_ready(), server.console())
        self.server = server
        server.port = int(server.args[1])
        self.assertEqual(self.log_in("s3cret"), "230 User logged in")
        echoed = b""
        while select.select([master], [], [], 0.2)[0]:
            echoed += os.read(master, 1024)
        self.assertNotIn(b"s3", echoed)
