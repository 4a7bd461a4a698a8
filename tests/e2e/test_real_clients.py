"""Real, unmodified FTP clients against the binary: curl, wget, lftp, tnftp, rclone, aria2c and
Python's ftplib.

Each client fetches a package folder and the test compares SHA-256 sums, lists the folder and
the test checks the names and sizes the client made of it, asks for a missing file and then
fetches another one, and, where the client can, uploads a file, reads it back and makes,
renames and removes a directory on a server started with "-u". The clients find what the
server has through FEAT (EPSV, MLSD, REST) and probe for what it lacks (AUTH TLS, SITE UTIME);
curl and ftplib also resume a cut download. Each client runs with a time limit and a HOME of its own, so no
user configuration (.netrc, .lftprc, .curlrc, .wgetrc) takes part; a client that is not
installed is skipped with a printed reason.
"""
import ftplib
import hashlib
import html
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

from harness import ServerTest, has_ipv6

CLIENT_TIMEOUT = 60
FOLDER = "QX2105"
MISSING = "missing.bin"
UTF8_FOLDER = "\u00fcn\u00efc\u00f8d\u00e9"
SESSION_MARK = "Chassis accessing package."
# Environment variables through which a user's own settings would reach a client.
PERSONAL_VARIABLES = ("CURL_HOME", "WGETRC", "LFTP_HOME", "NETRC", "XDG_CONFIG_HOME",
                      "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME", "ftp_proxy",
                      "FTP_PROXY", "all_proxy", "ALL_PROXY", "http_proxy", "HTTP_PROXY")


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def tree_sums(top):
    """Every file below top, as {path with "/" separators: SHA-256}."""
    sums = {}
    for folder, _, names in os.walk(top):
        for name in names:
            path = os.path.join(folder, name)
            sums[os.path.relpath(path, top).replace(os.sep, "/")] = sha256_of(path)
    return sums


