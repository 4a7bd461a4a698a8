"""The read-only gates, the empty-argument replies and the login-free session."""
import os

from harness import READY_LINE, ServerTest

GATED = ["MKD", "XMKD", "RMD", "XRMD", "RNTO"]
NEEDS_PATH = ["STOR", "MKD", "XMKD", "RMD", "XRMD", "RETR", "DELE", "RNFR", "MDTM", "SIZE"]


class ReadOnlyGates(ServerTest):
    def test_gated_verbs_are_refused_with_or_without_argument(self):
        self.start_server()
        os.mkdir(os.path.join(self.root, "keep"))
        self.write_file("image.bin", b"firmware")
        s = self.connect()
        for argument in ("", " keep", " fresh", " image.bin"):
            with self.subTest(argument=argument):
                self.assertEqual(self.command(s, "STOR" + argument), "553 Permission denied")
                for verb in GATED:
                    self.assertEqual(self.command(s, verb + argument), "550 Permission denied",
                                     verb)
        self.assertEqual(sorted(os.listdir(self.root)), ["image.bin", "keep"])
        self.assertEqual(self.read_file("image.bin"), b"firmware")

    def test_dele_and_rnfr_are_not_gated(self):
        self.start_server()
        self.write_file("old.bin", b"x")
        self.write_file("image.bin", b"firmware")
        s = self.connect()
        self.assertEqual(self.command(s, "DELE old.bin"), "250 DELE command successful.")
        self.assertFalse(os.path.exists(os.path.join(self.root, "old.bin")))
        self.assertEqual(self.command(s, "RNFR image.bin"), "350 File exists")
        self.assertEqual(self.command(s, "RNTO renamed.bin"), "550 Permission denied")
        self.assertEqual(os.listdir(self.root), ["image.bin"])


class EmptyArguments(ServerTest):
    def test_verbs_that_need_a_path_refuse_an_empty_argument(self):
        self.start_server(upload=True)
        s = self.connect()
        for verb in NEEDS_PATH:
            for line in (verb, verb + " "):
                with self.subTest(line=line):
                    self.assertEqual(self.command(s, line), "550 Path permission error")
        self.assertEqual(os.listdir(self.root), [])
        self.assertEqual(self.command(s, "NOOP"), "200 OK")

    def test_retr_without_argument_prints_no_reading(self):
        self.start_server()
        self.write_file("image.bin", b"firmware")
        s = self.connect()
        self.assertEqual(self.command(s, "RETR"), "550 Path permission error")
        data, replies = self.transfer(s, "RETR image.bin")
        self.assertEqual(data, b"firmware")
        self.assertEqual(replies, ["150 Opening BINARY mode data connection",
                                   "226 Transfer complete"])
        # Greeting, RETR and PASV replies; then the transfer's two replies after "Reading.".
        self.assertTrue(self.server.wait_console("Reading..."))
        self.assertEqual(self.server.console().split(READY_LINE, 1)[1], "...Reading...")

    def test_listings_without_argument_list_the_current_directory(self):
        for upload in (False, True):
            with self.subTest(upload=upload):
                self.start_server(upload=upload)
                self.write_file("image.bin", b"firmware")
                s = self.connect()
                data, replies = self.transfer(s, "LIST")
                self.assertEqual(replies, ["150 Opening connection", "226 Transfer complete"])
                self.assertIn(b"image.bin", data)
                data, replies = self.transfer(s, "NLST")
                self.assertEqual(replies, ["150 Opening connection", "226 Transfer complete"])
                self.assertEqual(data, b"image.bin\r\n")
                # STAT answers with the listing as a reply on the control connection.
                s.sendall(b"STAT\r\n")
                first, line, last = self.read_replies(s, 3)
                self.assertEqual((first, last), ("211-Status follows:", "211 End"))
                self.assertTrue(line.endswith(" image.bin"), line)
                self.server.stop()


class Session(ServerTest):
    def test_no_login_is_needed_and_user_and_pass_take_anything(self):
        self.start_server()
        self.write_file("image.bin", b"firmware")
        s = self.connect()
        self.assertEqual(self.command(s, "SIZE image.bin"), "213 8")
        for line, reply in [("PASS", "230 User logged in"),
                            ("PASS x", "230 User logged in"),
                            ("USER", "331 Login accepted"),
                            ("USER a", "331 Login accepted"),
                            ("USER b", "331 Login accepted"),
                            ("PASS", "230 User logged in"),
                            ("USER anonymous", "331 Login accepted")]:
            with self.subTest(line=line):
                self.assertEqual(self.command(s, line), reply)
        data, _ = self.transfer(s, "RETR image.bin")
        self.assertEqual(data, b"firmware")
        self.assertTrue(self.server.wait_console("\nChassis accessing package.", count=3))
        self.assertEqual(self.server.console().count("\nChassis accessing package."), 3)

    def test_quit_closes_and_nothing_after_it_is_read(self):
        self.start_server()
        s = self.connect()
        s.sendall(b"QUIT\r\nNOOP\r\n")
        self.assertEqual(self.read_reply(s), "221 Goodbye")
        self.assertEqual(s.buffered, b"")
        self.assert_closed(s)
        self.assertEqual(self.command(self.connect(), "NOOP"), "200 OK")
