#!/usr/bin/env python3
"""bench/bench.py: tarnLoader side by side with vsftpd and pyftpdlib, on loopback only.

Makes a served tree in a temporary folder, starts each server on a free port of 127.0.0.1
(tarnLoader also listens on the other local addresses, but nothing here connects to them),
runs every workload against every server in turn within each repetition (the order rotates),
checks every byte that crosses a data connection, and prints medians, ranges and ratios as a
Markdown table that it also writes to RESULTS.md. Python 3 standard library only; the two
reference programs in C (a loopback copy and a minimal session server) are compiled at run time
when a C compiler is there. Usage: bench/run.sh, which installs the anchors and builds first.

Integrity: every transfer is checked by its length and CRC-32 against the values computed when
the file was made (CRC-32 runs at several GB/s, SHA-256 at about 1.5 GB/s here, which would
make the client the limit of a 1 GiB transfer). Every file holds fresh random bytes, so a
misplaced piece changes the CRC too. A wrong byte ends the run with status 1.
"""
import argparse
import datetime
import multiprocessing
import os
import platform
import re
import resource
import shutil
import signal
import socket
import ssl
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
import zlib

HOST = "127.0.0.1"
SOCKET_TIMEOUT = 60  # seconds any one send or receive may wait
START_TIMEOUT = 20.0
SETTLE_TIMEOUT = 10.0
RUN_DEADLINE = 3600  # the whole run, whatever happens
RECEIVE_BUFFER = 1 << 20
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
MB = 1e6

BIG_NAME = "big.bin"
MID_NAME = "mid.bin"
SMALL_DIR = "small"
UPLOAD_DIR = "up"


class BenchError(Exception):
    """A failure that ends the run: a wrong byte, or a server that did not start."""


class WrongBytes(BenchError):
    pass


# ---------------------------------------------------------------------------------------------
# The served tree.

class Tree:
    """The files every server serves, with their lengths and CRC-32s."""

    def __init__(self, base, big_size, mid_size, small_count, small_size):
        self.root = os.path.join(base, "root")
        self.upload_root = os.path.join(base, "uploadroot")
        self.expected = {}
        os.makedirs(os.path.join(self.root, SMALL_DIR))
        os.makedirs(os.path.join(self.upload_root, UPLOAD_DIR))
        self.big_size = big_size
        self.mid_size = mid_size
        self.small_names = ["%s/f%04d.bin" % (SMALL_DIR, i) for i in range(small_count)]
        self._write(BIG_NAME, big_size)
        self._write(MID_NAME, mid_size)
        for name in self.small_names:
            self._write(name, small_size)
        # vsftpd serves anonymous users only world-readable files, refuses a writable chroot
        # root, and writes uploads as its ftp user: hence these modes.
        for folder in (base, self.root, os.path.join(self.root, SMALL_DIR), self.upload_root):
            os.chmod(folder, 0o755)
        os.chmod(os.path.join(self.upload_root, UPLOAD_DIR), 0o777)
        self.big_path = os.path.join(self.root, BIG_NAME)

    def _write(self, name, size):
        crc = 0
        chunk = 8 << 20
        with open(os.path.join(self.root, name), "wb") as out:
            left = size
            while left > 0:
                block = os.urandom(min(chunk, left))
                crc = zlib.crc32(block, crc)
                out.write(block)
                left -= len(block)
        os.chmod(os.path.join(self.root, name), 0o644)
        self.expected[name] = (size, crc)


def file_crc(path):
    crc = 0
    length = 0
    buffer = bytearray(RECEIVE_BUFFER)
    view = memoryview(buffer)
    with open(path, "rb", buffering=0) as source:
        while True:
            count = source.readinto(buffer)
            if not count:
                return length, crc
            crc = zlib.crc32(view[:count], crc)
            length += count


# ---------------------------------------------------------------------------------------------
# A raw-socket FTP client.

def set_timeouts(sock):
    """Blocking socket whose sends and receives fail after SOCKET_TIMEOUT: the kernel keeps
    the bound, so no poll runs before every call as with Python's own timeouts."""
    sock.settimeout(None)
    limit = struct.pack("ll", SOCKET_TIMEOUT, 0)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, limit)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, limit)


def connect(port):
    sock = socket.create_connection((HOST, port), timeout=SOCKET_TIMEOUT)
    set_timeouts(sock)
    return sock


class Control:
    """One control connection; replies are parsed from the bytes as they come."""

    def __init__(self, port, nodelay=True):
        self.sock = connect(port)
        if nodelay:
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def close(self):
        self.sock.close()

    def _take_reply(self):
        buffer = self.buffer
        end = buffer.find(b"\r\n")
        if end < 0:
            return None
        if buffer[3:4] == b"-":
            code = buffer[:3]
            start = end + 2
            while True:
                end = buffer.find(b"\r\n", start)
                if end < 0:
                    return None
                if buffer[start:start + 3] == code and buffer[start + 3:start + 4] == b" ":
                    break
                start = end + 2
        reply = buffer[:end]
        self.buffer = buffer[end + 2:]
        return reply

    def reply(self):
        while True:
            reply = self._take_reply()
            if reply is not None:
                return int(reply[:3]), reply
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("control connection closed")
            self.buffer += data

    def command(self, line):
        self.sock.sendall(line)
        return self.reply()

    def expect(self, line, *codes):
        code, text = self.command(line)
        if code not in codes:
            raise ConnectionError("%r answered %r" % (line, text))
        return text

    def greet_and_login(self):
        code, text = self.reply()
        if code != 220:
            raise ConnectionError("greeting %r" % text)
        code, text = self.command(b"USER anonymous\r\n")
        if code == 331:
            code, text = self.command(b"PASS bench@example.org\r\n")
        if code != 230:
            raise ConnectionError("login %r" % text)
        self.expect(b"TYPE I\r\n", 200)

    def passive(self):
        text = self.expect(b"PASV\r\n", 227)
        numbers = re.search(rb"(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)", text)
        if numbers is None:
            raise ConnectionError("PASV reply %r" % text)
        port = int(numbers.group(5)) * 256 + int(numbers.group(6))
        # Loopback only: whatever address the reply names, the data goes to 127.0.0.1.
        return connect(port)


def receive_checked(data, expected, view):
    """Reads the data connection to its end; returns (length, crc) received."""
    crc = 0
    length = 0
    while True:
        count = data.recv_into(view)
        if count == 0:
            return length, crc
        crc = zlib.crc32(view[:count], crc)
        length += count


def retrieve(control, name, expected, view):
    """PASV and RETR of one file. Returns True when it arrived byte-exact and 226 came;
    raises WrongBytes when the server reported success over wrong bytes."""
    data = control.passive()
    try:
        code, text = control.command(b"RETR " + name.encode() + b"\r\n")
        if code not in (125, 150):
            raise ConnectionError("RETR answered %r" % text)
        got = receive_checked(data, expected, view)
    finally:
        data.close()
    code, text = control.reply()
    if code != 226:
        raise ConnectionError("RETR ended with %r" % text)
    if got != expected:
        raise WrongBytes("%s: received %d bytes, CRC %08x; expected %d bytes, CRC %08x"
                         % (name, got[0], got[1], expected[0], expected[1]))


