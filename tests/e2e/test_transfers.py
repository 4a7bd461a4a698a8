"""RETR and STOR: byte-exact contents, failures before and after the 150, uploads that never
destroy the file they replace, and the transfer log's line for each."""
import csv
import functools
import hashlib
import os
import random
import fcntl
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import termios
import time

from harness import (SANITIZER_MARKS, START_TIMEOUT, TIMEOUT, Server, ServerTest, binary,
                     free_port, is_windows, launcher)

RETR_150 = "150 Opening BINARY mode data connection"
DONE = "226 Transfer complete"
UPLOAD_PREFIX = ".tarnLoader-upload-"


def pattern_bytes(size, seed):
    """Bytes that differ from piece to piece, so that a lost or repeated piece shows."""
    return random.Random(seed).randbytes(size)


def wine_short_name(name):
    """The 8.3 name that Wine makes for a long name without an extension: its first four
    letters, "~" and a hash of the whole."""
    value = 0xbeef
    for c, following in zip(name.lower(), name.lower()[1:] + "\0"):
        value = ((value << 3) ^ (value >> 5) ^ ord(c) ^ (ord(following) << 8)) & 0xffff
    stem = "".join("_" if c in '*?<>|"+=,;[] ~.' else c.upper() for c in name[:4])
    return stem + "~" + "".join("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"[(value >> shift) & 31]
                                for shift in (10, 5, 0))