class RealClientTest(ServerTest):
    """A package folder shared by the tests of one class (its 20 MiB file is made once), a
    private HOME and a local folder per test, and a bounded way to run the client."""

    client = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if cls.client is not None and shutil.which(cls.client) is None:
            print("\n%s: %s is not installed; its real-client tests are skipped"
                  % (cls.__name__, cls.client))
            raise unittest.SkipTest("%s is not installed" % cls.client)
        cls.package_root = tempfile.mkdtemp(prefix="tarnloader-package-")
        cls.addClassCleanup(shutil.rmtree, cls.package_root, True)
        # CR LF and a bare LF in the text file show an ASCII-mode conversion in the client.
        contents = {
            "empty.bin": b"",
            "readme.txt": b"QX2105 firmware 4.2\r\nchecksums follow\nend\r\n",
            "part-300k.bin": os.urandom(300 * 1024),
            "image-20m.bin": os.urandom(20 * 1024 * 1024),
            "release notes.txt": b"a name with a space\r\n",
            "drivers/module.bin": os.urandom(4096),
            # UTF-8 names, with bytes from 0x80 to 0x9f among them ("ř", "у").
            "drivers/%s/m\u00f3dulo \u0159 \u0443.bin" % UTF8_FOLDER: os.urandom(1000),
        }
        cls.expected = {}
        for relative, content in contents.items():
            path = os.path.join(cls.package_root, FOLDER, *relative.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(content)
            cls.expected[relative] = hashlib.sha256(content).hexdigest()
        cls.sizes = {relative: len(content) for relative, content in contents.items()
                     if "/" not in relative}
        cls.sizes["drivers"] = 0
        cls.upload_payload = os.urandom(700 * 1024)

    def setUp(self):
        super().setUp()
        self.home = os.path.join(self.base, "home")
        self.local = os.path.join(self.base, "local")
        os.mkdir(self.home)
        os.mkdir(self.local)
        self.env = {k: v for k, v in os.environ.items() if k not in PERSONAL_VARIABLES}
        self.env.update(HOME=self.home, LC_ALL="C", LANG="C")

    # --- helpers ---------------------------------------------------------------------------

    def serve_package(self):
        return self.start_server(cwd=self.package_root)

    def serve_uploads(self):
        """A server with "-u" over the test's own empty root."""
        return self.start_server(upload=True)

    def url(self, relative="", host="127.0.0.1"):
        return "ftp://%s:%d/%s" % (host, self.server.port, urllib.parse.quote(relative))

    def run_client(self, args, script=None, cwd=None, env=None):
        """Runs the client to its end within the time limit; returns (exit status, stdout,
        stderr) as text."""
        try:
            done = subprocess.run(
                args, input=script.encode() if script is not None else None,
                stdin=subprocess.DEVNULL if script is None else None,
                capture_output=True, timeout=CLIENT_TIMEOUT, cwd=cwd or self.local,
                env=env or self.env)
        except subprocess.TimeoutExpired as error:
            self.fail("%s did not end within %d s\n%s\n%s" % (
                args[0], CLIENT_TIMEOUT, (error.stdout or b"").decode("latin-1")[-2000:],
                (error.stderr or b"").decode("latin-1")[-2000:]))
        return (done.returncode, done.stdout.decode("latin-1"),
                done.stderr.decode("latin-1"))

    def assert_ran(self, result):
        status, out, err = result
        self.assertEqual(status, 0, "client failed\nstdout:\n%s\nstderr:\n%s"
                         % (out[-3000:], err[-3000:]))
        return out

    def assert_package(self, top):
        self.assertEqual(tree_sums(top), self.expected)

    def assert_sessions(self, count):
        """The server saw count logins: a client kept one session where count is 1."""
        self.server.wait_console(SESSION_MARK, count=count)
        self.assertEqual(self.server.console().count(SESSION_MARK), count)

    def local_file(self, relative):
        with open(os.path.join(self.local, relative), "rb") as f:
            return f.read()

    def write_local(self, name, content):
        path = os.path.join(self.local, name)
        with open(path, "wb") as f:
            f.write(content)
        return path


class Curl(RealClientTest):
    client = "curl"
    # Passive, then active to an address given with -P and to the control connection's own
    # address ("-P -").
    MODES = {"passive": [], "active 127.0.0.1": ["-P", "127.0.0.1"], "active -": ["-P", "-"]}

    def curl(self, *args):
        return self.run_client(["curl", "-sS"] + list(args))

    def fetch_arguments(self, target):
        args = ["--create-dirs"]
        for relative in sorted(self.expected):
            args += ["-o", os.path.join(target, *relative.split("/")),
                     self.url(FOLDER + "/" + relative)]
        return args

    def test_fetches_the_package_in_one_session(self):
        self.serve_package()
        for number, (mode, option) in enumerate(self.MODES.items(), 1):
            with self.subTest(mode=mode):
                target = os.path.join(self.local, "mode%d" % number)
                self.assert_ran(self.curl(*(option + self.fetch_arguments(target))))
                self.assert_package(target)
                self.assert_sessions(number)

    def test_resumes_a_cut_download(self):
        self.serve_package()
        target = os.path.join(self.local, "image-20m.bin")
        source = os.path.join(self.package_root, FOLDER, "image-20m.bin")
        with open(source, "rb") as f:
            head = f.read(7 * 1024 * 1024 + 13)
        with open(target, "wb") as f:
            f.write(head)
        self.assert_ran(self.curl("-C", "-", "-o", target, self.url(FOLDER + "/image-20m.bin")))
        self.assertEqual(sha256_of(target), self.expected["image-20m.bin"])

    def test_lists_the_folder(self):
        self.serve_package()
        for mode, option in self.MODES.items():
            with self.subTest(mode=mode, listing="names"):
                out = self.assert_ran(self.curl(*(option + ["-l", self.url(FOLDER + "/")])))
                self.assertEqual(sorted(out.splitlines()), sorted(self.sizes))
            with self.subTest(mode=mode, listing="long"):
                out = self.assert_ran(self.curl(*(option + [self.url(FOLDER + "/")])))
                listed = {}
                for line in out.splitlines():
                    fields = line.split(None, 8)
                    listed[fields[8]] = int(fields[4])
                self.assertEqual(listed, self.sizes)
        # With --head curl asks SIZE and shows the size it understood.
        for name, size in self.sizes.items():
            if name == "drivers":
                continue
            with self.subTest(head=name):
                out = self.assert_ran(self.curl("-I", self.url(FOLDER + "/" + name)))
                self.assertIn("Content-Length: %d\r\n" % size, out)

    def test_missing_file_is_an_error_and_the_next_download_works(self):
        self.serve_package()
        for number, (mode, option) in enumerate(self.MODES.items(), 1):
            with self.subTest(mode=mode):
                missing = os.path.join(self.local, "missing%d" % number)
                fetched = os.path.join(self.local, "readme%d.txt" % number)
                status, out, err = self.curl(*(option + [
                    "-w", "%{exitcode}\\n", self.url(FOLDER + "/" + MISSING), "-o", missing,
                    self.url(FOLDER + "/readme.txt"), "-o", fetched]))
                # curl's status is that of its last transfer; each transfer's own is in -w.
                self.assertEqual((status, out.split()), (0, ["78", "0"]), err)
                self.assertIn("curl: (78)", err)
                self.assertFalse(os.path.exists(missing))
                self.assertEqual(sha256_of(fetched), self.expected["readme.txt"])
                self.assert_sessions(number)

    def test_uploads_and_changes_directories(self):
        self.serve_uploads()
        for number, (mode, option) in enumerate(self.MODES.items(), 1):
            with self.subTest(mode=mode):
                name = "upload%d.bin" % number
                self.write_local(name, self.upload_payload)
                self.assert_ran(self.curl(*(option + ["-T", name, self.url(name)])))
                self.assertEqual(self.read_file(name), self.upload_payload)
                self.assert_ran(self.curl(*(option + [self.url(name), "-o", "back.bin"])))
                self.assertEqual(self.local_file("back.bin"), self.upload_payload)
                # -Q commands run before the listing, which therefore shows their outcome.
                out = self.assert_ran(self.curl(*(option + [
                    "-Q", "MKD made%d" % number, "-Q", "RNFR made%d" % number,
                    "-Q", "RNTO renamed%d" % number, "-l", self.url()])))
                self.assertIn("renamed%d" % number, out.splitlines())
                self.assertTrue(os.path.isdir(os.path.join(self.root, "renamed%d" % number)))
                self.assertFalse(os.path.exists(os.path.join(self.root, "made%d" % number)))
                self.assert_ran(self.curl(*(option + [
                    "-Q", "RMD renamed%d" % number, "-l", self.url()])))
                self.assertFalse(os.path.exists(os.path.join(self.root, "renamed%d" % number)))
                status, _, err = self.curl(*(option + ["-Q", "RMD absent", "-l", self.url()]))
                self.assertEqual(status, 21, err)  # a quote command that failed


    def test_resumes_and_appends_uploads(self):
        self.serve_uploads()
        self.write_local("whole.bin", self.upload_payload)
        # A stopped upload; its bytes differ from ours, so a new whole upload would show.
        self.write_file("resumed.bin", b"s" * 300 * 1024)
        self.write_file("appended.bin", b"head")
        self.assert_ran(self.curl("-C", "-", "-T", "whole.bin", self.url("resumed.bin")))
        self.assert_ran(self.curl("--append", "-T", "whole.bin", self.url("appended.bin")))
        self.assertEqual(self.read_file("resumed.bin"),
                         b"s" * 300 * 1024 + self.upload_payload[300 * 1024:])
        self.assertEqual(self.read_file("appended.bin"), b"head" + self.upload_payload)


class Wget(RealClientTest):
    """wget cannot upload or change directories; it opens a new session for each URL."""

    client = "wget"
    MODES = {"passive": [], "active": ["--no-passive-ftp"]}

    def wget(self, *args, cwd=None):
        return self.run_client(["wget", "-nv"] + list(args), cwd=cwd)

    def test_fetches_the_package_recursively(self):
        self.serve_package()
        for mode, option in self.MODES.items():
            with self.subTest(mode=mode):
                target = os.path.join(self.local, mode)
                os.mkdir(target)
                # nocontrol: wget would otherwise escape the UTF-8 bytes 0x80 to 0x9f in the
                # local names.
                self.assert_ran(self.wget(*(option + ["-r", "-nH", "-np",
                                                      "--restrict-file-names=nocontrol",
                                                      self.url(FOLDER + "/")]), cwd=target))
                self.assert_package(os.path.join(target, FOLDER))

    def test_lists_the_folder(self):
        self.serve_package()
        self.assert_ran(self.wget("-O", "index.html", self.url(FOLDER + "/")))
        page = self.local_file("index.html").decode("latin-1")
        files = re.findall(r'File +<a href="[^"]*">([^<]*)</a> +\((\d+) bytes\)', page)
        folders = re.findall(r'Directory +<a href="[^"]*">([^<]*)/</a>', page)
        listed = {html.unescape(name): int(size) for name, size in files}
        listed.update({html.unescape(name): 0 for name in folders})
        self.assertEqual(listed, self.sizes)

    def test_missing_file_is_an_error_and_the_next_download_works(self):
        self.serve_package()
        status, _, err = self.wget(self.url(FOLDER + "/" + MISSING),
                                   self.url(FOLDER + "/readme.txt"))
        self.assertEqual(status, 8, err)  # the server answered with an error
        self.assertIn("No such file", err)
        self.assertFalse(os.path.exists(os.path.join(self.local, MISSING)))
        self.assertEqual(sha256_of(os.path.join(self.local, "readme.txt")),
                         self.expected["readme.txt"])


class Lftp(RealClientTest):
    client = "lftp"
    MODES = {"passive": "", "active": "set ftp:passive-mode off; "}

    def lftp(self, commands):
        # A user and password, not anonymous: lftp then also tries AUTH TLS first. lftp turns
        # the server's UTF-8 names into the local character set, so that must be UTF-8.
        script = "open -u chassis,secret %s; %s" % (self.url(), commands)
        return self.run_client(["lftp", "-c", script], env=dict(self.env, LC_ALL="C.UTF-8"))

    def test_fetches_the_package_in_one_session(self):
        self.serve_package()
        for number, (mode, setting) in enumerate(self.MODES.items(), 1):
            with self.subTest(mode=mode):
                # --no-perms: the listing shows folders as drw-rw-rw-, which would leave the
                # local copies without search permission.
                self.assert_ran(self.lftp("%smirror --no-perms %s %s" % (setting, FOLDER, mode)))
                self.assert_package(os.path.join(self.local, mode))
                self.assert_sessions(number)

    def test_lists_the_folder(self):
        self.serve_package()
        for mode, setting in self.MODES.items():
            with self.subTest(mode=mode):
                out = self.assert_ran(self.lftp(
                    "%scd %s; cls -l; echo ==; cls -1" % (setting, FOLDER)))
                long_lines, names = out.split("==\n")
                listed = {}
                # lftp lists through MLSD: size, date, time and name (a folder's ends in "/").
                for line in long_lines.splitlines():
                    size, name = re.match(r" *(\d+) +\w+ +\d+ +[\d:]+ (.*)$", line).groups()
                    listed[name.rstrip("/")] = int(size)
                self.assertEqual(listed, self.sizes)
                self.assertEqual(sorted(names.splitlines()),
                                 sorted(n + "/" if n == "drivers" else n for n in self.sizes))

    def test_missing_file_is_an_error_and_the_next_download_works(self):
        self.serve_package()
        status, out, err = self.lftp(
            "cd %s; get %s || echo get-failed; get readme.txt" % (FOLDER, MISSING))
        self.assertEqual(status, 0, err)
        self.assertIn("get-failed", out.splitlines())
        self.assertIn("550", err)
        self.assertFalse(os.path.exists(os.path.join(self.local, MISSING)))
        self.assertEqual(sha256_of(os.path.join(self.local, "readme.txt")),
                         self.expected["readme.txt"])
        self.assert_sessions(1)

    def test_uploads_and_changes_directories(self):
        self.serve_uploads()
        for number, (mode, setting) in enumerate(self.MODES.items(), 1):
            with self.subTest(mode=mode):
                self.write_local("payload.bin", self.upload_payload)
                out = self.assert_ran(self.lftp(
                    "%sput payload.bin -o up%d.bin; get up%d.bin -o back%d.bin; "
                    "mkdir made; mv made renamed; cls -1; echo ==; rmdir renamed; "
                    "rmdir absent || echo rmdir-failed; cls -1"
                    % (setting, number, number, number)))
                self.assertEqual(self.read_file("up%d.bin" % number), self.upload_payload)
                self.assertEqual(self.local_file("back%d.bin" % number), self.upload_payload)
                during, after = out.split("==\n")
                self.assertIn("renamed/", during.splitlines())
                self.assertNotIn("made/", during.splitlines())
                self.assertEqual(after.splitlines()[0], "rmdir-failed")
                self.assertNotIn("renamed/", after.splitlines())
                self.assertEqual(sorted(os.listdir(self.root)),
                                 ["up%d.bin" % n for n in range(1, number + 1)])
                self.assert_sessions(number)


    def test_put_c_resumes_an_upload(self):
        self.serve_uploads()
        self.write_local("whole.bin", self.upload_payload)
        self.write_file("resumed.bin", b"s" * 300 * 1024)  # a stopped upload, told by its bytes
        self.assert_ran(self.lftp("put -c whole.bin -o resumed.bin"))
        self.assertEqual(self.read_file("resumed.bin"),
                         b"s" * 300 * 1024 + self.upload_payload[300 * 1024:])

    def test_mirrors_a_tree_back(self):
        self.serve_uploads()
        shutil.copytree(os.path.join(self.package_root, FOLDER), os.path.join(self.local, "tree"))
        self.assert_ran(self.lftp("mirror -R --no-perms tree " + FOLDER))
        self.assert_package(os.path.join(self.root, FOLDER))


class Tnftp(RealClientTest):
    """tnftp reads its commands from standard input. SYST names no system it knows, so it
    stays in ASCII mode until told "binary"."""

    client = "tnftp"
    MODES = {"passive": "passive on", "active": "passive off"}

    def tnftp(self, mode_command, commands):
        script = "open 127.0.0.1 %d\nuser chassis secret\nbinary\n%s\n%s\nquit\n" % (
            self.server.port, mode_command, "\n".join(commands))
        # -n: no automatic login; the script logs in. -v: show the server's replies.
        return self.run_client(["tnftp", "-n", "-v"], script=script)

    def test_fetches_the_package_in_one_session(self):
        self.serve_package()
        for number, (mode, mode_command) in enumerate(self.MODES.items(), 1):
            with self.subTest(mode=mode):
                target = os.path.join(self.local, mode)
                os.makedirs(os.path.join(target, "drivers", UTF8_FOLDER))
                # mget also asks for each folder and is told it is a directory.
                self.assert_ran(self.tnftp(mode_command, [
                    "prompt off", "cd " + FOLDER, "lcd " + target, "mget *",
                    "cd drivers", "lcd drivers", "mget *",
                    "cd " + UTF8_FOLDER, "lcd " + UTF8_FOLDER, "mget *"]))
                self.assert_package(target)
                self.assert_sessions(number)

    def test_fetches_by_url(self):
        self.serve_package()
        self.assert_ran(self.run_client(
            ["tnftp", "-o", "image.bin", self.url(FOLDER + "/image-20m.bin")]))
        self.assertEqual(sha256_of(os.path.join(self.local, "image.bin")),
                         self.expected["image-20m.bin"])

    def test_lists_the_folder(self):
        self.serve_package()
        for mode, mode_command in self.MODES.items():
            with self.subTest(mode=mode):
                files = sorted(name for name in self.sizes if name != "drivers")
                out = self.assert_ran(self.tnftp(
                    mode_command, ["cd " + FOLDER, "nlist"] +
                    ['size "%s"' % name for name in files]))
                self.assertTrue(set(self.sizes) <= set(out.splitlines()), out)
                # size prints the name, a tab and the size the server gave.
                for name in files:
                    self.assertIn("%s\t%d" % (name, self.sizes[name]), out.splitlines())

    def test_missing_file_is_an_error_and_the_next_download_works(self):
        self.serve_package()
        out = self.assert_ran(self.tnftp(
            "passive on", ["cd " + FOLDER, "get " + MISSING, "get readme.txt"]))
        self.assertIn("550 No such file or directory", out)
        self.assertFalse(os.path.exists(os.path.join(self.local, MISSING)))
        self.assertEqual(sha256_of(os.path.join(self.local, "readme.txt")),
                         self.expected["readme.txt"])
        self.assert_sessions(1)
        # Fetching by URL, the missing file is the exit status.
        status, out, err = self.run_client(["tnftp", self.url(FOLDER + "/" + MISSING)])
        self.assertNotEqual(status, 0)
        self.assertIn("No such file or directory", out + err)

    def test_uploads_and_changes_directories(self):
        self.serve_uploads()
        for number, (mode, mode_command) in enumerate(self.MODES.items(), 1):
            with self.subTest(mode=mode):
                self.write_local("payload.bin", self.upload_payload)
                out = self.assert_ran(self.tnftp(mode_command, [
                    "put payload.bin up%d.bin" % number,
                    "get up%d.bin back%d.bin" % (number, number),
                    "mkdir made", "rename made renamed", "nlist", "rmdir renamed",
                    "rmdir absent"]))
                self.assertEqual(self.read_file("up%d.bin" % number), self.upload_payload)
                self.assertEqual(self.local_file("back%d.bin" % number), self.upload_payload)
                self.assertIn("renamed", out.splitlines())
                self.assertIn("250 RMD command successful", out)
                self.assertIn("550 No such file or directory", out)
                self.assertEqual(sorted(os.listdir(self.root)),
                                 ["up%d.bin" % n for n in range(1, number + 1)])
                self.assert_sessions(number)


class Rclone(RealClientTest):
    """rclone walks the tree through MLSD, in parallel sessions."""

    client = "rclone"

    def rclone(self, *args):
        password = self.assert_ran(self.run_client(["rclone", "obscure", "secret"])).strip()
        return self.run_client(["rclone", "--config", os.devnull, "--ftp-host", "127.0.0.1",
                                "--ftp-port", str(self.server.port), "--ftp-user", "chassis",
                                "--ftp-pass", password] + list(args))

    def test_copies_the_package_both_ways(self):
        self.serve_package()
        self.assert_ran(self.rclone("copy", ":ftp:" + FOLDER, os.path.join(self.local, "down")))
        self.assert_package(os.path.join(self.local, "down"))
        self.server.stop()
        self.serve_uploads()
        self.assert_ran(self.rclone("copy", os.path.join(self.local, "down"), ":ftp:up"))
        self.assert_package(os.path.join(self.root, "up"))

    def test_copies_over_tls_resuming_the_session(self):
        # One connection: rclone's connections share one TLS session cache, so with several a
        # data connection may resume another's session, which the server refuses.
        self.start_server("-tls", cwd=self.package_root)
        self.skip_where_wine_has_no_tls_server()
        tls = ("--ftp-explicit-tls", "--ftp-no-check-certificate", "--ftp-concurrency", "1")
        down = os.path.join(self.local, "down")
        self.assert_ran(self.rclone(*tls, "copy", ":ftp:" + FOLDER, down))
        self.assert_package(down)
        self.server.stop()
        self.start_server("-tls", upload=True)
        self.assert_ran(self.rclone(*tls, "copy", down, ":ftp:up"))
        self.assert_package(os.path.join(self.root, "up"))


class Aria2c(RealClientTest):
    """aria2c knows a file's size from SIZE, stops reading the data at its last byte and then
    waits for the final reply."""

    client = "aria2c"

    def test_small_files_never_wait_for_the_final_reply(self):
        self.serve_package()
        started = time.monotonic()
        for number in range(25):
            self.assert_ran(self.run_client([
                "aria2c", "-q", "--allow-overwrite=true", "--timeout=10", "-d", self.local,
                self.url(FOLDER + "/drivers/module.bin")]))
        # A stall costs aria2c a timeout of its own, 10 s here.
        self.assertLess(time.monotonic() - started, 20)
        self.assertEqual(sha256_of(os.path.join(self.local, "module.bin")),
                         self.expected["drivers/module.bin"])


class PerFileLatency(RealClientTest):
    """Clients that read the final reply before they close the data connection get it at once,
    not after a wait of the server's for their close."""

    client = "curl"

    def test_many_small_files_cost_no_wait_each(self):
        self.serve_package()
        url = self.url(FOLDER + "/drivers/module.bin")
        started = time.monotonic()
        for _ in range(10):
            with urllib.request.urlopen(url, timeout=CLIENT_TIMEOUT) as response:
                self.assertEqual(hashlib.sha256(response.read()).hexdigest(),
                                 self.expected["drivers/module.bin"])
        self.assertLess(time.monotonic() - started, 3, "urllib")
        # Active mode: curl 7.88 itself waits 1 s before a passive data connection whenever
        # the 227 or 229 reply arrives before it first polls, whatever the server does next.
        args = ["curl", "-sS", "-P", "127.0.0.1"]
        for number in range(20):
            args += [url, "-o", os.path.join(self.local, "m%d.bin" % number)]
        started = time.monotonic()
        self.assert_ran(self.run_client(args))
        self.assertLess(time.monotonic() - started, 3, "curl")
        self.assertEqual(sha256_of(os.path.join(self.local, "m19.bin")),
                         self.expected["drivers/module.bin"])


# Node's basic-ftp, where scripts/test.sh could install it.
NODE_MODULES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build-tools",
                            "node_modules")