# ---------------------------------------------------------------------------------------------
# Servers under test.

def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def read_stat(pid):
    with open("/proc/%d/stat" % pid) as f:
        text = f.read()
    return text[text.rfind(")") + 2:].split()


def process_tree(root_pid):
    """The pid and every live descendant."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                children.setdefault(int(read_stat(int(entry))[1]), []).append(int(entry))
            except (OSError, IndexError, ValueError):
                pass  # gone meanwhile
    tree = [root_pid]
    index = 0
    while index < len(tree):
        tree.extend(children.get(tree[index], []))
        index += 1
    return tree


def tree_cpu_seconds(root_pid):
    """utime + stime of the process and its live descendants, plus the cutime + cstime of
    the children they have reaped (vsftpd's finished sessions)."""
    ticks = 0
    for pid in process_tree(root_pid):
        try:
            fields = read_stat(pid)
        except OSError:
            continue
        ticks += sum(int(value) for value in fields[11:15])
    return ticks / CLOCK_TICKS


def tree_memory_kib(root_pid, skip_root=False):
    """(RSS summed, PSS summed, process count) for the process and its descendants."""
    rss = pss = count = 0
    for pid in process_tree(root_pid)[1 if skip_root else 0:]:
        try:
            with open("/proc/%d/smaps_rollup" % pid) as f:
                for line in f:
                    if line.startswith("Rss:"):
                        rss += int(line.split()[1])
                    elif line.startswith("Pss:"):
                        pss += int(line.split()[1])
            count += 1
        except OSError:
            pass
    return rss, pss, count


def descriptor_count(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return 0


def set_tree_affinity(root_pid, cpus):
    """Every thread of the process and its descendants; new threads and forks inherit it."""
    for pid in process_tree(root_pid):
        try:
            tasks = os.listdir("/proc/%d/task" % pid)
        except OSError:
            continue
        for task in tasks:
            try:
                os.sched_setaffinity(int(task), cpus)
            except OSError:
                pass  # ended meanwhile


ALL_CPUS = sorted(os.sched_getaffinity(0))


def pin_together(server):
    """This thread (the client of the serial workloads) and the server on one CPU."""
    cpu = {ALL_CPUS[0]}
    set_tree_affinity(server.process.pid, cpu)
    os.sched_setaffinity(0, cpu)


def unpin(server):
    os.sched_setaffinity(0, set(ALL_CPUS))
    set_tree_affinity(server.process.pid, set(ALL_CPUS))


class Server:
    """One server process. A wrapped one runs under subreaper.py, which is then the process
    measured for CPU time but left out of the memory figures."""

    def __init__(self, label, args, port, work, cwd=None, wrapped=False):
        self.label = label
        self.port = port
        self.wrapped = wrapped
        if wrapped:
            here = os.path.dirname(os.path.abspath(__file__))
            args = [sys.executable, os.path.join(here, "subreaper.py")] + list(args)
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        cwd=cwd, start_new_session=True)
        self.work = work
        self.base_descriptors = 1 << 20
        try:
            self._wait_for_greeting(args)
        except BenchError:
            self.stop()
            raise

    def _wait_for_greeting(self, args):
        label = self.label
        port = self.port
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            if self.process.poll() is not None:
                raise BenchError("%s exited at start with status %d: %s"
                                 % (label, self.process.returncode, " ".join(args)))
            try:
                control = Control(port)
                code, text = control.reply()
                control.close()
                if code == 220:
                    return
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise BenchError("%s did not answer within %d s" % (label, START_TIMEOUT))
            time.sleep(0.05)

    def settle(self):
        """Waits until the sessions of the last workload have ended: their processes gone and
        their sockets closed. (Thread counts would not tell: a server may keep idle threads.)"""
        deadline = time.monotonic() + SETTLE_TIMEOUT
        pid = self.process.pid
        while time.monotonic() < deadline:
            tree = process_tree(pid)
            if len(tree) == (2 if self.wrapped else 1) and \
                    descriptor_count(tree[-1]) <= self.base_descriptors:
                return True
            time.sleep(0.02)
        return False

    def note_idle(self):
        """Takes the descriptor count of the idle server, after the start-up check's session."""
        time.sleep(0.3)
        tree = process_tree(self.process.pid)
        self.base_descriptors = min(descriptor_count(tree[-1]) for _ in range(3))

    def stop(self):
        """Ends the server and whatever it forked: it leads a process group of its own."""
        if self.process.returncode is not None:
            return  # reaped already; its number may belong to another process by now
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(self.process.pid, sig)
            except ProcessLookupError:
                pass
            try:
                self.process.wait(timeout=10)
                break
            except subprocess.TimeoutExpired:
                pass


def make_certificate(base):
    """A self-signed certificate and key in one PEM file, for vsftpd's TLS, or None."""
    path = os.path.join(base, "vsftpd.pem")
    try:
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=bench", "-days", "2",
                        "-keyout", path, "-out", path + ".crt"], capture_output=True,
                       timeout=60, check=True)
        with open(path + ".crt") as crt, open(path, "a") as pem:
            pem.write(crt.read())
    except (OSError, subprocess.SubprocessError):
        print("openssl could not make a certificate: vsftpd's TLS row is left out")
        return None
    return path


def vsftpd_config(path, base, root, port, write, certificate=None):
    empty = os.path.join(base, "vsftpd-empty")
    os.makedirs(empty, exist_ok=True)
    os.chmod(empty, 0o555)
    user = "ftp"
    try:
        import pwd
        pwd.getpwnam("ftp")
    except KeyError:
        user = "nobody"
    yes_no = "YES" if write else "NO"
    lines = [
        "listen=YES", "listen_ipv6=NO", "listen_address=" + HOST, "listen_port=%d" % port,
        "background=NO", "anonymous_enable=YES", "local_enable=NO", "no_anon_password=NO",
        "anon_root=" + root, "write_enable=" + yes_no, "anon_upload_enable=" + yes_no,
        "anon_mkdir_write_enable=NO", "anon_other_write_enable=NO", "anon_umask=022",
        "pasv_enable=YES", "port_enable=YES", "connect_from_port_20=NO",
        # The container allows neither its seccomp filter nor new namespaces.
        "seccomp_sandbox=NO", "isolate=NO", "isolate_network=NO",
        "secure_chroot_dir=" + empty, "ftp_username=" + user, "nopriv_user=nobody",
        "xferlog_enable=NO", "dirmessage_enable=NO", "use_sendfile=YES",
        "max_clients=0", "max_per_ip=0", "tcp_wrappers=NO",
        "idle_session_timeout=600", "data_connection_timeout=300",
    ]
    if certificate is not None:
        # The same protection as tarnLoader's with -tls: TLS 1.2 and 1.3 on both
        # connections, no session reuse asked of the client (Python does not resume).
        lines += ["ssl_enable=YES", "allow_anon_ssl=YES", "force_anon_logins_ssl=YES",
                  "force_anon_data_ssl=YES", "rsa_cert_file=" + certificate,
                  "rsa_private_key_file=" + certificate, "require_ssl_reuse=NO",
                  "ssl_sslv2=NO", "ssl_sslv3=NO", "ssl_tlsv1=NO"]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def python_with_pyftpdlib():
    for candidate in (sys.executable, "/usr/bin/python3"):
        if candidate and os.path.exists(candidate) and subprocess.run(
                [candidate, "-c", "import pyftpdlib"], stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL).returncode == 0:
            return candidate
    return None


