"""Runs the examples of the project's documents as a reader would paste
them, against the built tree, and checks their relative links.

Each fenced block says by its fence what it is:
  sh, python, js         run: a shell script (bash, stopping at the first
                         failure), a Python script, a JavaScript ES module
  text output            the exact standard output of the block before it
  sh ci                  a build or test command of the source tree, which
                         .ci/run runs itself, in the clone
  console, text, cmd,    shown, not run: a session with its prompt, a
  powershell, html ...   file's lines, another system's shell
An indented code block is refused: every example says by its fence whether
it runs. A release's file named with a version names the version that
project() in CMakeLists.txt sets. A document's blocks run in order in a folder of its own, which
holds the example catalogue as catalogue.txt (and catalogue.txt.gz), with
the built program, the Python package and the npm package found as an
installed one is: `rowpatcher` and `python3` on PATH, `import rowpatcher`
in Python and in Node.js. HOME is an empty folder, so that nothing a block
does reaches the user's own.

Usage: doc_examples.py BUILD_DIR PYTHON DOCUMENT...
"""

import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

RUNNERS = {"sh": ("script.sh", ["bash", "-euo", "pipefail"]), "python": ("script.py", None), "js": ("script.mjs", ["node"])}
SHOWN = {"console", "text", "cmd", "powershell", "html", "ruby", "yaml", "json", "diff", "toml", "cmake"}
TIMEOUT = 300

fence = re.compile(r"^(```+)([^`\n]*)\n(.*?)^\1[ \t]*$", re.M | re.S)
link = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")


def slug(heading: str) -> str:
    """The anchor a Markdown renderer gives a heading, as GitHub makes it."""
    text = re.sub(r"[`*_]|\[([^\]]*)\]\([^)]*\)", r"\1", heading.strip().lower())
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def anchors(path: str) -> set[str]:
    with open(path, encoding="utf-8") as file:
        text = fence.sub("", file.read())
    return {slug(line.lstrip("#")) for line in text.splitlines() if re.match(r"#{1,6} ", line)}


def project_version() -> str:
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    with open(os.path.join(root, "CMakeLists.txt"), encoding="utf-8") as file:
        return re.search(r"^project\(rowpatcher VERSION ([0-9.]+)", file.read(), re.M)[1]


def other_versions(document: str, text: str) -> list[str]:
    version = project_version()
    return [
        f"{document}:{line_of(text, found.start())}: {found.group(0)} is not the version being built, {version}"
        for found in re.finditer(r"rowpatcher[-_]([0-9]+\.[0-9]+\.[0-9]+)", text)
        if found.group(1) != version
    ]


def line_of(text: str, offset: int) -> int:
    return text.count("\n", 0, offset) + 1


def check_links(document: str, text: str) -> list[str]:
    problems = []
    for found in link.finditer(fence.sub(lambda m: "\n" * m.group(0).count("\n"), text)):
        target = found.group(1)
        if re.match(r"[a-z][a-z0-9+.-]*:", target):
            continue  # another site's address, never fetched here
        path, _, anchor = target.partition("#")
        resolved = os.path.normpath(os.path.join(os.path.dirname(document), path)) if path else document
        where = f"{document}:{line_of(text, found.start())}: {target}"
        if not os.path.exists(resolved):
            problems.append(f"{where}: no such file")
        elif anchor and resolved.endswith(".md") and anchor not in anchors(resolved):
            problems.append(f"{where}: no such heading")
    return problems


def indented_blocks(text: str) -> list[int]:
    """Lines that start an indented code block outside fences and lists."""
    lines = fence.sub(lambda m: "\n" * m.group(0).count("\n"), text).split("\n")
    starts = []
    for number, line in enumerate(lines):
        before = lines[number - 1] if number > 0 else ""
        if line.startswith("    ") and line.strip() and not before.strip():
            earlier = next((l for l in reversed(lines[: number - 1]) if l.strip()), "")
            if not re.match(r"\s*([-*+]|\d+\.)\s", earlier) and not earlier.startswith("  "):
                starts.append(number + 1)
    return starts


