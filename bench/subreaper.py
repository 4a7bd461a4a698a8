"""bench/subreaper.py: runs a command as a child subreaper, so that the CPU time of every
process it forks is counted. Usage: subreaper.py COMMAND [ARGUMENT...]

vsftpd forks two processes per session. When a session's parent exits before its worker,
the worker is handed to init and its CPU time never reaches the listener's children times.
As a subreaper this process receives such orphans instead, reaps them, and so holds their
times in its own cutime and cstime. It ends when the command ends, passing on SIGTERM.
"""
import ctypes
import os
import signal
import sys

PR_SET_CHILD_SUBREAPER = 36


def main():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("prctl(PR_SET_CHILD_SUBREAPER) failed: %s" % os.strerror(ctypes.get_errno()))
    child = os.fork()
    if child == 0:
        os.execvp(sys.argv[1], sys.argv[1:])
    signal.signal(signal.SIGTERM, lambda *_: os.kill(child, signal.SIGTERM))
    status = 0
    while True:
        try:
            pid, wait_status = os.wait()
        except ChildProcessError:
            break
        except InterruptedError:
            continue
        if pid == child:
            status = os.waitstatus_to_exitcode(wait_status)
    sys.exit(status if status >= 0 else 1)


if __name__ == "__main__":
    main()