def tool_version(args, pattern):
    try:
        result = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return None
    found = re.search(pattern, result.stdout + result.stderr)
    return found.group(1) if found else None


REFERENCE_LABEL = "C reference"


def add_pair(servers, label, start, tree):
    """Starts a read-only and a write-enabled instance; stops the first if the second fails."""
    read_server = start(tree.root, False)
    try:
        write_server = start(tree.upload_root, True)
    except BenchError:
        read_server.stop()
        raise
    servers.append((label, read_server, write_server))


def start_servers(args, base, tree, servers):
    """Appends (label, read-only server, write-enabled server) for each server found."""
    here = os.path.dirname(os.path.abspath(__file__))
    binary = os.path.abspath(args.binary)

    def tarnloader(root, write):
        port = free_port()
        # The idle-session workload holds exactly the default cap of 1,000 sessions, and the
        # sessions of the workload before it may still be ending. Every client is on this host,
        # so the limit of sessions from one address (64 by default) is raised as far.
        command = ([binary, "-p", str(port), "-maxsessions", "2000", "-maxperaddress", "2000"] +
                   (["-u"] if write else []) + [root])
        return Server("tarnLoader", command, port, write)

    add_pair(servers, "tarnLoader", tarnloader, tree)
    args.tls_servers = {}
    # A build from before TLS, given with --compare, can still run the plain workloads.
    wants_tls = any(workload.tls and selected(workload, args) for workload in WORKLOADS)
    if wants_tls:
        port = free_port()
        args.tls_servers["tarnLoader"] = Server("tarnLoader", [binary, "-p", str(port), "-tls",
                                                               tree.root], port, False)
    for entry in args.compare:
        other_label, _, other_binary = entry.partition("=")

        # A build that has the session limits gets them raised as ours are; an older one has
        # none to raise.
        shown = subprocess.run([os.path.abspath(other_binary), "-h"], capture_output=True,
                               timeout=60)
        usage = shown.stdout + shown.stderr
        limits = (["-maxsessions", "2000", "-maxperaddress", "2000"]
                  if b"-maxperaddress" in usage else [])

        def other(root, write, label=other_label, path=os.path.abspath(other_binary),
                  limits=limits):
            port = free_port()
            command = [path, "-p", str(port)] + limits + (["-u"] if write else []) + [root]
            return Server(label, command, port, write)

        add_pair(servers, other_label, other, tree)
        if wants_tls:
            port = free_port()
            args.tls_servers[other_label] = Server(
                other_label, [os.path.abspath(other_binary), "-p", str(port), "-tls", tree.root],
                port, False)

    vsftpd = shutil.which("vsftpd") or ("/usr/sbin/vsftpd" if os.path.exists("/usr/sbin/vsftpd")
                                         else None)
    if vsftpd and "vsftpd" not in args.skip:
        # vsftpd prints its version on descriptor 0.
        version = tool_version(["sh", "-c", 'exec "$0" -v 0>&1', vsftpd],
                               r"version (\S+)") or "?"
        label = "vsftpd " + version

        def start_vsftpd(root, write):
            port = free_port()
            config = os.path.join(base, "vsftpd-%s.conf" % ("write" if write else "read"))
            vsftpd_config(config, base, root, port, write)
            return Server(label, [vsftpd, config], port, write, wrapped=True)

        add_pair(servers, label, start_vsftpd, tree)
        certificate = make_certificate(base) if wants_tls else None
        if certificate is not None:
            port = free_port()
            config = os.path.join(base, "vsftpd-tls.conf")
            vsftpd_config(config, base, tree.root, port, False, certificate)
            args.tls_servers[label] = Server(label, [vsftpd, config], port, False, wrapped=True)
    else:
        print("vsftpd not found or skipped: its column is left out")

    python = python_with_pyftpdlib()
    if python and "pyftpdlib" not in args.skip:
        version = subprocess.run([python, "-c", "import pyftpdlib; print(pyftpdlib.__ver__)"],
                                 capture_output=True, text=True).stdout.strip()
        label = "pyftpdlib " + version
        script = os.path.join(here, "pyftpd_server.py")

        def start_pyftpdlib(root, write):
            port = free_port()
            command = [python, script, str(port), root] + (["--write"] if write else [])
            return Server(label, command, port, write)

        add_pair(servers, label, start_pyftpdlib, tree)
    else:
        print("pyftpdlib not found or skipped: its column is left out")
    reference = compile_c(base, "reference_server", REFERENCE_SERVER_C, ["-pthread"])
    if reference is not None:
        port = free_port()
        server = Server(REFERENCE_LABEL, [reference, str(port)], port, False, cwd=tree.root)
        servers.append((REFERENCE_LABEL, server, server))
    for _, read_server, write_server in servers:
        for server in (read_server, write_server):
            server.note_idle()


# ---------------------------------------------------------------------------------------------
# Workloads. Each takes (server, tree, options) and returns (value, detail); value is in the
# workload's unit. Higher is better unless the workload says otherwise.

def work_retr_big(server, tree, options):
    control = Control(server.port)
    control.greet_and_login()
    view = memoryview(bytearray(RECEIVE_BUFFER))
    start = time.monotonic()
    retrieve(control, BIG_NAME, tree.expected[BIG_NAME], view)
    elapsed = time.monotonic() - start
    control.expect(b"QUIT\r\n", 221)
    control.close()
    return tree.big_size / elapsed / MB, None


