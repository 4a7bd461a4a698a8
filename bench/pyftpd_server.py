"""bench/pyftpd_server.py: pyftpdlib as the benchmark runs it: anonymous, on 127.0.0.1 only.

Usage: pyftpd_server.py PORT ROOT [--write]. Read-only unless --write. Logging is kept to
warnings, as vsftpd runs without its transfer log, so neither anchor pays for a log line per
transfer that tarnLoader does not write.
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

# The idle-session measurement holds 1,000 sessions; the stock limit of 512 would refuse half.
MAX_CONNECTIONS = 4000


def main():
    port = int(sys.argv[1])
    root = sys.argv[2]
    write = "--write" in sys.argv[3:]
    logging.basicConfig(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(root, perm="elrw" if write else "elr")
    handler = FTPHandler
    handler.authorizer = authorizer
    server = FTPServer(("127.0.0.1", port), handler)
    server.max_cons = MAX_CONNECTIONS
    server.max_cons_per_ip = 0
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
