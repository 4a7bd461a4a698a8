"""The verbs beyond the 28 that today's clients use (FEAT, OPTS, EPSV, EPRT, REST STREAM, MLSD,
MLST, CDUP, XCUP), as a raw client sees them: one table-driven test per family."""
import hashlib
import os
import socket
import time
import zlib

from harness import READY_LINE, TIMEOUT, ServerTest, has_ipv6, is_windows

RETR_150 = "150 Opening BINARY mode data connection"
LIST_150 = "150 Opening connection"
DONE = "226 Transfer complete"
RESTART_BEYOND = "554 Restart position beyond the end of the file"
FEATURES = ["211-Features:", " EPRT", " EPSV", " HASH SHA-256*;SHA-1;MD5;CRC32", " MDTM",
            " MLST type*;size*;modify*;", " REST STREAM", " SIZE", " UTF8", " XCRC", " XMD5",
            " XSHA1", " XSHA256", "211 End"]


class ExtensionTest(ServerTest):
    def epsv(self, s, command="EPSV", host="127.0.0.1"):
        """EPSV, then a connection to the announced port."""
        reply = self.command(s, command)
        self.assertRegex(reply, r"^229 Entering Extended Passive Mode \(\|\|\|\d+\|\)$")
        port = int(reply.split("|")[3])
        data = socket.create_connection((host, port), timeout=TIMEOUT)
        self.addCleanup(data.close)
        return data

    def facts(self, line):
        """{fact: value} and the name of an MLSD or MLST line."""
        facts, name = line.split(" ", 1)
        return dict(fact.split("=", 1) for fact in facts.rstrip(";").split(";")), name

    def utc(self, relative):
        return time.strftime("%Y%m%d%H%M%S",
                             time.gmtime(os.stat(os.path.join(self.root, relative)).st_mtime))


class FeaturesAndOptions(ExtensionTest):
    def test_feat_lists_what_works_and_opts_takes_utf8(self):
        self.start_server()
        s = self.connect()
        s.sendall(b"FEAT\r\n")
        self.assertEqual(self.read_replies(s, len(FEATURES)), FEATURES)
        for line, reply in (("OPTS UTF8 ON", "200 OK"), ("opts utf8 off", "200 OK"),
                            ("OPTS UTF8", "501 Option not understood"),
                            ("OPTS MLST type;", "501 Option not understood"),
                            ("OPTS", "501 Option not understood"),
                            ("OPTS HASH", "200 SHA-256"), ("opts hash md5", "200 MD5"),
                            ("OPTS HASH SHA-512", "501 Unknown hash algorithm"),
                            ("OPTS HASHX", "501 Option not understood"),
                            ("XFEAT", "500 Command not recognized")):
            with self.subTest(line=line):
                self.assertEqual(self.command(s, line), reply)
        s.sendall(b"FEAT\r\n")
        self.assertIn(" HASH SHA-256;SHA-1;MD5*;CRC32", self.read_replies(s, len(FEATURES)))
        # FEAT is one reply, one dot; the new verbs are known, so only XFEAT is reported.
        self.assertTrue(self.server.wait_console("." * 13))
        self.assertEqual(self.server.console().split(READY_LINE, 1)[1], "." * 13)
        self.assertTrue(self.server.wait_console("XFEAT", stream="stderr"))
        self.assertEqual(self.server.errors(), "Unknown ftp command 'XFEAT'\n")


