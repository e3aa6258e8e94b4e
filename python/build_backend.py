"""The Python package's build backend (PEP 517), in the source tree: pip
builds the extension and the program with the project's CMake and packs the
wheel here, with nothing fetched. Its command line packs the release's files:

    python3 python/build_backend.py sdist DIR
    python3 python/build_backend.py wheel DIR MODULE PROGRAM PLATFORM_TAG...

`sdist` writes DIR/rowpatcher-VERSION.tar.gz, the whole source tree (the
files git tracks); `wheel` packs MODULE, a built _rowpatcher extension, with
the package's Python files into DIR, tagged for each PLATFORM_TAG, and
PROGRAM, the rowpatcher program for the same processor, as the wheel's
script: installing the wheel installs the `rowpatcher` command itself. Both
are the same bytes for the same tree: entries sorted, owners and modes fixed,
times from SOURCE_DATE_EPOCH."""

import base64
import gzip
import hashlib
import io
import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import time
import tomllib
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE_FILES = ["__init__.py", "__main__.py", "_rowpatcher.pyi", "py.typed"]
ABI_TAG = "cp311-abi3"


def _project(field: str) -> str:
    """A field of project() in CMakeLists.txt, where the version and the
    homepage are set once."""
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as file:
        found = re.search(rf"^project\(rowpatcher [^)]*?{field} \"?([^\s\"]+)", file.read(), re.MULTILINE)
    if not found:
        raise RuntimeError(f"no {field} in project() in CMakeLists.txt")
    return found[1]


def _version() -> str:
    return _project("VERSION")


def _date() -> int:
    """The time every packed file carries: SOURCE_DATE_EPOCH, at the
    earliest that a zip can hold."""
    return max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800)


def _metadata() -> str:
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as file:
        project = tomllib.load(file)["project"]
    with open(os.path.join(ROOT, project["readme"]), encoding="utf-8") as file:
        readme = file.read()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {_version()}",
        f"Summary: {project['description']}",
        f"License: {project['license']['text']}",
        f"Requires-Python: {project['requires-python']}",
        f"Project-URL: Homepage, {_project('HOMEPAGE_URL')}",
        *(f"Classifier: {classifier}" for classifier in project["classifiers"]),
        "Description-Content-Type: text/markdown",
    ]
    return "\n".join(lines) + "\n\n" + readme


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def pack_wheel(directory: str, module: str, program: str, platform_tags: list[str]) -> str:
    """Packs MODULE, the package's files and PROGRAM, as the script that pip
    installs beside the interpreter, into a wheel in DIRECTORY and returns its
    file name."""
    version = _version()
    tags = ".".join(platform_tags)
    name = f"rowpatcher-{version}-{ABI_TAG}-{tags}.whl"
    dist_info = f"rowpatcher-{version}.dist-info"
    script = "rowpatcher.exe" if program.endswith(".exe") else "rowpatcher"
    files = {}
    with open(program, "rb") as source:
        files[f"rowpatcher-{version}.data/scripts/{script}"] = source.read()
    for file in PACKAGE_FILES:
        with open(os.path.join(ROOT, "python", "rowpatcher", file), "rb") as source:
            files[f"rowpatcher/{file}"] = source.read()
    with open(module, "rb") as source:
        files[f"rowpatcher/{os.path.basename(module)}"] = source.read()
    with open(os.path.join(ROOT, "LICENSE"), "rb") as source:
        files[f"{dist_info}/LICENSE"] = source.read()
    files[f"{dist_info}/METADATA"] = _metadata().encode()
    wheel = ["Wheel-Version: 1.0", "Generator: rowpatcher build_backend", "Root-Is-Purelib: false"]
    wheel += [f"Tag: {ABI_TAG}-{tag}" for tag in platform_tags]
    files[f"{dist_info}/WHEEL"] = ("\n".join(wheel) + "\n").encode()
    record = [_record_line(path, data) for path, data in sorted(files.items())]
    files[f"{dist_info}/RECORD"] = ("\n".join(record + [f"{dist_info}/RECORD,,"]) + "\n").encode()

    date = _date_tuple()
    with zipfile.ZipFile(os.path.join(directory, name), "w") as archive:
        # The package first and the dist-info last, as installers expect.
        for path in sorted(files, key=lambda path: (path.startswith(dist_info), path)):
            entry = zipfile.ZipInfo(path, date)
            executable = path.endswith((".so", ".pyd")) or "/scripts/" in path
            entry.external_attr = (0o100755 if executable else 0o100644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, files[path], compresslevel=9)
    return name


