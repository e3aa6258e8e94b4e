#!/usr/bin/env bash
# Installs the build into a prefix and packs it as a .deb, then runs the
# installed and the unpacked program on the example catalogue and lints the
# manual page.
# Usage: install_test.sh BUILD_DIR VERSION EXAMPLES_DIR
set -u
build=$(realpath "$1")
version=$2
examples=$(realpath "$3")
source "$(dirname "$(realpath "$0")")/test_helpers.sh"

# converts NAME PROGRAM: PROGRAM turns the example catalogue into its expected output.
converts() {
    if "$2" "$examples/catalogue.txt" >out 2>err && cmp -s out "$examples/catalogue.expected" && [[ ! -s err ]]; then
        report "$1" ""
    else
        report "$1" " wrong output or status;"
    fi
}

cmake --install "$build" --prefix "$PWD/prefix" >install.log 2>&1 || report "cmake --install" " failed: $(<install.log)"
converts "installed program converts the example" prefix/bin/rowpatcher
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

# The .deb: dpkg-shlibdeps, which needs file, works out its dependencies.
if needs dpkg-deb dpkg-shlibdeps file; then
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$PWD/package" >cpack.log 2>&1 || report "cpack" " failed: $(<cpack.log)"
    deb=package/rowpatcher_${version}_$(dpkg --print-architecture).deb
    if [[ -f $deb ]]; then
        field() { dpkg-deb -f "$deb" "$1"; }
        problems=""
        [[ $(field Package) == rowpatcher ]] || problems+=" Package '$(field Package)';"
        [[ $(field Version) == "$version" ]] || problems+=" Version '$(field Version)';"
        [[ $(field Section) == utils ]] || problems+=" Section '$(field Section)';"
        [[ $(field Maintainer) == *@* ]] || problems+=" Maintainer '$(field Maintainer)';"
        [[ $(field Depends) == *libc6* ]] || problems+=" Depends '$(field Depends)';"
        [[ -n $(field Description) ]] || problems+=" no Description;"
        report "package control fields" "$problems"
        dpkg-deb -x "$deb" root
        converts "unpacked program converts the example" root/usr/bin/rowpatcher
        holds "package holds the manual page" test -f root/usr/share/man/man1/rowpatcher.1
    else
        report "package built" " no $deb: $(ls package 2>&1)"
    fi
fi

finish
