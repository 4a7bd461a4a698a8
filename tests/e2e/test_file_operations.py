"""MDTM, SIZE, DELE, MKD, RMD, RNFR and RNTO, and the read-only attribute that protects files."""
import os
import time

from harness import ServerTest, is_windows

NOT_FOUND = "550 No such file or directory"
EXISTS = "550 File exists"
DENIED = "550 Permission denied"
RENAMED = "250 RNTO command successful"
RNFR_OK = "350 File exists"


def busy_reply():
    # The platform's text for removing a directory in use.
    return DENIED if is_windows() else "550 Device or resource busy"


class FileOperationTest(ServerTest):
    def tree(self):
        """Every path below the root with its contents (None for a directory)."""
        entries = {}
        for folder, dirs, files in os.walk(self.root):
            for name in dirs:
                entries[os.path.relpath(os.path.join(folder, name), self.root)] = None
            for name in files:
                path = os.path.join(folder, name)
                with open(path, "rb") as f:
                    entries[os.path.relpath(path, self.root)] = f.read()
        return entries

    def exists(self, relative):
        return os.path.lexists(os.path.join(self.root, relative))


class Queries(FileOperationTest):
    def test_mdtm_and_size(self):
        self.write_file("a.bin", b"x" * 12345)
        self.write_file("empty.bin", b"")
        os.mkdir(os.path.join(self.root, "sub"))
        path = os.path.join(self.root, "a.bin")
        mtime = time.mktime((2011, 6, 21, 13, 14, 15, 0, 0, -1))
        os.utime(path, (mtime, mtime))
        self.start_server()
        s = self.connect()
        local = time.localtime(os.stat(path).st_mtime)
        expected = "213 %04d%02d%02d%02d%02d%02d" % local[:6]
        self.assertEqual(expected, "213 20110621131415")
        cases = [
            ("MDTM a.bin", expected),
            ("MDTM /a.bin", expected),
            ("SIZE a.bin", "213 12345"),
            ("SIZE empty.bin", "213 0"),
            ("MDTM sub", "550 not a plain file."),
            ("SIZE sub", "550 not a plain file."),
            ("SIZE /", "550 not a plain file."),
            ("MDTM missing.bin", NOT_FOUND),
            ("SIZE missing.bin", NOT_FOUND),
            ("SIZE sub/missing.bin", NOT_FOUND),
            ("SIZE", "550 Path permission error"),
        ]
        for command, reply in cases:
            with self.subTest(command=command):
                self.assertEqual(self.command(s, command), reply)
        # A file just written: the reply follows the clock, in local time.
        self.write_file("fresh.bin", b"")
        local = time.localtime(os.stat(os.path.join(self.root, "fresh.bin")).st_mtime)
        self.assertEqual(self.command(s, "MDTM fresh.bin"),
                         "213 %04d%02d%02d%02d%02d%02d" % local[:6])


class Delete(FileOperationTest):
    def test_dele_removes_files_only(self):
        self.write_file("a.bin", b"a")
        self.write_file("sub/b.bin", b"b")
        os.mkdir(os.path.join(self.root, "empty"))
        self.write_file("ro.bin", b"protected")
        os.chmod(os.path.join(self.root, "ro.bin"), 0o444)
        self.start_server()
        s = self.connect()
        self.assertEqual(self.command(s, "DELE a.bin"), "250 DELE command successful.")
        self.assertFalse(self.exists("a.bin"))
        self.assertEqual(self.command(s, "DELE /sub/b.bin"), "250 DELE command successful.")
        self.assertFalse(self.exists("sub/b.bin"))
        before = self.tree()
        for command in ("DELE empty", "DELE sub", "DELE /"):
            with self.subTest(command=command):
                reply = self.command(s, command)
                self.assertTrue(reply.startswith("550 "), reply)
        # The read-only attribute protects a file whatever the server's privileges.
        self.assertEqual(self.command(s, "DELE ro.bin"), DENIED)
        self.assertEqual(self.command(s, "DELE a.bin"), NOT_FOUND)
        self.assertEqual(self.tree(), before)

    def test_dele_and_rename_of_a_link_act_on_the_link(self):
        if is_windows():
            self.skipTest("a link made by the test's POSIX side is no Windows link under Wine")
        self.write_file("fw-2.1.pkg", b"package")
        try:
            os.symlink("fw-2.1.pkg", os.path.join(self.root, "current.pkg"))
        except OSError as error:
            self.skipTest("no links here: %s" % error)
        self.start_server(upload=True)
        s = self.connect()
        self.assertEqual(self.command(s, "SIZE current.pkg"), "213 7")
        self.assertEqual(self.command(s, "RNFR current.pkg"), RNFR_OK)
        self.assertEqual(self.command(s, "RNTO latest.pkg"), RENAMED)
        self.assertTrue(os.path.islink(os.path.join(self.root, "latest.pkg")))
        self.assertEqual(self.command(s, "DELE latest.pkg"), "250 DELE command successful.")
        self.assertFalse(os.path.lexists(os.path.join(self.root, "latest.pkg")))
        self.assertEqual(self.read_file("fw-2.1.pkg"), b"package")