class ExtendedDataConnections(ExtensionTest):
    def test_epsv_eprt_and_epsv_all(self):
        self.write_file("a.bin", b"over EPSV and EPRT")
        self.start_server()
        s = self.connect()
        for line, reply in (("EPSV 2", "522 Network protocol not supported, use (1)"),
                            ("EPSV x", "501 Illegal EPSV command."),
                            ("EPRT |2|::1|5000|", "522 Network protocol not supported, use (1)"),
                            ("EPRT !1!127.0.0.1!5000!", "200 EPRT command successful"),
                            ("EPRT |1|127.0.0.2|5000|", "501 Illegal EPRT command."),
                            ("EPRT |1|127.0.0.1|70000|", "501 Illegal EPRT command."),
                            ("EPRT |1|127.0.0.256|5000|", "501 Illegal EPRT command."),
                            ("EPRT |1|127.0.0.1|5000", "501 Illegal EPRT command.")):
            with self.subTest(line=line):
                self.assertEqual(self.command(s, line), reply)
        listener = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(listener.close)
        listener.settimeout(TIMEOUT)
        self.assertEqual(self.command(s, "EPRT |1|127.0.0.1|%d|" % listener.getsockname()[1]),
                         "200 EPRT command successful")
        self.assertEqual(self.command(s, "RETR a.bin"), RETR_150)
        self.assertEqual(self.read_all(listener.accept()[0]), b"over EPSV and EPRT")
        self.assertEqual(self.read_reply(s), DONE)
        self.assertEqual(self.command(s, "EPSV ALL"), "200 EPSV ALL ok")
        for line in ("PASV", "PORT 127,0,0,1,4,1", "EPRT |1|127.0.0.1|5000|"):
            self.assertEqual(self.command(s, line), "503 EPSV ALL in effect", line)
        data = self.epsv(s, "EPSV 1")
        self.assertEqual(self.command(s, "RETR a.bin"), RETR_150)
        self.assertEqual(self.read_all(data), b"over EPSV and EPRT")
        self.assertEqual(self.read_reply(s), DONE)

    def test_ipv6_clients_use_epsv_and_eprt_and_ipv4_ones_stay_as_they_were(self):
        if not has_ipv6():
            self.skipTest("this machine has no IPv6 loopback address")
        self.write_file("a.bin", b"over IPv6")
        self.start_server()
        s = self.connect(host="::1")
        for line, reply in (("PASV", "425 Use EPSV for IPv6 connections."),
                            ("PORT 127,0,0,1,4,1", "501 Use EPRT for IPv6 connections."),
                            ("EPSV 1", "522 Network protocol not supported, use (2)"),
                            ("EPRT |1|127.0.0.1|5000|", "522 Network protocol not supported, use (2)"),
                            ("EPRT |2|::2|5000|", "501 Illegal EPRT command."),
                            ("EPRT |2|::ffff:127.0.0.1|5000|", "501 Illegal EPRT command."),
                            ("EPRT |2|::1|0|", "501 Illegal EPRT command."),
                            ("EPRT |2|::1|5000|", "200 EPRT command successful")):
            with self.subTest(line=line):
                self.assertEqual(self.command(s, line), reply)
        for command in ("EPSV", "EPSV 2"):
            data = self.epsv(s, command, host="::1")
            self.assertEqual(self.command(s, "RETR a.bin"), RETR_150)
            self.assertEqual(self.read_all(data), b"over IPv6")
            self.assertEqual(self.read_reply(s), DONE)
        # Active mode to the client's own address, also as lftp names it: "::".
        for address in ("::1", "::"):
            listener = socket.create_server(("::1", 0), family=socket.AF_INET6)
            self.addCleanup(listener.close)
            listener.settimeout(TIMEOUT)
            self.assertEqual(self.command(s, "EPRT |2|%s|%d|" % (address, listener.getsockname()[1])),
                             "200 EPRT command successful")
            self.assertEqual(self.command(s, "RETR a.bin"), RETR_150)
            self.assertEqual(self.read_all(listener.accept()[0]), b"over IPv6")
            self.assertEqual(self.read_reply(s), DONE)
        # An IPv4 client of the same listener is answered with its IPv4 address.
        v4 = self.connect()
        self.assertRegex(self.command(v4, "PASV"), r"^227 Entering Passive Mode \(127,0,0,1,")
        self.assertEqual(self.command(v4, "EPSV 2"), "522 Network protocol not supported, use (1)")


