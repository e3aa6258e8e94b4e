# The processor the program is built for, as Debian and RPM name it, told by
# the compiler itself: a cross build, or gcc -m32, makes a program for
# another processor than the machine that packs it, and a package must
# carry the label of the program it holds.
#
# package_architecture(DEB_OUT RPM_OUT): sets both, or leaves them empty
# for a processor not in the table below.
include_guard(GLOBAL)
include(CheckCSourceCompiles)

function(package_architecture deb_out rpm_out)
    # Debian's name, RPM's name, and what the C compiler defines for it.
    set(table
        amd64 x86_64 "defined __x86_64__ && !defined __ILP32__"
        i386 i686 "defined __i386__"
        arm64 aarch64 "defined __aarch64__ && !defined __ILP32__"
        armhf armv7hl "defined __arm__ && defined __ARM_PCS_VFP")
    # Compiled only: nothing needs to link to tell the target.
    set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
    set(CMAKE_REQUIRED_QUIET ON)
    list(LENGTH table length)
    math(EXPR last "${length} - 1")
    foreach(index RANGE 0 ${last} 3)
        math(EXPR rpm_index "${index} + 1")
        math(EXPR test_index "${index} + 2")
        list(GET table ${index} deb)
        list(GET table ${rpm_index} rpm)
        list(GET table ${test_index} test)
        check_c_source_compiles("#if !(${test})\n#error other processor\n#endif\nint main(void) { return 0; }"
            ROWPATCHER_TARGETS_${deb})
        if(ROWPATCHER_TARGETS_${deb})
            set(${deb_out} ${deb} PARENT_SCOPE)
            set(${rpm_out} ${rpm} PARENT_SCOPE)
            return()
        endif()
    endforeach()
    set(${deb_out} "" PARENT_SCOPE)
    set(${rpm_out} "" PARENT_SCOPE)
endfunction()
