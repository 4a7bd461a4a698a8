#!/usr/bin/env python3
"""tests/package/debian_package_test.py: makes the Debian package of a build tree with CPack,
installs it with dpkg, fetches a file from the installed program and purges the package.
Skipped (exit status 77) without root, or when a tarnloader package is installed already.

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

INSTALLED = ["/usr/bin/tarnLoader", "/usr/share/man/man1/tarnLoader.1",
             "/usr/share/doc/tarnloader/README.md", "/usr/share/doc/tarnloader/copyright"]


def run(*command, timeout=300):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=timeout, check=True).stdout.decode(errors="replace")


def reason_to_skip():
    if shutil.which("dpkg") is None or os.geteuid() != 0:
        return "installing a package needs dpkg and root"
    found = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "tarnloader"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
    return "a tarnloader package is installed; not ours to replace" if b"ok installed" in found \
        else None


def fetch_from_installed(work):
    root, console = os.path.join(work, "root"), os.path.join(work, "console")
    os.mkdir(root)
    content = os.urandom(100000)
    with open(os.path.join(root, "image.bin"), "wb") as f:
        f.write(content)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with open(console, "wb") as out:
        server = subprocess.Popen(["/usr/bin/tarnLoader", "-p", str(port), root],
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=out)
    try:
        deadline = time.monotonic() + 30
        while b"Waiting for the chassis" not in open(console, "rb").read():
            assert server.poll() is None and time.monotonic() < deadline, "did not start"
            time.sleep(0.1)
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", port, timeout=10)
        ftp.login()
        received = []
        ftp.retrbinary("RETR image.bin", received.append)
        ftp.quit()
        assert b"".join(received) == content, "the file came back changed"
    finally:
        server.terminate()
        server.wait(10)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="a configured and built tree")
    build = os.path.abspath(parser.parse_args().build)
    reason = reason_to_skip()
    if reason:
        print("skipped: " + reason)
        return 77
    work = tempfile.mkdtemp(prefix="tarnloader-package-")
    try:
        run("cpack", "-G", "DEB", "-B", work, "--config", os.path.join(build, "CPackConfig.cmake"))
        deb = [os.path.join(work, name) for name in os.listdir(work) if name.endswith(".deb")][0]
        try:
            run("dpkg", "-i", deb)
            missing = [path for path in INSTALLED if not os.path.isfile(path)]
            assert not missing, "not installed: %s" % missing
            assert run("/usr/bin/tarnLoader", "-version", timeout=10).startswith("tarnLoader, ")
            fetch_from_installed(work)
        finally:
            run("dpkg", "--purge", "tarnloader")
        left = [path for path in INSTALLED if os.path.exists(path)]
        assert not left, "left after removal: %s" % left
    finally:
        shutil.rmtree(work)
    print("installed %s, fetched a file with it, purged it" % os.path.basename(deb))
    return 0


if __name__ == "__main__":
    sys.exit(main())
