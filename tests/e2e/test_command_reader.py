"""How command lines are cut from the control connection's bytes, and how they are echoed."""
import os

from harness import READY_LINE, ServerTest, is_windows


def after_start(console):
    """The console text that sessions wrote, after the start-up guidance."""
    return console.split(READY_LINE, 1)[1]


class LineEnds(ServerTest):
    def test_pipelined_commands_are_each_answered(self):
        self.start_server()
        s = self.connect()
        s.sendall(b"NOOP\r\nSYST\r\nUSER a\r\nTYPE I\r\n")
        self.assertEqual(self.read_replies(s, 4), [
            "200 OK", "215 tarnLoader 1.0.5", "331 Login accepted", "200 Type set to I"])
        # Lines of mixed endings and a partial line, all in one segment.
        s.sendall(b"NOOP\nSYST\rNOOP\r\nSY")
        self.assertEqual(self.read_replies(s, 3), ["200 OK", "215 tarnLoader 1.0.5", "200 OK"])
        s.sendall(b"ST\r\n")
        self.assertEqual(self.read_reply(s), "215 tarnLoader 1.0.5")

    def test_line_end_split_across_sends(self):
        self.start_server()
        s = self.connect()
        s.sendall(b"NOOP\r")
        self.assertEqual(self.read_reply(s), "200 OK")
        s.sendall(b"\nSYST\r\n")
        self.assertEqual(self.read_reply(s), "215 tarnLoader 1.0.5")
        # A phantom empty line would show here as a 500 before this reply.
        self.assertEqual(self.command(s, "NOOP"), "200 OK")
        # A line whose bytes arrive one send at a time.
        for byte in b"USER x\r":
            s.sendall(bytes([byte]))
        self.assertEqual(self.read_reply(s), "331 Login accepted")
        s.sendall(b"\n")
        self.assertEqual(self.command(s, "NOOP"), "200 OK")
        self.assertEqual(self.server.errors(), "")

    def test_lone_line_feed_and_lone_carriage_return_end_a_line(self):
        self.start_server()
        s = self.connect()
        for ending in (b"\n", b"\r"):
            with self.subTest(ending=ending):
                s.sendall(b"NOOP" + ending)
                self.assertEqual(self.read_reply(s), "200 OK")
                s.sendall(b"SYST" + ending + b"USER u" + ending)
                self.assertEqual(self.read_replies(s, 2),
                                 ["215 tarnLoader 1.0.5", "331 Login accepted"])
        # Only the one LF right after a CR belongs to it; a second LF is an empty line.
        s.sendall(b"NOOP\r\n\nNOOP\r\n")
        self.assertEqual(self.read_replies(s, 3),
                         ["200 OK", "500 Command not recognized", "200 OK"])

    def test_line_of_500_bytes_is_read_and_501_without_line_end_ends_the_session(self):
        self.start_server("-ftpverbose")
        s = self.connect()
        line = b"USER " + b"a" * 495
        self.assertEqual(len(line), 500)
        s.sendall(line + b"\r\n")
        self.assertEqual(self.read_reply(s), "331 Login accepted")
        self.assertEqual(self.command(s, "NOOP"), "200 OK")
        self.assertTrue(self.server.wait_console("USER " + "a" * 495 + "\n"))
        s.sendall(b"USER " + b"a" * 496 + b"\r\n")
        self.assert_closed(s)

    def test_600_bytes_without_line_end_end_only_that_session(self):
        self.start_server()
        os.mkdir(os.path.join(self.root, "d"))
        other = self.connect()
        self.assertEqual(self.command(other, "CWD d"), "250 CWD command successful")
        s = self.connect()
        s.sendall(b"N" * 600)
        self.assert_closed(s)
        self.assertEqual(self.command(other, "PWD"), '257 "/d"')
        self.assertEqual(self.command(other, "NOOP"), "200 OK")
        self.assertEqual(self.command(self.connect(), "NOOP"), "200 OK")


