"""LIST, NLST and STAT: line formats, patterns, and which entries they show."""
import os
import socket
import time

from harness import Server, ServerTest, free_port, is_windows

LIST_150 = "150 Opening connection"
DONE = "226 Transfer complete"
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def long_line(kind, size, mtime, name, read_only=False):
    """The expected long-format line, with the date in this machine's local time."""
    local = time.localtime(mtime)
    write = "-" if read_only else "w"
    return "%sr%s-r%s-r%s-   1 ftp  ftp    %7d %s %02d  %04d %s" % (
        kind, write, write, write, size, MONTHS[local.tm_mon - 1], local.tm_mday,
        local.tm_year, name)


def local_time(year, month, day, hour=12):
    return time.mktime((year, month, day, hour, 0, 0, 0, 0, -1))


class ListingTest(ServerTest):
    def lines(self, s, command):
        """The lines of a listing over the data connection, after 150 and 226."""
        payload, replies = self.transfer(s, command)
        self.assertEqual(replies, [LIST_150, DONE], command)
        text = payload.decode("latin-1")
        self.assertTrue(text == "" or text.endswith("\r\n"), repr(text))
        return sorted(text.split("\r\n")[:-1])

    def stat_lines(self, s, argument=None):
        """The listing lines of STAT's reply: 211 without an argument, 213 with one."""
        code = "213" if argument else "211"
        first = self.command(s, ("STAT " + argument) if argument else "STAT")
        self.assertEqual(first, code + "-Status follows:")
        lines = []
        while True:
            line = self.read_line(s)
            self.assertIsNotNone(line, "connection closed during STAT")
            if line == code + " End":
                return sorted(lines)
            lines.append(line)

    def set_time(self, relative, mtime):
        os.utime(os.path.join(self.root, relative), (mtime, mtime))


class LongFormat(ListingTest):
    def test_lines_for_files_directories_and_read_only_entries(self):
        when = local_time(2011, 6, 21)
        self.write_file("a.bin", b"x" * 1234)
        self.write_file("big.bin", b"y" * 12345678)  # more than seven digits widens the line
        self.write_file("new file.bin", b"")
        self.write_file("ro.bin", b"read only")
        os.chmod(os.path.join(self.root, "ro.bin"), 0o444)
        os.mkdir(os.path.join(self.root, "sub"))
        os.mkdir(os.path.join(self.root, "rodir"))
        self.write_file("sub/inner.txt", b"12")
        for name in ("a.bin", "big.bin", "new file.bin", "ro.bin", "sub", "sub/inner.txt"):
            self.set_time(name, when)
        self.set_time("rodir", local_time(1999, 12, 31, hour=23))
        os.chmod(os.path.join(self.root, "rodir"), 0o555)
        self.addCleanup(os.chmod, os.path.join(self.root, "rodir"), 0o755)
        self.start_server()
        s = self.connect()
        expected = sorted([
            long_line("-", 1234, when, "a.bin"),
            long_line("-", 12345678, when, "big.bin"),
            long_line("-", 0, when, "new file.bin"),
            long_line("-", 9, when, "ro.bin", read_only=True),
            long_line("d", 0, when, "sub"),
            long_line("d", 0, local_time(1999, 12, 31, hour=23), "rodir", read_only=True),
        ])
        self.assertIn("-rw-rw-rw-   1 ftp  ftp       1234 Jun 21  2011 a.bin", expected)
        self.assertEqual(self.lines(s, "LIST"), expected)
        self.assertEqual(self.stat_lines(s), expected)
        # The directory named as the pattern gives its own line; "dir/*" lists its contents.
        self.assertEqual(self.lines(s, "LIST sub"), [long_line("d", 0, when, "sub")])
        self.assertEqual(self.stat_lines(s, "sub"), [long_line("d", 0, when, "sub")])
        self.assertEqual(self.lines(s, "LIST sub/*"), [long_line("-", 2, when, "inner.txt")])
        self.assertEqual(self.lines(s, "LIST ro.bin"),
                         [long_line("-", 9, when, "ro.bin", read_only=True)])
        self.assertEqual(self.lines(s, "NLST sub"), ["sub"])
        self.assertEqual(self.lines(s, "NLST sub/*"), ["inner.txt"])
        self.assertEqual(self.lines(s, "NLST /sub/*"), ["inner.txt"])

    def test_sizes_of_five_gibibytes_are_shown_whole(self):
        path = os.path.join(self.root, "huge.img")
        with open(path, "wb") as f:
            f.truncate(5 * 1024 ** 3)  # sparse: no disk space used
        mtime = os.stat(path).st_mtime
        self.start_server()
        s = self.connect()
        line = long_line("-", 5368709120, mtime, "huge.img")
        self.assertIn(" 5368709120 ", line)
        self.assertEqual(self.lines(s, "LIST"), [line])
        self.assertEqual(self.stat_lines(s, "huge.img"), [line])
        self.assertEqual(self.command(s, "SIZE huge.img"), "213 5368709120")