def tls_client_context():
    """The benchmark trusts the servers it started; their certificates are made for the run."""
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def work_retr_tls(server, tree, options):
    """RETR of the 1 GiB file with AUTH TLS and PROT P: the cost of encryption."""
    control = Control(server.port)
    code, text = control.reply()
    if code != 220:
        raise ConnectionError("greeting %r" % text)
    control.expect(b"AUTH TLS\r\n", 234)
    context = tls_client_context()
    control.sock = context.wrap_socket(control.sock)
    for line, code in ((b"USER anonymous\r\n", 331), (b"PASS bench@example.org\r\n", 230),
                       (b"PBSZ 0\r\n", 200), (b"PROT P\r\n", 200), (b"TYPE I\r\n", 200)):
        control.expect(line, code)
    view = memoryview(bytearray(RECEIVE_BUFFER))
    start = time.monotonic()
    data = control.passive()
    try:
        code, text = control.command(b"RETR " + BIG_NAME.encode() + b"\r\n")
        if code not in (125, 150):
            raise ConnectionError("RETR answered %r" % text)
        # The server requires the data connection to resume the control connection's session.
        data = context.wrap_socket(data, session=control.sock.session)
        got = receive_checked(data, tree.expected[BIG_NAME], view)
    finally:
        data.close()
    code, text = control.reply()
    elapsed = time.monotonic() - start
    if code != 226:
        raise ConnectionError("RETR ended with %r" % text)
    if got != tree.expected[BIG_NAME]:
        raise WrongBytes("%s over TLS: received %d bytes, CRC %08x" % (BIG_NAME, got[0], got[1]))
    control.expect(b"QUIT\r\n", 221)
    control.close()
    return tree.big_size / elapsed / MB, None


def work_stor_big(server, tree, options):
    control = Control(server.port)
    control.greet_and_login()
    target = "%s/upload-%d-%d.bin" % (UPLOAD_DIR, server.port, options.counter)
    options.counter += 1
    with open(tree.big_path, "rb") as source:
        data = control.passive()
        start = time.monotonic()
        code, text = control.command(b"STOR " + target.encode() + b"\r\n")
        if code not in (125, 150):
            data.close()
            raise ConnectionError("STOR answered %r" % text)
        data.sendfile(source)
        data.close()
        code, text = control.reply()
        elapsed = time.monotonic() - start
    return finish_big_upload(server, tree, control, code, text,
                             os.path.join(tree.upload_root, target), elapsed)


def finish_big_upload(server, tree, control, code, text, path, elapsed):
    """Ends the session, checks that path holds the 1 GiB file exactly and removes it; the rate
    in MB/s."""
    control.expect(b"QUIT\r\n", 221)
    control.close()
    if code != 226:
        raise ConnectionError("upload to %s ended with %r" % (server.label, text))
    got = file_crc(path)
    os.unlink(path)
    if got != tree.expected[BIG_NAME]:
        raise WrongBytes("upload to %s: stored %d bytes, CRC %08x" % (server.label, got[0], got[1]))
    return tree.big_size / elapsed / MB, None


def work_stor_resumed(server, tree, options):
    """REST at the half and STOR of the second half, onto a file that holds the first half
    (written before the clock starts): the time until the whole 1 GiB file is in place, as a
    rate comparable with a whole new STOR."""
    target = "%s/resumed-%d-%d.bin" % (UPLOAD_DIR, server.port, options.counter)
    options.counter += 1
    path = os.path.join(tree.upload_root, target)
    half = tree.big_size // 2
    with open(tree.big_path, "rb") as source, open(path, "wb") as out:
        os.sendfile(out.fileno(), source.fileno(), 0, half)
    os.chmod(path, 0o666)  # vsftpd writes as its own user
    control = Control(server.port)
    control.greet_and_login()
    with open(tree.big_path, "rb") as source:
        data = control.passive()
        start = time.monotonic()
        control.expect(b"REST %d\r\n" % half, 350)
        code, text = control.command(b"STOR " + target.encode() + b"\r\n")
        if code not in (125, 150):
            data.close()
            raise ConnectionError("STOR after REST answered %r" % text)
        data.sendfile(source, half)
        data.close()
        code, text = control.reply()
        elapsed = time.monotonic() - start
    return finish_big_upload(server, tree, control, code, text, path, elapsed)


def work_small_files(server, tree, options):
    control = Control(server.port)
    control.greet_and_login()
    view = memoryview(bytearray(RECEIVE_BUFFER))
    start = time.monotonic()
    for name in tree.small_names:
        retrieve(control, name, tree.expected[name], view)
    elapsed = time.monotonic() - start
    control.expect(b"QUIT\r\n", 221)
    control.close()
    return len(tree.small_names) / elapsed, None


def commands(line, reply_prefix):
    def work(server, tree, options):
        control = Control(server.port)
        control.greet_and_login()
        sock = control.sock
        count = options.commands
        start = time.monotonic()
        for _ in range(count):
            sock.sendall(line)
            code, text = control.reply()
            if not text.startswith(reply_prefix):
                raise BenchError("%s answered %r to %r" % (server.label, text, line))
        elapsed = time.monotonic() - start
        control.expect(b"QUIT\r\n", 221)
        control.close()
        return count / elapsed, None
    return work


def work_sessions(server, tree, options):
    count = options.sessions
    start = time.monotonic()
    for _ in range(count):
        control = Control(server.port)
        code, text = control.reply()
        if code != 220:
            raise ConnectionError("greeting %r" % text)
        control.expect(b"QUIT\r\n", 221)
        control.close()
    elapsed = time.monotonic() - start
    return count / elapsed, None


# Real clients fetching many small files: a wait the server makes at every file's end costs
# them wall time, and no server CPU figure shows it.
CLIENT_FILES = 100


def work_curl_files(server, tree, options):
    """curl fetches 100 small files in one command, one session. Active mode: curl 7.88 itself
    waits 1 s before a passive data connection whenever the 227/229 reply arrives before its
    first poll, which would measure curl rather than the server."""
    names = tree.small_names[:CLIENT_FILES]
    args = ["curl", "-sS", "-P", "127.0.0.1"]
    for name in names:
        args += ["ftp://127.0.0.1:%d/%s" % (server.port, name), "-o", os.devnull]
    start = time.monotonic()
    subprocess.run(args, stdin=subprocess.DEVNULL, check=True, timeout=600)
    return len(names) / (time.monotonic() - start), None


def work_curl_passive_files(server, tree, options):
    """curl fetches 20 small files in one command in its default passive mode, timed in
    seconds: a server whose passive reply comes before curl's first look costs a second per
    file there (curl 7.88), which no CPU figure shows."""
    names = tree.small_names[:20]
    args = ["curl", "-sS"]
    for name in names:
        args += ["ftp://127.0.0.1:%d/%s" % (server.port, name), "-o", os.devnull]
    start = time.monotonic()
    subprocess.run(args, stdin=subprocess.DEVNULL, check=True, timeout=600)
    return time.monotonic() - start, None


def work_urllib_files(server, tree, options):
    """Python's urllib fetches 20 small files, a session each; it reads the final reply before
    it closes the data connection."""
    names = tree.small_names[:20]
    start = time.monotonic()
    for name in names:
        url = "ftp://127.0.0.1:%d/%s" % (server.port, name)
        with urllib.request.urlopen(url, timeout=60) as response:
            if zlib.crc32(response.read()) != tree.expected[name][1]:
                raise WrongBytes("urllib %s from %s" % (name, server.label))
    return len(names) / (time.monotonic() - start), None


