"""The conversion cases shared by every test suite, read from tests/cases.txt
(its head says how they are written), for the Python tests."""

import re
from typing import NamedTuple

_ESCAPES = {"n": b"\n", "r": b"\r", "t": b"\t", "0": b"\0", "\\": b"\\"}


class Case(NamedTuple):
    kind: str
    what: str
    input: bytes
    output: bytes


def _unescape(text: str) -> bytes:
    return re.sub(
        rb"\\(x[0-9a-fA-F]{2}|.)",
        lambda m: bytes([int(m[1][1:], 16)]) if m[1][:1] == b"x" else _ESCAPES[m[1].decode()],
        text.encode("latin-1"),
    )


def read_cases(path: str) -> list[Case]:
    cases: list[dict] = []
    with open(path, encoding="latin-1") as file:
        for line in file.read().split("\n"):
            if line == "" or line.startswith("#"):
                continue
            key, _, text = line.partition(" ")
            if key in ("line", "stream"):
                cases.append({"kind": key, "what": text, "input": b"", "output": b""})
                continue
            field, _, times = key.partition("*")
            cases[-1][field] += _unescape(text) * int(times or 1)
    return [Case(**case) for case in cases]