def prepare(folder: str, build: str, python: str) -> dict[str, str]:
    """The reader's folder, and the environment the blocks run in."""
    examples = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
    shutil.copy(os.path.join(examples, "catalogue.txt"), folder)
    with open(os.path.join(examples, "catalogue.txt"), "rb") as source:
        with gzip.GzipFile(os.path.join(folder, "catalogue.txt.gz"), "wb", mtime=0) as packed:
            packed.write(source.read())
    bin_folder = os.path.join(folder, ".bin")
    os.makedirs(bin_folder)
    os.symlink(os.path.join(build, "rowpatcher"), os.path.join(bin_folder, "rowpatcher"))
    os.symlink(python, os.path.join(bin_folder, "python3"))
    modules = os.path.join(folder, "node_modules")
    os.makedirs(os.path.join(modules, ".bin"))
    os.symlink(os.path.join(build, "js", "package"), os.path.join(modules, "rowpatcher"))
    os.symlink("../rowpatcher/bin/rowpatcher.js", os.path.join(modules, ".bin", "rowpatcher"))
    home = os.path.join(folder, ".home")
    os.makedirs(home)
    environment = dict(os.environ, HOME=home, PYTHONPATH=os.path.join(build, "python", "package"),
        PYTHONDONTWRITEBYTECODE="1", npm_config_offline="true")
    environment["PATH"] = f"{bin_folder}:{os.path.join(modules, '.bin')}:{environment['PATH']}"
    environment.pop("XDG_CACHE_HOME", None)
    return environment


def run_document(document: str, build: str, python: str) -> list[str]:
    with open(document, encoding="utf-8") as file:
        text = file.read()
    problems = check_links(document, text) + other_versions(document, text)
    problems += [f"{document}:{line}: an indented code block; fence it, saying whether it runs" for line in indented_blocks(text)]
    with tempfile.TemporaryDirectory(prefix="rowpatcher-docs-") as folder:
        environment = prepare(folder, build, python)
        last = None  # (where, standard output) of the last block run
        for block in fence.finditer(text):
            kind, body = block.group(2).strip(), block.group(3)
            where = f"{document}:{line_of(text, block.start())}"
            if kind == "text output":
                if last is None:
                    problems.append(f"{where}: an output block with no example before it")
                elif last[1] != body:
                    problems.append(f"{where}: {last[0]} printed\n{last[1]}\nnot\n{body}")
                continue
            language = kind.split()[0] if kind else ""
            if kind == "sh ci" or language not in RUNNERS:
                if kind != "sh ci" and language not in SHOWN:
                    problems.append(f"{where}: a block fenced '{kind}': sh, python, js run; console, text show")
                last = None
                continue
            name, command = RUNNERS[language]
            with open(os.path.join(folder, name), "w", encoding="utf-8") as script:
                script.write(body)
            command = (command or [python]) + [name]
            try:
                done = subprocess.run(command, cwd=folder, env=environment, capture_output=True, timeout=TIMEOUT)
            except subprocess.TimeoutExpired:
                problems.append(f"{where}: the {language} example ran for more than {TIMEOUT} s")
                last = None
                continue
            os.remove(os.path.join(folder, name))
            output = done.stdout.decode("utf-8", "replace")
            if done.returncode != 0:
                problems.append(
                    f"{where}: the {language} example failed with status {done.returncode}:\n"
                    f"{body}--- its output:\n{output}{done.stderr.decode('utf-8', 'replace')}"
                )
            print(f"ran: {where} ({language})")
            last = (where, output)
    return problems


def main(arguments: list[str]) -> int:
    build, python, *documents = arguments
    problems = []
    for document in documents:
        problems += run_document(document, os.path.abspath(build), python)
    for problem in problems:
        print(f"FAIL: {problem}")
    print(f"{len(documents)} documents, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
