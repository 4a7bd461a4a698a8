"""Hostile or heavy traffic on the control port: the server and its other sessions go on."""
import os
import random
import socket
import threading

from harness import TIMEOUT, Connection, ServerTest

FIRMWARE = bytes(range(256)) * 4096  # 1 MiB

VERBS = ["ABOR", "CWD", "DELE", "LIST", "MDTM", "MKD", "MODE", "NLST", "NOOP", "PASS", "PASV",
         "PORT", "PWD", "QUIT", "REST", "RETR", "RMD", "RNFR", "RNTO", "SIZE", "STAT", "STOR",
         "SYST", "TYPE", "USER", "XMKD", "XPWD", "XRMD"]


def names_a_verb(line):
    """Whether the server would take this line for a known command."""
    verb = ""
    for byte in line[:5]:
        if not (65 <= byte <= 90 or 97 <= byte <= 122):
            break
        verb += chr(byte).upper()
    return any(verb == v if len(v) == 3 else verb[:4] == v for v in VERBS)


def random_lines(rng, count):
    """Lines of random bytes (no CR or LF inside), none of them a known command, so each is
    answered by exactly one "500" reply."""
    lines = []
    for _ in range(count):
        line = bytes(rng.choice([b for b in range(256) if b not in (10, 13)])
                     for _ in range(rng.randrange(120)))
        if names_a_verb(line):
            line = b"#" + line
        lines.append(line + b"\r\n")
    return b"".join(lines)


class Garbage(ServerTest):
    def send_garbage(self, payload):
        """Sends payload on a fresh control connection while draining the replies, then ends
        the sending side. Returns the reply bytes received until the server closed."""
        sock = socket.create_connection(("127.0.0.1", self.server.port), timeout=TIMEOUT)
        self.addCleanup(sock.close)
        received = []

        def drain():
            try:
                while True:
                    chunk = sock.recv(65536)
                    if not chunk:
                        return
                    received.append(chunk)
            except OSError:
                return  # reset: the server dropped a session that sent too much

        reader = threading.Thread(target=drain)
        reader.start()
        try:
            sock.sendall(payload)
            sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # the server may end the session before all of it is sent
        reader.join(TIMEOUT * 3)
        self.assertFalse(reader.is_alive(), "the server neither answered nor closed")
        return b"".join(received)

    def test_garbage_never_disturbs_a_session_mid_conversation(self):
        self.start_server()
        self.write_file(os.path.join("pkg", "image.bin"), FIRMWARE)
        victim = self.connect()
        self.assertEqual(self.command(victim, "USER chassis"), "331 Login accepted")
        self.assertEqual(self.command(victim, "CWD pkg"), "250 CWD command successful")
        data = self.pasv(victim)

        rng = random.Random(20110621)
        random_bytes = bytes(rng.randrange(256) for _ in range(1 << 16))
        flood_lines = 20000
        garbage_lines = 500
        payloads = {
            "random binary bytes": random_bytes,
            "random bytes without line ends": random_bytes.replace(b"\r", b"").replace(b"\n", b""),
            "random lines": random_lines(rng, garbage_lines),
            "NUL bytes": b"\x00" * (1 << 16),
            "NUL bytes in lines": (b"\x00" * 100 + b"\r\n") * 200,
            "600-byte lines": (b"A" * 600 + b"\r\n") * 50,
            "long flood without line ends": b"x" * (4 << 20),
            "flood of short lines": b"\xff\xfe\r\n" * flood_lines,
        }
        outcomes = {}
        workers = []

        def run(name, payload):
            outcomes[name] = self.send_garbage(payload)

        for name, payload in payloads.items():
            workers.append(threading.Thread(target=run, args=(name, payload)))
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join(TIMEOUT * 4)
        for name in payloads:
            with self.subTest(name):
                self.assertIn(name, outcomes)
                self.assertTrue(outcomes[name].startswith(b"220 tarnLoader ready\r\n"))
        # Every line was answered, none lost and none doubled.
        self.assertEqual(outcomes["flood of short lines"],
                         b"220 tarnLoader ready\r\n" +
                         b"500 Command not recognized\r\n" * flood_lines)
        self.assertEqual(outcomes["random lines"],
                         b"220 tarnLoader ready\r\n" +
                         b"500 Command not recognized\r\n" * garbage_lines)
        self.assertEqual(outcomes["NUL bytes in lines"],
                         b"220 tarnLoader ready\r\n" + b"500 Command not recognized\r\n" * 200)
        # A line that fills the buffer without a line end ends that session unanswered.
        for name in ("600-byte lines", "NUL bytes", "long flood without line ends",
                     "random bytes without line ends"):
            with self.subTest(name):
                self.assertEqual(outcomes[name], b"220 tarnLoader ready\r\n")

        self.assertIsNone(self.server.process.poll(), "the server ended")
        self.assertEqual(self.command(victim, "PWD"), '257 "/pkg"')
        self.assertEqual(self.command(victim, "RETR image.bin"),
                         "150 Opening BINARY mode data connection")
        self.assertEqual(self.read_all(data), FIRMWARE)
        self.assertEqual(self.read_reply(victim), "226 Transfer complete")
        self.assertEqual(self.command(victim, "QUIT"), "221 Goodbye")
        self.assertEqual(self.command(self.connect(), "NOOP"), "200 OK")


class ManySessions(ServerTest):
    def test_200_sessions_at_once_are_greeted_and_end_on_quit(self):
        self.start_server("-maxperaddress", "200")  # all from this host
        count = 200
        # All connect at the same moment, so the listener's accept queue is what they meet.
        start = threading.Barrier(count)
        sockets = [None] * count

        def open_one(index):
            start.wait(TIMEOUT)
            sockets[index] = socket.create_connection(("127.0.0.1", self.server.port),
                                                      timeout=TIMEOUT)

        openers = [threading.Thread(target=open_one, args=(i,)) for i in range(count)]
        for opener in openers:
            opener.start()
        for opener in openers:
            opener.join(TIMEOUT * 2)
        for sock in sockets:
            if sock is not None:
                self.addCleanup(sock.close)
        self.assertNotIn(None, sockets, "some connections were not made")
        sessions = [Connection(sock) for sock in sockets]
        greetings = [self.read_reply(s) for s in sessions]
        self.assertEqual(greetings, ["220 tarnLoader ready"] * count)
        for s in sessions:
            s.sendall(b"QUIT\r\n")
        self.assertEqual([self.read_reply(s) for s in sessions], ["221 Goodbye"] * count)
        for s in sessions:
            self.assert_closed(s)
        s = self.connect()
        self.assertEqual(self.command(s, "NOOP"), "200 OK")
        self.assertIsNone(self.server.process.poll())
        self.assertEqual(self.server.errors(), "")