class Directories(FileOperationTest):
    def test_mkd_and_rmd(self):
        self.write_file("full/a.bin", b"a")
        self.start_server(upload=True)
        s = self.connect()
        self.assertEqual(self.command(s, "MKD new"), '257 "/new" created')
        self.assertEqual(self.command(s, "XMKD /new/deeper"), '257 "/new/deeper" created')
        self.assertEqual(self.command(s, "MKD new dir"), '257 "/new dir" created')
        self.assertTrue(os.path.isdir(os.path.join(self.root, "new", "deeper")))
        self.assertTrue(os.path.isdir(os.path.join(self.root, "new dir")))
        for command, reply in (("MKD new", EXISTS), ("XMKD full/a.bin", EXISTS),
                               ("MKD /", EXISTS), ("MKD nosuch/child", NOT_FOUND)):
            with self.subTest(command=command):
                self.assertEqual(self.command(s, command), reply)
        self.assertFalse(self.exists("nosuch"))

        self.assertEqual(self.command(s, "RMD new/deeper"), "250 RMD command successful")
        self.assertEqual(self.command(s, "XRMD /new"), "250 RMD command successful")
        self.assertEqual(self.command(s, "RMD new dir"), "250 RMD command successful")
        self.assertFalse(self.exists("new"))
        self.assertFalse(self.exists("new dir"))
        before = self.tree()
        for command in ("RMD full", "XRMD full", "RMD new", "RMD full/a.bin"):
            with self.subTest(command=command):
                reply = self.command(s, command)
                self.assertTrue(reply.startswith("550 "), reply)
        self.assertEqual(self.tree(), before)

    def test_the_root_and_the_own_working_directory_stay(self):
        os.makedirs(os.path.join(self.root, "here"))
        os.makedirs(os.path.join(self.root, "other"))
        self.start_server(upload=True)
        s = self.connect()
        for command in ("RMD /", "XRMD \\", "RMD ."):
            with self.subTest(command=command):
                self.assertEqual(self.command(s, command), busy_reply())
        self.assertEqual(self.command(s, "CWD here"), "250 CWD command successful")
        for command in ("RMD .", "RMD /here", "XRMD ../here", "RMD ..", "RMD /"):
            with self.subTest(command=command):
                self.assertEqual(self.command(s, command), busy_reply())
        self.assertTrue(os.path.isdir(os.path.join(self.root, "here")))
        self.assertEqual(self.command(s, "PWD"), '257 "/here"')
        # An empty directory that is no session's own is removed.
        self.assertEqual(self.command(s, "RMD ../other"), "250 RMD command successful")
        self.assertFalse(self.exists("other"))

    def test_a_working_directory_removed_by_another_session(self):
        os.makedirs(os.path.join(self.root, "gone"))
        self.write_file("a.bin", b"in the root")
        self.start_server(upload=True)
        s = self.connect()
        self.assertEqual(self.command(s, "CWD gone"), "250 CWD command successful")
        other = self.connect()
        self.assertEqual(self.command(other, "RMD gone"), "250 RMD command successful")
        self.assertEqual(self.command(s, "PWD"), '257 "/gone"')
        for command, reply in (("SIZE a.bin", NOT_FOUND), ("MDTM a.bin", NOT_FOUND),
                               ("DELE a.bin", NOT_FOUND), ("MKD x", NOT_FOUND),
                               ("CWD .", "550 Could not change directory"),
                               ("CWD sub", "550 Could not change directory")):
            with self.subTest(command=command):
                self.assertEqual(self.command(s, command), reply)
        self.assertEqual(self.transfer(s, "RETR a.bin"), (None, [NOT_FOUND]))
        self.assertEqual(self.upload(s, "STOR new.bin", b"x"), [NOT_FOUND])
        self.assertEqual(self.transfer(s, "NLST"),
                         (b"", ["150 Opening connection", "226 Transfer complete"]))
        self.assertEqual(sorted(os.listdir(self.root)), ["a.bin"])
        # Windows takes ".." off by name before it opens anything, so there the parent of the
        # vanished directory is still reached; POSIX finds nothing to go up from.
        self.assertEqual(self.command(s, "CWD .."), "250 CWD command successful"
                         if is_windows() else "550 Could not change directory")
        self.assertEqual(self.command(s, "CWD /"), "250 CWD command successful")
        self.assertEqual(self.command(s, "PWD"), '257 "/"')
        self.assertEqual(self.command(s, "SIZE a.bin"), "213 11")


