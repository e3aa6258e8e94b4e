#!/usr/bin/env bash
# Installs the build into a prefix and packs it as a .deb and an .rpm, then
# runs the installed and the unpacked programs on the example catalogue,
# lints the manual page and the .deb, and reads the packages' fields.
# Usage: install_test.sh BUILD_DIR VERSION EXAMPLES_DIR
# A build for a processor this machine does not run names its emulator in
# ROWPATCHER_TEST_EMULATOR (for example "qemu-i386 -L /usr/i686-linux-gnu").
set -u
build=$(realpath "$1")
version=$2
examples=$(realpath "$3")
source "$(dirname "$(realpath "$0")")/test_helpers.sh"

# converts NAME PROGRAM: PROGRAM turns the example catalogue into its expected output.
converts() {
    # shellcheck disable=SC2086 # the emulator and its options
    if ${ROWPATCHER_TEST_EMULATOR:-} "$2" "$examples/catalogue.txt" >out 2>err && cmp -s out "$examples/catalogue.expected" && [[ ! -s err ]]; then
        report "$1" ""
    else
        report "$1" " wrong output or status;"
    fi
}

# fields NAME LISTING FIELD=PATTERN...: LISTING has a line "FIELD: VALUE"
# (blanks allowed before the colon) whose VALUE matches the glob PATTERN.
fields() {
    local problems="" pair line found
    for pair in "${@:3}"; do
        found=no
        while IFS= read -r line; do
            # shellcheck disable=SC2053 # the pattern is a glob
            [[ $line =~ ^${pair%%=*}\ *:\ (.*)$ && ${BASH_REMATCH[1]} == ${pair#*=} ]] && found=yes
        done <<<"$2"
        [[ $found == yes ]] || problems+=" no ${pair%%=*} matching '${pair#*=}';"
    done
    report "$1" "$problems"
}

# pack GENERATOR: runs cpack; false (and a failure) when it fails.
pack() {
    cpack -G "$1" --config "$build/CPackConfig.cmake" -B "$PWD/package" >cpack.log 2>&1 ||
        { report "cpack -G $1" " failed: $(<cpack.log)"; return 1; }
}

cmake --install "$build" --prefix "$PWD/prefix" >install.log 2>&1 || report "cmake --install" " failed: $(<install.log)"
converts "installed program converts the example" prefix/bin/rowpatcher
# The C library is all the program loads: no C++ runtime.
if [[ $(head -c 4 prefix/bin/rowpatcher) != $'\x7fELF' ]]; then
    skip "not an ELF program: its libraries not checked"
elif needs readelf; then
    needed=$(readelf -dW prefix/bin/rowpatcher | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    [[ $needed =~ ^libc[.-][^[:space:]]*$ ]]
    report "the program needs the C library alone" "$([[ $? != 0 ]] && echo " it needs" $needed)"
fi
holds "the licence is installed" cmp -s prefix/share/doc/rowpatcher/LICENSE "$examples/../LICENSE"
page=prefix/share/man/man1/rowpatcher.1
if [[ -f $page ]]; then
    if needs groff; then
        groff -man -ww -z "$page" >lint 2>&1
        report "manual page renders without warnings" "$([[ -s lint ]] && echo " $(<lint)")"
    fi
    holds "manual footer names version $version" grep -q "\"rowpatcher $version\"" "$page"
else
    report "manual page installed" " no $page;"
fi

# The labels Debian and RPM give the program's processor, and its width,
# read from its ELF header: the packages carry these, whatever machine
# packed them (an i386 program packed on amd64 is an i386 package).
case $(readelf -h prefix/bin/rowpatcher 2>/dev/null) in
*"Advanced Micro Devices X86-64"*) labels=(amd64 x86_64 64) ;;
*"Intel 80386"*) labels=(i386 i686 32) ;;
*AArch64*) labels=(arm64 aarch64 64) ;;
*"hard-float ABI"*) labels=(armhf armv7hl 32) ;;
*) labels=() ;;
esac
((${#labels[@]} > 0)) || skip "no package label known for this program's processor: packages not built"

# The .deb: dpkg-shlibdeps, which needs file, works out its dependencies.
if ((${#labels[@]} > 0)) && needs dpkg-deb dpkg-shlibdeps file && pack DEB; then
    deb=$(echo package/*.deb)
    holds "the .deb is named for ${labels[0]}" test "$deb" = "package/rowpatcher_${version}_${labels[0]}.deb"
    fields "deb control fields" "$(dpkg-deb -f "$deb")" Package=rowpatcher Version="$version" \
        Architecture="${labels[0]}" Section=utils Maintainer='*@*' Depends='*libc6*' Homepage='https://*' \
        Description='?*'
    depends=$(dpkg-deb -f "$deb" Depends)
    [[ $depends =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]]
    report "the .deb depends on libc6 alone" "$([[ $? != 0 ]] && echo " it depends on $depends")"
    dpkg-deb -x "$deb" root
    converts "unpacked .deb program converts the example" root/usr/bin/rowpatcher
    holds "the .deb's manual page is gzipped" cmp -s <(gzip -dc root/usr/share/man/man1/rowpatcher.1.gz) "$page"
    holds "the .deb's changelog starts with $version" \
        grep -q "^rowpatcher ($version) unstable" <(gzip -dc root/usr/share/doc/rowpatcher/changelog.gz)
    holds "the .deb's copyright names the MIT licence" grep -qx "License: MIT" root/usr/share/doc/rowpatcher/copyright
    if needs lintian; then
        lintian "$deb" >lintian.out 2>lintian.err
        report "lintian finds nothing in the .deb" "$([[ -s lintian.out ]] && echo " $(<lintian.out)")"
    fi
fi

# The .rpm, unpacked without installing it.
if ((${#labels[@]} > 0)) && needs rpmbuild rpm2cpio cpio && pack RPM; then
    rpm=$(echo package/*.rpm)
    holds "the .rpm is named for ${labels[1]}" test "$rpm" = "package/rowpatcher-$version-1.${labels[1]}.rpm"
    info=$(rpm -qip "$rpm")
    fields "rpm header fields" "$info" Name=rowpatcher Version="$version" Release=1 Architecture="${labels[1]}" \
        License=MIT Group=Applications/Text URL='https://*' Summary='?*'
    holds "rpm description" grep -q "^rowpatcher reads a text catalogue" <<<"$info"
    requires=$(rpm -qpR "$rpm" 2>/dev/null)
    others=$(grep -v -E '^(libc\.so\.6|ld-linux|rtld\(GNU_HASH\)|rpmlib\()' <<<"$requires")
    report "the .rpm requires glibc alone" "$([[ -n $others ]] && echo " it requires" $others)"
    # A 64-bit program's libraries carry RPM's "(64bit)" mark, a 32-bit one's none.
    libc=$(grep '^libc\.so\.6' <<<"$requires")
    if [[ ${labels[2]} == 64 ]]; then wrong=$(grep -v '(64bit)$' <<<"$libc"); else wrong=$(grep '(64bit)' <<<"$libc"); fi
    report "the .rpm requires the ${labels[2]}-bit C library" "$([[ -n $wrong ]] && echo " it requires" $wrong)"
    mkdir rpm_root
    (cd rpm_root && rpm2cpio "../$rpm" | cpio -idm 2>/dev/null)
    converts "unpacked .rpm program converts the example" rpm_root/usr/bin/rowpatcher
    holds "the .rpm holds the manual page and the licence" \
        test -f rpm_root/usr/share/man/man1/rowpatcher.1 -a -f rpm_root/usr/share/doc/rowpatcher/LICENSE
fi

finish
