"""Escape attempts against the served root: a corpus of hostile path arguments, sent byte for
byte to every verb that takes a path, with and without "-u". Sentinels planted beside the root
must stay unread, unlisted and unchanged, and nothing may appear outside the root."""
import hashlib
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import time

from harness import START_TIMEOUT, TIMEOUT, ServerTest, binary, free_port, is_windows, launcher

REFUSED = "550 Path permission error"
CWD_OK = "250 CWD command successful"
CWD_REFUSED = "550 Could not change directory"
SYNTAX = "501 Syntax error in parameters or arguments."
GATED = {"MKD": "550 Permission denied", "XMKD": "550 Permission denied",
         "RMD": "550 Permission denied", "XRMD": "550 Permission denied",
         "RNTO": "550 Permission denied", "STOR": "553 Permission denied"}
# The reader holds 501 bytes; a line whose CR does not fit ends the session. So the longest
# argument any path verb can carry is 501 less a four-letter verb, its blank and the CR.
LINE_LIMIT = 501
LONGEST_ARGUMENT = LINE_LIMIT - len("XMKD") - 2

# What an argument must do. ESCAPE leaves the root (lexically or through a link): every verb
# that resolves it gets the refusal. CWD_ESCAPE: only CWD, which resolves links before "..",
# leaves the root; other verbs land inside. WINDOWS_ESCAPE: a drive prefix, stream or device
# name, refused on Windows and an ordinary name on POSIX. FREE: lands inside the root (or names
# nothing); any reply will do, but the invariants below still hold. CONTROL: a byte below 32 in
# the argument, which every verb refuses whole.
ESCAPE, CWD_ESCAPE, WINDOWS_ESCAPE, FREE = "escape", "cwd-escape", "windows-escape", "free"
CONTROL = "control"

SENTINEL_FILES = {  # beside the root, relative to the base folder: size of each
    "sentinel.txt": 4111,
    "sentinel_dir/inner.txt": 4222,
    "root2/a.bin": 4333,
    "root2/only_in_root2.txt": 4444,
}
SENTINEL_DIRS = ["sentinel_dir", "sentinel_dir/empty", "root2", "root2/sub"]
# No entry inside the root carries these, so they may never appear on either connection.
SENTINEL_NAMES = [b"sentinel.txt", b"sentinel_dir", b"inner.txt", b"root2", b"only_in_root2"]
SENTINEL_MTIME = 1000000000  # 2001-09-09, far from any file the test or server writes
SENTINEL_ATIME = SENTINEL_MTIME - 86400  # older than mtime, so any read moves it (relatime)
INSIDE_A = b"inside a.bin\n" * 95  # 1235 bytes
INSIDE_B = b"b" * 77
UPLOAD = b"uploaded by the corpus"

# Verbs whose success changes the tree; after one the root is planted afresh.
CHANGING = {"DELE", "MKD", "XMKD", "RMD", "XRMD", "STOR", "RNTO"}


def link_corpus():
    """Arguments that go through links planted inside the root (see plant_root)."""
    return [
        (ESCAPE, "up"), (ESCAPE, "up/"), (ESCAPE, "/up"), (ESCAPE, "up/sentinel.txt"),
        (ESCAPE, "up\\sentinel.txt"), (ESCAPE, "up/root2/a.bin"),
        (ESCAPE, "up/sentinel_dir/inner.txt"), (ESCAPE, "up/new_outside"),
        (ESCAPE, "up/root/../sentinel.txt"), (ESCAPE, "uprel"), (ESCAPE, "uprel/sentinel.txt"),
        (ESCAPE, "uprel/root2"), (ESCAPE, "sdir"), (ESCAPE, "sdir/"), (ESCAPE, "sdir/."),
        (ESCAPE, "sdir/inner.txt"), (ESCAPE, "\\sdir\\inner.txt"), (ESCAPE, "sdir/new_outside"),
        (ESCAPE, "sdir/empty"), (ESCAPE, "sdir/*"), (ESCAPE, "sfile"), (ESCAPE, "/sfile"),
        (ESCAPE, "sfile_rel"), (ESCAPE, "r2"), (ESCAPE, "r2/a.bin"), (ESCAPE, "r2/sub"),
        (ESCAPE, "sub/deep"), (ESCAPE, "sub/deep/inner.txt"), (ESCAPE, "sub/../sdir/inner.txt"),
        (ESCAPE, "./sub/./deep/./inner.txt"),
        # ".." is taken lexically before links are followed, so these land inside; CWD follows
        # the link first (as chdir would) and so leaves the root.
        (CWD_ESCAPE, "up/.."), (CWD_ESCAPE, "sdir/.."), (CWD_ESCAPE, "sub/deep/.."),
        (FREE, "up/root/a.bin"), (FREE, "rootlink/../sentinel.txt"),
        # Dangling links whose targets lie outside: whatever is made, is made inside.
        (FREE, "dangle"), (FREE, "dangle/x"), (FREE, "dangle_dir"), (FREE, "dangle_dir/new.bin"),
        (FREE, "loop"), (FREE, "loop/x"),
    ]