def fetch_client(port, name, expected, barrier, results, index):
    view = memoryview(bytearray(RECEIVE_BUFFER))
    outcome = "failed"
    started = None
    try:
        barrier.wait(timeout=120)
        started = time.monotonic()
        control = Control(port)
        try:
            control.greet_and_login()
            retrieve(control, name, expected, view)
            outcome = "ok"
            control.command(b"QUIT\r\n")
        finally:
            control.close()
    except WrongBytes as error:
        outcome = "wrong: %s" % error
    except BlockingIOError:
        if outcome != "ok":
            outcome = "failed: no progress for %d s" % SOCKET_TIMEOUT
    except Exception as error:  # a refused or broken session counts as not completed
        if outcome != "ok":
            outcome = "failed: %s: %s" % (type(error).__name__, error)
    results[index] = (outcome, started, time.monotonic())


def fetch_process(port, name, expected, barrier, indexes, queue):
    results = {}
    threads = [threading.Thread(target=fetch_client,
                                args=(port, name, expected, barrier, results, index))
               for index in indexes]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    queue.put(results)


def concurrent(clients):
    def work(server, tree, options):
        context = multiprocessing.get_context("fork")
        barrier = context.Barrier(clients + 1)
        queue = context.Queue()
        processes = options.client_processes
        shares = [list(range(clients))[i::processes] for i in range(processes)]
        workers = [context.Process(target=fetch_process,
                                   args=(server.port, MID_NAME, tree.expected[MID_NAME],
                                         barrier, share, queue))
                   for share in shares if share]
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        for worker in workers:
            worker.start()
        barrier.wait(timeout=120)
        results = {}
        for _ in workers:
            results.update(queue.get(timeout=600))
        for worker in workers:
            worker.join(timeout=60)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        client_cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
        outcomes = list(results.values())
        wrong = [outcome for outcome, _, _ in outcomes if outcome.startswith("wrong")]
        if wrong:
            raise WrongBytes("%s: %s" % (server.label, wrong[0]))
        done = [outcome for outcome, _, _ in outcomes if outcome == "ok"]
        failures = [outcome for outcome, _, _ in outcomes if outcome != "ok"]
        # From the first client's start to the last one's end, each read in its own process
        # (CLOCK_MONOTONIC is one clock for the whole machine).
        start = min((started for _, started, _ in outcomes if started is not None),
                    default=time.monotonic())
        elapsed = max(end for _, _, end in outcomes) - start
        detail = {"complete": len(done), "clients": clients, "client_cpu": client_cpu,
                  "failure": failures[0] if failures else None}
        return len(done) * tree.mid_size / elapsed / MB, detail
    return work


def work_idle_sessions(server, tree, options):
    pid = server.process.pid
    before = tree_memory_kib(pid, server.wrapped)
    held = []
    try:
        for _ in range(options.idle):
            control = Control(server.port)
            code, text = control.reply()
            if code != 220:
                raise ConnectionError("greeting %r" % text)
            held.append(control)
        time.sleep(0.2)  # let forked session processes finish starting
        rss, pss, count = tree_memory_kib(pid, server.wrapped)
    finally:
        for control in held:
            control.close()
    detail = {"pss_mib": pss / 1024.0, "processes": count,
              "rss_before_mib": before[0] / 1024.0}
    return rss / 1024.0, detail


class Workload:
    def __init__(self, name, unit, function, higher=True, writes=False, big=False,
                 pinned=False, reference=False, tls=False, skips=()):
        self.name = name
        self.unit = unit
        self.function = function
        self.higher = higher      # a larger value is better
        self.writes = writes      # runs against the write-enabled instance
        self.big = big            # a 1 GiB workload, repeated --big-reps times
        self.pinned = pinned      # client and server share one CPU
        self.reference = reference  # also run against the minimal C server
        self.tls = tls            # runs against each server's TLS instance, where it has one
        self.skips = skips        # servers (label prefixes) that cannot run it


ONE_CPU = " [one CPU]"

# One client talking to one server waits for every reply. On this kind of machine (a VM) a
# wake-up on the other CPU costs far more than the work either side does, and the scheduler
# sometimes places both sides on one CPU and sometimes not, so these rates come out bimodal.
# Each such workload therefore also runs with client and server pinned to the same CPU,
# where the rate measures what the server itself spends.
SERIAL = [
    ("1,000 files of 4 KiB, one session", "files/s", work_small_files, True),
    ("20,000 NOOP, one at a time", "cmds/s", commands(b"NOOP\r\n", b"200"), True),
    ("20,000 SIZE, one at a time", "cmds/s",
     commands(b"SIZE " + MID_NAME.encode() + b"\r\n", b"213"), False),
    ("500 sessions one after another", "sessions/s", work_sessions, True),
]

WORKLOADS = (
    [Workload("RETR 1 GiB, passive", "MB/s", work_retr_big, big=True),
     Workload("RETR 1 GiB over TLS (PROT P)", "MB/s", work_retr_tls, big=True, tls=True),
     Workload("STOR 1 GiB", "MB/s", work_stor_big, writes=True, big=True),
     # vsftpd lets an anonymous user overwrite no file, so it answers the resume "553".
     Workload("STOR 1 GiB, resumed at its half", "MB/s", work_stor_resumed, writes=True,
              big=True, skips=("vsftpd",))]
    + [Workload(name, unit, function, reference=reference)
       for name, unit, function, reference in SERIAL]
    + [Workload(name + ONE_CPU, unit, function, pinned=True, reference=reference)
       for name, unit, function, reference in SERIAL]
    + [Workload("100 files of 4 KiB with curl, one command", "files/s", work_curl_files),
       Workload("20 files of 4 KiB with curl in passive mode, one command", "s",
                work_curl_passive_files, higher=False),
       Workload("20 files of 4 KiB with Python's urllib", "files/s", work_urllib_files)]
    + [Workload("32 clients at once, 32 MiB each", "MB/s total", concurrent(32)),
       Workload("128 clients at once, 32 MiB each", "MB/s total", concurrent(128)),
       Workload("1,000 idle sessions: resident memory", "MiB", work_idle_sessions,
                higher=False)]
)


# ---------------------------------------------------------------------------------------------
# Reference ceilings of this machine.

CEILING_C = r"""
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <fcntl.h>
/* A plain loopback copy of one file: a child sends it (sendfile, or read and send in
   256 KiB pieces), this process receives and discards it. Prints MB/s. */
int main(int argc, char** argv) {
    if (argc != 3) return 2;
    int useSendfile = strcmp(argv[2], "sendfile") == 0;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a; memset(&a, 0, sizeof a);
    a.sin_family = AF_INET; a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener, (struct sockaddr*)&a, sizeof a) || listen(listener, 1) ||
        getsockname(listener, (struct sockaddr*)&a, &len)) return 3;
    struct timeval limit = {60, 0};
    pid_t child = fork();
    if (child == 0) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        if (connect(s, (struct sockaddr*)&a, sizeof a)) _exit(4);
        int f = open(argv[1], O_RDONLY);
        static char buffer[262144];
        if (useSendfile) {
            while (sendfile(s, f, NULL, 1 << 30) > 0) {}
        } else {
            ssize_t n;
            while ((n = read(f, buffer, sizeof buffer)) > 0) {
                for (ssize_t off = 0; off < n;) {
                    ssize_t w = send(s, buffer + off, n - off, 0);
                    if (w <= 0) _exit(5);
                    off += w;
                }
            }
        }
        _exit(0);
    }
    int c = accept(listener, NULL, NULL);
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    static char in[1 << 20];
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    long long total = 0;
    ssize_t n;
    while ((n = recv(c, in, sizeof in, 0)) > 0) total += n;
    clock_gettime(CLOCK_MONOTONIC, &t1);
    waitpid(child, NULL, 0);
    double seconds = (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
    printf("%lld %.1f\n", total, total / seconds / 1e6);
    return 0;
}
"""