class VerbAndArgument(ServerTest):
    def test_lower_case_verbs_are_served(self):
        self.start_server("-ftpverbose")
        s = self.connect()
        self.assertEqual(self.command(s, "user bob"), "331 Login accepted")
        self.assertEqual(self.command(s, "sYsT"), "215 tarnLoader 1.0.5")
        self.assertEqual(self.command(s, "noop"), "200 OK")
        self.assertTrue(self.server.wait_console("USER bob\n    331 Login accepted\n"))
        self.assertTrue(self.server.wait_console("SYST \n    215 tarnLoader 1.0.5\n"))

    def test_five_letter_words_and_unknown_verbs(self):
        self.start_server("-ftpverbose", upload=True)
        s = self.connect()
        os.mkdir(os.path.join(self.root, "dir"))
        cases = [
            # STORE is STOR with its argument: the empty-argument reply would differ.
            ("STORE", "550 Path permission error"),
            # The sixth letter is not a space, so XMKD gets no argument and creates nothing.
            ("XMKDIR newdir", "550 Path permission error"),
            ("CWDX dir", "500 Command not recognized"),
            ("PW", "500 Command not recognized"),
            ("PWDX", "500 Command not recognized"),
            ("", "500 Command not recognized"),
            (" NOOP", "500 Command not recognized"),
            ("1NOOP", "500 Command not recognized"),
        ]
        for line, reply in cases:
            with self.subTest(line=line):
                self.assertEqual(self.command(s, line), reply)
        self.assertFalse(os.path.exists(os.path.join(self.root, "newdir")))
        # The echo shows the five letters read, before the lookup.
        self.assertTrue(self.server.wait_console("XMKDI \n    550 Path permission error\n"))
        self.assertTrue(self.server.wait_console(
            "Unknown ftp command ''\n" * 3, stream="stderr"))
        self.assertEqual(self.server.errors(),
                         "Unknown ftp command 'CWDX'\n"
                         "Unknown ftp command 'PW'\n"
                         "Unknown ftp command 'PWDX'\n" +
                         "Unknown ftp command ''\n" * 3)

    def test_store_is_stor_behind_the_read_only_gate(self):
        self.start_server()
        s = self.connect()
        self.assertEqual(self.command(s, "STORE image.bin"), "553 Permission denied")
        self.assertEqual(self.command(s, "store image.bin"), "553 Permission denied")
        self.assertEqual(self.command(s, "XMKDIR newdir"), "550 Permission denied")

    def test_names_keep_their_bytes_from_128_up(self):
        """UTF-8 names reach the file system whole; a control byte refuses the command."""
        self.write_file("n", b"short")
        self.write_file("n\u00ebw.txt", b"long")
        os.mkdir(os.path.join(self.root, "\u00fcn\u00efc\u00f8d\u00e9"))
        self.start_server(upload=True)
        s = self.connect()
        utf8 = "n\u00ebw.txt".encode()
        s.sendall(b"DELE " + utf8 + b"\r\n")
        self.assertEqual(self.read_reply(s), "250 DELE command successful.")
        self.assertEqual(sorted(os.listdir(self.root)), ["n", "\u00fcn\u00efc\u00f8d\u00e9"])
        folder = "\u00fcn\u00efc\u00f8d\u00e9".encode()
        s.sendall(b"CWD " + folder + b"\r\n")
        self.assertEqual(self.read_reply(s), "250 CWD command successful")
        self.assertEqual(self.command(s, "PWD").encode("latin-1"), b'257 "/' + folder + b'"')
        data = self.pasv(s)
        s.sendall(b"STOR " + utf8 + b"\r\n")
        self.assertTrue(self.read_reply(s).startswith("150"))
        data.sendall(b"stored")
        data.close()
        self.assertEqual(self.read_reply(s), "226 Transfer complete")
        self.assertEqual(self.read_file(os.path.join(folder.decode(), "n\u00ebw.txt")), b"stored")
        payload, replies = self.transfer(s, "NLST")
        self.assertEqual(payload, utf8 + b"\r\n")
        # A control byte is refused whole, never taken as the end of the name.
        for tail in (b"\x00zzz", b"\x00", b"\tx", b"\x1f"):
            with self.subTest(tail=tail):
                s.sendall(b"DELE " + utf8 + tail + b"\r\n")
                self.assertEqual(self.read_reply(s), "501 Syntax error in parameters or arguments.")
        self.assertEqual(self.command(s, "SIZE /n"), "213 5")
        self.assertEqual(self.read_file(os.path.join(folder.decode(), "n\u00ebw.txt")), b"stored")
        self.assertEqual(self.command(s, "CWD /"), "250 CWD command successful")
        # The search for the line end goes past a zero byte.
        s.sendall(b"NOOP\x00junk\r\n\x00\r\n")
        self.assertEqual(self.read_replies(s, 2), ["200 OK", "500 Command not recognized"])
        # Spaces after the first belong to the argument, trailing ones included. Windows drops
        # trailing spaces from names, so there the name has a leading one only.
        name = " d" if is_windows() else " d "
        os.mkdir(os.path.join(self.root, name))
        self.assertEqual(self.command(s, "CWD " + name), "250 CWD command successful")
        self.assertEqual(self.command(s, "PWD"), '257 "/%s"' % name)

    def test_verbose_echo_shows_the_argument_as_read(self):
        self.start_server("-ftpverbose")
        s = self.connect()
        s.sendall(b"RETR f\xe9oo\r\n")
        self.read_reply(s)
        s.sendall(b"USER a\x00b\r\n")
        self.assertEqual(self.read_reply(s), "501 Syntax error in parameters or arguments.")
        self.assertTrue(self.server.wait_console("USER a\n"))
        self.assertIn("RETR f\\xE9oo\n", self.server.console())