def corpus(base):
    """(kind, argument bytes) pairs; base is the folder that holds the root and the sentinels."""
    entries = []

    def add(kind, *arguments):
        for argument in arguments:
            entries.append((kind, argument.encode("latin-1") if isinstance(argument, str)
                            else argument))

    # The parent itself, in every spelling and separator mix.
    add(ESCAPE, "..", "../", "..\\", "/..", "\\..", "//..", "\\\\..", "/\\..", "\\/..", "./..",
        "./../", ".\\..\\", "a/../..", "a/../../", "a\\..\\..\\", "sub/../..", "sub//..//..",
        "sub/./../..", "../.", "../..", "../../..", "/".join([".."] * 12), "..//", "..\\\\",
        "../\\", "..\\/", "/../", "\\..\\", "//../", "..//.", "/./..", "*/../..")
    # Existing names just outside, and a name to be created there.
    for name in ("sentinel.txt", "sentinel_dir", "sentinel_dir/inner.txt", "sentinel_dir/empty",
                 "root2", "root2/a.bin", "root2/only_in_root2.txt", "new_outside"):
        back = name.replace("/", "\\")
        add(ESCAPE, "../" + name, "..\\" + back, "/../" + name, "\\..\\" + back,
            "//../" + name, "./../" + name, "a/../../" + name, "sub/../../" + name,
            "..\\/" + name, "\\/..\\/" + back, "../" + name + "/", "../" + name + "\\")
    base_name = os.path.basename(base)
    add(ESCAPE, "../../" + base_name + "/sentinel.txt", "../root/../sentinel.txt",
        "../root/../root2/a.bin", "/../root2/", "../ROOT2/a.bin", "../root2/sub",
        "../root2/sub/../a.bin", "../sentinel.txt ", "../ /sentinel.txt", "../*", "../sentinel*",
        "/../*", "../root2/*", "../?entinel.txt", "*/../../*",
        "../root*", "../sentinel_dir/*.*")
    # Dot names that only look like the parent: literal names inside the root.
    add(FREE, "...", ". .", ".. ", " ..", "....", "%2e%2e", "%2E%2E/sentinel.txt",
        "%2e%2e/%2e%2e/sentinel.txt", "..%2fsentinel.txt", "..%5csentinel.txt",
        ".%2e/sentinel.txt", "..;/sentinel.txt", ".../sentinel.txt", "sub/.../..",
        " ../sentinel.txt", ".. /sentinel.txt", "*", ".*", "*/..", "..*/sentinel.txt",
        "../root", "../root/", "../root/a.bin", "../root2/../root/a.bin", "\x7f../sentinel.txt")
    # Drive prefixes, streams and device names.
    add(WINDOWS_ESCAPE, "C:", "C:/", "c:\\", "C:\\sentinel.txt", "Z:..", "x:y", "C:..",
        "C:/../sentinel.txt", "c:..\\sentinel.txt", "a.bin::$DATA", "a.bin:hidden",
        "\\\\?\\C:\\", "//?/C:/", "CON", "nul", "COM1.txt", "LPT1", "CONIN$", "aux.bin")
    add(ESCAPE, "C:/../../sentinel.txt", "x:/../../root2")
    add(FREE, "\\\\.\\PhysicalDrive0", "\\\\localhost\\sentinel.txt")
    # Network paths, pipes and devices in every spelling. CWD refuses them before any
    # file-system call; other verbs anchor their names at the root, where a device name is
    # still no ordinary entry on Windows.
    add(CWD_ESCAPE, "///host/share", "\\\\\\host\\share", "///./pipe/x", "//./pipe/x",
        "///./COM1", "//?/UNC/host/share")
    add(WINDOWS_ESCAPE, "//./COM1", "\\\\.\\COM1", "///./NUL")
    # Absolute OS paths: other verbs anchor them at the root, where they name nothing; CWD
    # hands what follows its first separator to the OS, and must still refuse it.
    add(CWD_ESCAPE, "//" + base.lstrip("/") + "/sentinel_dir", "//" + base.lstrip("/"),
        "//tmp", "//", "\\\\", "//proc/self/root/", "//proc/self/cwd/..")
    add(FREE, "/" + base.lstrip("/") + "/sentinel.txt", base + "/root2/a.bin", "/etc/passwd",
        "//" + base.lstrip("/") + "/root", "//proc/self/cwd")
    # Bytes from 128 up belong to names (UTF-8 or not): each of these names an entry inside.
    add(FREE, b"..\xe9", b"..\xe9/sentinel.txt", b"..\xc0\xaf..\xc0\xafsentinel.txt",
        b"..\xff\xfe", b"..\x80\\sentinel.txt", b"\xe9..", b"\xc0\xae\xc0\xae/sentinel.txt",
        b"\xe2\x80\xa5/sentinel.txt", b"\xef\xbc\x8e\xef\xbc\x8e/sentinel.txt")
    add(ESCAPE, b"../\xe9sentinel.txt", b"../sentinel.txt\xe9", b"a\x80/../../sentinel.txt")
    # Bytes below 32 refuse the whole command, never cut the name short.
    add(CONTROL, b"..\x00/sentinel.txt", b"../sentinel.txt\x00.bin", b"..\x00",
        b"..\t/sentinel.txt", b"..\x1b[2J", b"../root2\x01/a.bin", b"\x00../sentinel.txt",
        b"a.bin\x00../../sentinel.txt", b"sub\x00/../../sentinel.txt", b"a.bin\x1f")
    # Over-long arguments, cut to the longest line the reader takes; each escapes wherever
    # the cut falls.
    add(ESCAPE, "../" * 3000, "..\\" * 3000, "/.." * 3000, "\\..\\" * 1000, "../" + "./" * 1000,
        "/" * 470 + "../sentinel.txt", "\\" * 470 + "..\\sentinel.txt",
        "./" * 235 + "../sentinel.txt", "sub/../" * 65 + "../sentinel.txt",
        "a/" * 94 + "../" * 95 + "sentinel.txt", "x" * 200 + "/../../sentinel.txt",
        "A" * 300 + "/../../root2/a.bin", "../sentinel_dir/" + "./" * 300,
        "../" * 100 + base.lstrip("/") + "/sentinel.txt")
    add(FREE, "A" * 3000, "sub/" * 1000, "/" * 3000)
    return entries