class Entries(ListingTest):
    def test_names_with_line_ends_cannot_break_a_reply(self):
        if is_windows():
            self.skipTest("Windows names cannot hold CR or LF")
        self.write_file("a\rb", b"1")
        os.mkdir(os.path.join(self.root, "c\nd"))
        os.symlink("c\nd", os.path.join(self.root, "plain"))
        self.start_server()
        s = self.connect()
        # RFC 959: a CR in a pathname goes out as CR NUL; an LF goes out as NUL.
        s.sendall(b"STAT\r\n")
        first, *entries, last = self.read_replies(s, 5)
        self.assertEqual((first, last), ("211-Status follows:", "211 End"))
        self.assertEqual(sorted(line.split(" ")[-1] for line in entries),
                         ["a\r\x00b", "c\x00d", "plain"])
        self.assertEqual(self.command(s, "CWD plain"), "250 CWD command successful")
        self.assertEqual(self.command(s, "PWD"), '257 "/c\x00d"')
        s.sendall(b"MLST\r\n")
        listing, facts, end = self.read_replies(s, 3)
        self.assertEqual((listing, end), ("250-Listing /c\x00d", "250 End"))
        self.assertTrue(facts.endswith(" /c\x00d"), facts)
        self.assertEqual(self.command(s, "NOOP"), "200 OK")

    def test_hidden_system_and_upload_entries(self):
        self.write_file("a.bin", b"a")
        self.write_file(".hidden", b"h")
        os.mkdir(os.path.join(self.root, ".hiddendir"))
        # An upload in progress is never offered, not even by name.
        self.write_file(".tarnLoader-upload-4242-7", b"partial")
        system = []
        if is_windows():
            print("\n%s: no fifo or socket entries for the Windows build" % self.id())
        else:
            os.mkfifo(os.path.join(self.root, "pipe"))
            unix = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.addCleanup(unix.close)
            unix.bind(os.path.join(self.root, "sock"))
            system = ["pipe", "sock"]
        self.start_server()
        s = self.connect()
        names = self.lines(s, "NLST")
        self.assertEqual(names, sorted(["a.bin", ".hidden", ".hiddendir"] + system))
        listed = self.lines(s, "LIST")
        self.assertEqual([line.split(" ")[-1] for line in listed], ["a.bin"])
        self.assertEqual([line.split(" ")[-1] for line in self.stat_lines(s)], ["a.bin"])
        for pattern in (".tarnLoader-upload-4242-7", ".tarnLoader-upload-*", ".tarn*", "*"):
            with self.subTest(pattern=pattern):
                if pattern.startswith(".tarnLoader-upload-"):  # such a name reaches nothing
                    self.assertEqual(self.command(s, "NLST " + pattern),
                                     "550 No such file or directory")
                else:
                    self.assertNotIn(".tarnLoader-upload-4242-7", self.lines(s, "NLST " + pattern))
        self.assertEqual(self.lines(s, "NLST .hidden"), [".hidden"])
        # STAT of only skipped entries sends nothing at all.
        self.assertEqual(self.stat_lines(s, ".hidden"), [])
        if system:
            self.assertEqual(self.stat_lines(s, "pipe"), [])
            self.assertEqual(self.lines(s, "LIST sock"), [])

    def test_the_root_named_as_the_pattern_lists_its_entries(self):
        self.write_file("a.bin", b"a")
        self.write_file("sub/b.bin", b"b")
        self.start_server()
        s = self.connect()
        self.assertEqual(self.command(s, "CWD sub"), "250 CWD command successful")
        self.assertEqual(self.lines(s, "NLST"), ["b.bin"])
        for pattern in ("/", "\\", "//", "/.", "..", "/sub/..", "../sub/.."):
            with self.subTest(pattern=pattern):
                self.assertEqual(self.lines(s, "NLST " + pattern), ["a.bin", "sub"])
                names = [line.split(" ")[-1] for line in self.lines(s, "LIST " + pattern)]
                self.assertEqual(names, ["a.bin", "sub"])
                names = [line.split(" ")[-1] for line in self.stat_lines(s, pattern)]
                self.assertEqual(names, ["a.bin", "sub"])
        # Any other directory named without wildcards is its own entry.
        self.assertEqual(self.lines(s, "NLST /sub"), ["sub"])


