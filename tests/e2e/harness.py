"""tests/e2e/harness.py: starts the real binary on a free loopback port over a fresh root and
talks to it as a client would. Every socket has a timeout; every server is stopped by its test.
"""
import ftplib
import os
import shlex
import shutil
import socket
import ssl
import subprocess
import tempfile
import time
import unittest

TIMEOUT = 10.0
START_TIMEOUT = 30.0
READY_LINE = "Waiting for the chassis to connect...\n"
# The Windows build under Wine 8 cannot be a TLS server: Wine's ncrypt imports no key into the
# key store (NTE_NOT_SUPPORTED, 0x80090029) and its Schannel answers the server's
# AcceptSecurityContext with SEC_E_UNSUPPORTED_FUNCTION (0x80090302). Wine has no text for
# either code, so the server prints the numbers. Only these exact reports make a test skip.
WINE_NO_KEY_IMPORT = "no private key could be read from the file (System error -2146893783)"
WINE_NO_TLS_SERVER = "TLS handshake failed on a control connection: System error -2146893054"
# Texts that sanitizers print when they find a fault in the server process.
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "WARNING: ThreadSanitizer", "ERROR: ThreadSanitizer")


def binary():
    return os.environ["TARNLOADER_BINARY"]


def launcher():
    return shlex.split(os.environ.get("TARNLOADER_LAUNCHER", ""))


def is_windows():
    """The Windows build: under a launcher such as wine, or natively on a Windows host."""
    return bool(launcher()) or os.name == "nt"


def is_sanitized():
    """A build with AddressSanitizer or ThreadSanitizer, which reserve vast shadow memory."""
    with open(binary(), "rb") as f:
        content = f.read()
    return b"__asan_init" in content or b"__tsan_init" in content


def has_ipv6():
    """The machine has the IPv6 loopback address."""
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def free_port():
    """A port free on every address of both families, as the server's listener binds it."""
    if has_ipv6():
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
            s.bind(("::", 0))
            return s.getsockname()[1]
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("", 0))
        return s.getsockname()[1]


def normalise(text):
    """Console text with the Windows runtime's CR LF turned into LF."""
    return text.replace("\r\n", "\n")


class Connection:
    """A control connection: a socket and the bytes received after the last line read."""

    def __init__(self, sock):
        self.sock = sock
        self.buffered = b""

    def sendall(self, data):
        self.sock.sendall(data)

    def recv(self, size):
        return self.sock.recv(size)

    def settimeout(self, value):
        self.sock.settimeout(value)

    def shutdown(self, how):
        self.sock.shutdown(how)

    def close(self):
        self.sock.close()


class Server:
    """One tarnLoader process; its console goes to files so a test can read it at any time."""

    def __init__(self, args, cwd, program=None):
        self.args = list(args)
        self.cwd = cwd
        self.program = program or binary()
        self.output_dir = tempfile.mkdtemp(prefix="tarnloader-console-")
        self.stdout_path = os.path.join(self.output_dir, "stdout")
        self.stderr_path = os.path.join(self.output_dir, "stderr")
        self.process = None
        self.port = None

    def start(self, extra_env=None, preexec_fn=None, stdout=None):
        """stdout=subprocess.PIPE gives standard output to the test (process.stdout)."""
        env = dict(os.environ)
        if extra_env:
            env.update(extra_env)
        if os.name == "nt":
            # No fork: the functions only set POSIX signal dispositions, which a Windows
            # program does not inherit anyway.
            preexec_fn = None
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen(
                launcher() + [self.program] + self.args, cwd=self.cwd, stdin=subprocess.DEVNULL,
                stdout=stdout or out, stderr=err, env=env, preexec_fn=preexec_fn)
        return self

    def console(self):
        with open(self.stdout_path, "rb") as f:
            return normalise(f.read().decode("latin-1"))

    def errors(self):
        with open(self.stderr_path, "rb") as f:
            return normalise(f.read().decode("latin-1"))

    def wait_ready(self, timeout=START_TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if READY_LINE in self.console():
                return True
            if self.process.poll() is not None:
                return False
            time.sleep(0.02)
        return False

    def ended_silently(self):
        return self.process.poll() is not None and not self.console() and not self.errors()

    def wait_exit(self, timeout=START_TIMEOUT):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def wait_console(self, text, timeout=TIMEOUT, stream="stdout", count=1):
        """Waits until text appears on the console (count times); returns whether it did. The
        console thread writes a moment after a reply goes out, so a test waits for the text it
        expects before it reads the console."""
        deadline = time.monotonic() + timeout
        read = self.console if stream == "stdout" else self.errors
        while time.monotonic() < deadline:
            if read().count(text) >= count:
                return True
            time.sleep(0.02)
        return False

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=TIMEOUT)
        if self.process is not None and self.process.stdout is not None:
            self.process.stdout.close()
        shutil.rmtree(self.output_dir, ignore_errors=True)


