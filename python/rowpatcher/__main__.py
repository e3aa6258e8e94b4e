"""python -m rowpatcher FILE: writes the record lines of FILE, rewritten into
the variant column layout, to standard output; every other line is dropped.
The same bytes, messages and exit statuses as the rowpatcher program."""

import errno
import io
import os
import select
import signal
import stat
import sys

from . import copy_stream

MAX_FILENAME_LENGTH = 132
STANDARD_OUTPUT = 1


class _ReadFailed(Exception):
    pass


class _WriteFailed(Exception):
    pass


class _Input:
    """The input file's descriptor, read straight into the converter's block.
    A descriptor that another process set non-blocking is waited on."""

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self.file = io.FileIO(fd, "rb", closefd=False)

    def readinto(self, buffer: memoryview) -> int:
        while True:
            try:
                got = self.file.readinto(buffer)
            except OSError as error:
                raise _ReadFailed from error
            if got is not None:
                return got
            select.select([self.fd], [], [])


class _Output:
    """Standard output, written whole, waited on where it is non-blocking. A
    write that takes nothing is a failure, as it is to the program."""

    def write(self, data: memoryview) -> int:
        done = 0
        while done < len(data):
            try:
                wrote = os.write(STANDARD_OUTPUT, data[done:])
            except BlockingIOError:
                select.select([], [STANDARD_OUTPUT], [])
                continue
            except OSError as error:
                raise _WriteFailed from error
            if wrote == 0:
                raise _WriteFailed
            done += wrote
        return done


def _refuse(*pieces: bytes) -> int:
    """The one error channel: one line on standard error, then status 1."""
    try:
        os.write(2, b"".join(pieces))
    except OSError:
        pass  # nowhere left to report it
    return 1


def _identify(fd: int) -> os.stat_result | None:
    try:
        return os.fstat(fd)
    except OSError:
        return None  # closed, or the system cannot tell: another file


def _default_signals() -> None:
    """The signals the interpreter catches or ignores end the run as they end
    the program: a reader that goes away (SIGPIPE), the file-size limit
    (SIGXFSZ), Ctrl-C (SIGINT, with no traceback). An interrupt that the
    command was started ignoring stays ignored; SIGPIPE and SIGXFSZ, which
    the interpreter ignores whatever it was given, cannot be told apart."""
    for name in ("SIGPIPE", "SIGXFSZ", "SIGINT"):
        number = getattr(signal, name, None)
        if number is None:
            continue
        if name == "SIGINT" and signal.getsignal(number) is signal.SIG_IGN:
            continue  # started ignoring interrupts, as a background job is
        signal.signal(number, signal.SIG_DFL)


def main(words: list[str]) -> int:
    _default_signals()
    if len(words) != 1:
        return _refuse(b"Usage: rowpatcher <inputfile>\n")
    filename = os.fsencode(words[0])
    if len(filename) > MAX_FILENAME_LENGTH:
        return _refuse(b"rowpatcher: filename too long.  Abort.\n")
    # Standard output is looked at before the open, which could be handed its
    # descriptor.
    output = _identify(STANDARD_OUTPUT)
    try:
        fd = os.open(filename, os.O_RDONLY | getattr(os, "O_BINARY", 0))
    except OSError:
        return _refuse(b"rowpatcher: cannot open input file ", filename, b".  Abort.\n")
    identity = _identify(fd)
    if (
        output is not None
        and identity is not None
        and stat.S_ISREG(output.st_mode)
        and (output.st_dev, output.st_ino) == (identity.st_dev, identity.st_ino)
    ):
        return _refuse(b"rowpatcher: input file ", filename, b" is the output file.  Abort.\n")
    if identity is not None and stat.S_ISDIR(identity.st_mode):
        return _refuse(b"rowpatcher: error reading input file ", filename, b".  Abort.\n")

    try:
        copy_stream(_Input(fd), _Output())
    except _ReadFailed:
        return _refuse(b"rowpatcher: error reading input file ", filename, b".  Abort.\n")
    except _WriteFailed:
        return _refuse(b"rowpatcher: error writing output.  Abort.\n")
    os.close(fd)
    try:
        os.close(STANDARD_OUTPUT)  # some file systems report a failed write only here
    except OSError as error:
        if error.errno not in (errno.EBADF, errno.EINTR):
            return _refuse(b"rowpatcher: error writing output.  Abort.\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