BASIC_FTP_SCRIPT = """
const ftp = require("basic-ftp");
(async () => {
  const [host, port, secure] = process.argv.slice(1);
  const client = new ftp.Client(20000);
  await client.access({host, port: Number(port), user: "chassis", password: "secret",
                       secure: secure === "tls", secureOptions: {rejectUnauthorized: false}});
  await client.uploadFrom("payload.bin", "node-up.bin");
  await client.downloadTo("back.bin", "node-up.bin");
  console.log((await client.list()).map(entry => entry.name).sort().join(","));
  client.close();
})().catch(error => { console.error(error); process.exit(1); });
"""


class Ipv6Clients(RealClientTest):
    """The clients over the IPv6 loopback address: they use EPSV and EPRT."""

    def setUp(self):
        super().setUp()
        if not has_ipv6():
            self.skipTest("this machine has no IPv6 loopback address")

    def test_ftplib_lists_downloads_and_uploads(self):
        self.serve_uploads()
        self.write_file("fw.bin", self.upload_payload)
        for number, passive in enumerate((True, False), 1):
            with self.subTest(passive=passive):
                client = self.ftp(passive=passive, host="::1")
                chunks = []
                client.retrbinary("RETR fw.bin", chunks.append)
                self.assertEqual(b"".join(chunks), self.upload_payload)
                path = self.write_local("up.bin", self.upload_payload)
                with open(path, "rb") as f:
                    client.storbinary("STOR up%d.bin" % number, f)
                self.assertEqual(self.read_file("up%d.bin" % number), self.upload_payload)
                self.assertIn("fw.bin", client.nlst())
                client.quit()

    def test_curl_wget_lftp_and_basic_ftp_download(self):
        self.serve_uploads()
        self.write_file("fw.bin", self.upload_payload)
        url = self.url("fw.bin", host="[::1]")
        runs = [(["curl", "-sS", "-g", "-o", "curl.bin", url], ["curl.bin"]),
                (["curl", "-sS", "-g", "-P", "-", "-o", "curl-active.bin", url],
                 ["curl-active.bin"]),
                (["wget", "-q", "-O", "wget.bin", url], ["wget.bin"]),
                (["wget", "-q", "--no-passive-ftp", "-O", "wget-active.bin", url],
                 ["wget-active.bin"]),
                (["lftp", "-c", "open %s; get fw.bin -o lftp.bin; set ftp:passive-mode off; "
                  "get fw.bin -o lftp-active.bin" % self.url(host="[::1]")],
                 ["lftp.bin", "lftp-active.bin"])]
        for args, outputs in runs:
            if shutil.which(args[0]) is None:
                continue
            with self.subTest(client=outputs[0]):
                self.assert_ran(self.run_client(args))
                for output in outputs:
                    self.assertEqual(self.local_file(output), self.upload_payload)
        if shutil.which("node") is None or not os.path.isdir(os.path.join(NODE_MODULES,
                                                                          "basic-ftp")):
            print("\nIpv6Clients: Node's basic-ftp is not installed; it is left out")
            return
        self.write_local("payload.bin", self.upload_payload)
        env = dict(self.env, NODE_PATH=NODE_MODULES)
        for host in ("::1", "localhost"):
            with self.subTest(client="basic-ftp", host=host):
                out = self.assert_ran(self.run_client(
                    ["node", "-e", BASIC_FTP_SCRIPT, host, str(self.server.port), "plain"],
                    env=env))
                self.assertIn("node-up.bin", out)
                self.assertEqual(self.local_file("back.bin"), self.upload_payload)


