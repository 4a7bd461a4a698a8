"""Greeting, fixed replies and the end of a session, as a raw client sees them."""
import os
import time

from harness import READY_LINE, ServerTest


class FixedReplies(ServerTest):
    def test_fixed_replies_of_the_dispatch(self):
        self.start_server()
        s = self.connect()
        expected = [
            ("USER chassis", "331 Login accepted"),
            ("PASS secret", "230 User logged in"),
            ("SYST", "215 tarnLoader 1.0.5"),
            ("TYPE A", "200 Type set to I"),
            ("TYPE", "200 Type set to I"),
            ("NOOP", "200 OK"),
            ("ABOR", "226 Aborted"),
            ("MODE S", "500 Command not implemented"),
            ("REST 100", "350 Restarting at 100"),
            ("PWD", '257 "/"'),
            ("XPWD", '257 "/"'),
        ]
        for command, reply in expected:
            with self.subTest(command=command):
                self.assertEqual(self.command(s, command), reply)
        self.assertEqual(self.command(s, "QUIT"), "221 Goodbye")
        self.assert_closed(s)
        self.assertTrue(self.server.wait_console("\nChassis accessing package."))


class EveryVerb(ServerTest):
    def test_every_verb_has_its_own_answer(self):
        """All 28 verbs are implemented: none answers "502"; MODE keeps its 500."""
        self.write_file("a.bin", b"a")
        self.write_file("r.bin", b"r")
        self.start_server(upload=True)
        s = self.connect()
        # Each verb with an argument that makes it do its work, and the start of its reply.
        verbs = [
            ("ABOR", "", "226 Aborted"), ("CWD", "/", "250"), ("MKD", "d", "257"),
            ("XMKD", "e", "257"), ("RMD", "d", "250"), ("XRMD", "e", "250"),
            ("MDTM", "a.bin", "213 "), ("SIZE", "a.bin", "213 1"),
            ("MODE", "S", "500 Command not implemented"),
            ("REST", "1", "350 Restarting at 1"), ("NOOP", "", "200 OK"),
            ("USER", "x", "331"), ("PASS", "y", "230"), ("PWD", "", "257"), ("XPWD", "", "257"),
            ("SYST", "", "215"), ("TYPE", "I", "200"), ("RNFR", "r.bin", "350"),
            ("RNTO", "s.bin", "250"), ("DELE", "s.bin", "250"), ("PASV", "", "227"),
            ("PORT", "127,0,0,1,4,1", "200"),
        ]
        for verb, argument, reply in verbs:
            with self.subTest(verb=verb):
                self.assertTrue(self.command(s, (verb + " " + argument).strip()).startswith(reply))
        # The transfer verbs in active mode reach their data connection step (no listener
        # waits on port 1025, so each ends with an error reply after its 150).
        for verb in ("LIST", "NLST", "RETR a.bin", "STOR c.bin"):
            with self.subTest(verb=verb):
                first = self.command(s, verb)
                self.assertTrue(first.startswith("150 "), first)
                self.assertTrue(self.read_reply(s).startswith(("550 ", "425 ")))
        # STAT answers on the control connection; a name that matches nothing frames nothing.
        self.assertEqual(self.command(s, "STAT nothing-here"), "213-Status follows:")
        self.assertEqual(self.read_reply(s), "213 End")
        self.assertEqual(self.command(s, "QUIT"), "221 Goodbye")


class ChassisFlow(ServerTest):
    """The chassis's own sequence keeps its exact replies and console text."""

    def test_replies_and_console_of_an_update(self):
        self.write_file("QX2105/image.bin", b"firmware image")
        os.utime(os.path.join(self.root, "QX2105", "image.bin"), (1300000000, 1300000000))
        mdtm = time.strftime("213 %Y%m%d%H%M%S", time.localtime(1300000000))
        self.start_server()
        s = self.connect()
        replies = [self.command(s, line) for line in
                   ("USER anonymous", "PASS chassis@", "SYST", "TYPE I", "CWD QX2105")]
        for line in ("LIST", "NLST"):
            replies += self.transfer(s, line)[1]
        replies += [self.command(s, "SIZE image.bin"), self.command(s, "MDTM image.bin")]
        payload, answer = self.transfer(s, "RETR image.bin")
        self.assertEqual(payload, b"firmware image")
        replies += answer + [self.command(s, "QUIT")]
        self.assertEqual(replies, [
            "331 Login accepted", "230 User logged in", "215 tarnLoader 1.0.5",
            "200 Type set to I", "250 CWD command successful", "150 Opening connection",
            "226 Transfer complete", "150 Opening connection", "226 Transfer complete",
            "213 14", mdtm, "150 Opening BINARY mode data connection", "226 Transfer complete",
            "221 Goodbye"])
        self.assert_closed(s)
        console = "...\nChassis accessing package.............Reading...."
        self.assertTrue(self.server.wait_console(console))
        self.assertEqual(self.server.console().split(READY_LINE, 1)[1], console)
        self.assertEqual(self.server.errors(), "")
