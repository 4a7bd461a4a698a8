"""The served root: CWD and PWD, per-session working directories, and arguments that try to
reach past the root."""
import hashlib
import os
import threading
import time

from harness import ServerTest, is_windows

CWD_OK = "250 CWD command successful"
CWD_REFUSED = "550 Could not change directory"
REFUSED = "550 Path permission error"
RETR_150 = "150 Opening BINARY mode data connection"
LIST_150 = "150 Opening connection"
DONE = "226 Transfer complete"


def pwd(path):
    return '257 "%s"' % path


class PathTest(ServerTest):
    def cwd_then_pwd(self, s, argument):
        reply = self.command(s, ("CWD " + argument) if argument else "CWD")
        return reply, self.command(s, "PWD")

    def snapshot(self, top, skip=None):
        """Every entry below top (but the folder skip) with its kind, mode, size, mtime and,
        for files, a digest of its contents."""
        entries = {}
        for folder, dirs, files in os.walk(top, followlinks=False):
            if skip is not None:
                dirs[:] = [d for d in dirs if os.path.join(folder, d) != skip]
            for name in dirs + files:
                path = os.path.join(folder, name)
                st = os.lstat(path)
                digest = None
                if os.path.isfile(path) and not os.path.islink(path):
                    with open(path, "rb") as f:
                        digest = hashlib.sha256(f.read()).hexdigest()
                entries[os.path.relpath(path, top)] = (st.st_mode, st.st_size, st.st_mtime_ns,
                                                       digest)
        return entries


class WorkingDirectory(PathTest):
    def test_cwd_examples_from_a_subdirectory(self):
        os.makedirs(os.path.join(self.root, "fw", "latest"))
        self.write_file("fw/notes.txt", b"a file, not a directory")
        self.start_server()
        s = self.connect()
        cases = [
            ("", CWD_OK, "/fw"),
            ("/", CWD_OK, "/"),
            ("\\", CWD_OK, "/"),
            ("/fw/latest", CWD_OK, "/fw/latest"),
            ("\\fw\\latest\\", CWD_OK, "/fw/latest"),
            ("latest", CWD_OK, "/fw/latest"),
            ("latest/.", CWD_OK, "/fw/latest"),
            ("..", CWD_OK, "/"),
            ("../fw", CWD_OK, "/fw"),
            ("../..", CWD_REFUSED, "/fw"),
            ("nosuch", CWD_REFUSED, "/fw"),
            ("//", CWD_REFUSED, "/fw"),
            ("notes.txt", CWD_REFUSED, "/fw"),
            ("/fw/notes.txt", CWD_REFUSED, "/fw"),
        ]
        for argument, reply, after in cases:
            with self.subTest(argument=argument):
                self.assertEqual(self.cwd_then_pwd(s, "/fw"), (CWD_OK, pwd("/fw")))
                self.assertEqual(self.cwd_then_pwd(s, argument), (reply, pwd(after)))
                self.assertEqual(self.command(s, "XPWD"), pwd(after))

    def test_cwd_at_the_root_and_with_os_paths(self):
        os.makedirs(os.path.join(self.root, "fw", "latest"))
        self.start_server()
        s = self.connect()
        self.assertEqual(self.cwd_then_pwd(s, ".."), (CWD_REFUSED, pwd("/")))
        self.assertEqual(self.cwd_then_pwd(s, "/.."), (CWD_REFUSED, pwd("/")))
        self.assertEqual(self.cwd_then_pwd(s, "."), (CWD_OK, pwd("/")))
        # After its first separator a CWD argument is an OS path of its own, judged by
        # where it leads.
        real_root = os.path.realpath(self.root)
        self.assertEqual(self.cwd_then_pwd(s, "/" + real_root + "/fw/latest"),
                         (CWD_OK, pwd("/fw/latest")))
        self.assertEqual(self.cwd_then_pwd(s, "/" + os.path.dirname(real_root)),
                         (CWD_REFUSED, pwd("/fw/latest")))
        self.assertEqual(self.cwd_then_pwd(s, "//tmp"), (CWD_REFUSED, pwd("/fw/latest")))

    def test_a_working_directory_too_long_to_keep_is_refused(self):
        # Each level is short, but together they pass the 1,024 bytes a working directory holds
        # (Windows refuses such paths sooner).
        levels = ["d%02d" % i + "x" * 36 for i in range(30)]
        os.makedirs(os.path.join(self.root, *levels))
        self.start_server()
        s = self.connect()
        reached = ""
        for level in levels:
            reply = self.command(s, "CWD " + level)
            if reply != CWD_OK:
                break
            reached += "/" + level
        self.assertEqual(reply, CWD_REFUSED)
        self.assertGreater(len(os.path.realpath(self.root) + reached), 200)
        self.assertEqual(self.command(s, "PWD"), pwd(reached))
        self.assertEqual(self.command(s, "NOOP"), "200 OK")

    def test_sessions_keep_their_own_working_directories(self):
        self.write_file("fw/a.bin", b"firmware")
        self.write_file("tools/a.bin", b"tools!")
        self.write_file("tools/only-here.txt", b"")
        self.start_server()
        first = self.connect()
        self.assertEqual(self.cwd_then_pwd(first, "fw"), (CWD_OK, pwd("/fw")))
        # A second client connecting does not move the first.
        second = self.connect()
        self.assertEqual(self.command(first, "PWD"), pwd("/fw"))
        self.assertEqual(self.command(second, "PWD"), pwd("/"))
        self.assertEqual(self.cwd_then_pwd(second, "tools"), (CWD_OK, pwd("/tools")))
        self.assertEqual(self.command(first, "PWD"), pwd("/fw"))
        self.assertEqual(self.command(first, "SIZE a.bin"), "213 8")
        self.assertEqual(self.command(second, "SIZE a.bin"), "213 6")
        self.assertEqual(self.transfer(first, "RETR a.bin"), (b"firmware", [RETR_150, DONE]))
        self.assertEqual(self.transfer(second, "RETR a.bin"), (b"tools!", [RETR_150, DONE]))
        payload, _ = self.transfer(first, "NLST")
        self.assertEqual(payload, b"a.bin\r\n")
        payload, _ = self.transfer(second, "NLST")
        self.assertEqual(sorted(payload.split(b"\r\n")), [b"", b"a.bin", b"only-here.txt"])
        self.assertEqual(self.command(first, "DELE a.bin"), "250 DELE command successful.")
        self.assertFalse(os.path.exists(os.path.join(self.root, "fw", "a.bin")))
        self.assertEqual(self.read_file("tools/a.bin"), b"tools!")