class TlsClients(RealClientTest):
    """lftp and Node's basic-ftp over TLS (AUTH TLS, PROT P) with a login."""

    def test_lftp_and_basic_ftp_list_download_and_upload(self):
        self.start_server("-tlsonly", "-login", "chassis:secret", upload=True)
        self.skip_where_wine_has_no_tls_server()
        self.write_file("fw.bin", self.upload_payload)
        if shutil.which("lftp") is not None:
            script = ("set ftp:ssl-force true; set ftp:ssl-protect-data true; "
                      "set ssl:verify-certificate no; open -u chassis,secret %s; "
                      "cls -1; get fw.bin -o lftp.bin; put lftp.bin -o lftp-up.bin" % self.url())
            out = self.assert_ran(self.run_client(["lftp", "-c", script]))
            self.assertIn("fw.bin", out.splitlines())
            self.assertEqual(self.local_file("lftp.bin"), self.upload_payload)
            self.assertEqual(self.read_file("lftp-up.bin"), self.upload_payload)
        if shutil.which("node") is None or not os.path.isdir(os.path.join(NODE_MODULES,
                                                                          "basic-ftp")):
            print("\nTlsClients: Node's basic-ftp is not installed; it is left out")
            return
        self.write_local("payload.bin", self.upload_payload)
        out = self.assert_ran(self.run_client(
            ["node", "-e", BASIC_FTP_SCRIPT, "127.0.0.1", str(self.server.port), "tls"],
            env=dict(self.env, NODE_PATH=NODE_MODULES)))
        self.assertIn("node-up.bin", out)
        self.assertEqual(self.local_file("back.bin"), self.upload_payload)
        self.assertEqual(self.read_file("node-up.bin"), self.upload_payload)


