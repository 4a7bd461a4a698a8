"""Data connections: PASV, PORT and the passive listener, as a raw client sees them."""
import os
import re
import socket
import struct
import threading
import time

from harness import TIMEOUT, Connection, ServerTest, free_port, is_windows

PASV_REPLY = re.compile(r"227 Entering Passive Mode \((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)")
RETR_150 = "150 Opening BINARY mode data connection"
LIST_150 = "150 Opening connection"
DONE = "226 Transfer complete"


def port_argument(port, host="127,0,0,1"):
    return "%s,%d,%d" % (host, port >> 8, port & 255)


class DataConnectionTest(ServerTest):
    def listener(self, host="127.0.0.1"):
        """A listening socket of the test's own, the target of active mode."""
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(sock.close)
        sock.settimeout(TIMEOUT)
        sock.bind((host, 0))
        sock.listen(4)
        return sock

    def accept_all(self, listener):
        """Accepts the server's active connection and reads it to its end."""
        data, peer = listener.accept()
        self.addCleanup(data.close)
        data.settimeout(TIMEOUT)
        return self.read_all(data), peer

    def passive_numbers(self, reply):
        match = PASV_REPLY.fullmatch(reply)
        self.assertIsNotNone(match, reply)
        return [int(n) for n in match.groups()]

    def connect_from(self, source):
        """A control connection whose client end is bound to another loopback address, or
        None where the system does not route that address to loopback."""
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(sock.close)
        sock.settimeout(TIMEOUT)
        try:
            sock.bind((source, 0))
            sock.connect(("127.0.0.1", self.server.port))
        except OSError as error:
            print("\n%s: no loopback client address %s here (%s)" % (self.id(), source, error))
            return None
        s = Connection(sock)
        self.assertEqual(self.read_reply(s), "220 tarnLoader ready")
        return s

    def assert_closed_by_server(self, sock):
        sock.settimeout(TIMEOUT)
        try:
            self.assertEqual(sock.recv(65536), b"")
        except ConnectionResetError:
            pass


class PassiveMode(DataConnectionTest):
    def test_pasv_announces_the_server_and_a_port_that_takes_the_transfer(self):
        self.write_file("a.bin", b"passive bytes")
        self.start_server()
        s = self.connect()
        first = self.command(s, "PASV")
        numbers = self.passive_numbers(first)
        self.assertEqual(numbers[:4], [127, 0, 0, 1])
        port = numbers[4] * 256 + numbers[5]
        self.assertNotEqual(port, self.server.port)
        # The listener lives for the whole session: every PASV announces the same port.
        self.assertEqual(self.command(s, "PASV"), first)

        data = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.addCleanup(data.close)
        self.assertEqual(self.command(s, "RETR a.bin"), RETR_150)
        self.assertEqual(self.read_all(data), b"passive bytes")
        self.assertEqual(self.read_reply(s), DONE)

        self.assertEqual(self.command(s, "PASV"), first)
        payload, replies = self.transfer(s, "NLST")
        self.assertEqual(replies, [LIST_150, DONE])
        self.assertEqual(payload, b"a.bin\r\n")

    def test_stale_data_connections_are_drained_by_the_next_pasv(self):
        self.write_file("a.bin", b"the right bytes")
        self.start_server(upload=True)
        s = self.connect()
        os.mkdir(os.path.join(self.root, "sub"))  # so that STOR sub is refused before its 150
        # Two clients' habit: connect right after the 227, then the command fails before
        # its 150 and the connection stays queued on the listener.
        stale = []
        for failing in ("RETR missing.bin", "STOR sub"):
            with self.subTest(failing=failing):
                stale.append(self.pasv(s))
                self.assertTrue(self.command(s, failing).startswith("550 "))
        payload, replies = self.transfer(s, "RETR a.bin")
        self.assertEqual(replies, [RETR_150, DONE])
        self.assertEqual(payload, b"the right bytes")
        for sock in stale:
            self.assert_closed_by_server(sock)

        # Two stale connections at once (the listener's whole queue), then an upload.
        stale = [self.pasv(s)]
        self.assertTrue(self.command(s, "RETR missing.bin").startswith("550 "))
        stale.append(self.pasv(s))
        self.assertTrue(self.command(s, "STOR sub").startswith("550 "))
        self.assertEqual(self.upload(s, "STOR up.bin", b"uploaded"), [RETR_150, DONE])
        self.assertEqual(self.read_file("up.bin"), b"uploaded")
        for sock in stale:
            self.assert_closed_by_server(sock)

    def test_the_next_session_gets_nothing_an_ended_session_left_queued(self):
        # A connection the first client made and never used must not become the next
        # client's data connection, whatever port the next session gets.
        self.write_file("a.bin", b"for the second client")
        self.start_server()
        first = self.connect()
        stale = self.pasv(first)
        self.assertEqual(self.command(first, "QUIT"), "221 Goodbye")
        self.assert_closed(first)
        time.sleep(0.05)  # the ended session's thread closes its listener after the close
        second = self.connect()
        payload, replies = self.transfer(second, "RETR a.bin")
        self.assertEqual(replies, [RETR_150, DONE])
        self.assertEqual(payload, b"for the second client")
        self.assert_closed_by_server(stale)

    def test_a_data_connection_from_another_host_is_closed_and_the_wait_goes_on(self):
        self.write_file("a.bin", b"for the client only")
        self.start_server()
        s = self.connect_from("127.0.0.2")
        if s is None:
            self.skipTest("127.0.0.2 is not a loopback address on this system")
        numbers = self.passive_numbers(self.command(s, "PASV"))
        port = numbers[4] * 256 + numbers[5]
        self.assertEqual(self.command(s, "RETR a.bin"), RETR_150)
        # One that resets at once, perhaps before it is accepted, ends nobody's wait either.
        resetting = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT,
                                             source_address=("127.0.0.1", 0))
        resetting.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        resetting.close()
        intruder = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT,
                                            source_address=("127.0.0.1", 0))
        self.addCleanup(intruder.close)
        self.assert_closed_by_server(intruder)
        data = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT,
                                        source_address=("127.0.0.2", 0))
        self.addCleanup(data.close)
        self.assertEqual(self.read_all(data), b"for the client only")
        self.assertEqual(self.read_reply(s), DONE)

    def test_a_host_that_keeps_connecting_to_the_passive_port_keeps_no_client_out(self):
        # Another host connects without pause from the 227 on; the client connects a moment
        # later and must still get in, and its connection must carry the transfer.
        self.write_file("a.bin", b"through the crowd")
        self.start_server()
        s = self.connect()
        numbers = self.passive_numbers(self.command(s, "PASV"))
        port = numbers[4] * 256 + numbers[5]
        crowd, stop = [], threading.Event()

        def keep_connecting():
            while not stop.is_set() and len(crowd) < 400:
                sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                crowd.append(sock)
                try:
                    sock.bind(("127.0.0.2", 0))
                except OSError:
                    return  # no such loopback address here; the test is skipped below
                sock.setblocking(False)
                sock.connect_ex(("127.0.0.1", port))
                time.sleep(0.002)

        intruder = threading.Thread(target=keep_connecting)
        intruder.start()
        try:
            time.sleep(0.05)
            if not crowd or crowd[0].getsockname()[0] != "127.0.0.2":
                self.skipTest("127.0.0.2 is not a loopback address on this system")
            data = socket.create_connection(("127.0.0.1", port), timeout=3)
            self.addCleanup(data.close)
            self.assertEqual(self.command(s, "RETR a.bin"), RETR_150)
            self.assertEqual(self.read_all(data), b"through the crowd")
            self.assertEqual(self.read_reply(s), DONE)
        finally:
            stop.set()
            intruder.join()
            for sock in crowd:
                sock.close()