class Confinement(PathTest):
    def test_a_sibling_whose_name_extends_the_root_is_outside(self):
        sibling = os.path.join(self.base, "root2")
        os.mkdir(sibling)
        self.write_file("a.bin", b"sibling secret", base=sibling)
        self.write_file("a.bin", b"inside")
        self.start_server()
        s = self.connect()
        self.assertEqual(self.cwd_then_pwd(s, "../root2"), (CWD_REFUSED, pwd("/")))
        self.assertEqual(self.cwd_then_pwd(s, "../root"), (CWD_OK, pwd("/")))
        self.assertEqual(self.command(s, "SIZE ../root2/a.bin"), REFUSED)
        self.assertEqual(self.transfer(s, "RETR ../root2/a.bin"), (None, [REFUSED]))
        self.assertEqual(self.transfer(s, "LIST ../root2"), (None, [REFUSED]))
        self.assertEqual(self.transfer(s, "NLST ../root*"), (None, [REFUSED]))
        self.assertEqual(self.transfer(s, "RETR ../root/a.bin"), (b"inside", [RETR_150, DONE]))

    def test_links_are_followed_only_while_they_stay_inside(self):
        outside = os.path.join(self.base, "outside")
        os.mkdir(outside)
        self.write_file("secret.txt", b"outside secret", base=outside)
        self.write_file("fw/a.bin", b"inside file")
        os.symlink(outside, os.path.join(self.root, "out"))
        os.symlink(os.path.join(outside, "secret.txt"), os.path.join(self.root, "outfile"))
        os.symlink(os.path.join(self.root, "fw"), os.path.join(self.root, "in"))
        os.symlink(os.path.join(self.root, "fw", "a.bin"), os.path.join(self.root, "infile"))
        os.symlink("fw/a.bin", os.path.join(self.root, "relative"))
        before = self.snapshot(self.base, skip=self.root)
        self.start_server(upload=True)
        s = self.connect()
        for argument in ("out", "/out", "outfile"):
            with self.subTest(cwd=argument):
                self.assertEqual(self.cwd_then_pwd(s, argument), (CWD_REFUSED, pwd("/")))
        # POSIX goes up from where the link leads; Windows takes "out/.." off by name first.
        self.assertEqual(self.cwd_then_pwd(s, "out/.."),
                         (CWD_OK if is_windows() else CWD_REFUSED, pwd("/")))
        for argument in ("outfile", "out/secret.txt", "/out/secret.txt", "in/../out/secret.txt"):
            with self.subTest(retr=argument):
                self.assertEqual(self.transfer(s, "RETR " + argument), (None, [REFUSED]))
                self.assertEqual(self.command(s, "SIZE " + argument), REFUSED)
                self.assertEqual(self.command(s, "DELE " + argument), REFUSED)
        for argument in ("out", "out/*", "outfile"):
            with self.subTest(list=argument):
                self.assertEqual(self.transfer(s, "NLST " + argument), (None, [REFUSED]))
        self.assertEqual(self.command(s, "MKD out/new"), REFUSED)
        self.assertEqual(self.upload(s, "STOR out/new.bin", b"x"), [REFUSED])
        self.assertEqual(self.snapshot(self.base, skip=self.root), before)

        for argument in ("infile", "relative", "in/a.bin", "/in/a.bin"):
            with self.subTest(inside=argument):
                self.assertEqual(self.transfer(s, "RETR " + argument),
                                 (b"inside file", [RETR_150, DONE]))
        # A link is resolved as chdir and getcwd would: the session is then in fw.
        self.assertEqual(self.cwd_then_pwd(s, "in"), (CWD_OK, pwd("/fw")))
        self.assertEqual(self.transfer(s, "RETR a.bin"), (b"inside file", [RETR_150, DONE]))

    def plant_outside(self):
        """A folder beside the root with a sentinel file; returns (folder, sentinel bytes)."""
        outside = os.path.join(self.base, "outside")
        secret = b"outside secret, never to be served" * 3
        self.write_file("secret.txt", secret, base=outside)
        os.mkdir(os.path.join(outside, "sub"))
        return outside, secret

    def assert_refused_everywhere(self, s, argument, secret):
        """Every verb refuses argument, or at least finds nothing; nothing of secret leaks."""
        leak = "213 %d" % len(secret)
        for verb in ("SIZE", "MDTM", "DELE"):
            reply = self.command(s, "%s %s" % (verb, argument))
            self.assertTrue(reply.startswith("550 ") and reply != leak, (verb, reply))
        for verb in ("RETR", "LIST", "NLST"):
            payload, replies = self.transfer(s, "%s %s" % (verb, argument))
            self.assertTrue(payload in (None, b""), (verb, payload))
            self.assertTrue(replies[0].startswith("550 ") or replies[0].startswith("150"))

    def test_renames_racing_lookups_never_reach_outside(self):
        if is_windows():
            self.skipTest("a link made by the test's POSIX side is no Windows link under Wine")
        outside, secret = self.plant_outside()
        self.write_file("data/secret.txt", b"inside")
        # Two links take turns at fw/cur: one stays inside, the other leads out.
        os.makedirs(os.path.join(self.root, "fw"))
        os.symlink("../data", os.path.join(self.root, "fw", "cur"))
        os.symlink("../../outside", os.path.join(self.root, "fw", "away"))
        before = self.snapshot(self.base, skip=self.root)
        self.start_server(upload=True)
        s = self.connect()
        stop = threading.Event()

        def swap():
            fw = os.path.join(self.root, "fw")
            while not stop.is_set():
                os.rename(os.path.join(fw, "cur"), os.path.join(fw, "spare"))
                os.rename(os.path.join(fw, "away"), os.path.join(fw, "cur"))
                os.rename(os.path.join(fw, "cur"), os.path.join(fw, "away"))
                os.rename(os.path.join(fw, "spare"), os.path.join(fw, "cur"))

        swapper = threading.Thread(target=swap)
        swapper.start()
        try:
            deadline = time.monotonic() + 3.0
            rounds = 0
            while time.monotonic() < deadline:
                rounds += 1
                self.assertNotEqual(self.command(s, "SIZE fw/cur/secret.txt"),
                                    "213 %d" % len(secret))
                payload, _ = self.transfer(s, "RETR fw/cur/secret.txt")
                self.assertIn(payload, (None, b"inside"))
                payload, _ = self.transfer(s, "NLST fw/cur/*")
                self.assertNotIn(b"sub", payload or b"")
                self.upload(s, "STOR fw/cur/new.bin", b"upload")
        finally:
            stop.set()
            swapper.join()
        self.assertGreater(rounds, 10)
        self.assertEqual(self.snapshot(self.base, skip=self.root), before)

    def test_a_working_directory_renamed_into_a_link_that_leads_out(self):
        if is_windows():
            self.skipTest("a link made by the test's POSIX side is no Windows link under Wine")
        outside, secret = self.plant_outside()
        self.write_file("d/sub/a.bin", b"inside")
        os.symlink(outside, os.path.join(self.root, "link"))
        before = self.snapshot(self.base, skip=self.root)
        self.start_server(upload=True)
        s = self.connect()
        self.assertEqual(self.cwd_then_pwd(s, "d"), (CWD_OK, pwd("/d")))
        # Another process moves the folder away and puts the operator's link in its place.
        os.rename(os.path.join(self.root, "d"), os.path.join(self.root, "kept"))
        os.rename(os.path.join(self.root, "link"), os.path.join(self.root, "d"))
        self.assertEqual(self.command(s, "PWD"), pwd("/d"))
        for verb in ("LIST", "NLST"):
            self.assertEqual(self.transfer(s, verb), (None, [REFUSED]), verb)
        s.sendall(b"STAT\r\nNOOP\r\n")
        self.assertEqual(self.read_replies(s, 2), [REFUSED, "200 OK"])
        self.assert_refused_everywhere(s, "secret.txt", secret)
        self.assertEqual(self.cwd_then_pwd(s, "sub"), (CWD_REFUSED, pwd("/d")))
        self.assertEqual(self.upload(s, "STOR new.bin", b"x"), [REFUSED])
        self.assertEqual(self.snapshot(self.base, skip=self.root), before)

    def test_a_link_whose_target_resolves_past_the_path_limit(self):
        if is_windows():
            self.skipTest("a link made by the test's POSIX side is no Windows link under Wine")
        # Beside the root, a chain of folders whose full path passes the 4,096 bytes an OS
        # path may hold, with a secret at its bottom. Each link's own text stays short.
        secret = b"deep outside secret" * 5
        names = ["d%02d" % i + "x" * 247 for i in range(20)]
        folder = os.open(self.base, os.O_RDONLY | os.O_DIRECTORY)
        for name in ["outside"] + names:
            os.mkdir(name, dir_fd=folder)
            inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=folder)
            os.close(folder)
            folder = inner
            if name == names[12]:  # the rest is reached through the link "hop"
                os.symlink("/".join(names[13:]), "hop", dir_fd=folder)
        with open(os.open("secret.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=folder),
                  "wb") as f:
            f.write(secret)
        os.close(folder)
        os.symlink("../outside/" + "/".join(names[:13]) + "/hop",
                   os.path.join(self.root, "long"))
        for upload in (False, True):
            with self.subTest(upload=upload):
                self.start_server(upload=upload)
                s = self.connect()
                self.assert_refused_everywhere(s, "long/secret.txt", secret)
                self.assertEqual(self.command(s, "RNFR long/secret.txt"), REFUSED)
                self.assertEqual(self.cwd_then_pwd(s, "long"), (CWD_REFUSED, pwd("/")))
        with open(os.path.join(self.root, "long", "secret.txt"), "rb") as f:
            self.assertEqual(f.read(), secret)

    def test_a_root_given_through_a_link(self):
        self.write_file("fw/a.bin", b"through the link")
        link = os.path.join(self.base, "current")
        os.symlink(self.root, link)
        self.write_file("secret.txt", b"outside", base=self.base)
        self.start_server(root=link, cwd=self.base)
        s = self.connect()
        self.assertEqual(self.cwd_then_pwd(s, "fw"), (CWD_OK, pwd("/fw")))
        self.assertEqual(self.transfer(s, "RETR /fw/a.bin"),
                         (b"through the link", [RETR_150, DONE]))
        self.assertEqual(self.cwd_then_pwd(s, "../.."), (CWD_REFUSED, pwd("/fw")))
        self.assertEqual(self.command(s, "SIZE ../../secret.txt"), REFUSED)
        # Back in by the root's own name is inside; through a link beside the root it is not,
        # since nothing outside the root is looked at.
        self.assertEqual(self.command(s, "SIZE ../../root/fw/a.bin"), "213 16")
        self.assertEqual(self.command(s, "SIZE ../../current/fw/a.bin"), REFUSED)

    def test_no_argument_reaches_past_the_root(self):
        # Sentinels just outside the root, named as the attempts below name them.
        self.write_file("sentinel", b"must stay unread", base=self.base)
        self.write_file("sentinel_dir/inner", b"", base=self.base)
        os.mkdir(os.path.join(self.base, "empty_dir"))
        self.write_file("a.bin", b"inside")
        os.mkdir(os.path.join(self.root, "sub"))
        # A dangling link whose target lies outside: nothing may be created through it.
        os.symlink(os.path.join(self.base, "created"), os.path.join(self.root, "dangling"))
        before = self.snapshot(self.base, skip=self.root)
        inside_before = self.snapshot(self.root)
        self.start_server(upload=True)
        s = self.connect()

        # Every attempt names a place inside self.base, so that even a server that let one
        # through could not touch anything beyond this test's own folder.
        up = "/".join([".."] * 20)
        names = ["sentinel", "sentinel_dir", "empty_dir", "new_entry"]
        escapes = ["..", "/..", "//..", "\\..", "\\\\..", "../", "sub/../..", "./.."]
        for name in names:
            escapes += [
                "../" + name, "/../" + name, "\\..\\" + name, "..\\" + name,
                "a/../../" + name, "sub/../../" + name, "sub\\..\\..\\" + name,
                "//../" + name, "/../root/../" + name, "./../" + name,
                "../../" + os.path.basename(self.base) + "/" + name,
                up + self.base + "/" + name,
                # Long, but within a command line: many ".." and many names that come back.
                "/".join(["sub"] * 60 + [".."] * 61 + [name]),
                "/".join(["."] * 150 + ["..", name]),
            ]
        for argument in escapes:
            self.assertLessEqual(len(argument), 490, argument)

        # Plain asserts, not subtests: the first attempt that gets through ends the test.
        for argument in escapes:
            for verb in ("SIZE", "MDTM", "DELE", "MKD", "XMKD", "RMD", "XRMD", "RNFR", "STAT"):
                self.assertEqual(self.command(s, "%s %s" % (verb, argument)), REFUSED,
                                 "%s %s" % (verb, argument))
            for verb in ("RETR", "LIST", "NLST"):
                self.assertEqual(self.transfer(s, "%s %s" % (verb, argument)),
                                 (None, [REFUSED]), "%s %s" % (verb, argument))
            self.assertEqual(self.upload(s, "STOR " + argument, b"never stored"), [REFUSED],
                             "STOR " + argument)
            # As a rename target: refused by the rename itself, with nothing changed.
            self.assertEqual(self.command(s, "RNFR a.bin"), "350 File exists")
            reply = self.command(s, "RNTO " + argument)
            self.assertTrue(reply.startswith("550 "), "RNTO %s: %s" % (argument, reply))
            self.assertEqual(self.cwd_then_pwd(s, argument), (CWD_REFUSED, pwd("/")),
                             "CWD " + argument)
        self.assertEqual(self.command(s, "NOOP"), "200 OK")
        self.assertEqual(self.snapshot(self.base, skip=self.root), before)
        self.assertEqual(self.snapshot(self.root), inside_before)

        # Back into the root by name is inside, and served.
        for argument in ("../root/a.bin", "/../root/a.bin", "sub/../../root/a.bin",
                         "\\..\\root\\a.bin"):
            with self.subTest(inside=argument):
                self.assertEqual(self.transfer(s, "RETR " + argument),
                                 (b"inside", [RETR_150, DONE]))
                self.assertEqual(self.command(s, "SIZE " + argument), "213 6")
        self.assertEqual(self.cwd_then_pwd(s, "../root/sub"), (CWD_OK, pwd("/sub")))
        # A link that leads out is refused even where nothing is there yet. Under Wine a POSIX
        # link to nothing is nothing, and the upload takes its place. Nothing outside changes.
        if is_windows():
            self.assertEqual(self.upload(s, "STOR /dangling", b"upload"), [RETR_150, DONE])
            self.assertEqual(self.read_file("dangling"), b"upload")
        else:
            self.assertEqual(self.upload(s, "STOR /dangling", b"upload"), [REFUSED])
            self.assertTrue(os.path.islink(os.path.join(self.root, "dangling")))
        self.assertEqual(self.snapshot(self.base, skip=self.root), before)