README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
RECIPE = re.compile(r"<!-- recipe: ([\w-]+) -->\n```(\w+)\n(.*?)```", re.S)


class ReadmeRecipes(RealClientTest):
    """Every client recipe of README.md, as it stands there, against a server that takes
    nothing in clear text: each fetches the file, or reads the printed fingerprint and pin."""

    def test_every_recipe_works_as_written(self):
        with open(README, encoding="utf-8") as f:
            recipes = RECIPE.findall(f.read())
        self.assertEqual([name for name, _, _ in recipes],
                         ["curl", "lftp", "ftplib", "basic-ftp", "openssl"])
        self.write_file("fw/image.bin", self.upload_payload)
        self.start_server("-tlsonly")
        self.skip_where_wine_has_no_tls_server()
        console = self.server.console()
        fingerprint = re.search(r"TLS certificate SHA-256: (\S+)\n", console).group(1)
        pin = re.search(r"TLS public key pin: (\S+)\n", console).group(1)
        values = {"<address>": "127.0.0.1", "<port>": str(self.server.port),
                  "<fingerprint>": fingerprint, "<pin>": pin}
        runners = {"sh": ["sh", "-c"], "python": [sys.executable, "-c"], "js": ["node", "-e"]}
        needs = {"curl": "curl", "lftp": "lftp", "basic-ftp": "node", "openssl": "openssl"}
        for name, language, text in recipes:
            with self.subTest(recipe=name):
                if shutil.which(needs.get(name, "sh")) is None or (
                        name == "basic-ftp" and
                        not os.path.isdir(os.path.join(NODE_MODULES, "basic-ftp"))):
                    print("\nReadmeRecipes: %s is not installed; its recipe is left out" % name)
                    continue
                for placeholder, value in values.items():
                    text = text.replace(placeholder, value)
                image = os.path.join(self.local, "image.bin")
                if os.path.exists(image):
                    os.remove(image)
                out = self.assert_ran(self.run_client(
                    runners[language] + [text], env=dict(self.env, NODE_PATH=NODE_MODULES)))
                if name == "openssl":
                    self.assertIn("=" + fingerprint + "\n", out)
                    self.assertIn(pin[len("sha256//"):] + "\n", out)
                else:
                    self.assertEqual(self.local_file("image.bin"), self.upload_payload)