class ServerTest(unittest.TestCase):
    """A fresh root per test (self.root, inside self.base so that tests can plant files just
    outside it) and helpers to start the server and talk to it."""

    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="tarnloader-e2e-")
        self.addCleanup(shutil.rmtree, self.base, True)
        self.root = os.path.join(self.base, "root")
        os.mkdir(self.root)

    # --- the server -------------------------------------------------------------------------

    def _stop_and_check(self, server):
        """Stops the server; a sanitizer's report on its console fails the test."""
        try:
            errors = server.errors()
        except OSError:
            errors = ""
        server.stop()
        for mark in SANITIZER_MARKS:
            if mark in errors:
                raise AssertionError("the server reported a fault:\n" + errors[-4000:])

    def run_server(self, *args, cwd=None, timeout=START_TIMEOUT):
        """Runs the binary to its end (for command lines that fail); returns the Server."""
        server = Server(args, cwd or self.root).start()
        self.addCleanup(self._stop_and_check, server)
        self.assertIsNotNone(server.wait_exit(timeout), "the server did not end")
        return server

    def start_server(self, *args, upload=False, root=None, cwd=None, port=None, preexec_fn=None):
        """Starts the server on a free port ("-p") and waits for its guidance text."""
        port = port or free_port()
        full = ["-p", str(port)] + (["-u"] if upload else []) + list(args)
        if root is not None:
            full.append(root)
        server = Server(full, cwd or self.root)
        server.port = port
        server.start(preexec_fn=preexec_fn)
        self.addCleanup(self._stop_and_check, server)
        ready = server.wait_ready()
        if not ready and launcher() and server.ended_silently():
            # Wine now and then ends a program before its first instruction, without a word;
            # the program never ran, so a second start tells about it and nothing is hidden.
            print("\n%s: the launcher ended the server silently (exit %s); started again"
                  % (self.id(), server.process.returncode))
            server.start(preexec_fn=preexec_fn)
            ready = server.wait_ready()
        if not ready:
            state = ("ended with exit %s" % server.process.returncode
                     if server.process.poll() is not None else "still running, not ready")
            self.fail("server did not start (%s):\n%s\n%s"
                      % (state, server.console(), server.errors()))
        self.server = server
        return server

    def skip_on_a_windows_host(self, needs):
        """On a Windows host (the suite run natively) skips a test whose own side needs POSIX:
        signals, fifos, terminals, select on pipes."""
        if os.name == "nt":
            print("\n%s: skipped on a Windows host, the test needs %s" % (self.id(), needs))
            self.skipTest("the test needs " + needs)

    def skip_where_wine_has_no_tls_server(self, console=None):
        """Under Wine only: skips the test, quoting the server, when console (or, without it,
        the error output of a handshake tried with self.server) shows the failure Wine makes."""
        if not is_windows():
            return
        if console is None:
            s = self.connect()
            self.assertEqual(self.command(s, "AUTH TLS"), "234 AUTH TLS ok")
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            try:
                context.wrap_socket(s.sock).close()
                return
            except (ssl.SSLError, OSError):
                self.server.wait_console(WINE_NO_TLS_SERVER, stream="stderr")
                console = self.server.errors()
        for line in console.splitlines():
            if WINE_NO_KEY_IMPORT in line or WINE_NO_TLS_SERVER in line:
                print("\n%s: skipped, Wine cannot be a TLS server: %s" % (self.id(), line))
                self.skipTest("Wine cannot be a TLS server; the server printed: " + line)

    def wait_for(self, condition, message):
        """Waits until condition() holds; fails with message after TIMEOUT."""
        deadline = time.monotonic() + TIMEOUT
        while not condition():
            self.assertLess(time.monotonic(), deadline, message)
            time.sleep(0.02)

    # --- raw control connections ------------------------------------------------------------

    def connect(self, port=None, greet=True, host="127.0.0.1", source=None):
        sock = socket.create_connection((host, port or self.server.port), timeout=TIMEOUT,
                                        source_address=(source, 0) if source else None)
        self.addCleanup(sock.close)
        s = Connection(sock)
        if greet:
            self.assertEqual(self.read_reply(s), "220 tarnLoader ready")
        return s

    def read_line(self, s):
        """One line up to CR LF, without it; None when the connection ends first."""
        while b"\r\n" not in s.buffered:
            chunk = s.recv(65536)
            if not chunk:
                return None
            s.buffered += chunk
        line, s.buffered = s.buffered.split(b"\r\n", 1)
        return line.decode("latin-1")

    read_reply = read_line

    def read_replies(self, s, count):
        replies = []
        for _ in range(count):
            line = self.read_line(s)
            if line is None:
                break
            replies.append(line)
        return replies

    def command(self, s, text):
        """Sends one command line and returns the one reply line."""
        s.sendall(text.encode("latin-1") + b"\r\n")
        return self.read_reply(s)

    def assert_closed(self, s):
        """The server closes the connection without sending anything more."""
        try:
            data = s.recv(65536)
        except ConnectionResetError:
            data = b""
        self.assertEqual(data, b"")

    # --- data connections -------------------------------------------------------------------

    def pasv(self, s):
        """Sends PASV and returns a connected data socket."""
        reply = self.command(s, "PASV")
        self.assertTrue(reply.startswith("227 Entering Passive Mode ("), reply)
        numbers = [int(n) for n in reply[reply.index("(") + 1:reply.index(")")].split(",")]
        data = socket.create_connection(("127.0.0.1", numbers[4] * 256 + numbers[5]),
                                        timeout=TIMEOUT)
        data.settimeout(TIMEOUT)
        self.addCleanup(data.close)
        return data

    def read_all(self, data):
        chunks = []
        while True:
            chunk = data.recv(1 << 20)
            if not chunk:
                break
            chunks.append(chunk)
        data.close()
        return b"".join(chunks)

    def transfer(self, s, command):
        """PASV, then command; returns (data bytes, [replies]) for a download or listing."""
        data = self.pasv(s)
        first = self.command(s, command)
        if not first.startswith("150"):
            data.close()
            return None, [first]
        payload = self.read_all(data)
        return payload, [first, self.read_reply(s)]

    def upload(self, s, command, payload):
        """PASV, then a STOR-like command sending payload; returns [replies]."""
        data = self.pasv(s)
        first = self.command(s, command)
        if not first.startswith("150"):
            data.close()
            return [first]
        data.sendall(payload)
        data.close()
        return [first, self.read_reply(s)]

    def ftp(self, port=None, passive=True, host="127.0.0.1"):
        """An ftplib session, logged in. Over IPv6 (host "::1") ftplib uses EPSV and EPRT."""
        client = ftplib.FTP()
        client.connect(host, port or self.server.port, timeout=TIMEOUT)
        self.addCleanup(self._close_ftp, client)
        client.login("anonymous", "chassis@")
        client.set_pasv(passive)
        return client

    @staticmethod
    def _close_ftp(client):
        try:
            client.close()
        except OSError:
            pass

    # --- files -----------------------------------------------------------------------------

    def write_file(self, relative, content=b"", base=None):
        path = os.path.join(base or self.root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        return path

    def read_file(self, relative, base=None):
        with open(os.path.join(base or self.root, relative), "rb") as f:
            return f.read()