class Patterns(ListingTest):
    def test_wildcards_and_literal_characters(self):
        for name in ("a.bin", "b.BIN", "ab.bin", "README", "[", "[ab].txt", "a.txt", "x]y"):
            self.write_file(name, b"")
        os.mkdir(os.path.join(self.root, "dir.d"))
        self.write_file("dir.d/inner.bin", b"")
        self.start_server()
        s = self.connect()
        everything = sorted(["a.bin", "b.BIN", "ab.bin", "README", "[", "[ab].txt", "a.txt",
                             "x]y", "dir.d"])
        cases = [
            ("*", everything),
            ("*.*", everything),  # names without a dot too
            ("*.bin", ["a.bin", "ab.bin", "b.BIN"]),
            ("*.BIN", ["a.bin", "ab.bin", "b.BIN"]),
            ("?.bin", ["a.bin", "b.BIN"]),
            ("A.BIN", ["a.bin"]),
            ("readme", ["README"]),
            ("[", ["["]),
            ("[ab].txt", ["[ab].txt"]),
            ("x]y", ["x]y"]),
            ("*]*", ["[ab].txt", "x]y"]),
            ("nosuch*", []),
            ("nosuch", []),
            ("d*/*.bin", []),  # wildcards only in the last part
            ("dir.d/*.BIN", ["inner.bin"]),
        ]
        for pattern, names in cases:
            with self.subTest(pattern=pattern):
                self.assertEqual(self.lines(s, "NLST " + pattern), names)

    def test_ls_options_are_taken_off(self):
        self.write_file("a.bin", b"a")
        self.write_file("pkg/b.bin", b"b")
        self.start_server()
        s = self.connect()
        long_a = "-rw-rw-rw-   1 ftp  ftp          1 "
        for command, names in (("LIST -la", ["a.bin", "pkg"]), ("LIST -l -a", ["a.bin", "pkg"]),
                               ("NLST -a", ["a.bin", "pkg"]), ("LIST -la pkg", ["pkg"]),
                               ("NLST -R pkg/*", ["b.bin"]), ("LIST -la /", ["a.bin", "pkg"])):
            with self.subTest(command=command):
                lines = self.lines(s, command)
                self.assertEqual(sorted(line.split()[-1] for line in lines), names)
        self.assertTrue(self.stat_lines(s, "-la")[0].startswith(long_a))
        self.assertEqual(self.stat_lines(s, "nosuch"), [])
        # An entry of exactly that name wins over the option.
        self.write_file("-a", b"a file named -a")
        self.assertEqual(self.lines(s, "NLST -a"), ["-a"])
        self.assertEqual(self.command(s, "NOOP"), "200 OK")


class LocalTime(ListingTest):
    def test_dates_are_the_local_time_of_the_servers_zone(self):
        # 22:30 UTC on 21 June is already 22 June five hours east of UTC.
        mtime = 1308695400
        self.write_file("late.bin", b"")
        self.set_time("late.bin", mtime)
        port = free_port()
        server = Server(["-p", str(port)], self.root)
        server.port = port
        server.start(extra_env={"TZ": "XYZ-5"})
        self.addCleanup(server.stop)
        self.assertTrue(server.wait_ready(), server.console())
        self.server = server
        s = self.connect()
        self.assertEqual(self.lines(s, "LIST"),
                         ["-rw-rw-rw-   1 ftp  ftp          0 Jun 22  2011 late.bin"])
        self.assertEqual(self.command(s, "MDTM late.bin"), "213 20110622033000")
