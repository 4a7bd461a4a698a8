"""Greeting, fixed replies and the end of a session, as a raw client sees them."""
from harness import ServerTest


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
            ("REST 100", "500 Command not implemented"),
            ("FEAT", "500 Command not recognized"),
            ("PWD", '257 "/"'),
            ("XPWD", '257 "/"'),
        ]
        for command, reply in expected:
            with self.subTest(command=command):
                self.assertEqual(self.command(s, command), reply)
        self.assertEqual(self.command(s, "QUIT"), "221 Goodbye")
        self.assert_closed(s)
        self.assertIn("\nChassis accessing package.", self.server.console())
