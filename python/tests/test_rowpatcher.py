"""The Python package against the shared conversion cases, cut every way,
against the native program on the fuzz corpus, and against bad input.

Environment: ROWPATCHER_CASES (tests/cases.txt), ROWPATCHER_CORPUS
(fuzz/corpus), ROWPATCHER_NATIVE (the native program); the package on
PYTHONPATH."""

import array
import errno
import io
import mmap
import os
import random
import signal
import subprocess
import sys
import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import rowpatcher

sys.path.insert(0, os.path.dirname(os.environ["ROWPATCHER_CASES"]))
from cases import read_cases  # noqa: E402

CASES = read_cases(os.environ["ROWPATCHER_CASES"])
EXAMPLE = next(case for case in CASES if case.what == "records among headings")


def line_count(data: bytes) -> int:
    return data.count(b"\n") + (1 if data and not data.endswith(b"\n") else 0)


def cut(data: bytes, points: list[int]) -> list[bytes]:
    bounds = [0, *sorted(point % (len(data) + 1) for point in points), len(data)]
    return [data[start:end] for start, end in zip(bounds, bounds[1:])]


def converted_in_pieces(pieces: list[bytes]) -> tuple[bytes, int, int]:
    converter = rowpatcher.Converter()
    output = b"".join(converter.convert(piece) for piece in pieces) + converter.flush()
    return output, converter.lines, converter.records


class ReadOnly:
    """A source with read() and no readinto()."""

    def __init__(self, data: bytes) -> None:
        self.file = io.BytesIO(data)

    def read(self, size: int) -> bytes:
        return self.file.read(size)


@pytest.mark.parametrize("case", CASES, ids=[f"{case.kind} {case.what}" for case in CASES])
def test_each_case_whole_in_chunks_and_streamed(case):
    assert rowpatcher.convert(case.input) == case.output
    rng = random.Random(case.what)
    for _ in range(3):
        points = [rng.randrange(len(case.input) + 1) for _ in range(rng.randrange(1, 8))]
        assert converted_in_pieces(cut(case.input, points)) == (
            case.output,
            line_count(case.input),
            line_count(case.output),
        )
    for read_size in (1, 7, 64, 4096):
        for source in (io.BytesIO(case.input), ReadOnly(case.input)):
            destination = io.BytesIO()
            counts = rowpatcher.copy_stream(source, destination, read_size=read_size)
            assert (destination.getvalue(), counts) == (case.output, (len(case.input), len(case.output)))


def test_any_bytes_like_object_and_inputs_larger_than_a_block(tmp_path):
    times = 600 * 1024 // len(EXAMPLE.input) + 1  # over one 512 KiB block
    data, expected = EXAMPLE.input * times, EXAMPLE.output * times
    path = tmp_path / "catalogue.txt"
    path.write_bytes(data)
    with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        for kind in (bytes, bytearray, memoryview, lambda d: array.array("B", d), lambda d: mapped):
            assert rowpatcher.convert(kind(data)) == expected
            assert rowpatcher.Converter().convert(kind(data)) == expected
    with open(path, "rb", buffering=0) as source, open(tmp_path / "out", "wb", buffering=0) as destination:
        assert rowpatcher.copy_stream(source, destination) == (len(data), len(expected))
    assert (tmp_path / "out").read_bytes() == expected


record = st.sampled_from([case.input for case in CASES if case.output])
noise = st.binary(max_size=80) | st.sampled_from([b"\n", b"2024/03/15", b" " * 60 + b"\n"])


@settings(derandomize=True, max_examples=300, deadline=None)
@given(st.lists(record | noise, max_size=30), st.lists(st.integers(min_value=0), max_size=12))
def test_any_cutting_gives_the_whole_conversion(parts, points):
    data = b"".join(parts)
    expected = rowpatcher.convert(data)
    assert converted_in_pieces(cut(data, points)) == (expected, line_count(data), line_count(expected))


