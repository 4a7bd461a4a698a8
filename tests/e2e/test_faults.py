"""Faults: clients that reset or vanish, a full disk, files and the root that go away during a
session, connection floods and limits, threads that cannot start, lines that never end,
PASV/PORT floods, a console nobody reads and a transfer log that takes no lines.
Each time the affected session gets its reply or ends, a witness session goes on, and new
clients are still greeted."""
import hashlib
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time

from harness import (READY_LINE, TIMEOUT, Server, ServerTest, binary, free_port, is_sanitized,
                     is_windows, normalise)

RETR_150 = "150 Opening BINARY mode data connection"
LIST_150 = "150 Opening connection"
DONE = "226 Transfer complete"
BROKEN = "426 Broken pipe"
UPLOAD_PREFIX = ".tarnLoader-upload-"
WITNESS = bytes(range(256)) * 2048  # 512 KiB
SETTLE = 20.0  # seconds the server may take to end the threads of vanished clients


def pattern(size, seed):
    block = hashlib.sha256(b"%d" % seed).digest() * 2048  # 64 KiB
    return (block * (size // len(block) + 1))[:size]


def reset(sock):
    """Closes with a reset (SO_LINGER 0) instead of an orderly end."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class FaultTest(ServerTest):
    def start(self, upload=False, preexec_fn=None, args=(), program=None):
        """Starts the server (program, or the build's binary) and opens the witness session,
        whose file is in place."""
        self.write_file("witness.bin", WITNESS)
        if preexec_fn is None:
            self.start_server(*args, upload=upload)
        else:
            port = free_port()
            server = Server(["-p", str(port)] + (["-u"] if upload else []) + list(args), self.root,
                            program=program)
            server.port = port
            server.start(preexec_fn=preexec_fn)
            self.addCleanup(self._stop_and_check, server)
            self.assertTrue(server.wait_ready(), server.console() + server.errors())
            self.server = server
        self.witness = self.connect()
        self.assertEqual(self.command(self.witness, "USER witness"), "331 Login accepted")
        self.assertEqual(self.command(self.witness, "PASS x"), "230 User logged in")

    def assert_others_go_on(self):
        """The witness still answers and downloads; a new client is greeted and served."""
        self.assertIsNone(self.server.process.poll(), "the server ended")
        self.assertEqual(self.command(self.witness, "NOOP"), "200 OK")
        self.assertEqual(self.transfer(self.witness, "RETR /witness.bin"),
                         (WITNESS, [RETR_150, DONE]))
        s = self.connect()
        self.assertEqual(self.command(s, "NOOP"), "200 OK")
        self.assertEqual(self.command(s, "QUIT"), "221 Goodbye")

    def leftovers(self):
        found = []
        for folder, _, files in os.walk(self.root):
            found += [os.path.join(folder, name) for name in files
                      if name.startswith(UPLOAD_PREFIX)]
        return found

    def figures(self):
        """(open descriptors, threads) of the server process, or None under a launcher, whose
        /proc entry describes the launcher rather than the server."""
        if is_windows():
            return None
        pid = self.server.process.pid
        descriptors = len(os.listdir("/proc/%d/fd" % pid))
        with open("/proc/%d/status" % pid) as f:
            threads = int(next(line for line in f if line.startswith("Threads:")).split()[1])
        return descriptors, threads

    def assert_back_to(self, idle):
        """Waits until descriptors and threads are back at their idle count."""
        if idle is None:
            print("\n[faults] descriptors and threads of the Windows build are not counted: "
                  "/proc shows the launcher", file=sys.stderr)
            return
        deadline = time.monotonic() + SETTLE
        now = self.figures()
        while now[0] > idle[0] or now[1] > idle[1]:
            if time.monotonic() > deadline:
                self.fail("descriptors and threads %s, idle %s" % (now, idle))
            time.sleep(0.05)
            now = self.figures()

    def passive_port(self, s):
        reply = self.command(s, "PASV")
        numbers = [int(n) for n in reply[reply.index("(") + 1:reply.index(")")].split(",")]
        return numbers[4] * 256 + numbers[5]


class DataConnectionFaults(FaultTest):
    def test_a_download_reset_by_the_client_gets_426(self):
        big = pattern(64 << 20, 1)
        self.write_file("big.bin", big)
        self.start()
        s = self.connect()
        for round_number in range(3):
            with self.subTest(round=round_number):
                data = self.pasv(s)
                self.assertEqual(self.command(s, "RETR big.bin"), RETR_150)
                received = 0
                while received < (1 << 20):
                    received += len(data.recv(65536))
                reset(data)
                self.assertEqual(self.read_reply(s), BROKEN)
                self.assertEqual(self.command(s, "NOOP"), "200 OK")
        payload, replies = self.transfer(s, "RETR big.bin")
        self.assertEqual(replies, [RETR_150, DONE])
        self.assertEqual(hashlib.sha256(payload).digest(), hashlib.sha256(big).digest())
        # A listing whose connection is reset is no whole folder either. Winsock's accept
        # refuses a connection reset in its backlog, and the server then waits for another.
        if not is_windows():
            data = socket.create_connection(("127.0.0.1", self.passive_port(s)), timeout=TIMEOUT)
            reset(data)
            self.assertEqual(self.command(s, "LIST"), LIST_150)
            self.assertEqual(self.read_reply(s), BROKEN)
        self.assert_others_go_on()

    def reset_upload(self, s, port):
        """Sends part of an upload on a new data connection to port, resets it and returns the
        final reply."""
        data = socket.socket()
        # With a small send buffer the send ends only once the server has taken the connection
        # and read most of it. A reset that met the connection still in the backlog would make
        # Winsock's accept fail, and the server would wait on for a connection that never comes.
        data.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 64 * 1024)
        data.settimeout(TIMEOUT)
        data.connect(("127.0.0.1", port))
        data.sendall(pattern(3 << 20, 3))
        reset(data)
        return self.read_reply(s)

    def test_an_upload_reset_by_the_client_keeps_the_old_file(self):
        old = pattern(200 * 1024, 2)
        self.write_file("fw.bin", old)
        self.start(upload=True)
        s = self.connect()
        for name in ("fw.bin", "new.bin"):
            with self.subTest(name=name):
                port = self.passive_port(s)
                self.assertEqual(self.command(s, "STOR " + name), RETR_150)
                reply = self.reset_upload(s, port)
                # The session cleans up after its reply; the next answer comes after that.
                self.assertEqual(self.command(s, "NOOP"), "200 OK")
                self.assertEqual(self.leftovers(), [])
                if is_windows() and reply == DONE:
                    # Wine's recv reports a reset connection as an orderly end at times (a
                    # plain Winsock receive loop shows it too), and an orderly end completes
                    # an upload.
                    print("\n[faults] under Wine the reset upload of %s ended as if complete"
                          % name, file=sys.stderr)
                    self.write_file("fw.bin", old)
                    continue
                self.assertTrue(reply.startswith("550 "), reply)
                self.assertEqual(self.read_file("fw.bin"), old)
                self.assertFalse(os.path.exists(os.path.join(self.root, "new.bin")))
        self.assert_others_go_on()

    def test_a_file_size_limit_during_an_upload_leaves_nothing(self):
        if is_windows():
            self.skipTest("a file-size limit is a POSIX resource limit of the server process")
        import resource
        limit = 1 << 20

        def limit_file_size():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        old = pattern(100 * 1024, 4)
        self.write_file("fw.bin", old)
        self.start(upload=True, preexec_fn=limit_file_size)
        s = self.connect()
        for name in ("fw.bin", "new.bin"):
            with self.subTest(name=name):
                data = self.pasv(s)
                self.assertEqual(self.command(s, "STOR " + name), RETR_150)
                try:
                    data.sendall(pattern(8 << 20, 5))
                    data.close()
                except OSError:
                    pass  # the server may give up and close before all of it is sent
                self.assertEqual(self.read_reply(s), "550 File too large")
                # The temporary file is gone before the reply, not some time after it.
                self.assertEqual(self.leftovers(), [])
                self.assertEqual(self.command(s, "NOOP"), "200 OK")
                self.assertEqual(self.read_file("fw.bin"), old)
        self.assertFalse(os.path.exists(os.path.join(self.root, "new.bin")))
        self.assert_others_go_on()

    def test_a_file_removed_or_replaced_while_it_is_sent(self):
        big = pattern(48 << 20, 6)
        self.start()
        s = self.connect()
        path = os.path.join(self.root, "going.bin")

        def remove():
            os.remove(path)

        def replace():
            self.write_file("other.bin", b"replacement")
            os.replace(os.path.join(self.root, "other.bin"), path)

        for name, change in (("removed", remove), ("replaced", replace)):
            with self.subTest(name):
                self.write_file("going.bin", big)
                data = self.pasv(s)
                self.assertEqual(self.command(s, "RETR going.bin"), RETR_150)
                first = data.recv(65536)
                change()
                payload = first + self.read_all(data)
                final = self.read_reply(s)
                # The open file is still read to its end; a platform that cuts it short must
                # say so in the final reply, and what came is the file's beginning.
                if final == DONE:
                    self.assertEqual(hashlib.sha256(payload).digest(),
                                     hashlib.sha256(big).digest())
                else:
                    self.assertTrue(final == BROKEN or final.startswith("550 "), final)
                    self.assertEqual(payload, big[:len(payload)])
                self.assertEqual(self.command(s, "NOOP"), "200 OK")
        self.assertEqual(self.transfer(s, "RETR going.bin"), (b"replacement", [RETR_150, DONE]))
        self.assert_others_go_on()


class RootFaults(FaultTest):
    def sessions_in(self, count, folder):
        sessions = []
        for _ in range(count):
            s = self.connect()
            self.assertEqual(self.command(s, "CWD " + folder), "250 CWD command successful")
            sessions.append(s)
        return sessions

    def assert_error_replies(self, sessions):
        """Every verb is answered with its error reply; listings may come out empty."""
        for s in sessions:
            self.assertTrue(self.command(s, "SIZE a.bin").startswith("550 "))
            self.assertEqual(self.transfer(s, "RETR a.bin")[0], None)
            payload, replies = self.transfer(s, "LIST")
            self.assertTrue(replies[0].startswith("550 ") or (payload == b"" and
                                                              replies == [LIST_150, DONE]),
                            (payload, replies))
            self.assertEqual(self.command(s, "CWD /"), "550 Could not change directory")
            self.assertTrue(self.command(s, "MKD new").startswith("550 "))
            self.assertEqual(self.transfer(s, "STOR new.bin")[0], None)
            self.assertTrue(self.command(s, "PWD").startswith('257 "/'))
            self.assertEqual(self.command(s, "NOOP"), "200 OK")

    def assert_served(self, sessions):
        for s in sessions:
            self.assertEqual(self.command(s, "CWD /fw"), "250 CWD command successful")
            self.assertEqual(self.transfer(s, "RETR a.bin"), (b"inside", [RETR_150, DONE]))

    def test_the_root_renamed_removed_or_replaced_while_sessions_run(self):
        self.write_file("fw/a.bin", b"inside")
        self.write_file("secret.txt", b"outside the root", base=self.base)
        self.start(upload=True)
        sessions = self.sessions_in(3, "/") + self.sessions_in(3, "/fw")
        moved = os.path.join(self.base, "moved")
        keep = os.path.join(self.base, "keep")

        with self.subTest("renamed"):
            # POSIX sessions keep the folder they started in, wherever it goes; Windows judges
            # every path by where its final path lies, and the root's has gone.
            os.rename(self.root, moved)
            if is_windows():
                self.assert_error_replies(sessions)
            else:
                self.assert_served(sessions)
            self.assertTrue(self.command(self.connect(), "SIZE fw/a.bin").startswith("550 "))
            self.assertFalse(os.path.exists(self.root))
            os.rename(moved, self.root)
            self.assert_served(sessions)
            self.assert_others_go_on()

        if is_windows():
            print("\n[faults] a link standing in for the root is not a link to the Windows "
                  "build: that case is left out", file=sys.stderr)
        else:
            with self.subTest("replaced by a link that leads out"):
                os.rename(self.root, keep)
                os.symlink(self.base, self.root)
                # Running sessions still serve the folder that moved; a new one serves nothing
                # through the link.
                for s in sessions:
                    self.assertEqual(self.command(s, "SIZE /secret.txt"),
                                     "550 No such file or directory")
                    payload, replies = self.transfer(s, "RETR ../secret.txt")
                    self.assertEqual(payload, None)
                    self.assertTrue(replies[0].startswith("550 "), replies)
                s = self.connect()
                self.assertEqual(self.command(s, "SIZE /secret.txt"), "550 Path permission error")
                self.assertEqual(self.command(s, "CWD /"), "550 Could not change directory")
                os.remove(self.root)
                os.rename(keep, self.root)
                self.assert_served(sessions)

        with self.subTest("removed"):
            shutil.copytree(self.root, keep)
            shutil.rmtree(self.root)
            self.assert_error_replies(sessions + [self.witness])
            self.assertEqual(self.command(self.connect(), "NOOP"), "200 OK")
            self.assertFalse(os.path.exists(self.root))
            os.rename(keep, self.root)
            self.assert_served(sessions)
            self.assert_others_go_on()
        self.assertEqual(sorted(os.listdir(self.base)), ["root", "secret.txt"])


class ConnectionFaults(FaultTest):
    def test_a_thousand_connections_dropped_without_a_word(self):
        self.start(args=["-maxperaddress", "10000"])  # 100 at once, all from this host
        idle = self.figures()
        opened = 0
        for batch in range(10):
            socks = []
            for _ in range(100):
                socks.append(socket.create_connection(("127.0.0.1", self.server.port),
                                                      timeout=TIMEOUT))
                opened += 1
            for i, sock in enumerate(socks):
                # Some leave before the greeting, some after it; some with a reset.
                if i % 3 == 0:
                    self.assertEqual(sock.recv(64), b"220 tarnLoader ready\r\n")
                if i % 2 == 0:
                    reset(sock)
                else:
                    sock.close()
        self.assertEqual(opened, 1000)
        self.assert_others_go_on()
        self.assert_back_to(idle)

    def test_connections_past_the_memory_limit_cost_only_themselves(self):
        if is_windows():
            self.skipTest("an address-space limit is a POSIX resource limit of the server")
        if is_sanitized():
            self.skipTest("a sanitizer's shadow memory does not fit an address-space limit")
        import resource
        limit = 512 << 20

        def limit_address_space():
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

        self.start(preexec_fn=limit_address_space, args=["-maxperaddress", "10000"])
        idle = self.figures()
        socks = []
        greeted = 0
        for _ in range(700):
            sock = socket.create_connection(("127.0.0.1", self.server.port), timeout=TIMEOUT)
            socks.append(sock)
            # Each one is greeted, or closed when its session could not be had.
            greeted += sock.recv(64) == b"220 tarnLoader ready\r\n"
        self.assertGreater(greeted, 0)
        self.assertLess(greeted, 700, "the limit was never reached")
        self.assertIsNone(self.server.process.poll(), "the server ended")
        self.assertEqual(self.transfer(self.witness, "RETR /witness.bin"),
                         (WITNESS, [RETR_150, DONE]))
        for sock in socks:
            sock.close()
        self.assert_others_go_on()
        self.assert_back_to(idle)

    def test_a_session_thread_that_cannot_start_costs_only_its_connection(self):
        if is_windows():
            self.skipTest("a limit on threads is a POSIX resource limit of the server process")
        import resource
        # The limit counts every task of the server's user, and root's are never limited, so a
        # server started by root runs as nobody; a helper of that user then takes the rest.
        uid = 65534 if os.getuid() == 0 else os.getuid()
        as_user = (lambda: (os.setgid(uid), os.setuid(uid))) if os.getuid() == 0 else None
        limit = tasks_of(uid) + 12  # room for the server's own threads and the witness's
        for folder in (self.base, self.root):
            os.chmod(folder, 0o755)
        # A copy nobody can reach: the build folder may lie where only root may enter.
        program = shutil.copy2(binary(), os.path.join(self.base, "tarnLoader"))
        self.start(preexec_fn=lambda: (resource.setrlimit(resource.RLIMIT_NPROC, (limit, limit)),
                                       as_user and as_user()), program=program)
        time.sleep(0.5)  # no ended session's thread waits for a new one now
        idle = self.figures()
        helper = subprocess.Popen(["/bin/sh", "-c", "for i in $(seq %d); do sleep 60 & done; wait"
                                   % (limit - tasks_of(uid) - 1)], preexec_fn=as_user,
                                  start_new_session=True)
        self.addCleanup(lambda: helper.poll() is None and os.killpg(helper.pid, signal.SIGKILL))
        self.wait_for(lambda: tasks_of(uid) >= limit, "the helper's processes did not start")
        for _ in range(3):
            self.assert_closed(self.connect(greet=False))
        os.killpg(helper.pid, signal.SIGKILL)
        self.wait_for(lambda: tasks_of(uid) < limit, "the helper's processes did not end")
        self.assertTrue(self.server.wait_console("Error: could not start a session thread: ",
                                                 stream="stderr", count=3), self.server.errors())
        self.assert_others_go_on()
        self.assert_back_to(idle)

    def test_limits_on_sessions_addresses_login_and_idle_time(self):
        """Over a limit, a connection gets its 421 and is closed; the sessions already there go on.
        By default one host holds at most 64 sessions, and a connection logs in or goes."""
        self.write_file("big.bin", pattern(32 << 20, 8))
        ready, from_address = "220 tarnLoader ready", "421 Too many connections from your address."
        too_many = "421 Too many connections, try again later."

        def answer(source=None):
            s = self.connect(greet=False, source=source)
            reply = self.read_reply(s)
            if reply != ready:
                self.assert_closed(s)
            return reply

        def total():  # three sessions with the witness
            self.assertEqual([answer(), answer(), answer(), answer("127.0.0.2")],
                             [ready, ready, too_many, too_many])
            self.assertEqual(self.command(self.witness, "QUIT"), "221 Goodbye")
            self.wait_for(lambda: answer() == ready, "the count of an ended session stayed")

        def per_address():  # under "-status", which names each refused client
            self.assertEqual([answer(), answer("127.0.0.2"), answer("127.0.0.2")],
                             [from_address, ready, from_address])
            self.assertEqual(self.command(self.witness, "NOOP"), "200 OK")
            self.assertTrue(self.server.wait_console("refused: " + from_address, count=2))
            self.assertRegex(self.server.console(), r"\n\d\d:\d\d:\d\d 127\.0\.0\.2:\d+ refused: "
                             + re.escape(from_address) + r" \(-maxperaddress 1\)\n")

        def default_per_address():  # 64 from one host, the witness among them
            held = [self.connect() for _ in range(63)]
            self.assertEqual([answer(), answer("127.0.0.2")], [from_address, ready])
            self.assertEqual(self.command(held[0], "QUIT"), "221 Goodbye")
            self.wait_for(lambda: answer() == ready, "the count of an ended session stayed")

        def login():
            start, silent, busy = time.monotonic(), self.connect(), self.connect()
            reply = "200 OK"
            while reply == "200 OK":  # commands do not stand for a login
                reply = time.sleep(0.2) or self.command(busy, "NOOP")
            self.assertEqual([reply, self.read_reply(silent)], ["421 Login timeout."] * 2)
            self.assertTrue(self.server.wait_console(" closed: 421 Login timeout.\n", count=2))
            self.assertTrue(0.9 < time.monotonic() - start < 5, time.monotonic() - start)
            self.assertEqual(self.command(self.witness, "NOOP"), "200 OK")
            # Nor does one that never reads its replies, though the server's send must wait.
            deaf = socket.socket()
            self.addCleanup(deaf.close)
            deaf.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            deaf.connect(("127.0.0.1", self.server.port))
            deaf.setblocking(False)
            try:
                while True:
                    deaf.send(b"NOOP\r\n" * 1000)
            except BlockingIOError:
                pass
            self.assertTrue(self.server.wait_console("disconnected after", count=3))

        def idle():
            start = time.monotonic()
            self.assertEqual(self.read_reply(self.witness), "421 Timeout.")
            self.assertTrue(0.9 < time.monotonic() - start < 5, time.monotonic() - start)
            self.assert_closed(self.witness)
            s = self.connect()  # a command now and then keeps a session
            self.assertEqual([time.sleep(0.5) or self.command(s, "NOOP") for _ in range(4)],
                             ["200 OK"] * 4)
            data = self.pasv(s)
            self.assertEqual(self.command(s, "RETR big.bin"), RETR_150)
            time.sleep(2)  # a transfer that waits for its client is no idle control connection
            self.assertEqual(len(self.read_all(data)), 32 << 20)
            self.assertEqual([self.read_reply(s), self.command(s, "NOOP")], [DONE, "200 OK"])

        for name, args, scenario in [("total", ["-maxsessions", "3"], total),
                                     ("per address", ["-maxperaddress", "1", "-status"],
                                      per_address),
                                     ("default per address", [], default_per_address),
                                     ("login", ["-logintimeout", "1", "-status"], login),
                                     ("idle", ["-idle", "1"], idle)]:
            with self.subTest(name):
                self.start(args=args)
                scenario()
                self.assertIsNone(self.server.process.poll(), "the server ended")
                self._stop_and_check(self.server)

    def test_clients_that_never_read_their_replies_lock_nobody_out(self):
        """Two clients send a burst of commands and read nothing: each reply that cannot go out
        for the idle limit ends its session, and the sessions' places come free."""
        [self.write_file("f%04d.bin" % i) for i in range(2000)]
        self.start_server("-idle", "3", "-maxsessions", "2")
        for _ in range(2):  # each STAT answers some 130 KB: the replies stick within a few
            self.connect(greet=False).sendall(b"STAT .\r\n" * 200)
        deadline = time.monotonic() + 30
        while self.connect(greet=False).recv(64) != b"220 tarnLoader ready\r\n":
            self.assertLess(time.monotonic(), deadline, "the stalled sessions held their places")
            time.sleep(0.2)

    def test_lines_that_never_end(self):
        self.start()
        idle = self.figures()
        with self.subTest("501 bytes without a line end, sent slowly"):
            s = self.connect()
            s.settimeout(0.2)
            for _ in range(50):
                s.sendall(b"N" * 10)
                time.sleep(0.005)
            try:
                early = s.recv(64)
            except socket.timeout:
                early = None  # 500 bytes held: the session still waits for its line end
            self.assertIsNone(early, "the session ended before 501 bytes")
            self.assert_others_go_on()
            s.settimeout(TIMEOUT)
            s.sendall(b"N")
            self.assert_closed(s)
        with self.subTest("partial lines that stay silent"):
            silent = []
            for i in range(50):
                s = self.connect()
                s.sendall(b"NOO" if i % 2 else b"RETR witn")
                silent.append(s)
            self.assert_others_go_on()
            # Each line, once completed, is answered as if nothing had happened meanwhile.
            for i, s in enumerate(silent):
                if i % 2:
                    self.assertEqual(self.command(s, "P"), "200 OK")
                else:
                    self.assertEqual([self.command(s, "ess.bin"), self.read_reply(s)],
                                     [RETR_150, "425 Use PORT or PASV first."])
                    self.assertEqual(self.transfer(s, "RETR witness.bin"),
                                     (WITNESS, [RETR_150, DONE]))
                self.assertEqual(self.command(s, "QUIT"), "221 Goodbye")
        self.assert_back_to(idle)

    def test_a_flood_of_pasv_and_port(self):
        self.write_file("fw.bin", pattern(3 << 20, 7))
        firmware = self.read_file("fw.bin")
        self.start()
        idle = self.figures()
        s = self.connect()
        port = self.passive_port(s)
        pasv_reply = "227 Entering Passive Mode (127,0,0,1,%d,%d)" % divmod(port, 256)
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        listener.settimeout(TIMEOUT)
        active = "PORT 127,0,0,1,%d,%d" % divmod(listener.getsockname()[1], 256)
        flood = [("PASV", pasv_reply), (active, "200 PORT command successful"),
                 ("PORT 10,0,0,1,4,1", "501 Illegal PORT command."),
                 ("PORT 127,0,0,1,300", "501 Illegal PORT command."),
                 ("PORT 127,0,0,1,0,21", "501 Illegal PORT command.")]
        sent = 0
        for round_number in range(6):
            with self.subTest(round=round_number):
                lines = [flood[i % len(flood)] for i in range(1000)]
                s.sendall(b"".join(text.encode() + b"\r\n" for text, _ in lines))
                replies = self.read_replies(s, len(lines))
                self.assertEqual(replies, [reply for _, reply in lines])
                sent += len(lines)
                # A passive download, then an active one, in the middle of the flood.
                payload, replies = self.transfer(s, "RETR fw.bin")
                self.assertEqual((payload == firmware, replies), (True, [RETR_150, DONE]))
                self.assertEqual(self.command(s, active), "200 PORT command successful")
                self.assertEqual(self.command(s, "RETR fw.bin"), RETR_150)
                data, _ = listener.accept()
                data.settimeout(TIMEOUT)
                self.assertTrue(self.read_all(data) == firmware)
                self.assertEqual(self.read_reply(s), DONE)
        with self.subTest("PASV with a connection left unused each time"):
            for _ in range(300):
                self.assertEqual(self.command(s, "PASV"), pasv_reply)
                socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT).close()
                sent += 1
            payload, replies = self.transfer(s, "RETR fw.bin")
            self.assertEqual((payload == firmware, replies), (True, [RETR_150, DONE]))
        self.assertGreaterEqual(sent, 6000)
        self.assert_others_go_on()
        self.assertEqual(self.command(s, "QUIT"), "221 Goodbye")
        self.assert_back_to(idle)


class TransferLogFaults(FaultTest):
    def test_a_full_slow_or_removed_log_holds_up_no_transfer(self):
        """Lines that cannot be written are dropped and counted; every transfer goes on."""
        log = os.path.join(self.base, "xfer.log")
        transfers = 2000  # lines of about 740 bytes: far more than a pipe and the queue hold
        reader = None
        for case, path in (("removed", log), ("full", "/dev/full"), ("slow", log + ".fifo")):
            with self.subTest(case):
                if case != "removed" and is_windows():
                    print("\n[faults] the %s transfer log is left out: /dev/full and fifos "
                          "are no files to the Windows build" % case, file=sys.stderr)
                    continue
                if case == "slow":
                    os.mkfifo(path)
                    # Opened but not read until the end: the writer's write waits meanwhile.
                    reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
                    self.addCleanup(os.close, reader)
                self.start(args=["-xferlog", path])
                if case == "removed":
                    os.remove(log)
                s = self.connect()
                self.assertEqual(self.command(s, "USER " + "u" * 400), "331 Login accepted")
                s.sendall(b"RETR " + b"n" * 300 + b"\r\n")
                s.sendall(b"".join(b"RETR %0300d\r\n" % i for i in range(transfers - 1)))
                self.assertEqual(len(self.read_replies(s, transfers)), transfers)
                self.assert_others_go_on()  # one more line
                if case != "slow":
                    self._stop_and_check(self.server)
        if reader is None:
            return
        # Read at last, the log holds whole lines; the drop lines count the rest exactly.
        lines, drop = transfers + 1, re.compile(r"\[(\d+) transfer log lines dropped\]\n")
        received, deadline = b"", time.monotonic() + TIMEOUT
        while (received.count(b"\n") + sum(map(int, drop.findall(self.server.errors()))) < lines
               and time.monotonic() < deadline):
            try:
                received += os.read(reader, 1 << 20)
            except BlockingIOError:
                time.sleep(0.05)
        # A line queued after the client's last reply may be dropped after the first report.
        dropped = [int(n) for n in drop.findall(self.server.errors())]
        self.assertEqual(received.count(b"\n"), lines - sum(dropped))
        self.assertTrue(received.endswith(b"\n") and dropped and min(dropped) > 0, dropped)


def tasks_of(uid):
    """The threads of every process whose real user is uid, as RLIMIT_NPROC counts them."""
    count = 0
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/status" % entry) as f:
                fields = dict(line.split(":", 1) for line in f)
        except OSError:
            continue  # a process that ended meanwhile
        count += int(fields["Threads"]) if int(fields["Uid"].split()[0]) == uid else 0
    return count


def read_pipe(pipe, until=None, quiet=0.2):
    """What the pipe holds: read until the text until has come (or TIMEOUT), else until it has
    been quiet for quiet seconds."""
    data = b""
    deadline = time.monotonic() + TIMEOUT
    while until is None or until not in data:
        wait = quiet if until is None else deadline - time.monotonic()
        if wait <= 0 or not select.select([pipe], [], [], wait)[0]:
            break
        chunk = os.read(pipe.fileno(), 65536)
        if not chunk:
            break
        data += chunk
    return data


class ConsoleFaults(FaultTest):
    def test_a_console_nobody_reads_holds_up_no_session(self):
        self.skip_on_a_windows_host("select on a pipe and POSIX signals")
        port = free_port()
        self.server = Server(["-p", str(port), "-ftpverbose"], self.root)
        self.server.port = port
        self.server.start(stdout=subprocess.PIPE,
                          preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        self.addCleanup(self._stop_and_check, self.server)
        pipe = self.server.process.stdout
        ready = READY_LINE.rstrip().encode()  # Windows ends it with CR LF
        self.assertIn(ready, read_pipe(pipe, until=ready))
        greeting, noop = "    220 tarnLoader ready\n", "NOOP \n    200 OK\n"
        other = greeting + "QUIT \n    221 Goodbye\nClosing control connection\n"
        s = self.connect()
        # 340 KB of echo: far more than the pipe (64 KiB) and the queue (64 KiB) hold.
        for batch in range(40):
            s.sendall(b"NOOP\r\n" * 500)
            self.assertEqual(self.read_replies(s, 500), ["200 OK"] * 500)
            if batch == 20:
                late = self.connect()
                self.assertEqual(self.command(late, "QUIT"), "221 Goodbye")
                self.assert_closed(late)
        # Read again: what was queued comes out, then the drop line before the next text.
        seen, more = b"", 0
        drop = re.compile(r"\[(\d+) characters of console output dropped\]\n")
        while not re.search(drop.pattern + "(%s)+$" % re.escape(noop), normalise(
                seen.decode("latin-1"))) and more < 100:
            self.assertEqual(self.command(s, "NOOP"), "200 OK")
            seen += read_pipe(pipe)
            more += 1
        before, dropped, after = drop.split(normalise(seen.decode("latin-1")))
        # Whole texts were dropped, in one stretch, and counted exactly.
        produced = greeting + noop * 10500 + other + noop * (9500 + more)
        self.assertTrue(produced.startswith(before) and produced.endswith(after))
        self.assertEqual(len(before) + int(dropped) + len(after), len(produced))
        # Stalled again, the console cannot hold the end: Ctrl-C gives the queue at most 2 s.
        s.sendall(b"NOOP\r\n" * 10000)
        self.assertEqual(len(self.read_replies(s, 10000)), 10000)
        self.server.process.send_signal(signal.SIGINT)
        self.assertEqual(self.server.wait_exit(TIMEOUT), 0 if is_windows() else -signal.SIGINT)
