"""The Python package against the shared conversion cases, cut every way,
against the native program on the fuzz corpus, and against bad input.

Environment: ROWPATCHER_CASES (tests/cases.txt), ROWPATCHER_CORPUS
(fuzz/corpus), ROWPATCHER_NATIVE (the native program); the package on
PYTHONPATH."""

import array
import io
import mmap
import os
import random
import subprocess
import sys
import threading

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


class Source:
    """A source whose readinto() returns RESULT once."""

    def __init__(self, result):
        self.result = result

    def readinto(self, buffer):
        buffer[:4] = b"2024"
        return self.result


class Destination:
    """A destination whose write() returns WROTE(len) and may keep what it is given."""

    def __init__(self, wrote, keep=None):
        self.wrote, self.keep, self.kept = wrote, keep, []

    def write(self, data):
        if self.keep:
            self.kept.append(self.keep(data))
        return self.wrote(len(data))


many_records = EXAMPLE.input * 10


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: rowpatcher.convert("text"), TypeError, "bytes-like object .* not 'str'"),
        (lambda: rowpatcher.convert(7), TypeError, "not 'int'"),
        (lambda: rowpatcher.Converter().convert(["list"]), TypeError, "not 'list'"),
        (lambda: rowpatcher.copy_stream(io.BytesIO(), io.BytesIO(), read_size=0), ValueError, "read_size"),
        (lambda: rowpatcher.copy_stream(io.BytesIO(), io.BytesIO(), read_size=-1), ValueError, "read_size"),
        (lambda: rowpatcher.copy_stream(object(), io.BytesIO()), TypeError, "readinto\\(\\) or read\\(\\)"),
        (lambda: rowpatcher.copy_stream(io.BytesIO(), object()), TypeError, "needs write\\(\\)"),
        (lambda: rowpatcher.copy_stream(Source(None), io.BytesIO()), TypeError, "returned 'NoneType'"),
        (lambda: rowpatcher.copy_stream(Source("4"), io.BytesIO()), TypeError, "returned 'str'"),
        (lambda: rowpatcher.copy_stream(Source(1 << 40), io.BytesIO()), ValueError, "returned 1099511627776"),
        (lambda: rowpatcher.copy_stream(io.StringIO("2024"), io.BytesIO()), TypeError, "binary mode"),
        (lambda: rowpatcher.copy_stream(io.BytesIO(many_records), Destination(lambda n: n - 1)), OSError, "wrote"),
        (lambda: rowpatcher.copy_stream(io.BytesIO(many_records), Destination(str)), TypeError, "returned 'str'"),
        (lambda: rowpatcher.copy_stream(io.BytesIO(many_records), Destination(len, lambda d: d[1:])), BufferError, "kept"),
        (lambda: rowpatcher.copy_stream(io.BytesIO(many_records), Destination(len, memoryview)), BufferError, "kept"),
    ],
)
def test_bad_input_is_refused_clearly(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_a_failed_copy_says_what_was_read_and_written_before_it():
    sizes = []

    def wrote(size):
        sizes.append(size)
        return size if len(sizes) < 3 else size - 1

    with pytest.raises(OSError, match="wrote") as raised:
        rowpatcher.copy_stream(io.BytesIO(many_records), Destination(wrote), read_size=100)
    assert raised.value.bytes_written == sum(sizes[:2])
    assert 0 < raised.value.bytes_read < len(many_records)


def test_a_view_kept_by_the_destination_keeps_its_bytes():
    destination = Destination(len, lambda data: data[:])
    with pytest.raises(BufferError):
        rowpatcher.copy_stream(io.BytesIO(many_records), destination)
    assert bytes(destination.kept[0]) == rowpatcher.convert(many_records)


def test_a_flushed_converter_takes_no_more():
    converter = rowpatcher.Converter()
    assert converter.convert(EXAMPLE.input[:100]) + converter.flush() == rowpatcher.convert(EXAMPLE.input[:100])
    with pytest.raises(ValueError, match="after flush"):
        converter.convert(b"more")