def reset(sock):
    """Closes with a reset instead of an orderly end of data."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class TransferTest(ServerTest):
    def upload_refused(self, s, command, payload):
        """Like upload, for a server that may stop reading and close the data connection
        before all of payload is sent."""
        data = self.pasv(s)
        first = self.command(s, command)
        if not first.startswith("150"):
            return [first]
        try:
            data.sendall(payload)
        except OSError:
            pass  # the server gave up on the upload; its reply tells why
        data.close()
        return [first, self.read_reply(s)]

    def leftovers(self, s, folder=None):
        """Temporary upload files in folder. The server may send a failure reply just before
        it removes the file; the reply to a NOOP (on s, if given) comes after."""
        if s is not None:
            self.assertEqual(self.command(s, "NOOP"), "200 OK")
        return [name for name in os.listdir(folder or self.root)
                if name.startswith(UPLOAD_PREFIX)]


class Retrieve(TransferTest):
    def test_files_arrive_byte_for_byte(self):
        contents = {
            "empty.bin": b"",
            "one.bin": b"\x00",
            "piece.bin": pattern_bytes(256 * 1024, 1),
            "pieces.bin": pattern_bytes(1024 * 1024 + 17, 2),
            "text.txt": b"line one\nline two\r\nline three\r\n\x80\xff\x1a",
            "new file.bin": b"a name with a space",
        }
        for name, content in contents.items():
            self.write_file(name, content)
        self.start_server()
        s = self.connect()
        for name, content in contents.items():
            with self.subTest(name=name):
                payload, replies = self.transfer(s, "RETR " + name)
                self.assertEqual(replies, [RETR_150, DONE])
                self.assertEqual(len(payload), len(content))
                self.assertEqual(payload, content)
        # The type makes no difference: every transfer is binary.
        for type_command in ("TYPE A", "TYPE I", "TYPE A N"):
            with self.subTest(type=type_command):
                self.assertEqual(self.command(s, type_command), "200 Type set to I")
                payload, _ = self.transfer(s, "RETR text.txt")
                self.assertEqual(payload, contents["text.txt"])
                payload, _ = self.transfer(s, "RETR pieces.bin")
                self.assertEqual(payload, contents["pieces.bin"])

    def test_what_cannot_be_read_gets_only_the_error_reply(self):
        os.mkdir(os.path.join(self.root, "sub"))
        self.write_file("a.bin", b"still served")
        cases = [("missing.bin", "550 No such file or directory"),
                 ("sub", "550 Is a directory"),
                 ("sub/missing.bin", "550 No such file or directory")]
        if is_windows():
            print("\n%s: no fifo for the Windows build" % self.id())
        else:
            os.mkfifo(os.path.join(self.root, "pipe"))
            cases.append(("pipe", "550 Permission denied"))
        self.start_server()
        s = self.connect()
        for name, reply in cases:
            with self.subTest(name=name):
                self.assertEqual(self.transfer(s, "RETR " + name), (None, [reply]))
                self.assertEqual(self.command(s, "NOOP"), "200 OK")
        self.assertEqual(self.transfer(s, "RETR a.bin"), (b"still served", [RETR_150, DONE]))

    def test_a_client_that_leaves_early_gets_426_and_the_session_goes_on(self):
        path = os.path.join(self.root, "big.bin")
        with open(path, "wb") as f:
            f.truncate(64 * 1024 * 1024)  # far more than the sockets can hold in between
        self.write_file("small.bin", b"after the break")
        self.start_server()
        s = self.connect()
        data = self.pasv(s)
        self.assertEqual(self.command(s, "RETR big.bin"), RETR_150)
        self.assertTrue(data.recv(4096))
        reset(data)
        self.assertEqual(self.read_reply(s), "426 Broken pipe")
        self.assertTrue(self.server.wait_console("send failed: ", stream="stderr"),
                        self.server.errors())
        self.assertEqual(self.transfer(s, "RETR small.bin"),
                         (b"after the break", [RETR_150, DONE]))

    def test_a_file_changed_while_it_is_sent_never_ends_in_226(self):
        # The operator copies a new package over the one a chassis fetches, or the copy of it
        # is still running: the client holds parts of two versions, or a short file.
        size = 16 * 1024 * 1024  # more than the sockets hold, so the change comes mid-file

        def rewrite(f):
            f.seek(0)
            f.write(b"\xee" * size)

        def append(f):
            f.seek(0, os.SEEK_END)
            f.write(b"more")

        self.write_file("small.bin", b"unchanged")
        self.start_server()
        s = self.connect()
        for name, change in (("rewrite", rewrite), ("append", append)):
            with self.subTest(change=name):
                self.write_file(name + ".bin", b"\x11" * size)
                data = self.pasv(s)
                self.assertEqual(self.command(s, "RETR %s.bin" % name), RETR_150)
                self.assertTrue(data.recv(4096))  # under way
                with open(os.path.join(self.root, name + ".bin"), "r+b") as f:
                    change(f)
                self.read_all(data)
                self.assertEqual(self.read_reply(s),
                                 "451 File changed while it was sent; fetch it again.")
        self.assertEqual(self.transfer(s, "RETR small.bin"), (b"unchanged", [RETR_150, DONE]))


class Store(TransferTest):
    def test_uploads_are_stored_exactly(self):
        self.write_file("old.bin", pattern_bytes(600 * 1024, 3))
        self.write_file("to-empty.bin", b"old contents")
        os.mkdir(os.path.join(self.root, "sub"))
        self.start_server(upload=True)
        s = self.connect()
        cases = [
            ("new.bin", pattern_bytes(1024 * 1024 + 5, 4)),
            ("old.bin", pattern_bytes(1000, 5)),  # shorter than before: no old tail remains
            ("to-empty.bin", b""),
            ("zero.bin", b""),
            ("sub/inner.bin", b"into a subfolder"),
            ("/sub/anchored.bin", b"from the root"),
            ("new file.bin", b"a blank in the name"),
        ]
        for name, content in cases:
            with self.subTest(name=name):
                self.assertEqual(self.upload(s, "STOR " + name, content), [RETR_150, DONE])
                self.assertEqual(self.read_file(name.lstrip("/")), content)
                payload, _ = self.transfer(s, "RETR " + name)
                self.assertEqual(payload, content)
        self.assertEqual(self.leftovers(s), [])
        self.assertEqual(self.leftovers(s, os.path.join(self.root, "sub")), [])
        if not is_windows():
            # The mode fopen would give: 0666 less the umask the server inherited.
            umask = os.umask(0)
            os.umask(umask)
            mode = os.stat(os.path.join(self.root, "new.bin")).st_mode & 0o777
            self.assertEqual(mode, 0o666 & ~umask)

    def test_targets_that_may_not_be_replaced_are_refused_before_the_150(self):
        os.mkdir(os.path.join(self.root, "sub"))
        self.write_file("ro.bin", b"protected")
        os.chmod(os.path.join(self.root, "ro.bin"), 0o444)
        self.start_server(upload=True)
        s = self.connect()
        cases = [("sub", "550 Is a directory"),
                 ("ro.bin", "550 Permission denied"),
                 ("nosuchdir/new.bin", "550 No such file or directory")]
        for name, reply in cases:
            with self.subTest(name=name):
                self.assertEqual(self.upload(s, "STOR " + name, b"x"), [reply])
        self.assertEqual(self.read_file("ro.bin"), b"protected")
        self.assertTrue(os.path.isdir(os.path.join(self.root, "sub")))
        self.assertEqual(sorted(os.listdir(self.root)), ["ro.bin", "sub"])
        # The session goes on: the stale data connections are drained by the next PASV.
        self.assertEqual(self.upload(s, "STOR fine.bin", b"fine"), [RETR_150, DONE])

    def test_an_upload_in_progress_is_out_of_every_other_sessions_reach(self):
        self.write_file("fw.bin", b"old")
        os.mkdir(os.path.join(self.root, "packages folder"))
        self.start_server(upload=True)
        s = self.connect()
        data = self.pasv(s)
        self.assertEqual(self.command(s, "STOR fw.bin"), RETR_150)
        payload = pattern_bytes(300 * 1024, 11)
        data.sendall(payload)  # and the upload waits for more
        temporary = [name for name in os.listdir(self.root) if name.startswith(UPLOAD_PREFIX)][0]
        other = self.connect()
        # Each verb answers as for a name that is not there, by any path that leads to it and,
        # where names are compared so (Windows), in any letter case. So does a short name, where
        # the volume makes them: NTFS's first, or Wine's (elsewhere they name nothing).
        missing = "550 No such file or directory"
        short_names = ("TARNLO~1", wine_short_name(temporary))
        for name in (temporary, "/" + temporary, "./" + temporary, temporary.upper()) + short_names:
            for verb in ("SIZE", "MDTM", "RETR", "DELE", "CWD", "MLST", "HASH", "XCRC"):
                with self.subTest(verb=verb, name=name):
                    self.assertEqual(self.command(other, "%s %s" % (verb, name)),
                                     self.command(other, verb + " not-there.bin"))
            if name == temporary.upper():
                continue
            # Where a short name is free, STOR stores a file of that name; the upload's own end
            # below shows that none replaced its file.
            replies = self.upload(other, "STOR " + name, b"planted")
            if name in short_names:
                continue
            self.assertEqual(replies, [missing], name)
            for verb in ("RNFR", "LIST", "NLST", "STAT"):
                with self.subTest(verb=verb, name=name):
                    self.assertEqual(self.command(other, "%s %s" % (verb, name)), missing)
        self.assertEqual(self.command(other, "RNFR fw.bin"), "350 File exists")
        self.assertEqual(self.command(other, "RNTO " + temporary), missing)
        # Nor does a folder's short name lead anywhere, also as the folder of a new file.
        folder = wine_short_name("packages folder")
        self.assertEqual(self.command(other, "CWD " + folder), self.command(other, "CWD nowhere"))
        self.assertEqual(self.upload(other, "STOR %s/new.bin" % folder, b"x"), [missing])
        data.close()
        self.assertEqual(self.read_reply(s), DONE)
        self.assertEqual(self.read_file("fw.bin"), payload)
        self.assertEqual(self.leftovers(s), [])

    def test_an_upload_replaces_nothing_that_changed_while_it_ran(self):
        """A file renamed onto the name of an upload in progress (a protected package, a
        rotated log) and the result of an append that overlapped this one stay; the upload
        that would have replaced them is not stored and says so."""
        changed = "450 The file changed during the upload; nothing was stored."
        self.write_file("fw.bin", b"firmware")
        self.write_file("log.txt", b"one\n")
        self.write_file("same.bin", b"original")
        os.chmod(os.path.join(self.root, "fw.bin"), 0o444)
        self.start_server(upload=True)
        a, b = self.connect(), self.connect()

        def rename_onto_slot():
            self.assertTrue(self.command(b, "RNFR fw.bin").startswith("350 "))
            self.assertTrue(self.command(b, "RNTO slot.bin").startswith("250 "))

        def append_first():
            self.assertEqual(self.upload(b, "APPE log.txt", b"first\n"), [RETR_150, DONE])

        def replace_by_twin():
            # Another file of the same size and time: only its identity tells it apart.
            target = os.path.join(self.root, "same.bin")
            twin = os.path.join(self.root, "twin.tmp")
            with open(twin, "wb") as f:
                f.write(b"its twin")
            stat = os.stat(target)
            os.utime(twin, ns=(stat.st_atime_ns, stat.st_mtime_ns))
            os.replace(twin, target)

        for command, meanwhile, expected in (
                ("STOR slot.bin", rename_onto_slot, ("slot.bin", b"firmware")),
                ("APPE log.txt", append_first, ("log.txt", b"one\nfirst\n")),
                ("STOR same.bin", replace_by_twin, ("same.bin", b"its twin"))):
            with self.subTest(command=command):
                data = self.pasv(a)
                self.assertEqual(self.command(a, command), RETR_150)
                data.sendall(b"held open\n")
                meanwhile()
                data.close()
                self.assertEqual(self.read_reply(a), changed)
                self.assertEqual(self.read_file(expected[0]), expected[1])
                self.assertEqual(self.leftovers(a), [])

    def test_an_upload_cut_off_keeps_the_old_file(self):
        if is_windows():
            # Wine reports a reset that arrives while the server is busy writing as an orderly
            # end of data, after which the cut upload looks complete while the control
            # connection stays open.
            self.skipTest("under Wine a reset connection can read as a complete upload")
        old = pattern_bytes(100 * 1024, 6)
        self.write_file("fw.bin", old)
        self.start_server(upload=True)
        s = self.connect()
        for name in ("fw.bin", "brand-new.bin"):
            with self.subTest(name=name):
                data = self.pasv(s)
                self.assertEqual(self.command(s, "STOR " + name), RETR_150)
                # More than the buffers between us hold, so the server has taken the data
                # connection and is reading when the reset comes.
                data.sendall(pattern_bytes(8 * 1024 * 1024, 7))
                reset(data)
                reply = self.read_reply(s)
                self.assertTrue(reply.startswith("550 "), reply)
                self.assertEqual(self.read_file("fw.bin"), old)
                self.assertEqual(self.leftovers(s), [])
        self.assertFalse(os.path.exists(os.path.join(self.root, "brand-new.bin")))
        self.assertTrue(self.server.wait_console("read failed: ", stream="stderr"),
                        self.server.errors())
        self.assertEqual(self.command(s, "NOOP"), "200 OK")

    def test_a_client_killed_mid_upload_leaves_the_old_file(self):
        # In clear text a dead client's end of data looks like a complete upload; only its
        # control connection, closed at the same moment, tells. Over TLS no close_notify comes.
        old = pattern_bytes(300 * 1024, 12)
        for mode, options in (("clear", []), ("tls", ["--ssl-reqd", "-k"])):
            log = os.path.join(self.base, mode + ".log")
            self.start_server("-tls", "-xferlog", log, upload=True)
            if options:
                self.skip_where_wine_has_no_tls_server()
            # A client that sends QUIT after its data and closes at once is still served.
            s = self.connect()
            data = self.pasv(s)
            self.assertEqual(self.command(s, "STOR fw.bin"), RETR_150)
            data.sendall(b"new firmware")
            data.close()
            s.sendall(b"QUIT\r\n")
            s.shutdown(socket.SHUT_WR)
            self.assertEqual(self.read_replies(s, 3), [DONE, "221 Goodbye"])
            self.assertEqual(self.read_file("fw.bin"), b"new firmware")
            self.write_file("fw.bin", old)
            for number in range(10):
                client = subprocess.Popen(["curl", "-sS", "-T", "-", "ftp://127.0.0.1:%d/fw.bin"
                                           % self.server.port] + options, stdin=subprocess.PIPE)
                self.addCleanup(client.kill)
                client.stdin.write(pattern_bytes(512 * 1024, number))  # the rest never comes
                client.stdin.flush()
                self.wait_for(lambda: any(os.path.getsize(os.path.join(self.root, name))
                                          for name in self.leftovers(None)), "the upload")
                client.kill()
                client.wait(TIMEOUT)
                client.stdin.close()
                self.wait_for(lambda: self.read_file(log).count(b"\n") == number + 2, "log")
                self.assertRegex(self.read_file(log).decode().splitlines()[-1],
                                 r" [1-9]\d* /fw\.bin b _ i a \S+ ftp 0 \* i$")
                self.assertEqual(os.listdir(self.root), ["fw.bin"])
                self.assertEqual(self.read_file("fw.bin"), old)

    def test_an_upload_ended_by_a_signal_leaves_the_folder_as_it_was(self):
        self.skip_on_a_windows_host("POSIX signals")
        # Wine turns SIGINT into the console's Ctrl-C event (and ends the process with status
        # 0); SIGTERM and SIGHUP end a Windows program without any event.
        signals = (signal.SIGINT,) if is_windows() else (signal.SIGINT, signal.SIGTERM,
                                                          signal.SIGHUP)
        old = pattern_bytes(100 * 1024, 9)
        for number in signals:
            with self.subTest(signal=number.name):
                self.write_file("fw.bin", old)
                # As from a terminal: a shell may have started us with SIGINT ignored.
                default = functools.partial(signal.signal, number, signal.SIG_DFL)
                self.start_server(upload=True, preexec_fn=default)
                s = self.connect()
                data = self.pasv(s)
                self.assertEqual(self.command(s, "STOR fw.bin"), RETR_150)
                data.sendall(pattern_bytes(1 << 20, 10))  # the rest never comes
                self.assertEqual(len(os.listdir(self.root)), 2)  # the temporary file beside it
                self.server.process.send_signal(number)
                self.assertEqual(self.server.wait_exit(TIMEOUT), 0 if is_windows() else -number)
                self.assertEqual(os.listdir(self.root), ["fw.bin"])
                self.assertEqual(self.read_file("fw.bin"), old)

    def test_an_upload_without_a_data_connection_leaves_nothing(self):
        self.write_file("fw.bin", b"old")
        self.start_server(upload=True)
        s = self.connect()
        self.assertEqual(self.command(s, "STOR fw.bin"), RETR_150)
        self.assertEqual(self.read_reply(s), "425 Use PORT or PASV first.")
        self.assertEqual(self.command(s, "PORT 127,0,0,1,%d,%d" % divmod(free_port(), 256)),
                         "200 PORT command successful")
        self.assertEqual(self.command(s, "STOR fw.bin"), RETR_150)
        self.assertTrue(self.read_reply(s).startswith("550 "))
        self.assertEqual(self.leftovers(s), [])
        self.assertEqual(self.read_file("fw.bin"), b"old")
        self.assertEqual(sorted(os.listdir(self.root)), ["fw.bin"])

    def test_failed_uploads_leave_nothing_and_say_why(self):
        if is_windows():
            self.skipTest("a file-size limit, a umask and a user are set the POSIX way")
        import resource
        limit = 64 * 1024
        # As root every folder is writable; the server then runs as nobody, so that a folder
        # it may not write says so.
        nobody = 65534 if os.geteuid() == 0 else None

        def limit_the_server():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
            os.umask(0o222)  # our own temporary files come out read-only
            if nobody is not None:
                os.setgid(nobody)
                os.setuid(nobody)

        old = b"old firmware" * 100
        self.write_file("fw.bin", old)
        os.mkdir(os.path.join(self.root, "locked"), 0o555)
        for folder in (self.base, self.root):
            os.chmod(folder, 0o777)
        # A copy nobody can reach: the build folder may lie where only root may enter.
        program = shutil.copy2(binary(), os.path.join(self.base, "tarnLoader"))
        port = free_port()
        server = Server(["-p", str(port), "-u"], self.root, program=program)
        server.port = port
        server.start(preexec_fn=limit_the_server)
        self.addCleanup(server.stop)
        self.assertTrue(server.wait_ready(), server.console() + server.errors())
        self.server = server
        s = self.connect()
        for name in ("fw.bin", "new.bin"):
            with self.subTest(name=name):
                replies = self.upload_refused(s, "STOR " + name, pattern_bytes(limit * 16, 8))
                self.assertEqual(replies, [RETR_150, "550 File too large"])
                self.assertEqual(self.read_file("fw.bin"), old)
                self.assertEqual(self.leftovers(s), [])
        self.assertFalse(os.path.exists(os.path.join(self.root, "new.bin")))
        # The temporary file cannot be made: the reply says why, with nothing sent first.
        self.assertEqual(self.upload(s, "STOR locked/new.bin", b"x"), ["550 Permission denied"])
        # Below the limit the same session stores files as usual.
        self.assertEqual(self.upload(s, "STOR fw.bin", b"small"), [RETR_150, DONE])
        self.assertEqual(self.read_file("fw.bin"), b"small")


class TransferLog(TransferTest):
    def test_each_retr_and_stor_leaves_its_line(self):
        self.skip_on_a_windows_host("POSIX signals and strftime's %e")
        log = os.path.join(self.base, "xfer.log")
        self.write_file("fw/image.bin", b"firmware image")
        with open(os.path.join(self.root, "big.bin"), "wb") as f:
            f.truncate(64 << 20)  # far more than the sockets hold, so the reset cuts it off
        os.mkdir(os.path.join(self.root, "sub"))
        default = functools.partial(signal.signal, signal.SIGINT, signal.SIG_DFL)
        self.start_server("-xferlog", log, upload=True, preexec_fn=default)
        s = self.connect()
        self.assertEqual(self.command(s, "USER op erator"), "331 Login accepted")
        self.assertEqual(self.command(s, "CWD fw"), "250 CWD command successful")
        self.assertEqual(self.transfer(s, "RETR image.bin"), (b"firmware image", [RETR_150, DONE]))
        self.assertEqual(self.upload(s, "STOR /new file\x7f.bin", b"x" * 1000), [RETR_150, DONE])
        data = self.pasv(s)
        self.assertEqual(self.command(s, "RETR /big.bin"), RETR_150)
        self.assertTrue(data.recv(4096))
        reset(data)
        self.assertEqual(self.read_reply(s), "426 Broken pipe")
        self.assertTrue(self.command(s, "STOR /sub").startswith("550 "))
        # The writer thread appends each line just after its transfer's last reply. A blank in
        # a name becomes "_" and a control byte "\xHH", so that no name can split a line.
        self.wait_for(lambda: self.read_file(log).count(b"\n") == 4, "four lines")
        lines = self.read_file(log).decode("latin-1").split("\n")[:-1]
        # The local time, weekday included, as the client's clock shows it; then the seconds.
        end = time.mktime(time.strptime(lines[0][:24], "%a %b %d %H:%M:%S %Y"))
        self.assertEqual(time.strftime("%a %b %e %H:%M:%S %Y", time.localtime(end)), lines[0][:24])
        self.assertLess(abs(end - time.time()), 60)
        self.assertTrue(all(re.match(r" [1-9]\d* ", line[24:]) for line in lines), lines)
        rest = [line[25:].split(" ", 1)[1] for line in lines]
        cut = int(rest[2].split()[1])
        self.assertTrue(0 < cut < 64 << 20, cut)
        self.assertEqual(rest, ["127.0.0.1 14 /fw/image.bin b _ o a op_erator ftp 0 * c",
                                "127.0.0.1 1000 /new_file\\x7F.bin b _ i a op_erator ftp 0 * c",
                                "127.0.0.1 %d /big.bin b _ o a op_erator ftp 0 * i" % cut,
                                "127.0.0.1 0 /sub b _ i a op_erator ftp 0 * i"])
        if not is_windows():
            # SIGHUP opens the log again at its path: logrotate has renamed it.
            os.rename(log, log + ".1")
            self.server.process.send_signal(signal.SIGHUP)
            self.wait_for(lambda: os.path.exists(log), "the log opened again")
            self.assertEqual(self.transfer(s, "RETR image.bin")[1], [RETR_150, DONE])
            self.wait_for(lambda: self.read_file(log).count(b"\n") == 1, "the next line")
            self.assertEqual(self.read_file(log + ".1").count(b"\n"), 4)
            # A long run's rotations never fill the table of withheld files.
            for _ in range(400):
                self.server.process.send_signal(signal.SIGHUP)
                time.sleep(0.005)
            self.assertEqual(self.transfer(s, "RETR image.bin")[1], [RETR_150, DONE])
            self.wait_for(lambda: self.read_file(log).count(b"\n") == 2, "the line after")
            self.assertNotIn("Unable to withhold", self.server.errors())
        # The writer thread leaves Ctrl-C to the thread that ends the process.
        self.server.process.send_signal(signal.SIGINT)
        self.assertEqual(self.server.wait_exit(TIMEOUT), 0 if is_windows() else -signal.SIGINT)

    def test_a_burst_of_transfers_logs_every_one(self):
        """Four sessions pipeline 1000 RETRs each, lines of about 740 bytes, into a log that on
        Linux is a FIFO that takes nothing for a second, as a busy disk may."""
        sessions, each = 4, 1000
        log = os.path.join(self.base, "xfer.log")
        if not is_windows():
            os.mkfifo(log)
            reader = os.open(log, os.O_RDONLY | os.O_NONBLOCK)
            self.addCleanup(os.close, reader)
        self.start_server("-xferlog", log)
        clients = [self.connect() for _ in range(sessions)]
        for s in clients:
            self.assertEqual(self.command(s, "USER " + "u" * 400), "331 Login accepted")
            s.sendall(b"".join(b"RETR %0300d\r\n" % i for i in range(each)))
        if is_windows():
            self.wait_for(lambda: self.read_file(log).count(b"\n") == sessions * each, "lines")
        else:
            time.sleep(1.0)
            received, deadline = b"", time.monotonic() + TIMEOUT
            while received.count(b"\n") < sessions * each and time.monotonic() < deadline:
                try:
                    received += os.read(reader, 1 << 20)
                except BlockingIOError:
                    time.sleep(0.01)
            self.assertEqual(received.count(b"\n"), sessions * each, self.server.errors())
        for s in clients:
            self.assertEqual(len(self.read_replies(s, each)), each)
        self.assertNotIn("dropped", self.server.errors())

    def test_the_delivery_report_has_a_row_for_each_transfer_that_survives_a_kill(self):
        report = os.path.join(self.base, "deliveries.csv")
        image = pattern_bytes(300 * 1024, 21)
        self.write_file("fw/image.bin", image)
        with open(os.path.join(self.root, "big.bin"), "wb") as f:
            f.truncate(64 * 1024 * 1024)  # far more than the sockets hold: cut off for sure
        self.start_server("-report", report, upload=True)
        s = self.connect()
        self.assertEqual(self.transfer(s, "RETR fw/image.bin"), (image, [RETR_150, DONE]))
        data = self.pasv(s)
        self.assertEqual(self.command(s, "RETR big.bin"), RETR_150)
        self.assertTrue(data.recv(4096))
        reset(data)
        self.assertEqual(self.read_reply(s), "426 Broken pipe")
        self.assertEqual(self.command(s, "RETR missing, again.bin"),
                         "550 No such file or directory")
        self.assertEqual(self.command(s, "REST 100"), "350 Restarting at 100")
        self.assertEqual(self.transfer(s, "RETR fw/image.bin")[1], [RETR_150, DONE])
        self.assertEqual(self.upload(s, "STOR up.bin", b"sent up"), [RETR_150, DONE])
        # Every row is in the file once its reply has come, whatever happens to the server.
        self.server.process.kill()
        self.server.process.wait(TIMEOUT)
        with open(report, newline="") as f:
            rows = list(csv.reader(f))
        self.assertEqual(rows[0], ["time", "client", "file", "bytes", "size", "offset", "seconds",
                                   "outcome", "sha256"])
        self.assertTrue(all(re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", row[0]) and
                            row[1] == "127.0.0.1" and re.fullmatch(r"\d+\.\d{3}", row[6])
                            for row in rows[1:]), rows)
        cut, reason = rows[2][3], rows[2][7]
        self.assertTrue(reason.startswith("cut off: "), reason)
        self.assertEqual([[row[2], row[3], row[4], row[5], row[7], row[8]] for row in rows[1:]], [
            ["/fw/image.bin", str(len(image)), str(len(image)), "0", "complete",
             hashlib.sha256(image).hexdigest()],
            ["/big.bin", cut, str(64 << 20), "0", reason, ""],
            ["/missing, again.bin", "0", "", "0", "refused: 550 No such file or directory", ""],
            ["/fw/image.bin", str(len(image) - 100), str(len(image)), "100", "complete", ""],
            ["/up.bin", "7", "7", "0", "complete", ""]])



def default_sigint():
    """As from a terminal: a shell may have started the test with SIGINT ignored."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