REFERENCE_SERVER_C = r"""
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>
/* The least a server with a thread per session does, as a ceiling for the session, command
   and small-file rates: it greets, answers USER with 230, QUIT with 221, PASV with a listener
   of its own (opened at the first PASV), RETR with 150, the file by sendfile and 226, and
   every other line with 200; it keeps finished threads for the next session. No paths
   checked, no console. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wake = PTHREAD_COND_INITIALIZER;
static int waiting = 0, pending = -1;
static int passive(int* listener, char* reply, size_t size) {
    struct sockaddr_in a;
    socklen_t length = sizeof a;
    if (*listener < 0) {
        *listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(*listener, (struct sockaddr*)&a, sizeof a) || listen(*listener, 1)) return -1;
    }
    if (getsockname(*listener, (struct sockaddr*)&a, &length)) return -1;
    int port = ntohs(a.sin_port);
    snprintf(reply, size, "227 Entering Passive Mode (127,0,0,1,%d,%d)\r\n", port >> 8,
             port & 255);
    return 0;
}
static void retrieve(int c, int listener, char* name) {
    name[strcspn(name, "\r\n")] = 0;
    int file = open(name, O_RDONLY | O_CLOEXEC);
    if (file < 0 || listener < 0) {
        send(c, "550 No\r\n", 8, MSG_NOSIGNAL);
        if (file >= 0) close(file);
        return;
    }
    send(c, "150 Opening\r\n", 13, MSG_NOSIGNAL);
    int data = accept(listener, NULL, NULL);
    while (data >= 0 && sendfile(data, file, NULL, 262144) > 0) {
    }
    send(c, "226 Done\r\n", 10, MSG_NOSIGNAL);
    if (data >= 0) close(data);
    close(file);
}
static void serve(int c) {
    int on = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    struct timeval limit = {60, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    send(c, "220 ready\r\n", 11, MSG_NOSIGNAL);
    char buffer[512];
    char reply[64];
    size_t held = 0;
    int listener = -1;
    for (int quit = 0; !quit;) {
        ssize_t n = recv(c, buffer + held, sizeof buffer - held, 0);
        if (n <= 0) break;
        held += (size_t)n;
        char* end;
        while (!quit && (end = memchr(buffer, '\n', held)) != NULL) {
            size_t line = (size_t)(end - buffer) + 1;
            quit = strncmp(buffer, "QUIT", 4) == 0;
            strcpy(reply, quit ? "221 Goodbye\r\n"
                : strncmp(buffer, "USER", 4) == 0 ? "230 Logged in\r\n" : "200 OK\r\n");
            if (strncmp(buffer, "PASV", 4) == 0 && passive(&listener, reply, sizeof reply))
                strcpy(reply, "425 No\r\n");
            if (strncmp(buffer, "RETR ", 5) == 0) {
                *end = 0;
                retrieve(c, listener, buffer + 5);
            } else {
                send(c, reply, strlen(reply), MSG_NOSIGNAL);
            }
            memmove(buffer, buffer + line, held - line);
            held -= line;
        }
        if (held == sizeof buffer) break;
    }
    if (listener >= 0) close(listener);
    close(c);
}
static void* worker(void* first) {
    int c = (int)(long)first;
    for (;;) {
        serve(c);
        pthread_mutex_lock(&lock);
        waiting++;
        while (pending < 0) pthread_cond_wait(&wake, &lock);
        c = pending;
        pending = -1;
        waiting--;
        pthread_mutex_unlock(&lock);
    }
    return NULL;
}
int main(int argc, char** argv) {
    if (argc != 2) return 2;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((unsigned short)atoi(argv[1]));
    if (bind(listener, (struct sockaddr*)&a, sizeof a) || listen(listener, 4096)) return 1;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    for (;;) {
        int c = accept(listener, NULL, NULL);
        if (c < 0) continue;
        pthread_mutex_lock(&lock);
        int handed = waiting > 0 && pending < 0;
        if (handed) {
            pending = c;
            pthread_cond_signal(&wake);
        }
        pthread_mutex_unlock(&lock);
        pthread_t thread;
        if (!handed && pthread_create(&thread, &attributes, worker, (void*)(long)c) != 0) close(c);
    }
}
"""


def compile_c(base, name, text, flags=()):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return None
    source = os.path.join(base, name + ".c")
    program = os.path.join(base, name)
    with open(source, "w") as f:
        f.write(text)
    if subprocess.run([compiler, "-O2", "-o", program, source] + list(flags)).returncode != 0:
        return None
    return program


def build_ceiling_helper(base):
    return compile_c(base, "ceiling", CEILING_C)


def ceiling_page_cache(tree, options):
    buffer = bytearray(RECEIVE_BUFFER)
    start = time.monotonic()
    total = 0
    with open(tree.big_path, "rb", buffering=0) as source:
        while True:
            count = source.readinto(buffer)
            if not count:
                break
            total += count
    return total / (time.monotonic() - start) / MB


def ceiling_c(mode):
    def measure(tree, options):
        if options.ceiling_helper is None:
            return None
        result = subprocess.run([options.ceiling_helper, tree.big_path, mode],
                                capture_output=True, text=True, timeout=300)
        total, rate = result.stdout.split()
        if int(total) != tree.big_size:
            raise BenchError("the loopback copy moved %s bytes" % total)
        return float(rate)
    return measure


def sendfile_sender(listener, path, send_buffer):
    connection, _ = listener.accept()
    if send_buffer:
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, send_buffer)
    with open(path, "rb") as source:
        connection.sendfile(source)
    connection.close()


def ceiling_python_client(send_buffer=None):
    def measure(tree, options):
        return checked_sendfile_copy(tree, send_buffer)
    return measure


def checked_sendfile_copy(tree, send_buffer):
    """The benchmark's own checking receiver, fed by a process that only calls sendfile."""
    listener = socket.socket()
    listener.bind((HOST, 0))
    listener.listen(1)
    context = multiprocessing.get_context("fork")
    sender = context.Process(target=sendfile_sender,
                             args=(listener, tree.big_path, send_buffer))
    sender.start()
    data = connect(listener.getsockname()[1])
    view = memoryview(bytearray(RECEIVE_BUFFER))
    start = time.monotonic()
    got = receive_checked(data, None, view)
    elapsed = time.monotonic() - start
    data.close()
    sender.join(timeout=60)
    listener.close()
    if got != tree.expected[BIG_NAME]:
        raise WrongBytes("plain sendfile copy: %r" % (got,))
    return tree.big_size / elapsed / MB