class Rename(FileOperationTest):
    def test_rename_and_its_refusals(self):
        self.write_file("a.bin", b"A")
        self.write_file("c.bin", b"C")
        self.write_file("d1/x", b"1")
        self.write_file("d2/y", b"2")
        self.write_file("ro.bin", b"read only")
        os.chmod(os.path.join(self.root, "ro.bin"), 0o444)
        self.start_server(upload=True)
        s = self.connect()
        self.assertEqual(self.command(s, "RNFR a.bin"), RNFR_OK)
        self.assertEqual(self.command(s, "RNTO b.bin"), RENAMED)
        self.assertEqual((self.exists("a.bin"), self.read_file("b.bin")), (False, b"A"))
        # A second RNTO names the same source, which is gone by now.
        self.assertEqual(self.command(s, "RNTO again.bin"), NOT_FOUND)
        self.assertFalse(self.exists("again.bin"))
        # A read-only file may still be renamed; and directories move too.
        self.assertEqual(self.command(s, "RNFR ro.bin"), RNFR_OK)
        self.assertEqual(self.command(s, "RNTO /d1/ro.bin"), RENAMED)
        self.assertEqual(self.read_file("d1/ro.bin"), b"read only")
        self.assertEqual(self.command(s, "RNFR d2"), RNFR_OK)
        self.assertEqual(self.command(s, "RNTO d3"), RENAMED)
        self.assertEqual(self.read_file("d3/y"), b"2")

        before = self.tree()
        refusals = [
            ("b.bin", "c.bin", EXISTS),       # an existing entry is never replaced
            ("d3", "d1", EXISTS),
            ("b.bin", "d1", EXISTS),
            ("missing.bin", "e.bin", NOT_FOUND),  # RNFR does not test; the rename fails
            ("/", "newroot", busy_reply()),
            ("b.bin", "nosuchdir/b.bin", NOT_FOUND),
        ]
        for source, target, reply in refusals:
            with self.subTest(source=source, target=target):
                self.assertEqual(self.command(s, "RNFR " + source), RNFR_OK)
                self.assertEqual(self.command(s, "RNTO " + target), reply)
        self.assertEqual(self.command(s, "RNFR b.bin"), RNFR_OK)
        reply = self.command(s, "RNTO")
        self.assertTrue(reply.startswith("550 "), reply)
        self.assertNotEqual(reply, "550 Path permission error")
        self.assertEqual(self.tree(), before)

    def test_the_source_lasts_until_rnto_uses_it(self):
        self.write_file("a.bin", b"A")
        self.start_server(upload=True)
        s = self.connect()
        self.assertEqual(self.command(s, "RNTO b.bin"), NOT_FOUND)
        # Replies formatted between the two never touch the source.
        self.assertEqual(self.command(s, "RNFR a.bin"), RNFR_OK)
        for between in ("PWD", "XPWD", "PASV", "EPSV", "NOOP"):
            self.assertFalse(self.command(s, between).startswith("5"), between)
        self.assertEqual(self.command(s, "RNTO b.bin"), RENAMED)
        self.assertEqual(self.tree(), {"b.bin": b"A"})
        # RNTO uses the source once, and a refused RNFR replaces it.
        self.assertEqual(self.command(s, "RNTO c.bin"), NOT_FOUND)
        self.assertEqual(self.command(s, "RNFR b.bin"), RNFR_OK)
        self.assertEqual(self.command(s, "RNFR ../outside.bin"), "550 Path permission error")
        self.assertEqual(self.command(s, "RNTO c.bin"), NOT_FOUND)
        # A name longer than a folder can hold (255) is refused alike on every system.
        self.assertEqual(self.command(s, "RNFR " + "n" * 255), RNFR_OK)
        self.assertEqual(self.command(s, "RNFR b.bin"), RNFR_OK)
        self.assertEqual(self.command(s, "RNFR " + "n" * 256), "550 Path permission error")
        self.assertEqual(self.command(s, "RNTO c.bin"), NOT_FOUND)
        self.assertEqual(self.tree(), {"b.bin": b"A"})

    def test_the_source_is_fixed_when_rnfr_runs(self):
        self.write_file("a.bin", b"root a")
        self.write_file("sub/a.bin", b"sub a")
        self.start_server(upload=True)
        s = self.connect()
        self.assertEqual(self.command(s, "RNFR a.bin"), RNFR_OK)
        self.assertEqual(self.command(s, "CWD sub"), "250 CWD command successful")
        # The target is relative to the new directory; the source is still the root's a.bin.
        self.assertEqual(self.command(s, "RNTO b.bin"), RENAMED)
        self.assertEqual(self.tree(), {"sub": None, "sub/a.bin": b"sub a", "sub/b.bin": b"root a"})
        # The same from a subdirectory back up to the root.
        self.assertEqual(self.command(s, "RNFR b.bin"), RNFR_OK)
        self.assertEqual(self.command(s, "CWD /"), "250 CWD command successful")
        self.assertEqual(self.command(s, "RNTO c.bin"), RENAMED)
        self.assertEqual(self.tree(), {"sub": None, "sub/a.bin": b"sub a", "c.bin": b"root a"})
