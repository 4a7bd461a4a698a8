#!/usr/bin/env python3
"""tests/package/debian_package_test.py: makes the Debian package of a build tree with CPack,
installs it with dpkg, serves a file with the installed program, fetches it and removes the
package again. Installing needs root: without it, or with a tarnloader package already
installed (not ours to replace), the test is skipped (exit status 77).

Usage: debian_package_test.py --build BUILD_DIR
"""
import argparse
import ftplib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
PACKAGE = "tarnloader"
INSTALLED = ["/usr/bin/tarnLoader", "/usr/share/man/man1/tarnLoader.1",
             "/usr/share/doc/tarnloader/README.md"]
TIMEOUT = 10.0
READY_LINE = b"Waiting for the chassis to connect..."


def run(*command, timeout=300):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=timeout, check=True).stdout.decode(errors="replace")


def reason_to_skip():
    if shutil.which("dpkg") is None:
        return "no dpkg on this system"
    if os.geteuid() != 0:
        return "installing a package needs root"
    found = subprocess.run(["dpkg-query", "-W", "-f=${Status}", PACKAGE],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    if b"ok installed" in found.stdout:
        return "a %s package is installed already; it is not ours to replace" % PACKAGE
    return None


def make_package(build, work):
    run("cpack", "-G", "DEB", "-B", work, "--config", os.path.join(build, "CPackConfig.cmake"))
    debs = [name for name in os.listdir(work) if name.endswith(".deb")]
    assert len(debs) == 1, debs
    return os.path.join(work, debs[0])


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fetch_from_installed(work):
    """Serves a file with /usr/bin/tarnLoader and fetches it with ftplib."""
    root = os.path.join(work, "root")
    os.mkdir(root)
    content = os.urandom(100000)
    with open(os.path.join(root, "image.bin"), "wb") as f:
        f.write(content)
    port = free_port()
    console_path = os.path.join(work, "console")

    def console_text():
        with open(console_path, "rb") as f:
            return f.read()

    with open(console_path, "wb") as console:
        server = subprocess.Popen(["/usr/bin/tarnLoader", "-p", str(port), root],
                                  stdin=subprocess.DEVNULL, stdout=console, stderr=console)
    try:
        deadline = time.monotonic() + 30
        while READY_LINE not in console_text():
            assert server.poll() is None and time.monotonic() < deadline, console_text()
            time.sleep(0.1)
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", port, timeout=TIMEOUT)
        ftp.login()
        received = []
        ftp.retrbinary("RETR image.bin", received.append)
        ftp.quit()
        assert b"".join(received) == content, "the file came back changed"
    finally:
        server.terminate()
        server.wait(TIMEOUT)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="a configured and built tree")
    options = parser.parse_args()
    reason = reason_to_skip()
    if reason:
        print("skipped: " + reason)
        return SKIPPED
    work = tempfile.mkdtemp(prefix="tarnloader-package-")
    try:
        deb = make_package(os.path.abspath(options.build), work)
        try:
            run("dpkg", "-i", deb)
            missing = [path for path in INSTALLED if not os.path.isfile(path)]
            assert not missing, "not installed: %s" % missing
            version = run("/usr/bin/tarnLoader", "-version", timeout=TIMEOUT)
            assert version.startswith("tarnLoader, "), version
            fetch_from_installed(work)
        finally:
            run("dpkg", "--purge", PACKAGE)
        left = [path for path in INSTALLED if os.path.exists(path)]
        assert not left, "left after removal: %s" % left
    finally:
        shutil.rmtree(work)
    print("installed %s, fetched a file with it, removed it" % os.path.basename(deb))
    return 0


if __name__ == "__main__":
    sys.exit(main())
