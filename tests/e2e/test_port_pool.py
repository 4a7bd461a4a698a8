"""Passive ports handed to concurrent sessions from a "-prange" range."""
import random
import re
import socket
import time

from harness import ServerTest

# Below the kernel's ephemeral range, so ports that the OS hands out to other tests do not
# collide with the range chosen here.
SEARCH_LOW, SEARCH_HIGH = 20000, 32000

# Teardown clears a session's pool flag just after it closes the control connection, and the
# client cannot observe that store; this pause lets it land before the next accept.
TEARDOWN_SETTLE = 0.2


def ports_are_free(ports):
    for port in ports:
        probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        # Like the server's own bind: a port left in TIME_WAIT is usable.
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("", port))  # every address, as the passive listener binds
        except OSError:
            return False
        finally:
            probe.close()
    return True


class PassivePortPool(ServerTest):
    def free_range(self, span):
        """A base port such that base .. base + span are all free now."""
        rng = random.Random()
        for _ in range(50):
            base = rng.randrange(SEARCH_LOW, SEARCH_HIGH - span)
            if ports_are_free(range(base, base + span + 1)):
                return base
        self.skipTest("no %d free ports in a row between %d and %d" %
                      (span + 1, SEARCH_LOW, SEARCH_HIGH))

    def passive_port(self, s):
        reply = self.command(s, "PASV")
        found = re.fullmatch(r"227 Entering Passive Mode \((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)",
                             reply)
        self.assertIsNotNone(found, reply)
        return int(found.group(5)) * 256 + int(found.group(6))

    def session_on(self, expected_port):
        s = self.connect()
        self.assertEqual(self.passive_port(s), expected_port)
        return s

    def refused_session(self, port, failures_before):
        """A connection whose passive bind fails: closed without a greeting."""
        s = self.connect(greet=False)
        self.assert_closed(s)
        line = "Could not open socket port %d\n" % port
        deadline = time.monotonic() + 10
        while (self.server.console().count(line) <= failures_before and
               time.monotonic() < deadline):
            time.sleep(0.02)
        self.assertEqual(self.server.console().count(line), failures_before + 1,
                         self.server.console())

    def end(self, s):
        self.assertEqual(self.command(s, "QUIT"), "221 Goodbye")
        self.assert_closed(s)
        time.sleep(TEARDOWN_SETTLE)

    def test_three_port_range_across_concurrent_sessions(self):
        low = self.free_range(2)
        self.start_server("-prange", "%d-%d" % (low, low + 2))
        first = self.session_on(low)
        second = self.session_on(low + 1)
        third = self.session_on(low + 2)
        # Every port below the high one is busy, so the high one is handed out again, and its
        # bind fails while the third session holds it.
        self.refused_session(low + 2, 0)
        for s in (first, second, third):
            self.assertEqual(self.command(s, "NOOP"), "200 OK")
        self.end(first)
        # The candidate was chosen when the refused connection was accepted, before the first
        # session ended: the next connection is given the high port, finds it held and goes
        # round to the port that the first session released.
        fourth = self.session_on(low)
        self.assertEqual(self.server.console().count("Could not open socket port %d\n"
                                                     % (low + 2)), 2)
        self.assertEqual(self.command(second, "NOOP"), "200 OK")
        self.assertEqual(self.command(fourth, "NOOP"), "200 OK")

    def test_ports_that_others_hold_turn_no_session_away(self):
        """Another program's listener and the control port inside the range are passed over."""
        low = self.free_range(3)
        outsider = socket.socket()
        self.addCleanup(outsider.close)
        outsider.bind(("", low))
        outsider.listen(1)
        self.start_server("-prange", "%d-%d" % (low, low + 3), port=low + 2)
        self.assertIn("Warning: the passive port range %d-%d holds the control port %d;\n"
                      % (low, low + 3, low + 2), self.server.console())
        first = self.session_on(low + 1)
        second = self.session_on(low + 3)
        for s in (first, second):
            self.assertEqual(self.command(s, "NOOP"), "200 OK")

    def test_single_port_is_asked_for_by_every_session(self):
        port = self.free_range(0)
        self.start_server("-prange", str(port))
        first = self.session_on(port)
        self.refused_session(port, 0)
        self.refused_session(port, 1)
        self.end(first)
        second = self.session_on(port)
        self.assertEqual(self.command(second, "NOOP"), "200 OK")

    def test_a_range_wider_than_256_ports_serves_a_session_on_each(self):
        low = self.free_range(259)
        # Every session here comes from 127.0.0.1, beyond the default per-address limit.
        self.start_server("-prange", "%d-%d" % (low, low + 259), "-maxperaddress", "1000")
        sessions = [self.session_on(low + offset) for offset in range(260)]
        self.assertEqual([self.command(s, "NOOP") for s in (sessions[0], sessions[-1])],
                         ["200 OK"] * 2)
        self.assertEqual(self.server.console().count("Could not open socket port"), 0)