def test_the_fuzz_corpus_streams_as_the_native_program_converts():
    corpus = os.environ["ROWPATCHER_CORPUS"]
    names = sorted(os.listdir(corpus))
    assert len(names) > 100
    # Under the sanitizers their runtime is preloaded for Python; the program has its own.
    environment = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    for name in names:
        file = os.path.join(corpus, name)
        native = subprocess.run(
            [os.environ["ROWPATCHER_NATIVE"], file], capture_output=True, check=True, env=environment
        ).stdout
        with open(file, "rb") as source:
            destination = io.BytesIO()
            rowpatcher.copy_stream(source, destination, read_size=1 + len(name) * 7)
        assert destination.getvalue() == native, name


def test_one_converter_shared_by_threads_converts_whole_lines_whole():
    lines = [line + b"\n" for line in EXAMPLE.input.split(b"\n")[:-1]] * 40
    chunk = b"".join(lines) * 20  # over a few KiB: each call lets the GIL go
    converter = rowpatcher.Converter()
    outputs = []

    def work():
        for _ in range(20):
            outputs.append(converter.convert(chunk))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert outputs == [rowpatcher.convert(chunk)] * 80
    assert converter.lines == 80 * line_count(chunk)


def test_a_buffer_written_while_it_is_converted_gives_a_conversion_or_buffer_error():
    """Another thread turns the records of a bytearray into other lines and
    back while convert() reads it without the GIL. Each result is the
    conversion of the lines as they were read (here all alike), or
    BufferError; never a write outside the result (a heap overflow under
    AddressSanitizer) or SystemError."""
    line = next(line for line in EXAMPLE.input.splitlines(keepends=True) if rowpatcher.convert(line))
    converted = rowpatcher.convert(line)
    records = line * ((2 << 20) // len(line))
    others = records.replace(line, line[:4] + b"-" + line[5:7] + b"-" + line[8:])
    data = bytearray(records)
    stop = threading.Event()

    def flip():
        while not stop.is_set():
            data[:] = others
            data[:] = records

    changed = 0
    flipper = threading.Thread(target=flip)
    flipper.start()
    try:
        deadline = time.monotonic() + 60
        while changed < 3 and time.monotonic() < deadline:
            try:
                result = rowpatcher.convert(data)
            except BufferError as error:
                assert "changed while it was converted" in str(error)
                changed += 1
                continue
            assert result == converted * (len(result) // len(converted))
    finally:
        stop.set()
        flipper.join()
    assert changed == 3, "the other thread never changed the buffer between the two passes"


class IntLike:
    """An integer only through __index__, as io accepts one."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


def kept_slice(view):
    """What a partial-write loop leaves behind: a slice of the view."""
    return view[1:]


class Source:
    """readinto() gives DATA acting out STEPS, one a call, the last repeating,
    and counts what it gave: an int gives that many bytes at most, "keep" as
    many as fit and keeps a slice of the view, "none" returns None, a
    callable returns what it makes of the count it would give (an IntLike,
    say), and an exception class is raised. At the end of DATA, 0."""

    def __init__(self, data: bytes, *steps) -> None:
        self.data, self.steps, self.calls, self.given, self.kept = data, steps or (1 << 30,), 0, 0, []

    def readinto(self, view):
        step = self.steps[min(self.calls, len(self.steps) - 1)]
        self.calls += 1
        if step == "none":
            return None
        if isinstance(step, type) and issubclass(step, BaseException):
            raise step("the source failed")
        size = min(len(view), len(self.data) - self.given, step if isinstance(step, int) else len(view))
        view[:size] = self.data[self.given : self.given + size]
        self.given += size
        if step == "keep":
            self.kept.append(kept_slice(view))
        return step(size) if callable(step) else size


class ReadOnly:
    """A source with read() and no readinto(), which returns what READ makes
    of the bytes it would give."""

    def __init__(self, data: bytes, read=lambda data: data) -> None:
        self.file, self.given, self.transform = io.BytesIO(data), 0, read

    def read(self, size: int):
        data = self.file.read(size)
        self.given += len(data)
        return self.transform(data)


class Destination:
    """write() acts out STEPS, one a call, the last repeating, and keeps what
    it took: an int takes that many bytes at most, "keep" takes all and keeps
    a slice, "view" takes all and keeps a view of its own, "itself" takes all
    and keeps the memoryview it was given, "none" returns
    None (having taken all, unless it is a raw file), a callable takes all and returns what it makes of the
    length, and an exception class is raised with a slice of the view left in
    the frame, as a partial-write loop leaves one (BlockingIOError says that
    it took half)."""

    def __init__(self, *steps) -> None:
        self.steps, self.calls, self.out, self.kept = steps or (1 << 30,), 0, bytearray(), []

    @property
    def taken(self) -> int:
        return len(self.out)

    def write(self, data):
        step = self.steps[min(self.calls, len(self.steps) - 1)]
        self.calls += 1
        if step == "none":
            if not isinstance(self, io.RawIOBase):  # from a raw file, None is nothing taken
                self.out += data
            return None
        if isinstance(step, type) and issubclass(step, BaseException):
            rest = kept_slice(data)  # noqa: F841 (left in the traceback)
            if step is BlockingIOError:
                self.out += data[: len(data) // 2]
                raise BlockingIOError(errno.EAGAIN, "the destination is full", len(data) // 2)
            raise step("the destination failed")
        if callable(step):
            self.out += data
            return step(len(data))
        size = len(data) if step in ("keep", "view", "itself") else min(step, len(data))
        self.out += data[:size]
        if step == "keep":
            self.kept.append(kept_slice(data))
        elif step == "view":
            self.kept.append(memoryview(data))
        elif step == "itself":
            self.kept.append(data)
        return size


class RawDestination(Destination, io.RawIOBase):
    """A Destination that is a raw file: None from it means it would block."""

    def writable(self) -> bool:
        return True


class Lookup:
    """A BytesIO over DATA whose attributes named in ERRORS raise the error
    given for each when looked up."""

    def __init__(self, errors: dict, data: bytes = b"") -> None:
        self.errors, self.file = errors, io.BytesIO(data)

    def __getattr__(self, name: str):
        if name in self.errors:
            raise self.errors[name](name)
        return getattr(self.file, name)


class Blocked(BlockingIOError):
    """A BlockingIOError whose characters_written is interrupted when read."""

    @property
    def characters_written(self):
        raise KeyboardInterrupt("characters_written")


class Overcounted(BlockingIOError):
    """A BlockingIOError that says it took more than any index holds."""

    characters_written = property(lambda self: 1 << 70)


class Unsettable(OSError):
    """An exception that is interrupted when an attribute is set on it."""

    def __setattr__(self, name, value):
        raise KeyboardInterrupt(name)


class Raises:
    """A destination whose write() raises ERROR."""

    def __init__(self, error: BaseException) -> None:
        self.error = error

    def write(self, data):
        raise self.error


many_records = EXAMPLE.input * 10
converted_records = rowpatcher.convert(many_records)
plenty = EXAMPLE.input * 200  # many blocks of 8 KiB
converted_plenty = rowpatcher.convert(plenty)


class KeepsTheLoan:
    """A destination that keeps the object behind each view it is given."""

    def __init__(self) -> None:
        self.kept = []

    def write(self, data):
        self.kept.append(data.obj)
        return len(data)


def loan_kept_by_a_destination():
    destination = KeepsTheLoan()
    rowpatcher.copy_stream(io.BytesIO(many_records), destination)
    return destination.kept[0]


# Calls that must fail, with the exception and the message they must give.
BAD_INPUT = [
    ("a str", lambda: rowpatcher.convert("text"), TypeError, "bytes-like object .* not 'str'"),
    ("an int", lambda: rowpatcher.convert(7), TypeError, "not 'int'"),
    ("a list", lambda: rowpatcher.Converter().convert(["list"]), TypeError, "not 'list'"),
    ("read_size 0", lambda: rowpatcher.copy_stream(io.BytesIO(), io.BytesIO(), read_size=0), ValueError, "read_size"),
    ("read_size -1", lambda: rowpatcher.copy_stream(io.BytesIO(), io.BytesIO(), read_size=-1), ValueError, "read_size"),
    ("no read", lambda: rowpatcher.copy_stream(object(), io.BytesIO()), TypeError, r"readinto\(\) or read\(\)"),
    ("no write", lambda: rowpatcher.copy_stream(io.BytesIO(), object()), TypeError, r"needs write\(\)"),
    ("readinto returns str", lambda: rowpatcher.copy_stream(Source(EXAMPLE.input, str), io.BytesIO()),
        TypeError, "returned 'str'"),
    ("readinto returns float", lambda: rowpatcher.copy_stream(Source(EXAMPLE.input, float), io.BytesIO()),
        TypeError, "returned 'float'"),
    ("readinto returns too many", lambda: rowpatcher.copy_stream(Source(EXAMPLE.input, lambda n: 1 << 40),
        io.BytesIO()), ValueError, "returned 1099511627776 for a buffer of"),
    ("readinto returns more than an index holds", lambda: rowpatcher.copy_stream(
        Source(EXAMPLE.input, lambda n: 1 << 70), io.BytesIO()), ValueError, f"returned {1 << 70} for"),
    ("readinto returns -1", lambda: rowpatcher.copy_stream(Source(EXAMPLE.input, lambda n: -1), io.BytesIO()),
        ValueError, "returned -1 for"),
    ("readinto returns None", lambda: rowpatcher.copy_stream(Source(EXAMPLE.input, "none"), io.BytesIO()),
        BlockingIOError, "non-blocking source"),
    ("readinto raises", lambda: rowpatcher.copy_stream(Source(EXAMPLE.input, 100, ConnectionResetError),
        io.BytesIO()), ConnectionResetError, "the source failed"),
    ("read returns None", lambda: rowpatcher.copy_stream(ReadOnly(EXAMPLE.input, lambda data: None),
        io.BytesIO()), BlockingIOError, "non-blocking source"),
    ("read returns str", lambda: rowpatcher.copy_stream(io.StringIO("2024"), io.BytesIO()), TypeError,
        "binary mode"),
    ("read returns too many", lambda: rowpatcher.copy_stream(ReadOnly(EXAMPLE.input, lambda data: bytes(524289)),
        io.BytesIO()), ValueError, r"read\(524288\) returned 524289 bytes"),
    ("the readinto1 lookup is interrupted", lambda: rowpatcher.copy_stream(
        Lookup({"readinto1": KeyboardInterrupt}), io.BytesIO()), KeyboardInterrupt, "readinto1"),
    ("the readinto lookup fails", lambda: rowpatcher.copy_stream(
        Lookup({"readinto1": AttributeError, "readinto": MemoryError}), io.BytesIO()), MemoryError, "readinto"),
    ("the read lookup fails", lambda: rowpatcher.copy_stream(
        Lookup({"readinto1": AttributeError, "readinto": AttributeError, "read": MemoryError}), io.BytesIO()),
        MemoryError, "read"),
    ("the write lookup fails", lambda: rowpatcher.copy_stream(io.BytesIO(), Lookup({"write": MemoryError})),
        MemoryError, "write"),
    ("read_size past any index", lambda: rowpatcher.copy_stream(io.BytesIO(), io.BytesIO(), read_size=1 << 63),
        ValueError, f"read_size must be from 1 to .* not {1 << 63}"),
    ("read_size not an integer", lambda: rowpatcher.copy_stream(io.BytesIO(), io.BytesIO(), read_size=4.0),
        TypeError, "'float' object cannot be interpreted as an integer"),
    ("an interrupt while a BlockingIOError is read", lambda: rowpatcher.copy_stream(io.BytesIO(many_records),
        Raises(Blocked(errno.EAGAIN, "full"))), KeyboardInterrupt, "characters_written"),
    ("a BlockingIOError that says it took more than an index holds", lambda: rowpatcher.copy_stream(
        io.BytesIO(many_records), Raises(Overcounted(errno.EAGAIN, "full"))), BlockingIOError, "full"),
    ("an interrupt while the counts are set", lambda: rowpatcher.copy_stream(io.BytesIO(many_records),
        Raises(Unsettable("failed"))), KeyboardInterrupt, "bytes_read"),
    ("write returns str", lambda: rowpatcher.copy_stream(io.BytesIO(many_records), Destination(str)),
        TypeError, "returned 'str'"),
    ("write returns too many", lambda: rowpatcher.copy_stream(io.BytesIO(many_records),
        Destination(lambda n: n + 1)), ValueError, "returned .* for a buffer of"),
    ("write returns -1", lambda: rowpatcher.copy_stream(io.BytesIO(many_records), Destination(lambda n: -1)),
        ValueError, "returned -1 for"),
    ("write takes nothing", lambda: rowpatcher.copy_stream(io.BytesIO(many_records), Destination(0)),
        OSError, "wrote nothing of"),
    ("write takes less, then nothing", lambda: rowpatcher.copy_stream(io.BytesIO(many_records),
        Destination(1000, 0)), OSError, "wrote nothing of"),
    ("a raw write returns None", lambda: rowpatcher.copy_stream(io.BytesIO(many_records), RawDestination("none")),
        BlockingIOError, "non-blocking destination"),
    ("write keeps a slice", lambda: rowpatcher.copy_stream(io.BytesIO(many_records), Destination("keep")),
        BufferError, "kept a view"),
    ("write keeps the view", lambda: rowpatcher.copy_stream(io.BytesIO(many_records), Destination("view")),
        BufferError, "kept a view"),
    ("readinto keeps a slice", lambda: rowpatcher.copy_stream(Source(many_records, "keep"), io.BytesIO()),
        BufferError, "kept a view"),
    ("write raises with a slice in its traceback", lambda: rowpatcher.copy_stream(io.BytesIO(many_records),
        Destination(ConnectionResetError)), ConnectionResetError, "the destination failed"),
    ("a loan viewed after its call", lambda: memoryview(loan_kept_by_a_destination()), BufferError,
        "valid only during that call"),
    ("a loan made from Python", lambda: type(loan_kept_by_a_destination())(), TypeError, "cannot create"),
]


# Rows whose exception is not copy_stream's, so carries no counts, and rows
# whose exception was raised while another was: that one is its context.
NOT_A_COPY = {"a str", "an int", "a list", "a loan viewed after its call", "a loan made from Python",
    "an interrupt while the counts are set"}
CHAINED = {"an interrupt while a BlockingIOError is read", "an interrupt while the counts are set"}


@pytest.mark.parametrize("name, call, error, message", BAD_INPUT, ids=[row[0] for row in BAD_INPUT])
def test_bad_input_is_refused_clearly(name, call, error, message):
    with pytest.raises(error, match=message) as raised:
        call()
    if name not in NOT_A_COPY:  # before any byte moved too (an argument, a lookup)
        assert (raised.value.bytes_read, raised.value.bytes_written) >= (0, 0)
    assert (raised.value.__context__ is not None) == (name in CHAINED)


# Copies that fail part way: (source, destination, the exception). The
# counts it carries are exactly what the source gave and the destination
# took, and the destination holds the start of the conversion.
FAILED_COPIES = [
    ("short writes, then a failure", lambda: Source(plenty, 5000),
        lambda: Destination(3000, 3000, 7, 3000, ConnectionResetError), ConnectionResetError),
    ("a write that takes all and keeps a view", lambda: Source(plenty, 5000),
        lambda: Destination(1 << 30, 1 << 30, "keep"), BufferError),
    ("a readinto that keeps a view", lambda: Source(plenty, 5000, 5000, "keep"), lambda: Destination(),
        BufferError),
    ("a write that would block after taking half", lambda: Source(plenty, 5000),
        lambda: Destination(1 << 30, BlockingIOError), BlockingIOError),
    ("a raw write that would block", lambda: Source(plenty, 5000),
        lambda: RawDestination(1 << 30, 10, "none"), BlockingIOError),
    ("a readinto that would block", lambda: Source(plenty, 5000, 5000, "none"), lambda: Destination(),
        BlockingIOError),
    ("a readinto that fails", lambda: Source(plenty, 5000, 5000, OSError), lambda: Destination(7), OSError),
    ("a write that takes nothing", lambda: Source(plenty), lambda: Destination(100, 0), OSError),
]


@pytest.mark.parametrize("source, destination, error", [row[1:] for row in FAILED_COPIES],
    ids=[row[0] for row in FAILED_COPIES])
def test_a_failed_copy_counts_what_was_read_and_written(source, destination, error):
    source, destination = source(), destination()
    with pytest.raises(error) as raised:
        rowpatcher.copy_stream(source, destination, read_size=8192)
    assert (raised.value.bytes_read, raised.value.bytes_written) == (source.given, destination.taken)
    assert 0 < destination.taken < len(converted_plenty)
    assert destination.out == converted_plenty[: destination.taken]


# Copies whose callees return what io accepts, if oddly: each converts whole.
ODD_BUT_VALID = [
    ("readinto returns an __index__", lambda: Source(many_records, lambda n: IntLike(n)), lambda: Destination()),
    ("readinto gives a byte at a time", lambda: Source(EXAMPLE.input, 1), lambda: Destination()),
    ("readinto1 and readinto missing", lambda: Lookup({"readinto1": AttributeError, "readinto": AttributeError},
        many_records), lambda: Destination()),
    ("write returns an __index__", lambda: Source(many_records), lambda: Destination(IntLike)),
    ("writes take 100 bytes at a time", lambda: Source(many_records), lambda: RawDestination(100)),
    ("write returns None, not raw", lambda: Source(many_records), lambda: Destination("none")),
    ("write keeps the memoryview it was given, which the copy releases", lambda: Source(many_records),
        lambda: Destination("itself")),
]


@pytest.mark.parametrize("source, destination", [row[1:] for row in ODD_BUT_VALID],
    ids=[row[0] for row in ODD_BUT_VALID])
def test_what_io_accepts_is_accepted(source, destination):
    source, destination = source(), destination()
    data = source.data if isinstance(source, Source) else many_records
    counts = rowpatcher.copy_stream(source, destination, read_size=4096)
    assert bytes(destination.out) == rowpatcher.convert(data)
    assert counts == (len(data), len(rowpatcher.convert(data)))


def test_a_signal_ends_a_copy_between_c_files_with_its_counts():
    """No Python code runs between two C-implemented files: the copy itself
    lets a signal's handler run, once a block."""

    class Stopped(Exception):
        pass

    def stop(signum, frame):
        raise Stopped

    data = EXAMPLE.input * ((64 << 20) // len(EXAMPLE.input))
    destination = io.BytesIO()
    previous = signal.signal(signal.SIGALRM, stop)
    try:
        with pytest.raises(Stopped) as raised:
            signal.setitimer(signal.ITIMER_REAL, 0.005)
            rowpatcher.copy_stream(io.BytesIO(data), destination)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert 0 < raised.value.bytes_read < len(data)
    assert raised.value.bytes_written == len(destination.getvalue())


def test_a_signal_while_a_buffered_pipe_waits_loses_nothing_read():
    """A buffered file's readinto() would keep reading a pipe to fill the
    block, and an exception raised while it waits (a signal's handler) would
    lose what it had read: the copy reads with readinto1(), once a call."""

    class Stopped(Exception):
        pass

    def stop(signum, frame):
        raise Stopped

    given = EXAMPLE.input[:750]
    reading, writing = os.pipe()
    os.write(writing, given)
    previous = signal.signal(signal.SIGALRM, stop)
    destination = io.BytesIO()
    try:
        with open(reading, "rb") as source, pytest.raises(Stopped) as raised:
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            rowpatcher.copy_stream(source, destination)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        os.close(writing)
    assert raised.value.bytes_read == len(given)
    assert destination.getvalue() == rowpatcher.convert(given[: given.rindex(b"\n") + 1])


def test_a_source_that_says_it_gave_more_than_it_wrote_shows_no_earlier_memory():
    secret = EXAMPLE.input.replace(b"Fiji", b"SECR")
    for _ in range(3):
        rowpatcher.copy_stream(io.BytesIO(secret * 50), io.BytesIO(), read_size=65536)

    class Liar:
        calls = 0

        def readinto(self, view):
            Liar.calls += 1
            return len(view) if Liar.calls == 1 else 0

    destination = io.BytesIO()
    assert rowpatcher.copy_stream(Liar(), destination, read_size=65536)[0] == 65536
    assert destination.getvalue() == b""


# Run in an interpreter of their own, under a limit on its address space:
# what must hold when memory runs out.
OUT_OF_MEMORY = {
    "a Converter that cannot have its memory is refused, and leaves nothing behind": """
blocks = sys.getallocatedblocks()
limit(512 * 1024)
refused = 0
for _ in range(200):
    try:
        rowpatcher.Converter()
    except MemoryError:
        refused += 1
limit(None)
assert refused == 200, refused
assert sys.getallocatedblocks() - blocks < 50, sys.getallocatedblocks() - blocks
""",
    "a Converter that lost a chunk's output takes no more": """
chunk = sys.stdin.buffer.read() * 2000
converter = rowpatcher.Converter()
limit(len(chunk) * 3 // 2)  # room to collect the output, none for the result made of it
try:
    converter.convert(chunk)
except MemoryError:
    pass
else:
    sys.exit("no MemoryError")
limit(None)
for call in (lambda: converter.convert(b"more"), converter.flush):
    try:
        call()
    except ValueError as error:
        assert "an earlier convert() failed after it had taken its chunk" in str(error), error
    else:
        sys.exit("taken")
""",
}


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizers need the address space")
@pytest.mark.parametrize("script", OUT_OF_MEMORY.values(), ids=OUT_OF_MEMORY.keys())
def test_when_memory_runs_out(script):
    prelude = """
import resource, rowpatcher, sys
def limit(room):  # ROOM bytes more address space than the interpreter uses, or any
    soft = resource.RLIM_INFINITY
    if room is not None:
        soft = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize() + room
    resource.setrlimit(resource.RLIMIT_AS, (soft, resource.RLIM_INFINITY))
"""
    subprocess.run([sys.executable, "-c", prelude + script], input=EXAMPLE.input * 20, check=True)


def test_a_view_kept_by_the_destination_keeps_its_bytes():
    destination = Destination("keep")
    with pytest.raises(BufferError):
        rowpatcher.copy_stream(io.BytesIO(many_records), destination)
    assert bytes(destination.kept[0]) == converted_records[1:]


def test_a_flushed_converter_takes_no_more():
    converter = rowpatcher.Converter()
    assert converter.convert(EXAMPLE.input[:100]) + converter.flush() == rowpatcher.convert(EXAMPLE.input[:100])
    with pytest.raises(ValueError, match="after flush"):
        converter.convert(b"more")