class Ftplib(RealClientTest):
    """Python's ftplib in passive and active mode, used as a program would use it."""

    MODES = {"passive": True, "active": False}

    def fetch_tree(self, client, target):
        """Fetches the working directory: a name that CWD accepts is a folder."""
        os.makedirs(target, exist_ok=True)
        for name in client.nlst():
            try:
                client.cwd(name)
            except ftplib.error_perm:
                with open(os.path.join(target, name), "wb") as f:
                    client.retrbinary("RETR " + name, f.write)
                continue
            self.fetch_tree(client, os.path.join(target, name))
            client.cwd("..")

    def test_fetches_the_package_in_one_session(self):
        self.serve_package()
        for number, (mode, passive) in enumerate(self.MODES.items(), 1):
            with self.subTest(mode=mode):
                client = self.ftp(passive=passive)
                client.cwd(FOLDER)
                target = os.path.join(self.local, mode)
                self.fetch_tree(client, target)
                client.quit()
                self.assert_package(target)
                self.assert_sessions(number)

    def test_lists_the_folder(self):
        self.serve_package()
        for mode, passive in self.MODES.items():
            with self.subTest(mode=mode):
                client = self.ftp(passive=passive)
                client.cwd(FOLDER)
                self.assertEqual(sorted(client.nlst()), sorted(self.sizes))
                lines = []
                client.dir(lines.append)
                listed = {}
                for line in lines:
                    fields = line.split(None, 8)
                    listed[fields[8]] = int(fields[4])
                    self.assertEqual(line.startswith("d"), fields[8] == "drivers", line)
                self.assertEqual(listed, self.sizes)
                for name, size in self.sizes.items():
                    if name != "drivers":
                        self.assertEqual(client.size(name), size)
                # STAT's listing is one reply, which ftplib reads to its last line.
                status = client.sendcmd("STAT").split("\n")
                self.assertEqual((status[0], status[-1]), ("211-Status follows:", "211 End"))
                self.assertEqual(sorted(line.split(None, 8)[8] for line in status[1:-1]),
                                 sorted(self.sizes))
                client.quit()

    def test_lists_facts_and_resumes(self):
        self.serve_package()
        folder = os.path.join(self.package_root, FOLDER)
        for mode, passive in self.MODES.items():
            with self.subTest(mode=mode):
                client = self.ftp(passive=passive)
                client.cwd(FOLDER)
                facts = dict(client.mlsd())
                self.assertEqual(sorted(facts), sorted(self.sizes))
                for name, fact in facts.items():
                    status = os.stat(os.path.join(folder, name))
                    self.assertEqual(fact["type"], "dir" if name == "drivers" else "file")
                    self.assertEqual(int(fact["size"]), self.sizes[name])
                    self.assertEqual(fact["modify"], time.strftime(
                        "%Y%m%d%H%M%S", time.gmtime(status.st_mtime)))
                chunks = []
                client.retrbinary("RETR part-300k.bin", chunks.append, rest=100000)
                with open(os.path.join(folder, "part-300k.bin"), "rb") as f:
                    self.assertEqual(b"".join(chunks), f.read()[100000:])
                client.quit()

    def test_missing_file_is_an_error_and_the_next_download_works(self):
        self.serve_package()
        for mode, passive in self.MODES.items():
            with self.subTest(mode=mode):
                client = self.ftp(passive=passive)
                client.cwd(FOLDER)
                with self.assertRaises(ftplib.error_perm) as caught:
                    client.retrbinary("RETR " + MISSING, lambda data: None)
                self.assertTrue(str(caught.exception).startswith("550"))
                chunks = []
                client.retrbinary("RETR readme.txt", chunks.append)
                self.assertEqual(hashlib.sha256(b"".join(chunks)).hexdigest(),
                                 self.expected["readme.txt"])
                client.quit()

    def test_uploads_and_changes_directories(self):
        self.serve_uploads()
        for number, (mode, passive) in enumerate(self.MODES.items(), 1):
            with self.subTest(mode=mode):
                client = self.ftp(passive=passive)
                name = "up%d.bin" % number
                path = self.write_local(name, self.upload_payload)
                with open(path, "rb") as f:
                    client.storbinary("STOR " + name, f)
                self.assertEqual(self.read_file(name), self.upload_payload)
                chunks = []
                client.retrbinary("RETR " + name, chunks.append)
                self.assertEqual(b"".join(chunks), self.upload_payload)
                client.mkd("made")
                client.rename("made", "renamed")
                self.assertIn("renamed", client.nlst())
                self.assertTrue(os.path.isdir(os.path.join(self.root, "renamed")))
                client.rmd("renamed")
                with self.assertRaises(ftplib.error_perm):
                    client.rmd("absent")
                self.assertEqual(sorted(client.nlst()),
                                 ["up%d.bin" % n for n in range(1, number + 1)])
                # REST n and STOR: the server keeps the first n bytes and takes the rest.
                client.storbinary("STOR %s" % name, io.BytesIO(b"rest"), rest=1000)
                self.assertEqual(self.read_file(name), self.upload_payload[:1000] + b"rest")
                client.quit()