def sentinel_content(marker, size):
    return ((marker + b"\n") * (size // (len(marker) + 1) + 1))[:size]


class PathAttacks(ServerTest):
    def setUp(self):
        super().setUp()
        self.marker = b"SENTINEL-" + os.urandom(8).hex().encode()
        self.links = not is_windows()
        self.atimes_work = self.atimes_move()
        for folder in SENTINEL_DIRS:
            os.makedirs(os.path.join(self.base, folder), exist_ok=True)
        for relative, size in SENTINEL_FILES.items():
            path = self.write_file(relative, sentinel_content(self.marker, size), base=self.base)
            os.utime(path, (SENTINEL_ATIME, SENTINEL_MTIME))
        self.plant_root()
        self.outside = self.outside_paths()
        self.before = self.snapshot()
        # Reading the snapshot moved the access times; from here on only a read or a listing
        # by the server moves them.
        for path in self.outside:
            os.utime(path, ns=(SENTINEL_ATIME * 10**9, os.lstat(path).st_mtime_ns))
        self.aged = {path: os.lstat(path).st_atime_ns for path in self.outside}

    # --- the tree --------------------------------------------------------------------------

    def plant_root(self):
        """The root's fixed contents; planted afresh after a verb changed them."""
        for name in os.listdir(self.root):
            path = os.path.join(self.root, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.remove(path)
        self.write_file("a.bin", INSIDE_A)
        self.write_file("sub/b.bin", INSIDE_B)
        if not self.links:
            return
        base = self.base
        for name, target in (("up", base), ("uprel", ".."),
                             ("sdir", os.path.join(base, "sentinel_dir")),
                             ("sfile", os.path.join(base, "sentinel.txt")),
                             ("sfile_rel", "../sentinel.txt"), ("r2", os.path.join(base, "root2")),
                             ("sub/deep", "../../sentinel_dir"), ("rootlink", self.root),
                             ("dangle", os.path.join(base, "made_through_link")),
                             ("dangle_dir", os.path.join(base, "missing_dir")),
                             ("loop", "loop")):
            os.symlink(target, os.path.join(self.root, name))

    def outside_paths(self):
        """Every entry beside the root, the base folder included."""
        paths = [self.base]
        for folder, dirs, files in os.walk(self.base):
            if folder == self.base:
                dirs.remove("root")
            paths += [os.path.join(folder, name) for name in dirs + files]
        return paths

    def snapshot(self):
        """Every entry beside the root: kind, mode, size, mtime and a digest of the contents."""
        entries = {}
        for path in self.outside_paths():
            st = os.lstat(path)
            digest = None
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
            entries[os.path.relpath(path, self.base)] = (st.st_mode, st.st_size, st.st_mtime_ns,
                                                         digest)
        return entries

    def atimes_move(self):
        """Whether this file system moves an old access time when a file is read."""
        probe = os.path.join(self.base, "atime_probe")
        with open(probe, "wb") as f:
            f.write(b"probe")
        os.utime(probe, (SENTINEL_ATIME, SENTINEL_MTIME))
        with open(probe, "rb") as f:
            f.read()
        moved = os.stat(probe).st_atime != SENTINEL_ATIME
        os.remove(probe)
        if not moved:
            print("\n[path attacks] this file system keeps access times: reads are checked by "
                  "content only", file=sys.stderr)
        return moved

    # --- talking ---------------------------------------------------------------------------

    def send_line(self, s, verb, argument):
        line = verb.encode() + b" " + argument + b"\r\n"
        self.assertLessEqual(len(line) - 1, LINE_LIMIT)
        s.sendall(line)
        reply = self.read_reply(s)
        self.assertIsNotNone(reply, "the server closed the session after %s %r" % (verb, argument))
        # MKD's reply names the folder made, in the client's own words: no leak.
        if not (verb in ("MKD", "XMKD") and reply.startswith('257 "')):
            self.heard.append(reply.encode("latin-1"))
        return reply

    def plain(self, s, text):
        s.sendall(text.encode() + b"\r\n")
        reply = self.read_reply(s)
        self.assertIsNotNone(reply, "the server closed the session after " + text)
        self.heard.append(reply.encode("latin-1"))
        return reply

    def data_command(self, s, verb, argument):
        """PASV, the command, and its data; returns [replies]."""
        reply = self.plain(s, "PASV")
        numbers = [int(n) for n in reply[reply.index("(") + 1:reply.index(")")].split(",")]
        data = socket.create_connection(("127.0.0.1", numbers[4] * 256 + numbers[5]),
                                        timeout=TIMEOUT)
        try:
            first = self.send_line(s, verb, argument)
            if not first.startswith("150"):
                return [first]
            if verb == "STOR":
                data.sendall(UPLOAD)
            else:
                chunks = []
                while True:
                    chunk = data.recv(65536)
                    if not chunk:
                        break
                    chunks.append(chunk)
                self.heard.append(b"".join(chunks))
        finally:
            data.close()
        final = self.read_reply(s)
        self.assertIsNotNone(final)
        self.heard.append(final.encode("latin-1"))
        return [first, final]

    def status_command(self, s, argument):
        """STAT sends its lines without reply codes; a NOOP after it marks their end."""
        s.sendall(b"STAT " + argument + b"\r\nNOOP\r\n")
        lines = []
        while True:
            line = self.read_reply(s)
            self.assertIsNotNone(line, "the server closed the session after STAT %r" % argument)
            self.heard.append(line.encode("latin-1"))
            if line == "200 OK":
                return lines
            lines.append(line)

    # --- the corpus ------------------------------------------------------------------------

    def entries(self):
        entries = corpus(self.base)
        if self.links:
            entries += [(kind, argument.encode()) for kind, argument in link_corpus()]
        else:
            print("\n[path attacks] links of the test's file system are not links to the Windows "
                  "build: the %d link cases are left out" % len(link_corpus()), file=sys.stderr)
        fitted = []
        for kind, argument in entries:
            if kind == WINDOWS_ESCAPE:
                kind = ESCAPE if is_windows() else FREE
            fitted.append((kind, argument[:LONGEST_ARGUMENT]))
        return fitted

    def run_corpus(self, upload):
        self.heard = []
        self.start_server(upload=upload)
        s = self.connect()
        entries = self.entries()
        self.assertGreaterEqual(len(entries), 100)
        checks = 0
        for kind, argument in entries:
            with self.subTest(argument=argument, upload=upload):
                checks += self.attack(s, argument, kind, upload)
        self.assertEqual(self.plain(s, "NOOP"), "200 OK")
        print("\n[path attacks] %s: %d arguments, %d verb checks"
              % ("-u" if upload else "read-only", len(entries), checks), file=sys.stderr)
        self.check_over_long_lines(upload)
        self.check_invariants()

    def attack(self, s, argument, kind, upload):
        """Sends argument to every path verb; returns the number of verbs tried."""
        escape = kind == ESCAPE
        # What a verb would answer with the sentinels' sizes or times, had it reached them.
        leaks = {"213 %d" % size for size in SENTINEL_FILES.values()}
        leaks.add("213 " + time.strftime("%Y%m%d%H%M%S", time.localtime(SENTINEL_MTIME)))

        def expect(verb, reply):
            if kind == CONTROL:
                self.assertEqual(reply, SYNTAX, verb)
            if escape:
                self.assertEqual(reply, (not upload and GATED.get(verb)) or REFUSED, verb)

        def settle(verb, reply):
            # A verb that changed the tree (inside, as the invariants check) leaves it planted
            # afresh, so that every verb meets the same tree. The NOOP's answer comes after the
            # session has cleaned up behind a failed upload.
            if verb in CHANGING and reply[0] in "12":
                self.assertEqual(self.plain(s, "NOOP"), "200 OK")
                self.plant_root()

        for verb in ("SIZE", "MDTM", "DELE", "MKD", "XMKD", "RMD", "XRMD"):
            reply = self.send_line(s, verb, argument)
            self.assertNotIn(reply, leaks, verb)
            expect(verb, reply)
            settle(verb, reply)
        for verb in ("RETR", "LIST", "NLST", "STOR"):
            replies = self.data_command(s, verb, argument)
            if escape:
                self.assertEqual(len(replies), 1, verb)
            expect(verb, replies[0])
            settle(verb, replies[0])
        lines = self.status_command(s, argument)
        if escape or kind == CONTROL:
            self.assertEqual(lines, [REFUSED if escape else SYNTAX], "STAT")
        # As the source of a rename. A refused RNFR leaves no source behind for the RNTO.
        expect("RNFR", self.send_line(s, "RNFR", argument))
        reply = self.send_line(s, "RNTO", b"renamed.bin")
        if escape:
            self.assertTrue(reply.startswith("550 "), reply)
        settle("RNTO", reply)
        # As the target of a rename.
        self.assertEqual(self.plain(s, "RNFR a.bin"), "350 File exists")
        reply = self.send_line(s, "RNTO", argument)
        if kind == CONTROL:
            self.assertEqual(reply, SYNTAX, "RNTO")
        if escape:
            self.assertTrue(reply.startswith("550 "), reply)
        settle("RNTO", reply)
        self.check_cwd(s, argument, kind)
        return 15

    def check_cwd(self, s, argument, kind):
        reply = self.send_line(s, "CWD", argument)
        pwd = self.plain(s, "PWD")
        if kind in (ESCAPE, CWD_ESCAPE):
            self.assertEqual(reply, CWD_REFUSED, "CWD")
        if kind == CONTROL:
            self.assertEqual(reply, SYNTAX, "CWD")
        if reply != CWD_OK:
            self.assertEqual(pwd, '257 "/"')
        self.assertTrue(pwd.startswith('257 "/'), pwd)
        # Wherever the session now is, the sentinels' names reach nothing.
        for name in (b"sentinel.txt", b"inner.txt", b"only_in_root2.txt"):
            self.assertTrue(self.send_line(s, "SIZE", name).startswith("550 "), name)
        self.assertEqual(len(self.data_command(s, "RETR", b"sentinel.txt")), 1)
        self.assertEqual(self.plain(s, "CWD /"), CWD_OK)

    def check_over_long_lines(self, upload):
        """A line longer than the reader holds ends the session before anything is done."""
        argument = b"/" * 484 + b"../sentinel.txt"  # 499 bytes: the line cannot fit
        for verb in ("RETR", "STOR", "DELE", "MKD", "XMKD", "RMD", "XRMD", "RNFR", "RNTO", "SIZE",
                     "MDTM", "LIST", "NLST", "STAT", "CWD"):
            with self.subTest(over_long=verb, upload=upload):
                s = self.connect()
                s.sendall(verb.encode() + b" " + argument + b"\r\n")
                self.assert_closed(s)
                s.close()
        self.assertEqual(self.command(self.connect(), "NOOP"), "200 OK")

    def check_invariants(self):
        if self.atimes_work:
            # Wine looks names up by reading their folder (it matches them without regard to
            # case), so there only a file's access time says that it was read.
            touched = [os.path.relpath(path, self.base) for path in self.outside
                       if os.lstat(path).st_atime_ns != self.aged[path] and
                       not (is_windows() and os.path.isdir(path))]
            self.assertEqual(touched, [], "outside entries were read or listed")
        self.assertEqual(self.snapshot(), self.before, "entries beside the root changed")
        heard = b"\n".join(self.heard)
        self.assertNotIn(self.marker, heard, "sentinel bytes reached the client")
        for name in SENTINEL_NAMES:
            self.assertNotIn(name, heard, "a sentinel was named to the client: %r"
                             % heard[max(0, heard.find(name) - 200):heard.find(name) + 50])
        self.assertIsNone(self.server.process.poll(), "the server ended")

    def test_escape_attempts_read_only(self):
        self.run_corpus(upload=False)

    def test_escape_attempts_with_uploads(self):
        self.run_corpus(upload=True)


class OutwardLink(ServerTest):
    """A link inside the root to a folder beside it: what lies behind it, there or not, gets
    the one refusal, so no answer tells which names exist outside."""

    def test_missing_and_existing_names_behind_it_answer_alike(self):
        self.write_file("y.txt", b"outside", base=os.path.join(self.base, "outside"))
        try:
            os.symlink(os.path.join(self.base, "outside"), os.path.join(self.root, "outdir"))
        except OSError as error:
            self.skipTest("no links here: %s" % error)
        self.start_server(upload=True)
        s = self.connect()
        for name in ("y.txt", "x.txt", "x/deeper.txt"):
            for verb in ("SIZE", "MDTM", "DELE", "RNFR", "MKD", "RMD"):
                with self.subTest(verb=verb, name=name):
                    self.assertEqual(self.command(s, "%s outdir/%s" % (verb, name)), REFUSED)
            with self.subTest(verb="RETR", name=name):
                self.assertEqual(self.transfer(s, "RETR outdir/" + name), (None, [REFUSED]))
        self.assertEqual(os.listdir(os.path.join(self.base, "outside")), ["y.txt"])


class LookAlikeNames(ServerTest):
    """Names beyond any ANSI code page, which that code page would turn into ASCII look-alikes:
    a link to a folder beside the root named "\uff52oot" (fullwidth r) for a root named "root",
    and a link to a folder "\uff0e\uff0e" (fullwidth full stops) inside the root. Each name
    must stay what it is on the way to the checks that keep clients inside the root."""

    LOOK_ALIKE = "\uff52oot"
    DOTS = "\uff0e\uff0e"

    def setUp(self):
        super().setUp()
        outside = os.path.join(self.base, self.LOOK_ALIKE)
        self.write_file("secret.txt", b"look-alike secret", base=outside)
        os.mkdir(os.path.join(self.root, self.DOTS))
        try:
            os.symlink(outside, os.path.join(self.root, "look"))
            os.symlink(self.DOTS, os.path.join(self.root, "dots"))
        except OSError as error:
            self.skipTest("no links here: %s" % error)
        self.beside = self.tree(self.base, skip=self.root)

    def tree(self, top, skip=None):
        found = []
        for folder, dirs, files in os.walk(top):
            dirs[:] = [name for name in dirs if os.path.join(folder, name) != skip]
            found += [os.path.relpath(os.path.join(folder, name), top) for name in dirs + files]
        return sorted(found)

    def test_a_link_to_a_look_alike_of_the_root_is_refused(self):
        self.start_server()
        s = self.connect()
        self.assertEqual(self.command(s, "SIZE look/secret.txt"), REFUSED)
        self.assertEqual(self.transfer(s, "RETR look/secret.txt"), (None, [REFUSED]))
        self.assertEqual(self.command(s, "CWD look"), CWD_REFUSED)
        self.assertEqual(self.command(s, "PWD"), '257 "/"')

    def test_a_root_named_beyond_the_code_page_is_served_as_named(self):
        self.start_server(root=os.path.join(self.base, self.LOOK_ALIKE))
        s = self.connect()
        self.assertEqual(self.command(s, "SIZE secret.txt"), "213 17")
        shown = self.LOOK_ALIKE.encode("utf-8").decode("latin-1")
        self.assertIn(shown + "' as ftp root directory", self.server.console())

    def test_the_console_shows_a_root_named_beyond_the_code_page(self):
        """A terminal is a real console to Wine, which the Windows build writes in UTF-16."""
        self.skip_on_a_windows_host("a pseudo-terminal")
        root = os.path.join(self.base, self.LOOK_ALIKE)
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        process = subprocess.Popen(launcher() + [binary(), "-p", str(free_port()), root],
                                   stdin=slave, stdout=slave, stderr=slave)
        os.close(slave)
        self.addCleanup(process.wait, TIMEOUT)
        self.addCleanup(process.kill)
        seen = b""
        deadline = time.monotonic() + START_TIMEOUT
        while b"Waiting for the chassis" not in seen and time.monotonic() < deadline:
            if select.select([master], [], [], 0.5)[0]:
                try:
                    seen += os.read(master, 65536)
                except OSError:  # the terminal has no writer left
                    break
        self.assertIn(self.LOOK_ALIKE.encode("utf-8") + b"' as ftp root directory", seen)

    def test_fullwidth_dots_are_a_name_inside_the_root(self):
        self.start_server(upload=True)
        s = self.connect()
        inside = os.path.join(self.root, self.DOTS)
        self.assertEqual(self.command(s, "MKD dots/made"), '257 "/dots/made" created')
        replies = self.upload(s, "STOR dots/sent.bin", b"x")
        self.assertTrue(replies[-1].startswith("226"), replies)
        self.assertEqual(self.tree(self.base, skip=self.root), self.beside,
                         "entries appeared beside the root")
        self.assertEqual(self.tree(inside), ["made", "sent.bin"])
        self.assertEqual(self.command(s, "CWD dots"), CWD_OK)
        # The reply carries the name as UTF-8, as the FEAT list promises.
        pwd = self.command(s, "PWD").encode("latin-1").decode("utf-8")
        self.assertEqual(pwd, '257 "/%s"' % self.DOTS)
        self.assertTrue(self.command(s, "MKD here").startswith('257 "/'))
        # Named directly, in UTF-8, the dots are the same folder inside.
        s.sendall(("MKD /%s/direct\r\n" % self.DOTS).encode())
        self.assertTrue(self.read_reply(s).startswith('257 "/'))
        self.assertEqual(self.tree(inside), ["direct", "here", "made", "sent.bin"])


class OwnFiles(ServerTest):
    def test_the_key_and_the_log_are_not_there_for_any_verb(self):
        # The log, and on Linux the key (Wine's key store takes no key from a file), each
        # under another name too: a hard link is the same file.
        log = os.path.join(self.root, "logs", "xfer.log")
        os.mkdir(os.path.dirname(log))
        args = ["-xferlog", log]
        hidden = ["logs/xfer.log", "log.bak"]
        if not is_windows() and shutil.which("openssl") is not None:
            key = os.path.join(self.root, "server.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                            "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=test", "-days",
                            "2", "-keyout", key, "-out", key], capture_output=True,
                           timeout=60, check=True)
            os.link(key, os.path.join(self.root, "fw.bin"))
            os.symlink("server.pem", os.path.join(self.root, "link.pem"))
            args += ["-tlscert", key]
            hidden += ["server.pem", "fw.bin", "link.pem"]
        self.start_server(*(args + ["-u"]))
        os.link(log, os.path.join(self.root, "log.bak"))
        console = self.server.console()
        self.assertIn("xfer.log' is inside the served folder; no client can see it.\n", console)
        self.assertEqual("server.pem" in hidden, "Warning: the TLS certificate file '" in console)
        s = self.connect()
        listing, _ = self.transfer(s, "NLST -R")
        for name in hidden[:-1] if "link.pem" in hidden else hidden:  # a link is a name of its own
            self.assertNotIn(os.path.basename(name).encode(), listing)
        before = {name: self.read_file(name) for name in hidden if "log" not in name}
        for verb in ("RETR", "SIZE", "MDTM", "DELE", "RNFR", "CWD", "STAT", "LIST", "XSHA256"):
            missing = self.command(s, "%s missing.bin" % verb) if verb not in ("STAT", "LIST") \
                else None
            for name in hidden:
                with self.subTest(verb=verb, name=name):
                    if verb == "LIST":
                        self.assertNotIn(b"xfer", self.transfer(s, "LIST " + name)[0] or b"")
                    elif verb == "STAT":
                        s.sendall(b"STAT " + name.encode() + b"\r\n")
                        self.assertTrue(self.read_reply(s).startswith("213-"))
                        reply = self.read_reply(s)
                        self.assertEqual(reply, "213 End")
                    else:
                        self.assertEqual(self.command(s, "%s %s" % (verb, name)), missing)
        for name in hidden:
            self.assertNotEqual(self.upload(s, "STOR " + name, b"planted")[0][:3], "150")
        self.assertEqual(before, {name: self.read_file(name) for name in before})
        self.assertNotIn(b"planted", self.read_file("log.bak"))
        if not is_windows():
            # Rotated (renamed, then SIGHUP): the new log and the renamed one are withheld too.
            os.rename(log, log + ".1")
            self.server.process.send_signal(signal.SIGHUP)
            self.wait_for(lambda: os.path.exists(log), "the log opened again")
            for name in ("logs/xfer.log", "logs/xfer.log.1"):
                self.assertEqual(self.command(s, "SIZE " + name), self.command(s, "SIZE missing"))
            # Rotated more often than the table of withheld files has places, each rotation
            # deleting the one before, whose inode a new file may take at once: the deleted logs
            # give their places back, and no new file is withheld for a deleted log's inode.
            deadline = time.monotonic() + TIMEOUT
            for i in range(300):
                os.rename(log, log + ".1")
                self.write_file("fill%03d" % i, b"")
                self.server.process.send_signal(signal.SIGHUP)
                while not os.path.exists(log):
                    self.assertLess(time.monotonic(), deadline, "the log opened again")
                    time.sleep(0.001)
            self.assertNotIn("Unable to withhold", self.server.errors())
            self.assertEqual(self.command(s, "SIZE logs/xfer.log"), self.command(s, "SIZE missing"))
            listing = self.transfer(s, "NLST")[0].split()
            self.assertEqual(sorted(name for name in listing if name.startswith(b"fill")),
                             [b"fill%03d" % i for i in range(300)])