CEILINGS = [
    ("reading the 1 GiB file from the page cache (1 MiB reads)", ceiling_page_cache),
    ("C loopback copy, sendfile, no check", ceiling_c("sendfile")),
    ("C loopback copy, read and send 256 KiB, no check", ceiling_c("copy")),
    ("plain sendfile sender to this benchmark's checking client", ceiling_python_client()),
    # tarnLoader bounds the send buffer of its downloads the same way (Linux doubles the value).
    ("the same with a 1 MiB send buffer", ceiling_python_client(512 * 1024)),
]


# ---------------------------------------------------------------------------------------------
# The run and its report.

def run(args, base):
    print("Making the served tree in %s ..." % base, flush=True)
    tree = Tree(base, args.big_size, args.mid_size, args.small_count, 4096)
    args.ceiling_helper = build_ceiling_helper(base)
    args.counter = 0
    servers = []
    try:
        start_servers(args, base, tree, servers)
        return measure_all(args, tree, servers)
    finally:
        for _, read_server, write_server in servers:
            read_server.stop()
            write_server.stop()
        for server in getattr(args, "tls_servers", {}).values():
            server.stop()


def selected(workload, args):
    """Whether --only leaves the workload in."""
    return not args.only or any(word.lower() in workload.name.lower() for word in args.only)


def measure_all(args, tree, servers):
    labels = [label for label, _, _ in servers]
    results = {}  # (workload, label) -> list of values
    details = {}
    cpu = {}      # (workload, label) -> list of server CPU seconds
    ceilings = {}
    for rep in range(args.reps):
        order = servers[rep % len(servers):] + servers[:rep % len(servers)]
        print("Repetition %d of %d: %s" % (rep + 1, args.reps,
                                             ", ".join(label for label, _, _ in order)),
              flush=True)
        for name, measure in CEILINGS:
            if rep < args.big_reps:
                value = measure(tree, args)
                if value is not None:
                    ceilings.setdefault(name, []).append(value)
        for workload in WORKLOADS:
            name, unit = workload.name, workload.unit
            if workload.big and rep >= args.big_reps:
                continue
            if not selected(workload, args):
                continue
            for label, read_server, write_server in order:
                if label == REFERENCE_LABEL and not workload.reference:
                    continue
                if label.startswith(workload.skips):
                    continue
                server = write_server if workload.writes else read_server
                if workload.tls:
                    server = args.tls_servers.get(label)
                    if server is None:
                        continue
                server.settle()
                cpu_before = tree_cpu_seconds(server.process.pid)
                if workload.pinned:
                    pin_together(server)
                try:
                    value, detail = workload.function(server, tree, args)
                finally:
                    if workload.pinned:
                        unpin(server)
                settled = server.settle()
                cpu_used = tree_cpu_seconds(server.process.pid) - cpu_before
                results.setdefault((name, label), []).append(value)
                cpu.setdefault((name, label), []).append(cpu_used)
                details.setdefault((name, label), []).append(detail)
                note = "" if settled else " (sessions still open after %d s)" % SETTLE_TIMEOUT
                print("  %-40s %-18s %10.1f %s, server CPU %.2f s%s"
                      % (name, label, value, unit, cpu_used, note), flush=True)
                if isinstance(detail, dict) and "client_cpu" in detail:
                    print("      client CPU %.2f s" % detail["client_cpu"])
                if isinstance(detail, dict) and detail.get("failure"):
                    print("      %d of %d complete; first failure: %s"
                          % (detail["complete"], detail["clients"], detail["failure"]))
    return labels, results, details, cpu, ceilings


def summary(values):
    return statistics.median(values), min(values), max(values)


def number(value):
    if value >= 100:
        return "%.0f" % value
    if value >= 10:
        return "%.1f" % value
    return "%.2f" % value


def report(args, labels, results, details, cpu, ceilings, started):
    lines = []
    out = lines.append
    out("# tarnLoader benchmark results")
    out("")
    out("Command: `bench/run.sh`%s. Run %s; %d repetitions (%d for the 1 GiB workloads), "
        "servers interleaved in every repetition."
        % ((" " + " ".join(args.passthrough)) if args.passthrough else "", started,
           args.reps, min(args.big_reps, args.reps)))
    out("")
    out("Machine: %s, %d cores, Linux %s; load average at start %s. Loopback (127.0.0.1) only."
        % (cpu_model(), os.cpu_count(), platform.release(), args.load_at_start))
    out("")
    out("Each cell: median (min-max). \"lead\" is tarnLoader's median over that server's "
        "(for memory, that server's over tarnLoader's): above 1.00x tarnLoader is ahead. "
        "MB = 10^6 bytes.")
    out("")
    header = "| workload | unit | " + " | ".join(labels) + " |"
    out(header)
    out("|" + "---|" * (2 + len(labels)))
    for workload in WORKLOADS:
        name, unit, higher = workload.name, workload.unit, workload.higher
        own = results.get((name, labels[0]))
        if own is None:
            continue
        cells = []
        for label in labels:
            values = results.get((name, label))
            if not values:
                cells.append("-")
                continue
            median, low, high = summary(values)
            cell = "%s (%s-%s)" % (number(median), number(low), number(high))
            if label != labels[0] and median > 0:
                lead = (summary(own)[0] / median) if higher else (median / summary(own)[0])
                cell += " lead %.2fx" % lead
            detail = details[(name, label)]
            if detail and isinstance(detail[0], dict) and "complete" in detail[0]:
                cell += "; complete %s" % "/".join(
                    "%d" % d["complete"] for d in detail)
                cell += " of %d" % detail[0]["clients"]
            if detail and isinstance(detail[0], dict) and "pss_mib" in detail[0]:
                cell += "; PSS %s, %d processes" % (
                    number(statistics.median(d["pss_mib"] for d in detail)),
                    detail[0]["processes"])
            cells.append(cell)
        out("| %s | %s | %s |" % (name, unit, " | ".join(cells)))
    out("")
    out("Server CPU time per workload, seconds (utime + stime from /proc; for vsftpd summed "
        "over all its session processes, which bench/subreaper.py reaps): "
        "median (min-max).")
    out("")
    out(header)
    out("|" + "---|" * (2 + len(labels)))
    for workload in WORKLOADS:
        name = workload.name
        if (name, labels[0]) not in cpu:
            continue
        cells = []
        for label in labels:
            values = cpu.get((name, label))
            if not values:
                cells.append("-")
                continue
            median, low, high = summary(values)
            cells.append("%.2f (%.2f-%.2f)" % (median, low, high))
        out("| %s | s | %s |" % (name, " | ".join(cells)))
    out("")
    out("Reference ceilings of this machine (MB/s, median (min-max)):")
    out("")
    for name, _ in CEILINGS:
        values = ceilings.get(name)
        if values:
            median, low, high = summary(values)
            out("- %s: %s (%s-%s)" % (name, number(median), number(low), number(high)))
        else:
            out("- %s: not measured (no C compiler)" % name)
    out("")
    out("How: every server runs on 127.0.0.1 from a temporary tree (a 1 GiB, a 32 MiB and 1,000 "
        "4 KiB files of random bytes); the client is Python with raw sockets (bench/bench.py), "
        "and every byte it receives or uploads is checked by length and CRC-32. vsftpd runs "
        "anonymous with its own configuration (sendfile on, no transfer log, no client limits); "
        "pyftpdlib runs anonymous through its API (sendfile on, warnings-only log, connection "
        "limit raised for the idle-session test). \"C reference\" is a ceiling, not an FTP server: "
        "a C program compiled at run time that greets, answers PASV from a listener of its own "
        "and RETR by sendfile, every other line with a fixed reply, and keeps a thread per "
        "session (reused), with no path checks, no time limits and no console. "
        "\"[one CPU]\" rows pin the client and the "
        "server to one CPU: on this virtual machine a wake-up on the other CPU costs more than "
        "a command, so the unpinned rows of one-at-a-time workloads depend on where the "
        "scheduler puts the two sides, while the pinned rows measure what the server spends. "
        "Other processes on the machine show in the load average above; ranges wider than "
        "usual mean they competed for the CPUs.")
    out("")
    out("Targets (ratios from this run):")
    out("")
    for line in target_lines(labels, results, details):
        out("- " + line)
    out("")
    return "\n".join(lines)