class RestartedTransfers(ExtensionTest):
    def test_rest_moves_the_next_retr_only(self):
        content = bytes(range(256)) * 40
        self.write_file("fw.bin", content)
        self.start_server(upload=True)
        s = self.connect()
        for offset in (0, 1, 4000, len(content)):
            with self.subTest(offset=offset):
                self.assertEqual(self.command(s, "REST %d" % offset),
                                 "350 Restarting at %d" % offset)
                self.assertEqual(self.transfer(s, "RETR fw.bin"),
                                 (content[offset:], [RETR_150, DONE]))
        # The marker goes with the next transfer or listing, whatever its outcome.
        cases = [("RETR fw.bin", content), ("RETR missing.bin", content),
                 ("NLST", content), ("MLSD", content)]
        for command, after in cases:
            with self.subTest(command=command):
                self.assertEqual(self.command(s, "REST 10"), "350 Restarting at 10")
                self.transfer(s, command)
                self.assertEqual(self.transfer(s, "RETR fw.bin")[0], after)
        for argument in ("-1", "1x", " 1", "9223372036854775808", ""):
            with self.subTest(argument=argument):
                self.assertEqual(self.command(s, "REST 5"), "350 Restarting at 5")
                self.assertEqual(self.command(s, ("REST " + argument).rstrip()),
                                 "501 Invalid REST argument")
                self.assertEqual(self.transfer(s, "RETR fw.bin")[0], content)
        self.assertEqual(self.command(s, "REST 9223372036854775807"),
                         "350 Restarting at 9223372036854775807")
        self.assertEqual(self.transfer(s, "RETR fw.bin"), (None, [RESTART_BEYOND]))
        # Uploads: REST n keeps the first n bytes, APPE all of them; refusals come before 150.
        self.write_file("ro.bin", b"ro")
        os.chmod(os.path.join(self.root, "ro.bin"), 0o444)
        os.mkdir(os.path.join(self.root, "sub"))
        cases = [("REST 5", "STOR fw.bin", content[:5] + b"new"),
                 ("REST 9", "STOR fw.bin", [RESTART_BEYOND]),
                 ("REST 8", "STOR missing.bin", ["550 No such file or directory"]),
                 ("REST 1", "STOR ro.bin", ["550 Permission denied"]),
                 ("REST 1", "APPE fw.bin", content[:5] + b"newnew"),  # APPE ignores REST
                 ("NOOP", "APPE new.bin", b"new"),
                 ("NOOP", "APPE sub", ["550 Is a directory"]),
                 ("REST 0", "STOR fw.bin", b"new")]
        for first, command, result in cases:
            with self.subTest(command=first + ", " + command):
                self.command(s, first)
                replies = self.upload(s, command, b"new")
                if isinstance(result, list):
                    self.assertEqual(replies, result)
                else:
                    self.assertEqual((replies, self.read_file(command[5:])), ([RETR_150, DONE],
                                                                                result))
        self.assertEqual(sorted(os.listdir(self.root)), ["fw.bin", "new.bin", "ro.bin", "sub"])
        # A resume cut off by a client that dies leaves the file as it was before it.
        self.assertEqual(self.command(s, "REST 2"), "350 Restarting at 2")
        data = self.pasv(s)
        self.assertEqual(self.command(s, "STOR fw.bin"), RETR_150)
        data.sendall(b"x" * 100000)
        data.close()
        s.close()
        self.wait_for(lambda: len(os.listdir(self.root)) == 4, "the temporary file removed")
        self.assertEqual(self.read_file("fw.bin"), b"new")


