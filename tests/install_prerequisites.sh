#!/usr/bin/env bash
# Installs what the test suite needs, so that every test runs and none is
# skipped. On Debian and Ubuntu: the packages, through apt-get (with sudo
# where not run as root), and the page's test tools from
# web/package-lock.json. Elsewhere it says in one line what is missing and
# how to install it, and the tests that need it report themselves skipped.
# Usage: tests/install_prerequisites.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/common.sh

# Debian's packages; clang, lld and libc++ for wasm32 build the npm
# package's module, Chromium runs the page, Python's headers, pytest,
# hypothesis, mypy and the debug interpreter (which counts references) build
# and test the Python package, and pandas runs the Python guide's example.
debian=(cmake g++ make libgtest-dev strace time groff-base dpkg-dev file lintian rpm rpm2cpio cpio
    clang lld libc++-14-dev-wasm32 chromium python3-dev python3-pytest python3-hypothesis mypy python3-dbg
    python3-pandas)
fedora=(cmake gcc-c++ make gtest-devel strace time groff-base file rpm-build cpio python3-devel python3-pytest
    python3-hypothesis mypy python3-debug python3-pandas)
homebrew=(cmake googletest)

# missing_line COMMAND PACKAGE...: one line naming the PACKAGEs whose
# check "COMMAND PACKAGE" fails, and how to install them.
missing_line() {
    local check=$1 install=$2 package missing=()
    for package in "${@:3}"; do
        $check "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    ((${#missing[@]} == 0)) ||
        echo "The tests need ${missing[*]}, which are not installed (tests that need them will skip): $install ${missing[*]}" >&2
}

if command -v apt-get >/dev/null && command -v dpkg >/dev/null; then
    install_missing "${debian[@]}"
    # Node.js may come from elsewhere; Debian's is taken only where there is none.
    command -v node >/dev/null || install_missing nodejs
    command -v npm >/dev/null || install_missing npm
    # puppeteer-core and axe-core, pinned; no browser is downloaded.
    if [[ ! web/node_modules/.package-lock.json -nt web/package-lock.json ]]; then
        step "npm ci in web/ (the page's test tools, from the lockfile)"
        npm ci --prefix web --no-audit --no-fund
    fi
elif command -v dnf >/dev/null; then
    missing_line "rpm -q" "sudo dnf install" "${fedora[@]}"
elif command -v brew >/dev/null; then
    missing_line "brew list --versions" "brew install" "${homebrew[@]}"
else
    echo "Install CMake 3.20 or newer, a C++20 compiler and GoogleTest; tests that need other tools will skip." >&2
fi