class ActiveMode(DataConnectionTest):
    def test_port_target_receives_listings_and_files(self):
        self.write_file("a.bin", b"active bytes")
        self.start_server()
        s = self.connect()
        listener = self.listener()
        port = listener.getsockname()[1]
        self.assertEqual(self.command(s, "PORT " + port_argument(port)),
                         "200 PORT command successful")
        self.assertEqual(self.command(s, "NLST"), LIST_150)
        payload, peer = self.accept_all(listener)
        self.assertEqual(payload, b"a.bin\r\n")
        self.assertEqual(peer[0], "127.0.0.1")
        self.assertEqual(self.read_reply(s), DONE)
        # The target stays for the next transfer.
        self.assertEqual(self.command(s, "RETR a.bin"), RETR_150)
        payload, _ = self.accept_all(listener)
        self.assertEqual(payload, b"active bytes")
        self.assertEqual(self.read_reply(s), DONE)

    def test_port_after_pasv_returns_to_active_mode(self):
        self.write_file("a.bin", b"switched")
        self.start_server()
        s = self.connect()
        self.passive_numbers(self.command(s, "PASV"))
        listener = self.listener()
        port = listener.getsockname()[1]
        self.assertEqual(self.command(s, "PORT " + port_argument(port)),
                         "200 PORT command successful")
        self.assertEqual(self.command(s, "RETR a.bin"), RETR_150)
        payload, _ = self.accept_all(listener)
        self.assertEqual(payload, b"switched")
        self.assertEqual(self.read_reply(s), DONE)
        # And PASV switches back.
        payload, replies = self.transfer(s, "RETR a.bin")
        self.assertEqual((payload, replies), (b"switched", [RETR_150, DONE]))

    def test_refused_port_changes_nothing(self):
        self.write_file("a.bin", b"unchanged target")
        self.start_server()
        s = self.connect()
        listener = self.listener()
        port = listener.getsockname()[1]
        self.assertEqual(self.command(s, "PORT " + port_argument(port)),
                         "200 PORT command successful")
        refused = [
            "PORT 10,0,0,5,4,1",        # a third party: the FTP bounce
            "PORT " + port_argument(port, "127,0,0,3"),  # loopback, but not the peer
            "PORT 127,0,0,1,4",          # five numbers
            "PORT 127,0,0,1",
            "PORT",
            "PORT 127,0,0,1,4,x",
            "PORT 127;0;0;1;4;1",
            "PORT 127.0.0.1.4.1",
            "PORT 127 ,0,0,1,4,1",
        ]
        for command in refused:
            # Plain asserts, not subtests: a wrongly accepted target must never be used.
            self.assertEqual(self.command(s, command), "501 Illegal PORT command.", command)
            self.assertEqual(self.command(s, "RETR a.bin"), RETR_150, command)
            payload, _ = self.accept_all(listener)
            self.assertEqual(payload, b"unchanged target", command)
            self.assertEqual(self.read_reply(s), DONE, command)

        # A refused PORT leaves passive mode as it was, too.
        data = self.pasv(s)
        self.assertEqual(self.command(s, "PORT 10,0,0,5,4,1"), "501 Illegal PORT command.")
        self.assertEqual(self.command(s, "RETR a.bin"), RETR_150)
        self.assertEqual(self.read_all(data), b"unchanged target")
        self.assertEqual(self.read_reply(s), DONE)

    def test_port_reads_six_numbers_and_their_low_bytes(self):
        self.write_file("a.bin", b"low bytes")
        self.start_server()
        s = self.connect()
        listener = self.listener()
        port = listener.getsockname()[1]
        high, low = port >> 8, port & 255
        accepted = [
            "127,0,0,1,%d,%d,7" % (high, low),        # text after the sixth number is ignored
            "383,0,0,1,%d,%d" % (high, low),          # 383 is 127 in its low byte
            "127,0,0,1,%d,%d" % (high + 256, low - 256),
            " 127, 0, 0, 1, %d, %d" % (high, low),   # blanks before each number
            "+127,0,0,+1,%d,%d" % (high, low),
        ]
        for argument in accepted:
            self.assertEqual(self.command(s, "PORT " + argument),
                             "200 PORT command successful", argument)
            self.assertEqual(self.command(s, "RETR a.bin"), RETR_150, argument)
            payload, _ = self.accept_all(listener)
            self.assertEqual(payload, b"low bytes", argument)
            self.assertEqual(self.read_reply(s), DONE, argument)

    def test_transfer_before_any_port_is_refused_after_its_150(self):
        self.write_file("a.bin", b"never sent")
        self.start_server(upload=True)
        s = self.connect()
        for command, first in (("RETR a.bin", RETR_150), ("LIST", LIST_150),
                               ("NLST", LIST_150), ("STOR new.bin", RETR_150)):
            with self.subTest(command=command):
                self.assertEqual(self.command(s, command), first)
                self.assertEqual(self.read_reply(s), "425 Use PORT or PASV first.")
                self.assertEqual(self.command(s, "NOOP"), "200 OK")
        self.assertEqual(sorted(os.listdir(self.root)), ["a.bin"])

    def test_nobody_listening_gives_an_error_reply_and_the_session_goes_on(self):
        self.write_file("a.bin", b"after the failure")
        self.start_server(upload=True)
        s = self.connect()
        closed_port = free_port()
        self.assertEqual(self.command(s, "PORT " + port_argument(closed_port)),
                         "200 PORT command successful")
        for command, first in (("RETR a.bin", RETR_150), ("LIST", LIST_150),
                               ("STOR new.bin", RETR_150)):
            with self.subTest(command=command):
                self.assertEqual(self.command(s, command), first)
                reply = self.read_reply(s)
                self.assertTrue(reply.startswith("550 "), reply)
                if not is_windows():
                    self.assertEqual(reply, "550 Connection refused")
                self.assertEqual(self.command(s, "NOOP"), "200 OK")
        self.assertTrue(self.server.wait_console("connect() failed: ", stream="stderr"),
                        self.server.errors())
        self.assertEqual(os.listdir(self.root), ["a.bin"])
        payload, replies = self.transfer(s, "RETR a.bin")
        self.assertEqual((payload, replies), (b"after the failure", [RETR_150, DONE]))


class ClientAddress(DataConnectionTest):
    def test_port_must_name_the_peer_and_pasv_still_announces_the_server(self):
        self.write_file("a.bin", b"to the peer")
        self.start_server()
        s = self.connect_from("127.0.0.2")
        if s is None:
            self.skipTest("127.0.0.2 is not a loopback address on this system")
        listener = self.listener("127.0.0.2")
        port = listener.getsockname()[1]
        # 127.0.0.1 is the server's own address, but not the client's.
        self.assertEqual(self.command(s, "PORT " + port_argument(port)),
                         "501 Illegal PORT command.")
        self.assertEqual(self.command(s, "PORT " + port_argument(port, "127,0,0,2")),
                         "200 PORT command successful")
        self.assertEqual(self.command(s, "RETR a.bin"), RETR_150)
        payload, _ = self.accept_all(listener)
        self.assertEqual(payload, b"to the peer")
        self.assertEqual(self.read_reply(s), DONE)
        # PASV after PORT announces the server's address, not the PORT target.
        numbers = self.passive_numbers(self.command(s, "PASV"))
        self.assertEqual(numbers[:4], [127, 0, 0, 1])