# "HH:MM:SS client " before every line of "-status".
EVENT = r"\d\d:\d\d:\d\d 127\.0\.0\.1(:\d+)? "
# The cursor and erase sequences of a terminal: ours on Linux, Wine's console under Wine.
CURSOR_CONTROL = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")



class OperatorStatus(TransferTest):
    def screen(self, text):
        """What a terminal shows line by line: the event lines and each drawing of the status
        line, which starts at a line's start (CR) and is taken away before the next text."""
        pieces = re.split(r"[\r\n]+", CURSOR_CONTROL.sub("", text))
        return ([piece for piece in pieces if re.match(EVENT, piece)],
                [piece for piece in pieces if re.match("\\d+ connected \u00b7 ", piece)])

    def assert_events(self, lines, expected):
        self.assertEqual(len(lines), len(expected), "\n".join(lines))
        for line, pattern in zip(lines, expected):
            self.assertRegex(line, "^" + EVENT + pattern + "$")

    def test_a_terminal_shows_each_event_and_a_status_line(self):
        self.skip_on_a_windows_host("a pseudo-terminal")
        os.mkdir(os.path.join(self.root, "fw"))
        self.write_file("fw/small.bin", b"x" * 1000)
        with open(os.path.join(self.root, "fw", "big.bin"), "wb") as f:
            f.truncate(32 << 20)  # far more than the sockets hold, so the client sets the pace
        port = free_port()
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        # Wine's console takes the terminal's width and wraps its lines there.
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 250, 0, 0))
        process = subprocess.Popen(launcher() + [binary(), "-p", str(port), "-status", self.root],
                                   stdin=subprocess.DEVNULL, stdout=slave, stderr=slave,
                                   preexec_fn=default_sigint)
        os.close(slave)
        self.addCleanup(process.wait, TIMEOUT)
        self.addCleanup(process.kill)
        seen = [b""]

        def read_terminal(until=None, timeout=START_TIMEOUT):
            """Reads what the terminal shows until until(text) holds; without until, what
            is there now."""
            deadline, ended = time.monotonic() + timeout, False
            while True:
                while not ended and select.select([master], [], [], 0.05)[0]:
                    try:
                        seen[0] += os.read(master, 65536)
                    except OSError:  # EIO: the server has ended and all it wrote is read
                        ended = True
                text = seen[0].decode("utf-8", "replace")
                if until is None or until(text) or ended or time.monotonic() > deadline:
                    return text

        read_terminal(lambda text: "Waiting for the chassis" in text)
        self.server = Server([], self.root)
        self.server.port = port
        s = self.connect()
        self.assertEqual(self.command(s, "USER op"), "331 Login accepted")
        self.assertEqual(self.command(s, "PASS x"), "230 User logged in")
        # Files are named from the root: the working directory and the name the client gave.
        self.assertEqual(self.command(s, "CWD fw"), "250 CWD command successful")
        self.assertEqual(self.transfer(s, "RETR small.bin")[1], [RETR_150, DONE])
        self.assertEqual(self.transfer(s, "RETR missing.bin")[1], ["550 No such file or directory"])
        self.assertEqual(self.upload(s, "STOR up.bin", b"x"), ["553 Permission denied"])
        # A name that would clear the screen and ring the bell reaches it escaped.
        s.sendall(b"RETR a\x1b[2J\x07\xc2\x9b.bin\r\n")
        self.assertEqual(self.read_reply(s), "501 Syntax error in parameters or arguments.")
        # Refused queries and changes have their lines too (curl stops after such a SIZE).
        for line, reply in (("SIZE missing.bin", "550 No such file or directory"),
                            ("CWD nowhere", "550 Could not change directory"),
                            ("MKD new", "550 Permission denied")):
            self.assertEqual(self.command(s, line), reply)
        # A download slowed by its client: the status line follows it, redrawn as it goes.
        reply = self.command(s, "PASV")
        numbers = [int(n) for n in reply[reply.index("(") + 1:reply.index(")")].split(",")]
        data = socket.socket()
        self.addCleanup(data.close)
        data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32768)
        data.settimeout(TIMEOUT)
        data.connect(("127.0.0.1", numbers[4] * 256 + numbers[5]))
        self.assertEqual(self.command(s, "RETR big.bin"), RETR_150)
        shown, deadline = set(), time.monotonic() + TIMEOUT
        while len(shown) < 2 and time.monotonic() < deadline:
            data.recv(32768)
            time.sleep(0.01)
            shown = {line for line in self.screen(read_terminal())[1] if "big.bin" in line}
        self.assertGreaterEqual(len(shown), 2, read_terminal()[-2000:])
        self.assertTrue(all(re.match(r"1 connected \u00b7 1 transfer \u00b7 127\.0\.0\.1 big\.bin "
                                     r"\d+% \d+\.\d MB/s \u00b7 1 done, 0 cut off$", m)
                            for m in shown), shown)
        reset(data)
        self.assertEqual(self.read_reply(s), "426 Broken pipe")
        self.assertEqual(self.command(s, "QUIT"), "221 Goodbye")
        text = read_terminal(lambda text: "disconnected" in text, TIMEOUT)
        self.assertNotIn("\x1b[2J", text.split("Waiting for the chassis")[1])
        self.assert_events(self.screen(text)[0], [
            "connected", "logged in as op",
            r"download /fw/small\.bin: complete, 1000 bytes in \d+\.\d\d s, \d+\.\d MB/s",
            "download /fw/missing.bin: refused: 550 No such file or directory",
            "upload /fw/up.bin: refused: 553 Permission denied",
            r"download /fw/a\\x1B\[2J\\x07\\xC2\\x9B\.bin: refused: 501 Syntax error in parameters "
            r"or arguments\.",
            "SIZE /fw/missing.bin: refused: 550 No such file or directory",
            "CWD /fw/nowhere: refused: 550 Could not change directory",
            "MKD /fw/new: refused: 550 Permission denied",
            # The failure's own line on standard error carries the session's time and client.
            r"send failed: .+",
            r"download /fw/big\.bin: cut off at \d+ of 33554432 bytes \(the client closed the "
            r"connection: .+\) in \d+\.\d\d s, \d+\.\d MB/s",
            r"disconnected after \d+\.\d s: 2 downloaded \(\d+ bytes\), 0 uploaded \(0 bytes\); "
            r"1 complete, 1 cut off"])
        # The status line counts what ended, once the console has drawn it again.
        final = "0 connected \u00b7 0 transfers \u00b7 1 done, 1 cut off"
        text = read_terminal(lambda text: final in text, TIMEOUT)
        self.assertIn(final, self.screen(text)[1])
        # Ctrl-C takes the status line away and leaves the summary in its place.
        process.send_signal(signal.SIGINT)
        text = read_terminal(lambda text: "ending" in text, TIMEOUT)
        self.assertEqual(process.wait(TIMEOUT), 0 if is_windows() else -signal.SIGINT)
        pieces = re.split(r"[\r\n]+", CURSOR_CONTROL.sub("", text))
        self.assertTrue(any(re.match(r"\d\d:\d\d:\d\d ending: 1 session, 1 file complete, 1 cut "
                                     r"off$", piece) for piece in pieces), pieces[-5:])
        self.assertFalse([mark for mark in SANITIZER_MARKS if mark in text], text[-4000:])

    def test_a_passive_connection_that_never_comes_points_at_the_firewall(self):
        """The real data wait of 60 s: the 425 alone would leave the operator guessing."""
        self.write_file("image.bin", b"firmware")
        self.start_server("-status")
        s = self.connect()
        self.assertEqual(self.command(s, "USER op"), "331 Login accepted")
        self.assertEqual(self.command(s, "PASS x"), "230 User logged in")
        numbers = re.findall(r"\d+", self.command(s, "PASV"))
        passive = int(numbers[-2]) * 256 + int(numbers[-1])
        self.assertEqual(self.command(s, "RETR image.bin"), RETR_150)
        s.settimeout(90)
        self.assertEqual(self.read_line(s), "425 Can't open data connection.")
        self.assertTrue(self.server.wait_console("see README"), self.server.console())
        self.assertRegex(self.server.console(), "\n" + EVENT + re.escape(
            "no connection to 127.0.0.1:%d from 127.0.0.1 within 60 s: a firewall on this PC "
            "may block the passive ports; see README\n" % passive))

    def test_a_pipe_gets_event_lines_alone_with_verbose_prefixes(self):
        self.start_server("-status", "-ftpverbose", "-login", "op:pw", upload=True,
                          preexec_fn=default_sigint)
        first = self.connect()
        second = self.connect()  # from the same address: its lines carry its port
        port = second.sock.getsockname()[1]
        self.assertEqual(self.command(first, "USER op"), "331 Login accepted")
        self.assertEqual(self.command(first, "PASS pw"), "230 User logged in")
        self.assertEqual(self.command(second, "USER op"), "331 Login accepted")
        self.assertEqual(self.command(second, "PASS guess"), "530 Login incorrect.")
        self.assertEqual(self.upload(first, "STOR up.bin", b"uploaded"), [RETR_150, DONE])
        for line, reply in (("MKD sub", '257 "/sub" created'), ("RNFR up.bin", "350 File exists"),
                            ("RNTO sub/moved.bin", "250 RNTO command successful"),
                            ("CWD sub", "250 CWD command successful"),
                            ("DELE moved.bin", "250 DELE command successful."),
                            ("CDUP", "250 CWD command successful"),
                            ("RMD sub", "250 RMD command successful")):
            self.assertEqual(self.command(first, line), reply)
        self.assertEqual(self.command(first, "QUIT"), "221 Goodbye")
        self.assertEqual(self.command(second, "QUIT"), "221 Goodbye")
        self.assertTrue(self.server.wait_console("disconnected", count=2))
        console = self.server.console().split("Waiting for the chassis to connect...\n")[1]
        self.assertNotIn("\r", console)
        self.assertNotIn("\u00b7", console.encode("latin-1").decode("utf-8"))
        lines = console.rstrip("\n").split("\n")
        self.assertTrue(all(re.match(EVENT, line) for line in lines), lines)
        for line in (r"connected", r"    220 tarnLoader ready", r"USER op", r"PASS \*\*\*\*",
                     r"logged in as op", r"STOR up\.bin",
                     r"    226 Transfer complete",
                     r"upload /up\.bin: complete, 8 bytes in \d+\.\d\d s, \d+\.\d MB/s",
                     r"made folder /sub", r"renamed /up\.bin to /sub/moved\.bin",
                     r"deleted /sub/moved\.bin", r"removed folder /sub",
                     r"disconnected after \d+\.\d s: 0 downloaded \(0 bytes\), 1 uploaded "
                     r"\(8 bytes\); 1 complete, 0 cut off"):
            self.assertTrue(any(re.match(EVENT + line + "$", l) for l in lines), (line, lines))
        second_lines = [line for line in lines if ":%d " % port in line]
        self.assertEqual([line.split(" ", 2)[2] for line in second_lines],
                         ["connected", "    220 tarnLoader ready", "USER op",
                          "    331 Login accepted", "PASS ****", "    530 Login incorrect.",
                          "login refused for op: 530 Login incorrect.", "QUIT ", "    221 Goodbye",
                          "Closing control connection", "disconnected after %s s: 0 downloaded "
                          "(0 bytes), 0 uploaded (0 bytes); 0 complete, 0 cut off"
                          % second_lines[-1].split(" ")[4]])
        # Ctrl-C ends the process with the summary as the last line.
        self.server.process.send_signal(signal.SIGINT)
        self.assertEqual(self.server.wait_exit(TIMEOUT), 0 if is_windows() else -signal.SIGINT)
        self.assertRegex(self.server.console().rstrip("\n").split("\n")[-1],
                         r"^\d\d:\d\d:\d\d ending: 2 sessions, 1 file complete, 0 cut off$")