class MachineListings(ExtensionTest):
    def test_mlsd_and_mlst_facts(self):
        self.write_file("pkg/image.bin", b"i" * 1234)
        self.write_file("pkg/readme.txt", b"r")
        os.mkdir(os.path.join(self.root, "pkg", "drivers"))
        self.write_file("pkg/.hidden", b"h")
        self.write_file("pkg/.tarnLoader-upload-1-1", b"partial")
        os.utime(os.path.join(self.root, "pkg", "readme.txt"), (86400 * 365, 86400 * 365))
        self.start_server()
        s = self.connect()
        payload, replies = self.transfer(s, "MLSD /pkg/")
        self.assertEqual(replies, [LIST_150, DONE])
        listed = dict((name, facts) for facts, name in
                      map(self.facts, payload.decode().split("\r\n")[:-1]))
        self.assertEqual(sorted(listed), ["drivers", "image.bin", "readme.txt"])
        for name, (kind, size) in {"drivers": ("dir", 0), "image.bin": ("file", 1234),
                                   "readme.txt": ("file", 1)}.items():
            self.assertEqual(listed[name], {"type": kind, "size": str(size),
                                            "modify": self.utc("pkg/" + name)})
        self.assertEqual(self.command(s, "CWD pkg"), "250 CWD command successful")
        self.assertEqual(len(self.transfer(s, "MLSD")[0].split(b"\r\n")), 4)
        for argument, name in (("readme.txt", "/pkg/readme.txt"), ("", "/pkg")):
            with self.subTest(mlst=argument):
                s.sendall(("MLST %s\r\n" % argument).encode())
                first, line, last = self.read_replies(s, 3)
                self.assertEqual((first, last), ("250-Listing " + name, "250 End"))
                facts, shown = self.facts(line[1:])
                self.assertEqual(shown, name)
                self.assertEqual(facts["modify"], self.utc(name[1:]))
        for command, reply in (("MLSD readme.txt", "501 Not a folder"),
                               ("MLSD nosuch", "550 No such file or directory"),
                               ("MLST ../..", "550 Path permission error")):
            with self.subTest(command=command):
                self.assertEqual(self.transfer(s, command), (None, [reply]))
        if not is_windows():
            os.symlink(self.base, os.path.join(self.root, "out"))
            self.assertEqual(self.transfer(s, "MLSD /out"), (None, ["550 Path permission error"]))
            self.assertEqual(self.command(s, "MLST /out"), "550 Path permission error")


class ParentFolder(ExtensionTest):
    def test_cdup_and_xcup_are_cwd_up(self):
        os.makedirs(os.path.join(self.root, "fw", "latest"))
        self.start_server()
        s = self.connect()
        for verb in ("CDUP", "XCUP", "cdup"):
            with self.subTest(verb=verb):
                self.assertEqual(self.command(s, "CWD /fw/latest"), "250 CWD command successful")
                self.assertEqual(self.command(s, verb), "250 CWD command successful")
                self.assertEqual(self.command(s, "PWD"), '257 "/fw"')
                self.assertEqual(self.command(s, verb + " ignored"), "250 CWD command successful")
                self.assertEqual(self.command(s, verb), "550 Could not change directory")
                self.assertEqual(self.command(s, "PWD"), '257 "/"')


class Checksums(ExtensionTest):
    def test_hash_and_the_x_verbs_answer_the_files_digests(self):
        def digests(data):
            return {"XSHA256": hashlib.sha256(data).hexdigest(),
                    "XSHA1": hashlib.sha1(data).hexdigest(),
                    "XMD5": hashlib.md5(data).hexdigest(), "XCRC": "%08x" % zlib.crc32(data)}

        first = os.urandom(3 * 1024 * 1024 + 7)  # more than one piece of reading
        self.write_file("fw/image.bin", first)
        self.write_file("empty.bin", b"")
        self.start_server()
        s = self.connect()
        self.assertEqual(self.command(s, "CWD fw"), "250 CWD command successful")
        for data in (first, first[::-1]):  # the same size, rewritten: a new answer
            self.write_file("fw/image.bin", data)
            for verb, digest in digests(data).items():
                with self.subTest(verb=verb):
                    self.assertEqual(self.command(s, verb + " image.bin"), "213 " + digest)
            self.assertEqual(self.command(s, "HASH /fw/image.bin"),
                             "213 SHA-256 0-%d %s /fw/image.bin"
                             % (len(data) - 1, hashlib.sha256(data).hexdigest()))
        self.assertEqual(self.command(s, "OPTS HASH CRC32"), "200 CRC32")
        self.assertEqual(self.command(s, "HASH ../empty.bin"), "213 CRC32 0-0 00000000 ../empty.bin")
        for command, reply in (("HASH", "550 Path permission error"),
                               ("XMD5 /", "550 Is a directory"),
                               ("XCRC missing.bin", "550 No such file or directory"),
                               ("HASH ../../..", "550 Path permission error")):
            with self.subTest(command=command):
                self.assertEqual(self.command(s, command), reply)
