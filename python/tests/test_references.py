"""Every path through the module, success and each failure, run in rounds
as CPython's own refleak runs count them: a leak is a count that grows in
every measured round. Under a debug interpreter (sys.gettotalrefcount) the
references themselves are counted; under any interpreter, the memory blocks
that Python's allocator holds and the bytes that tracemalloc sees, the
module's streams among them.

The module must be built against the headers of the interpreter that runs
this: built against a release interpreter's, the module's own increments and
decrements are not counted by a debug one."""

import gc
import io
import sys
import tracemalloc

import pytest

import rowpatcher
from test_rowpatcher import (
    BAD_INPUT,
    EXAMPLE,
    FAILED_COPIES,
    ODD_BUT_VALID,
    Destination,
    ReadOnly,
    Source,
    many_records,
)

WARM_UP_ROUNDS = 3
MEASURED_ROUNDS = 5
CALLS_PER_ROUND = 6


def swallowing(call, error):
    def run():
        try:
            call()
        except error:
            pass

    return run


def converted_in_pieces():
    converter = rowpatcher.Converter()
    # A chunk of one block, and one of many (over 512 KiB).
    for piece in (EXAMPLE.input[:70], EXAMPLE.input[70:], many_records * 200):
        converter.convert(piece)
    assert converter.lines > 0 and converter.records > 0
    converter.flush()
    with pytest.raises(ValueError):
        converter.convert(b"after the end")
    with pytest.raises(ValueError):
        converter.flush()


PATHS = [
    ("convert bytes", lambda: rowpatcher.convert(many_records)),
    ("convert a bytearray of no records", lambda: rowpatcher.convert(bytearray(b"heading\n" * 2000))),
    ("convert nothing", lambda: rowpatcher.convert(b"")),
    ("a Converter in pieces, flushed", converted_in_pieces),
    ("copy_stream between BytesIO", lambda: rowpatcher.copy_stream(io.BytesIO(many_records), io.BytesIO())),
    ("copy_stream from read()", lambda: rowpatcher.copy_stream(ReadOnly(many_records), Destination(), read_size=999)),
    ("copy_stream with short writes", lambda: rowpatcher.copy_stream(Source(many_records, 700), Destination(300))),
    *((f"refused: {name}", swallowing(call, error)) for name, call, error, _ in BAD_INPUT),
    *(
        (f"failed copy: {name}", swallowing(lambda s=source, d=destination: rowpatcher.copy_stream(s(), d(), read_size=8192), error))
        for name, source, destination, error in FAILED_COPIES
    ),
    *(
        (f"odd but valid: {name}", lambda s=source, d=destination: rowpatcher.copy_stream(s(), d(), read_size=4096))
        for name, source, destination in ODD_BUT_VALID
    ),
]


def counts() -> tuple[int, int, int]:
    gc.collect()
    references = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return references, sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]


def growth(run) -> list[tuple[int, int, int]]:
    """How much each count grew in each measured round of CALLS_PER_ROUND runs."""
    deltas = []
    for round_ in range(WARM_UP_ROUNDS + MEASURED_ROUNDS):
        before = counts()
        for _ in range(CALLS_PER_ROUND):
            run()
        after = counts()
        if round_ >= WARM_UP_ROUNDS:
            deltas.append(tuple(a - b for a, b in zip(after, before)))
    return deltas


@pytest.fixture(scope="module", autouse=True)
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.mark.parametrize("run", [path for _, path in PATHS], ids=[name for name, _ in PATHS])
def test_nothing_leaks(run):
    deltas = growth(run)
    for index, measure in enumerate(("references", "memory blocks", "traced bytes")):
        grown = [delta[index] for delta in deltas]
        assert not all(delta > 0 for delta in grown), f"{measure} grow every round: {grown}"


def test_references_are_counted():
    if not hasattr(sys, "gettotalrefcount"):
        pytest.skip(
            f"{sys.executable} is no debug interpreter, so only memory is counted here; the references are "
            "counted where one is found (Debian: apt-get install python3-dbg)"
        )
    before = sys.gettotalrefcount()
    leaked = [object() for _ in range(100)]
    assert sys.gettotalrefcount() - before >= 100, "the debug interpreter counts no references"
    del leaked


def test_the_memory_of_converters_and_copies_is_traced():
    """Each stream takes its block from Python's allocator, where tracemalloc
    sees it and its peak."""
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    converters = [rowpatcher.Converter() for _ in range(4)]
    assert tracemalloc.get_traced_memory()[0] - before > 4 * 512 * 1024
    del converters
    tracemalloc.reset_peak()
    rowpatcher.copy_stream(io.BytesIO(many_records), io.BytesIO())
    assert tracemalloc.get_traced_memory()[1] - before > 512 * 1024


def test_nothing_leaks_when_interpreters_import_the_module_and_end():
    """The module's own references (its types, io's RawIOBase, the names it
    looks up) go when it does, as each subinterpreter that imported it
    ends: its counts grow no more than those of one that imports io alone
    (an interpreter that ends leaves a little behind whatever it ran).
    tracemalloc is stopped meanwhile: an interpreter made while it traces
    waits for ever on its lock."""
    interpreters = pytest.importorskip("_xxsubinterpreters", reason="this Python has no subinterpreters to end")

    def grown(code, warm_up=2, measured=3, per_round=2):
        total = [0, 0, 0]
        for round_ in range(warm_up + measured):
            before = counts()
            for _ in range(per_round):
                interpreter = interpreters.create()
                interpreters.run_string(interpreter, code)
                interpreters.destroy(interpreter)
            after = counts()
            if round_ >= warm_up:
                total = [t + a - b for t, a, b in zip(total, after, before)]
        return total

    tracemalloc.stop()
    try:
        module, baseline = grown("import rowpatcher"), grown("import io")
    finally:
        tracemalloc.start()
    over = [m - b for m, b in zip(module, baseline)]
    limits = (5, 2, 0)  # references, memory blocks, traced bytes (none traced)
    assert all(o <= limit for o, limit in zip(over, limits)), f"grown {module} against {baseline}"