def _date_tuple() -> tuple[int, int, int, int, int, int]:
    return time.gmtime(_date())[:6]


def _source_files() -> list[tuple[str, int]]:
    """The tree's files and their modes: those git tracks, or, in an unpacked
    source tarball, every file it holds."""
    if os.path.isdir(os.path.join(ROOT, ".git")):
        listing = subprocess.run(
            ["git", "-C", ROOT, "ls-files", "-s", "-z"], capture_output=True, check=True
        ).stdout.decode()
        files = []
        for entry in filter(None, listing.split("\0")):
            info, path = entry.split("\t", 1)
            files.append((path, 0o755 if info.startswith("100755") else 0o644))
        return sorted(files)
    files = []
    for folder, folders, names in os.walk(ROOT):
        relative = os.path.relpath(folder, ROOT)
        if relative == ".":
            folders[:] = [name for name in folders if not re.match(r"(build.*|dist|\.git)$", name)]
        folders[:] = [name for name in folders if name not in ("node_modules", "__pycache__")]
        for name in names:
            path = os.path.normpath(os.path.join(relative, name))
            if path != "PKG-INFO":
                files.append((path, 0o755 if os.access(os.path.join(ROOT, path), os.X_OK) else 0o644))
    return sorted(files)


def pack_sdist(directory: str) -> str:
    """Packs the source tree, with PKG-INFO, into DIRECTORY and returns the
    tarball's name."""
    base = f"rowpatcher-{_version()}"
    name = f"{base}.tar.gz"
    entries = [("PKG-INFO", 0o644, _metadata().encode())]
    for path, mode in _source_files():
        with open(os.path.join(ROOT, path), "rb") as file:
            entries.append((path, mode, file.read()))
    folders = sorted({os.path.dirname(path) for path, _, _ in entries} - {""})
    with open(os.path.join(directory, name), "wb") as output:
        with gzip.GzipFile(filename="", mode="wb", fileobj=output, mtime=0, compresslevel=9) as compressed:
            with tarfile.open(fileobj=compressed, mode="w", format=tarfile.GNU_FORMAT) as archive:

                def add(path: str, mode: int, data: bytes | None) -> None:
                    entry = tarfile.TarInfo(f"{base}/{path}" if path else base)
                    entry.mtime, entry.mode, entry.uname, entry.gname = _date(), mode, "root", "root"
                    if data is None:
                        entry.type = tarfile.DIRTYPE
                        archive.addfile(entry)
                    else:
                        entry.size = len(data)
                        archive.addfile(entry, io.BytesIO(data))

                add("", 0o755, None)
                for folder in folders:
                    add(folder, 0o755, None)
                for path, mode, data in sorted(entries):
                    add(path, mode, data)
    return name


def _platform_tag() -> str:
    return re.sub(r"[-.]", "_", sysconfig.get_platform())


# ---- PEP 517 ----


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_sdist(sdist_directory, config_settings=None):
    return pack_sdist(sdist_directory)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    """Builds the extension for this interpreter and the program with CMake
    (and a C++20 compiler), in a folder of its own, and packs them."""
    with tempfile.TemporaryDirectory() as build:
        configure = ["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF"]
        configure.append(f"-DPython3_EXECUTABLE={sys.executable}")
        subprocess.run(configure, check=True, stdout=sys.stderr)
        subprocess.run(
            ["cmake", "--build", build, "--target", "rowpatcher_python", "rowpatcher"], check=True, stdout=sys.stderr
        )
        package = os.path.join(build, "python", "package", "rowpatcher")
        module = next(name for name in os.listdir(package) if name.endswith((".so", ".pyd")))
        program = next(
            os.path.join(build, name) for name in ("rowpatcher", "rowpatcher.exe") if os.path.isfile(os.path.join(build, name))
        )
        return pack_wheel(wheel_directory, os.path.join(package, module), program, [_platform_tag()])


if __name__ == "__main__":
    command, directory, *rest = sys.argv[1:]
    if command == "sdist" and not rest:
        print(pack_sdist(directory))
    elif command == "wheel" and len(rest) >= 3:
        print(pack_wheel(directory, rest[0], rest[1], rest[2:]))
    else:
        sys.exit(__doc__)