class Console(ServerTest):
    def test_verbose_echo_of_commands_and_replies(self):
        self.start_server("-ftpverbose")
        s = self.connect()
        self.assertEqual(self.command(s, "noop"), "200 OK")
        self.assertEqual(self.command(s, "user chassis"), "331 Login accepted")
        self.assertEqual(self.command(s, "PASS  secret "), "230 User logged in")
        self.assertEqual(self.command(s, "BOGUS x"), "500 Command not recognized")
        self.assertEqual(self.command(s, "QUIT"), "221 Goodbye")
        self.assert_closed(s)
        self.assertTrue(self.server.wait_console("Closing control connection\n"))
        self.assertEqual(after_start(self.server.console()),
                         "    220 tarnLoader ready\n"
                         "NOOP \n"
                         "    200 OK\n"
                         "USER chassis\n"
                         "    331 Login accepted\n"
                         "PASS ****\n"
                         "    230 User logged in\n"
                         "\nChassis accessing package."
                         "BOGUS x\n"
                         "    500 Command not recognized\n"
                         "QUIT \n"
                         "    221 Goodbye\n"
                         "Closing control connection\n")
        self.assertEqual(self.server.errors(), "Unknown ftp command 'BOGUS'\n")

    def test_every_spelling_that_reaches_pass_is_masked(self):
        self.start_server("-ftpverbose", "-login", "op:s3cret")
        s = self.connect()
        for line, reply in (("USER op", "331 Login accepted"),
                            ("PASSW s3cret", "230 User logged in"),
                            ("pass s3cretX", "530 Login incorrect."),
                            ("PASS s3\x01cret", "501 Syntax error in parameters or arguments.")):
            with self.subTest(line=line):
                self.assertEqual(self.command(s, line), reply)
        self.assertTrue(self.server.wait_console("    501 Syntax"))
        self.assertIn("PASSW ****\n", self.server.console())
        self.assertNotIn("s3", after_start(self.server.console()))

    def test_controls_from_clients_and_folder_names_are_escaped(self):
        # C1 controls (U+0085, U+009B), U+2028 and DEL act on terminals and readers; "é" is
        # printable and stays. Windows names take no C0 controls, so ESC is tried on Linux only.
        folder = "root\u009b2J\u2028" + ("" if is_windows() else "\x1b]0;x\x07")
        shown = "root\\xC2\\x9B2J\\xE2\\x80\\xA8" + ("" if is_windows() else "\\x1B]0;x\\x07")
        root = os.path.join(self.base, folder)
        os.mkdir(root)
        name = "a\u0085b\u2028\u00e9\x7f.bin"
        escaped = "a\\xC2\\x85b\\xE2\\x80\\xA8\u00e9\\x7F.bin"
        self.write_file(name, b"image", base=root)
        log = os.path.join(self.base, "xfer.log")
        self.start_server("-ftpverbose", "-xferlog", log, root=root)
        s = self.connect()
        wire = ("RETR " + name).encode().decode("latin-1")  # the harness sends latin-1
        self.assertEqual(self.transfer(s, wire)[0], b"image")
        s.sendall(b"MKD \xff\xc2\x9b\r\n")
        self.assertEqual(self.read_reply(s), "550 Permission denied")
        self.assertEqual(self.command(s, "QUIT"), "221 Goodbye")
        self.assertTrue(self.server.wait_console("Closing control connection\n"))
        console = self.server.console().encode("latin-1").decode("utf-8", "replace")
        self.assertIn("%s' as ftp root directory\n" % shown, console)
        self.assertIn("RETR %s\n" % escaped, console)
        self.assertIn("MKD \\xFF\\xC2\\x9B\n", console)
        for raw in ("\x1b", "\u009b", "\u0085", "\u2028", "\x7f", "\ufffd"):
            self.assertNotIn(raw, console)
        self.wait_for(lambda: os.path.exists(log) and b"\n" in self.read_file(log, base="/"),
                      "a line in the transfer log")
        self.assertIn(" /%s b _ o a " % escaped, self.read_file(log, base="/").decode("utf-8"))

    def test_peer_closing_mid_line_ends_the_session_without_a_reply(self):
        self.start_server("-ftpverbose")
        s = self.connect()
        s.sendall(b"NOOP")
        s.close()
        self.assertTrue(self.server.wait_console("Closing control connection\n"))
        self.assertEqual(after_start(self.server.console()),
                         "    220 tarnLoader ready\nClosing control connection\n")

    def test_one_dot_per_reply_when_not_verbose(self):
        self.start_server()
        s = self.connect()
        for line in ("NOOP", "SYST", "BOGUS", "USER x"):
            self.command(s, line)
        self.assertEqual(self.command(s, "QUIT"), "221 Goodbye")
        self.assert_closed(s)
        self.assertTrue(self.server.wait_console("......"))
        second = self.connect()
        second.close()
        self.assertTrue(self.server.wait_console("......" + "."))
        self.assertEqual(after_start(self.server.console()), "......" + ".")