def median_of(results, name, prefix):
    for (workload, label), values in results.items():
        if workload == name and label.startswith(prefix):
            return statistics.median(values)
    return None


def target_lines(labels, results, details):
    lines = []

    def ratio_target(name, anchor, minimum):
        own = median_of(results, name, "tarnLoader")
        other = median_of(results, name, anchor)
        if own is None or other is None:
            lines.append("%s vs %s: not measured" % (name, anchor))
            return
        ratio = own / other
        lines.append("%s: %.2fx %s (target %.2fx): %s"
                     % (name, ratio, anchor, minimum, "met" if ratio >= minimum else "MISSED"))

    ratio_target("RETR 1 GiB, passive", "vsftpd", 1.0)
    ratio_target("STOR 1 GiB", "vsftpd", 1.0)
    for suffix in ("", ONE_CPU):
        ratio_target("1,000 files of 4 KiB, one session" + suffix, "vsftpd", 2.5)
        ratio_target("20,000 NOOP, one at a time" + suffix, "vsftpd", 1.05)
        ratio_target("20,000 SIZE, one at a time" + suffix, "vsftpd", 1.05)
        ratio_target("500 sessions one after another" + suffix, "pyftpdlib", 1.5)
    ratio_target("128 clients at once, 32 MiB each", "pyftpdlib", 1.2)
    name = "128 clients at once, 32 MiB each"
    own = details.get((name, labels[0]))
    if own:
        complete = all(d["complete"] == d["clients"] for d in own)
        lines.append("128 clients at once: tarnLoader completed %s of 128 byte-exact: %s"
                     % ("/".join(str(d["complete"]) for d in own), "met" if complete else "MISSED"))
    name = "1,000 idle sessions: resident memory"
    own = median_of(results, name, "tarnLoader")
    if own is not None:
        lines.append("1,000 idle sessions: tarnLoader %.1f MiB resident (target < 100 MiB): %s"
                     % (own, "met" if own < 100 else "MISSED"))
    return lines


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown processor"


def load_average():
    return "%.2f %.2f %.2f" % os.getloadavg()


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True, help="the tarnLoader binary")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--big-reps", type=int, default=3,
                        help="repetitions of the 1 GiB workloads (at most --reps)")
    parser.add_argument("--quick", action="store_true",
                        help="small sizes and counts, one repetition: a check that all runs")
    parser.add_argument("--only", action="append", default=[],
                        help="run only workloads whose name contains this word")
    parser.add_argument("--skip", action="append", default=[], choices=["vsftpd", "pyftpdlib"])
    parser.add_argument("--results", help="where to write the Markdown report "
                        "(default bench/RESULTS.md; none with --quick)")
    parser.add_argument("--client-processes", type=int, default=2)
    parser.add_argument("--compare", action="append", default=[], metavar="LABEL=BINARY",
                        help="another tarnLoader build to run beside the first, as a column")
    args = parser.parse_args()
    args.passthrough = [a for a in sys.argv[1:] if not a.startswith("--binary")
                        and a != args.binary]
    if args.compare and args.results is None:
        args.results = ""  # a comparison of builds is not the published figures
    args.big_size, args.mid_size, args.small_count = 1 << 30, 32 << 20, 1000
    args.commands, args.sessions, args.idle = 20000, 500, 1000
    if args.quick:
        args.big_size, args.mid_size, args.small_count = 64 << 20, 4 << 20, 100
        args.commands, args.sessions, args.idle = 2000, 50, 100
        args.reps = args.big_reps = 1
    if args.results is None and not args.quick and not args.only:
        args.results = os.path.join(os.path.dirname(os.path.abspath(__file__)), "RESULTS.md")
    return args


KEPT_HEADING = "\n## Notes beside the table\n"


def kept_notes(path):
    """The notes an earlier RESULTS.md holds below the table, which a new run keeps."""
    try:
        with open(path) as f:
            old = f.read()
    except OSError:
        return ""
    return old[old.index(KEPT_HEADING):] if KEPT_HEADING in old else ""


def on_deadline(signal_number, frame):
    raise BenchError("the run took longer than %d s" % RUN_DEADLINE)


def main():
    args = parse_arguments()
    # The run is bounded as a whole; every socket has its own bound besides.
    signal.signal(signal.SIGALRM, on_deadline)
    signal.alarm(RUN_DEADLINE)
    # 1,000 idle sessions and 128 clients need more descriptors than the usual soft limit.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    started = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    # Read before the run: the run's own servers (vsftpd's 2,000 processes) raise it later.
    args.load_at_start = load_average()
    base = tempfile.mkdtemp(prefix="tarnloader-bench-")
    status = 0
    try:
        labels, results, details, cpu, ceilings = run(args, base)
        text = report(args, labels, results, details, cpu, ceilings, started)
        print()
        print(text)
        if args.results:
            text += kept_notes(args.results)
            with open(args.results, "w") as f:
                f.write(text)
            print("Written to %s" % args.results)
    except WrongBytes as error:
        print("FAILED: wrong bytes: %s" % error, file=sys.stderr)
        status = 1
    except (BenchError, OSError) as error:
        print("FAILED: %s" % error, file=sys.stderr)
        status = 2
    finally:
        signal.alarm(0)
        shutil.rmtree(base, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
