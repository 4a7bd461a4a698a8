#!/usr/bin/env python3
"""bench/soak.py: load and soak test of a tarnLoader binary.

Starts the binary with "-u" on a temporary root and a free loopback port, and runs many
concurrent sessions of mixed work for a bounded time: downloads checked by SHA-256 (small files
and a few MiB, passive and active), listings, CWD/PWD, uploads to distinct names, bad commands
and garbage, and clients that vanish in the middle of a transfer. Then it checks that every
completed download was byte-exact, every acknowledged upload is present and exact, no
temporary upload file is left, and that the server's open descriptors and threads are back at
their idle count and its memory back near its idle size. Prints the figures; exits non-zero
when any check fails.

Usage: soak.py BINARY [--seconds 180] [--sessions 200] [--launcher wine] [--seed N]
"""
import argparse
import hashlib
import os
import random
import shlex
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

READY_LINE = b"Waiting for the chassis to connect..."
UPLOAD_PREFIX = ".tarnLoader-upload-"
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "WARNING: ThreadSanitizer", "ERROR: ThreadSanitizer")
MIB = 1 << 20


class Failure(Exception):
    """An answer the server should not have given."""


# --- the served tree ---------------------------------------------------------------------------

def build_tree(root, rng):
    """Fills root with the package the sessions fetch; returns {client path: (size, digest)}."""
    files = {}

    def put(relative, content):
        path = os.path.join(root, *relative.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        files["/" + relative] = (len(content), hashlib.sha256(content).hexdigest())

    put("pkg/empty.bin", b"")
    put("pkg/tiny.txt", b"QX2105 1.2.3\n")
    put("pkg/name with space.bin", rng.randbytes(3000))
    for i in range(20):
        put("pkg/small-%02d.bin" % i, rng.randbytes(rng.randrange(1, 200 * 1024)))
    for i, size in enumerate((2 * MIB, 4 * MIB, 6 * MIB + 12345)):
        put("pkg/large-%d.bin" % i, rng.randbytes(size))
    for i in range(3):
        put("pkg/sub/part-%d.bin" % i, rng.randbytes(rng.randrange(1, 64 * 1024)))
    os.makedirs(os.path.join(root, "uploads"))
    return files


def folder_listing(files, folder):
    """{name: size} of the entries directly inside folder (a client path)."""
    entries = {}
    prefix = folder.rstrip("/") + "/"
    for path, (size, _) in files.items():
        if path.startswith(prefix):
            rest = path[len(prefix):]
            if "/" in rest:
                entries[rest.split("/")[0]] = 0
            else:
                entries[rest] = size
    return entries


# --- the server --------------------------------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ServerProcess:
    def __init__(self, binary, launcher, root, workdir):
        self.binary = binary
        self.launcher = launcher
        self.root = root
        self.stdout_path = os.path.join(workdir, "stdout")
        self.stderr_path = os.path.join(workdir, "stderr")
        self.process = None
        self.port = None

    def start(self, timeout=60.0):
        for _ in range(5):  # another program may take the free port first
            self.port = free_port()
            # Every client is on this host: the per-address limit (64 by default) goes as high
            # as the session cap.
            with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
                self.process = subprocess.Popen(
                    self.launcher + [self.binary, "-p", str(self.port), "-u",
                                     "-maxperaddress", "1000", self.root],
                    cwd=self.root, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline and self.process.poll() is None:
                with open(self.stdout_path, "rb") as f:
                    if READY_LINE in f.read():
                        return
                time.sleep(0.05)
            self.stop()
        raise Failure("the server did not start: " + self.errors()[-2000:])

    def errors(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("latin-1")

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=30)


def process_figures(pid):
    """(open descriptors, threads, resident KiB) of a process, from /proc."""
    descriptors = len(os.listdir("/proc/%d/fd" % pid))
    threads = rss = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                threads = int(line.split()[1])
            elif line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return descriptors, threads, rss


class Monitor(threading.Thread):
    """Samples the server's figures twice a second and keeps the peaks."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.peak = (0, 0, 0)
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.wait(0.5):
            try:
                now = process_figures(self.pid)
            except (OSError, ValueError):
                return
            self.peak = tuple(max(a, b) for a, b in zip(self.peak, now))


# --- one client --------------------------------------------------------------------------------

class Control:
    """A control connection with line reading; every socket has a timeout."""

    def __init__(self, port, timeout):
        self.timeout = timeout
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buffered = b""

    def line(self):
        while b"\r\n" not in self.buffered:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise Failure("the server closed the control connection")
            self.buffered += chunk
        line, self.buffered = self.buffered.split(b"\r\n", 1)
        return line.decode("latin-1")

    def command(self, text):
        self.sock.sendall(text.encode("latin-1") + b"\r\n")
        return self.line()

    def expect(self, text, reply):
        got = self.command(text)
        if got != reply:
            raise Failure("%s: %r, expected %r" % (text, got, reply))

    def pasv(self):
        reply = self.command("PASV")
        if not reply.startswith("227 Entering Passive Mode ("):
            raise Failure("PASV: %r" % reply)
        numbers = [int(n) for n in reply[reply.index("(") + 1:reply.index(")")].split(",")]
        data = socket.create_connection(("127.0.0.1", numbers[4] * 256 + numbers[5]),
                                        timeout=self.timeout)
        return data

    def close(self, abrupt=False):
        if abrupt:
            reset(self.sock)
        else:
            self.sock.close()


def reset(sock):
    """Closes with a reset instead of an orderly end."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    sock.close()


def receive_all(data, digest=None):
    """Reads data to its end; returns (byte count, hex digest)."""
    digest = digest or hashlib.sha256()
    count = 0
    while True:
        chunk = data.recv(1 << 18)
        if not chunk:
            break
        count += len(chunk)
        digest.update(chunk)
    data.close()
    return count, digest.hexdigest()


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {}
        self.errors = []
        self.uploads = {}  # client path -> digest, for each upload answered "226"
        self.upload_bytes = 0
        self.cut_uploads = []  # targets of uploads cut off by a reset: must not exist
        self.active = 0
        self.peak_active = 0

    def add(self, name, amount=1):
        with self.lock:
            self.counts[name] = self.counts.get(name, 0) + amount

    def error(self, text):
        with self.lock:
            self.errors.append(text)

    def session_opened(self):
        with self.lock:
            self.active += 1
            self.peak_active = max(self.peak_active, self.active)
            self.counts["sessions"] = self.counts.get("sessions", 0) + 1

    def session_closed(self):
        with self.lock:
            self.active -= 1


class Worker(threading.Thread):
    """One simulated client: sessions of random work, one after another, until the deadline."""

    def __init__(self, number, port, files, stats, deadline, seed, timeout, budget):
        super().__init__(daemon=True)
        self.budget = budget
        self.number = number
        self.port = port
        self.files = files
        self.stats = stats
        self.deadline = deadline
        self.rng = random.Random(seed)
        self.timeout = timeout
        self.uploaded = 0
        self.folder = "/uploads/w%03d" % number
        self.small = [p for p, (size, _) in files.items() if size < MIB]
        self.large = [p for p, (size, _) in files.items() if size >= MIB]
        self.listener = None
        self.actions = [(self.download_small, 30), (self.download_large, 6),
                        (self.download_active, 4), (self.listing, 14), (self.stat, 4),
                        (self.move_around, 10), (self.upload, 12), (self.bad_commands, 10),
                        (self.read_back, 3)]
        self.vanishings = [self.vanish_in_download, self.vanish_in_upload,
                           self.vanish_in_listing, self.vanish_after_command,
                           self.vanish_with_an_endless_line]

    def run(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(2)
        self.listener.settimeout(self.timeout)
        try:
            while time.monotonic() < self.deadline:
                self.session()
        finally:
            self.listener.close()

    def session(self):
        try:
            control = Control(self.port, self.timeout)
        except OSError as error:
            self.stats.error("connect: %s" % error)
            return
        self.stats.session_opened()
        try:
            if control.line() != "220 tarnLoader ready":
                raise Failure("no greeting")
            control.expect("USER soak%d" % self.number, "331 Login accepted")
            control.expect("PASS x", "230 User logged in")
            reply = control.command("MKD " + self.folder)
            if reply not in ('257 "%s" created' % self.folder, "550 File exists"):
                raise Failure("MKD: %r" % reply)
            length = self.rng.randrange(5, 120)
            for _ in range(length):
                if time.monotonic() >= self.deadline:
                    break
                if self.rng.random() < 0.006:
                    self.rng.choice(self.vanishings)(control)
                    self.stats.add("vanished")
                    return
                action = self.rng.choices([a for a, _ in self.actions],
                                          [w for _, w in self.actions])[0]
                action(control)
            control.expect("QUIT", "221 Goodbye")
            control.close()
        except (Failure, OSError) as error:
            self.stats.error("worker %d: %s: %s" % (self.number, type(error).__name__, error))
            control.close(abrupt=True)
        finally:
            self.stats.session_closed()

    # --- work ------------------------------------------------------------------------------

    def download(self, control, path):
        size, digest = self.files[path]
        data = control.pasv()
        reply = control.command("RETR " + path)
        if reply != "150 Opening BINARY mode data connection":
            data.close()
            raise Failure("RETR %s: %r" % (path, reply))
        count, got = receive_all(data)
        final = control.line()
        if final != "226 Transfer complete" or (count, got) != (size, digest):
            raise Failure("RETR %s: %r, %d bytes" % (path, final, count))
        self.stats.add("downloads")
        self.stats.add("downloaded bytes", count)

    def download_small(self, control):
        self.download(control, self.rng.choice(self.small))

    def download_large(self, control):
        self.download(control, self.rng.choice(self.large))

    def download_active(self, control):
        path = self.rng.choice(self.small)
        size, digest = self.files[path]
        control.expect("PORT 127,0,0,1,%d,%d" % divmod(self.listener.getsockname()[1], 256),
                       "200 PORT command successful")
        reply = control.command("RETR " + path)
        if reply != "150 Opening BINARY mode data connection":
            raise Failure("RETR %s (active): %r" % (path, reply))
        data, _ = self.listener.accept()
        data.settimeout(self.timeout)
        count, got = receive_all(data)
        final = control.line()
        if final != "226 Transfer complete" or (count, got) != (size, digest):
            raise Failure("RETR %s (active): %r, %d bytes" % (path, final, count))
        self.stats.add("downloads")
        self.stats.add("downloaded bytes", count)

    def listing(self, control):
        folder = self.rng.choice(["/pkg", "/pkg/sub"])
        expected = folder_listing(self.files, folder)
        verb = self.rng.choice(["LIST", "NLST"])
        data = control.pasv()
        reply = control.command("%s %s/*" % (verb, folder))
        if reply != "150 Opening connection":
            data.close()
            raise Failure("%s: %r" % (verb, reply))
        chunks = []
        while True:
            chunk = data.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
        data.close()
        final = control.line()
        lines = b"".join(chunks).decode("latin-1").split("\r\n")[:-1]
        if verb == "NLST":
            got = {name: expected.get(name) for name in lines}
        else:
            got = {}
            for line in lines:
                fields = line.split(None, 8)
                got[fields[8]] = int(fields[4])
        if final != "226 Transfer complete" or got != expected:
            raise Failure("%s %s: %r, %r" % (verb, folder, final, sorted(got)))
        self.stats.add("listings")

    def stat(self, control):
        control.sock.sendall(b"STAT /pkg/sub\r\nSTAT /pkg/sub/*\r\nNOOP\r\n")
        lines = []
        while True:
            line = control.line()
            if line == "200 OK":
                break
            if not line.startswith("213"):
                lines.append(line)
        names = sorted(line.split(None, 8)[8] for line in lines)
        expected = sorted(["sub"] + list(folder_listing(self.files, "/pkg/sub")))
        if names != expected:
            raise Failure("STAT: %r" % names)
        self.stats.add("listings")

    def move_around(self, control):
        control.expect("CWD /pkg/sub", "250 CWD command successful")
        control.expect("PWD", '257 "/pkg/sub"')
        control.expect("CWD ..", "250 CWD command successful")
        control.expect("XPWD", '257 "/pkg"')
        control.expect("CWD ../..", "550 Could not change directory")
        path = self.rng.choice(self.small)
        control.expect("SIZE " + path, "213 %d" % self.files[path][0])
        control.expect("CWD /", "250 CWD command successful")
        control.expect("PWD", '257 "/"')
        self.stats.add("directory moves")

    def upload_size(self):
        with self.stats.lock:
            spent = self.stats.upload_bytes
        # Past the budget uploads are kept small, so that a long run does not fill the disk.
        if spent > self.budget:
            return self.rng.randrange(0, 4096)
        if self.rng.random() < 0.1:
            return self.rng.choice([1 << 20, 3 * MIB + 7])
        return self.rng.choice([0, 1, 100, 4096, 20000, 65536, 65537, 200000, 262144, 262145])

    def upload(self, control):
        self.uploaded += 1
        path = "%s/up-%05d.bin" % (self.folder, self.uploaded)
        content = self.rng.randbytes(self.upload_size())
        data = control.pasv()
        reply = control.command("STOR " + path)
        if reply != "150 Opening BINARY mode data connection":
            data.close()
            raise Failure("STOR %s: %r" % (path, reply))
        data.sendall(content)
        data.close()
        final = control.line()
        if final != "226 Transfer complete":
            raise Failure("STOR %s: %r" % (path, final))
        with self.stats.lock:
            self.stats.uploads[path] = hashlib.sha256(content).hexdigest()
            self.stats.upload_bytes += len(content)
        self.stats.add("uploads")

    def read_back(self, control):
        """An upload, then at once a download of it."""
        self.upload(control)
        path = "%s/up-%05d.bin" % (self.folder, self.uploaded)
        with self.stats.lock:
            digest = self.stats.uploads[path]
        data = control.pasv()
        reply = control.command("RETR " + path)
        if reply != "150 Opening BINARY mode data connection":
            data.close()
            raise Failure("RETR %s: %r" % (path, reply))
        _, got = receive_all(data)
        if control.line() != "226 Transfer complete" or got != digest:
            raise Failure("RETR %s after its upload differs" % path)
        self.stats.add("downloads")

    def bad_commands(self, control):
        garbage = bytes(self.rng.choice(range(33, 127)) for _ in range(self.rng.randrange(40)))
        for text, reply in [
                ("#" + garbage.decode("latin-1"), "500 Command not recognized"),
                ("\x01\xff\xfe binary", "500 Command not recognized"),
                ("SITE UTIME 20260101 x", "500 Command not recognized"),
                ("MODE S", "500 Command not implemented"),
                ("RETR", "550 Path permission error"),
                ("RETR /pkg/missing.bin", "550 No such file or directory"),
                ("SIZE /pkg", "550 not a plain file."),
                ("RETR ../../etc/passwd", "550 Path permission error"),
                ("PORT 10,0,0,1,4,1", "501 Illegal PORT command."),
                ("PORT 1,2,3", "501 Illegal PORT command."),
                ("CWD /nowhere", "550 Could not change directory"),
                ("RNTO /pkg/other.bin", None)]:
            got = control.command(text)
            if reply is not None and got != reply:
                raise Failure("%r: %r, expected %r" % (text, got, reply))
            if reply is None and not got.startswith("550 "):
                raise Failure("%r: %r" % (text, got))
        self.stats.add("bad commands", 12)

    # --- clients that vanish ---------------------------------------------------------------

    def vanish_in_download(self, control):
        data = control.pasv()
        control.command("RETR " + self.rng.choice(self.large))
        data.recv(65536)  # the transfer is under way
        abrupt = self.rng.random() < 0.5
        if abrupt:
            reset(data)
        else:
            data.close()
        control.close(abrupt)

    def vanish_in_upload(self, control):
        # Cut off by a reset: an orderly close would be an upload that ended early, which the
        # server rightly stores.
        self.uploaded += 1
        path = "%s/up-%05d.bin" % (self.folder, self.uploaded)
        data = control.pasv()
        control.command("STOR " + path)
        data.sendall(self.rng.randbytes(4 * MIB))  # the server is reading
        with self.stats.lock:
            self.stats.cut_uploads.append(path)
        reset(data)
        control.close(abrupt=True)

    def vanish_in_listing(self, control):
        data = control.pasv()
        control.sock.sendall(b"LIST /pkg\r\n")
        reset(data)
        control.close(abrupt=self.rng.random() < 0.5)

    def vanish_after_command(self, control):
        data = control.pasv()
        control.sock.sendall(("RETR " + self.rng.choice(self.large) + "\r\n").encode())
        data.close()
        control.close(abrupt=True)

    def vanish_with_an_endless_line(self, control):
        try:
            control.sock.sendall(b"RETR " + b"x" * 600)  # no line end: the server gives up
            if control.sock.recv(64) != b"":
                raise Failure("an endless line was answered")
        except ConnectionError:
            pass  # reset: the server closed with our last bytes unread
        control.close()


# --- the run -------------------------------------------------------------------------------------

def warm_up(port, timeout):
    control = Control(port, timeout)
    if control.line() != "220 tarnLoader ready":
        raise Failure("no greeting")
    data = control.pasv()
    control.expect("LIST /pkg", "150 Opening connection")
    receive_all(data)
    if control.line() != "226 Transfer complete":
        raise Failure("the first listing failed")
    control.expect("QUIT", "221 Goodbye")
    control.close()


def wait_for_idle(pid, idle, seconds):
    """Waits until descriptors and threads are back at idle; returns the figures then."""
    deadline = time.monotonic() + seconds
    while True:
        now = process_figures(pid)
        if (now[0] <= idle[0] and now[1] <= idle[1]) or time.monotonic() > deadline:
            return now
        time.sleep(0.1)


def sanitized(binary):
    """Whether the binary carries a sanitizer runtime, which keeps freed memory on purpose."""
    try:
        with open(binary, "rb") as f:
            content = f.read()
    except OSError:
        return False
    return b"__asan_init" in content or b"__tsan_init" in content


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[1])
    parser.add_argument("binary")
    parser.add_argument("--seconds", type=float, default=180.0, help="length of the mixed work")
    parser.add_argument("--sessions", type=int, default=200, help="concurrent sessions")
    parser.add_argument("--launcher", default="", help="a program that runs the binary (wine)")
    parser.add_argument("--seed", type=int, default=20110621)
    parser.add_argument("--timeout", type=float, default=60.0, help="socket timeout, seconds")
    parser.add_argument("--settle", type=float, default=60.0,
                        help="seconds the server may take to return to idle")
    parser.add_argument("--upload-budget", type=int, default=2048,
                        help="MiB of uploads after which uploads are kept small")
    parser.add_argument("--rss-slack", type=int, default=64,
                        help="MiB above the idle size that still counts as near it")
    options = parser.parse_args(argv)
    launcher = shlex.split(options.launcher)
    try:
        import resource
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    except (ImportError, ValueError, OSError):
        pass

    rng = random.Random(options.seed)
    workdir = tempfile.mkdtemp(prefix="tarnloader-soak-")
    root = os.path.join(workdir, "root")
    os.mkdir(root)
    failures = []
    server = ServerProcess(os.path.abspath(options.binary), launcher, root, workdir)
    try:
        files = build_tree(root, rng)
        server.start()
        proc = not launcher
        if not proc:
            print("note: descriptors, threads and memory are not measured under a launcher: "
                  "/proc shows the launcher, not the server")
        pid = server.process.pid
        idle = None
        monitor = None
        if proc:
            # Idle is the server after one session has come and gone: a runtime may start a
            # helper thread or an allocator arena with the first session and keep it.
            warm_up(server.port, options.timeout)
            time.sleep(1.0)
            idle = process_figures(pid)
            monitor = Monitor(pid)
            monitor.start()
        stats = Stats()
        started = time.monotonic()
        deadline = started + options.seconds
        workers = [Worker(i, server.port, files, stats, deadline, rng.randrange(1 << 30),
                          options.timeout, options.upload_budget * MIB)
                   for i in range(options.sessions)]
        for worker in workers:
            worker.start()
        # Each client ends its current action after the deadline; each action is bounded by
        # the socket timeout.
        join_deadline = deadline + options.timeout * 3
        for worker in workers:
            worker.join(max(0.0, join_deadline - time.monotonic()))
        stuck = sum(worker.is_alive() for worker in workers)
        elapsed = time.monotonic() - started
        if stuck:
            failures.append("%d clients did not finish" % stuck)
        if monitor is not None:
            monitor.stopping.set()
            monitor.join(5)

        # The server still greets and serves a new client.
        try:
            check = Control(server.port, options.timeout)
            if check.line() != "220 tarnLoader ready":
                raise Failure("no greeting after the run")
            check.expect("NOOP", "200 OK")
            check.expect("QUIT", "221 Goodbye")
            check.close()
        except (Failure, OSError) as error:
            failures.append("after the run: %s" % error)

        after = None
        if proc:
            after = wait_for_idle(pid, idle, options.settle)
            if after[0] > idle[0]:
                failures.append("descriptors: %d after the run, %d idle" % (after[0], idle[0]))
            if after[1] > idle[1]:
                failures.append("threads: %d after the run, %d idle" % (after[1], idle[1]))
            grown = (after[2] - idle[2]) / 1024
            if sanitized(options.binary):
                print("note: memory is reported, not judged: a sanitizer runtime keeps freed "
                      "memory in quarantine")
            elif grown > options.rss_slack:
                failures.append("memory: %.1f MiB above idle after the run (allowed %d)"
                                % (grown, options.rss_slack))

        # Acknowledged uploads are there and exact; cut-off ones and temporary files are not.
        verified = 0
        for path, digest in sorted(stats.uploads.items()):
            local = os.path.join(root, *path.strip("/").split("/"))
            try:
                with open(local, "rb") as f:
                    if hashlib.sha256(f.read()).hexdigest() == digest:
                        verified += 1
                        continue
                failures.append("upload %s differs" % path)
            except OSError as error:
                failures.append("upload %s: %s" % (path, error))
        stored = [path for path in stats.cut_uploads
                  if os.path.exists(os.path.join(root, *path.strip("/").split("/")))]
        if stored and launcher:
            # Wine's recv sometimes reports a reset connection as an orderly end, as a plain
            # Winsock receive loop shows too; the server then cannot tell the upload was cut.
            print("note: %d of %d uploads cut off by a reset were stored: under the launcher a "
                  "reset can look like an orderly end" % (len(stored), len(stats.cut_uploads)))
        elif stored:
            failures.append("%d uploads cut off by a reset were stored, e.g. %s"
                            % (len(stored), stored[0]))
        leftovers = [os.path.join(folder, name) for folder, _, names in os.walk(root)
                     for name in names if name.startswith(UPLOAD_PREFIX)]
        if leftovers:
            failures.append("%d temporary upload files left, e.g. %s"
                            % (len(leftovers), leftovers[0]))
        for path, (size, digest) in files.items():
            with open(os.path.join(root, *path.strip("/").split("/")), "rb") as f:
                if hashlib.sha256(f.read()).hexdigest() != digest:
                    failures.append("package file %s changed" % path)
        if server.process.poll() is not None:
            failures.append("the server ended with status %d" % server.process.returncode)
        server.stop()
        errors = server.errors()
        for mark in SANITIZER_MARKS:
            if mark in errors:
                at = errors.index(mark)
                failures.append("sanitizer report:\n" + errors[max(0, at - 200):at + 3000])
                break
        if stats.errors:
            failures.append("%d client errors, first: %s" % (len(stats.errors),
                                                            "; ".join(stats.errors[:5])))

        counts = stats.counts
        print("soak: %.0f s of mixed work, %d concurrent clients" % (elapsed, options.sessions))
        print("  sessions opened             %d (peak %d at once)"
              % (counts.get("sessions", 0), stats.peak_active))
        print("  downloads verified          %d (%.1f MiB, SHA-256 each)"
              % (counts.get("downloads", 0), counts.get("downloaded bytes", 0) / MIB))
        print("  listings verified           %d" % counts.get("listings", 0))
        print("  CWD/PWD rounds verified     %d" % counts.get("directory moves", 0))
        print("  uploads acknowledged        %d (%.1f MiB)"
              % (counts.get("uploads", 0), stats.upload_bytes / MIB))
        print("  uploads verified on disk    %d" % verified)
        print("  bad commands answered       %d" % counts.get("bad commands", 0))
        print("  clients vanished            %d (%d of them mid-upload)"
              % (counts.get("vanished", 0), len(stats.cut_uploads)))
        print("  client errors               %d" % len(stats.errors))
        if proc:
            print("  server descriptors          idle %d, peak %d, after %d"
                  % (idle[0], monitor.peak[0], after[0]))
            print("  server threads              idle %d, peak %d, after %d"
                  % (idle[1], monitor.peak[1], after[1]))
            print("  server memory (VmRSS)       idle %.1f MiB, peak %.1f MiB, after %.1f MiB"
                  % (idle[2] / 1024, monitor.peak[2] / 1024, after[2] / 1024))
    except Failure as error:
        failures.append(str(error))
    finally:
        server.stop()
        shutil.rmtree(workdir, ignore_errors=True)
    for failure in failures:
        print("FAILED: " + failure)
    print("soak: " + ("FAILED" if failures else "passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
