"""ABOR as clients send it: during an upload, which must not be stored, and during a download
that the client has stopped reading, over clear text and TLS, with and without the Telnet
sync (IP, then DM as urgent data) that ftplib, FileZilla and lftp send before it."""
import os
import socket
import ssl
import time

from harness import TIMEOUT, ServerTest
from test_transfers import RETR_150, pattern_bytes

ABORTED = ["426 Connection closed; transfer aborted.", "226 Aborted"]


def unverified():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


class Abort(ServerTest):
    def send_abort(self, s, sync):
        if sync and isinstance(s.sock, ssl.SSLSocket):
            # Over TLS urgent data would cut into a record: the sync goes inside the stream.
            s.sendall(b"\xff\xf4\xff\xf2ABOR\r\n")
        elif sync:
            # lftp's form: IAC IP IAC as urgent data (the last IAC is the urgent byte, taken
            # out of the stream), then DM and the command.
            s.sock.send(b"\xff\xf4\xff", socket.MSG_OOB)
            s.sendall(b"\xf2ABOR\r\n")
        else:
            s.sendall(b"ABOR\r\n")

    def protect(self, s, context):
        """AUTH TLS, PBSZ and PROT P on s."""
        self.assertEqual(self.command(s, "AUTH TLS"), "234 AUTH TLS ok")
        s.sock = context.wrap_socket(s.sock)
        self.assertEqual(self.command(s, "PBSZ 0"), "200 PBSZ=0")
        self.assertEqual(self.command(s, "PROT P"), "200 Protection level set to P")

    def start_transfer(self, s, context, command):
        data = self.pasv(s)
        self.assertEqual(self.command(s, command), RETR_150)
        if context is not None:
            data = context.wrap_socket(data, session=s.sock.session)
        return data

    def test_abor_stops_uploads_and_downloads(self):
        old = pattern_bytes(1000000, 3)
        self.write_file("fw.bin", old)
        self.write_file("big.bin", b"\x5a" * (48 << 20))
        self.start_server("-tls", upload=True)
        for mode in ("clear", "tls"):
            if mode == "tls":
                self.skip_where_wine_has_no_tls_server()
            for sync in (False, True):
                for command in ("STOR fw.bin", "RETR big.bin"):
                    with self.subTest(mode=mode, sync=sync, command=command):
                        s = self.connect()
                        context = unverified() if mode == "tls" else None
                        if context is not None:
                            self.protect(s, context)
                        data = self.start_transfer(s, context, command)
                        if command.startswith("STOR"):
                            data.sendall(b"\x11" * 1000)
                        else:
                            self.assertGreater(len(data.recv(65536)), 0)
                        started = time.monotonic()
                        self.send_abort(s, sync)
                        if command.startswith("STOR"):
                            data.close()
                        self.assertEqual(self.read_replies(s, 2), ABORTED)
                        self.assertLess(time.monotonic() - started, 5)
                        data.close()
                        self.assertEqual(self.command(s, "NOOP"), "200 OK")
                        self.assertEqual(self.read_file("fw.bin"), old)
                        self.assertEqual(sorted(os.listdir(self.root)), ["big.bin", "fw.bin"])

    def full_listener(self):
        """A listener whose queue is full: a connection to it is never answered, as behind a
        firewall that drops it. Returns its PORT command."""
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        for _ in range(2):  # the queue holds backlog + 1
            filler = socket.socket()
            self.addCleanup(filler.close)
            filler.setblocking(False)
            filler.connect_ex(listener.getsockname())
        time.sleep(0.2)
        return "PORT 127,0,0,1,%d,%d" % divmod(listener.getsockname()[1], 256)

    def test_abor_ends_a_wait_for_the_data_connection(self):
        self.write_file("fw.bin", b"old")
        self.start_server()
        s = self.connect()
        for mode in ("active", "passive"):
            with self.subTest(mode=mode):
                if mode == "active":
                    self.assertEqual(self.command(s, self.full_listener()),
                                     "200 PORT command successful")
                else:
                    self.assertTrue(self.command(s, "PASV").startswith("227 "))
                self.assertEqual(self.command(s, "RETR fw.bin"), RETR_150)
                # A command that waits its turn ends no wait; the connection never comes.
                s.sendall(b"NOOP\r\n")
                time.sleep(0.5)
                started = time.monotonic()
                self.send_abort(s, sync=True)
                self.assertEqual(self.read_replies(s, 3), [ABORTED[0], "200 OK", ABORTED[1]])
                self.assertLess(time.monotonic() - started, 5)
                self.assertEqual(self.command(s, "NOOP"), "200 OK")

    def test_abor_without_a_transfer_and_commands_pipelined_during_one(self):
        self.write_file("fw.bin", b"old")
        self.start_server(upload=True)
        s = self.connect()
        self.assertEqual(self.command(s, "ABOR"), "226 Aborted")
        # A NOOP that arrives during an upload waits its turn and cancels nothing.
        data = self.pasv(s)
        self.assertEqual(self.command(s, "STOR fw.bin"), RETR_150)
        data.sendall(b"new")
        s.sendall(b"NOOP\r\n")
        time.sleep(0.1)
        data.close()
        self.assertEqual(self.read_replies(s, 2), ["226 Transfer complete", "200 OK"])
        self.assertEqual(self.read_file("fw.bin"), b"new")


class ActiveTargets(ServerTest):
    def test_ports_below_1024_are_refused(self):
        self.start_server()
        s = self.connect()
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        allowed = "PORT 127,0,0,1,%d,%d" % divmod(listener.getsockname()[1], 256)
        for command, reply in (("PORT 127,0,0,1,0,21", "501 Illegal PORT command."),
                               ("PORT 127,0,0,1,3,255", "501 Illegal PORT command."),
                               ("EPRT |1|127.0.0.1|22|", "501 Illegal EPRT command."),
                               ("PORT 127,0,0,1,4,0", "200 PORT command successful"),
                               (allowed, "200 PORT command successful")):
            with self.subTest(command=command):
                self.assertEqual(self.command(s, command), reply)
        listener.settimeout(TIMEOUT)
        self.assertEqual(self.command(s, "LIST"), "150 Opening connection")
        listener.accept()[0].close()  # the last valid PORT holds, not a refused one
        self.assertEqual(self.read_reply(s), "226 Transfer complete")
