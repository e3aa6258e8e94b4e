# Writes the packages' documents into OUT_DIR: for the Debian package,
# compressed as Debian policy asks (gzip -9n, so that the bytes depend only
# on the contents),
#   changelog.gz     CHANGELOG.md in the Debian changelog format
#   copyright        LICENSE in the machine-readable copyright format
#   rowpatcher.1.gz  the built manual page
# and for the RPM package
#   rpm-changelog    CHANGELOG.md as the RPM package's %changelog, newest first
# Run by the build as
#   cmake -DSOURCE_DIR=... -DMANUAL=... -DOUT_DIR=... -DMAINTAINER=... -DHOMEPAGE=... -P package_docs.cmake
#
# With -DDEBIAN_SOURCE=packaging/debian and -DSETTINGS=package-settings.json
# (which the build writes, and which gives the other values), it lays out the Debian source package's debian/ folder in OUT_DIR instead:
# the files of DEBIAN_SOURCE with the maintainer, homepage and description
# filled in, the changelog (each version's Debian revision 1) and the
# copyright file, whose licence Debian names Expat.
cmake_minimum_required(VERSION 3.20)
set(revision "")
set(licence_name MIT)
if(SETTINGS)
    file(READ ${SETTINGS} settings)
    foreach(pair IN ITEMS MAINTAINER:maintainer HOMEPAGE:homepage SUMMARY:summary DESCRIPTION:description)
        string(REPLACE ":" ";" pair ${pair})
        list(GET pair 0 variable)
        list(GET pair 1 key)
        string(JSON ${variable} GET "${settings}" ${key})
    endforeach()
endif()
if(DEBIAN_SOURCE)
    set(revision -1)
    set(licence_name Expat)
endif()

# The date YEAR-MM-DD HH:MM, in UTC, as a Debian changelog trailer gives it
# (RFC 5322) into OUT, and as an RPM changelog entry gives it into RPM_OUT.
function(changelog_dates out rpm_out year month_digits day_digits time)
    math(EXPR month "${month_digits}") # without the leading zero
    math(EXPR day "${day_digits}")
    # Days since 1970-01-01 (a Thursday), by the civil-calendar algorithm.
    set(y ${year})
    if(month LESS_EQUAL 2)
        math(EXPR y "${year} - 1") # the year counts from March
    endif()
    math(EXPR era "${y} / 400")
    math(EXPR year_of_era "${y} - ${era} * 400")
    math(EXPR day_of_year "(153 * ((${month} + 9) % 12) + 2) / 5 + ${day} - 1")
    math(EXPR day_of_era "${year_of_era} * 365 + ${year_of_era} / 4 - ${year_of_era} / 100 + ${day_of_year}")
    math(EXPR days "${era} * 146097 + ${day_of_era} - 719468")
    math(EXPR weekday "(${days} + 4) % 7")
    math(EXPR month_index "${month} - 1")
    set(weekdays Sun Mon Tue Wed Thu Fri Sat)
    set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
    list(GET weekdays ${weekday} weekday_name)
    list(GET months ${month_index} month_name)
    set(${out} "${weekday_name}, ${day_digits} ${month_name} ${year} ${time}:00 +0000" PARENT_SCOPE)
    set(${rpm_out} "${weekday_name} ${month_name} ${day_digits} ${year}" PARENT_SCOPE)
endfunction()

# "## VERSION (YYYY-MM-DD HH:MM UTC)" opens an entry; "- " opens an item,
# and indented lines continue it.
file(STRINGS ${SOURCE_DIR}/CHANGELOG.md lines ENCODING UTF-8)
set(changelog "")
set(rpm_changelog "")
set(trailer "")
foreach(line IN LISTS lines)
    if(line MATCHES "^## ([0-9.]+) \\(([0-9]+)-([0-9]+)-([0-9]+) ([0-9:]+) UTC\\)$")
        set(version ${CMAKE_MATCH_1})
        changelog_dates(date rpm_date ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4} ${CMAKE_MATCH_5})
        string(APPEND changelog "${trailer}rowpatcher (${version}${revision}) unstable; urgency=medium\n\n")
        set(trailer "\n -- ${MAINTAINER}  ${date}\n\n")
        if(NOT rpm_changelog STREQUAL "")
            string(APPEND rpm_changelog "\n")
        endif()
        string(APPEND rpm_changelog "* ${rpm_date} ${MAINTAINER} - ${version}-1\n")
    elseif(line MATCHES "^- (.*)")
        string(APPEND changelog "  * ${CMAKE_MATCH_1}\n")
        string(APPEND rpm_changelog "- ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^  +(.*)" AND NOT trailer STREQUAL "")
        string(APPEND changelog "    ${CMAKE_MATCH_1}\n")
        string(APPEND rpm_changelog "  ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^##")
        message(FATAL_ERROR "CHANGELOG.md: a version heading needs a date and time: '${line}'")
    endif()
endforeach()
string(REGEX REPLACE "\n\n$" "\n" changelog "${changelog}${trailer}")
file(WRITE ${OUT_DIR}/changelog "${changelog}")
if(NOT DEBIAN_SOURCE)
    # A "%" would start an RPM macro.
    string(REPLACE "%" "%%" rpm_changelog "${rpm_changelog}")
    file(WRITE ${OUT_DIR}/rpm-changelog "${rpm_changelog}")
endif()

# The licence text, indented by one space, blank lines as " .".
file(STRINGS ${SOURCE_DIR}/LICENSE licence_lines)
set(notice "")
foreach(line IN LISTS licence_lines)
    if(line MATCHES "^Copyright \\(c\\) (.*)")
        set(notice ${CMAKE_MATCH_1})
    endif()
endforeach()
file(READ ${SOURCE_DIR}/LICENSE licence_text)
string(REGEX REPLACE "^MIT License\n\nCopyright[^\n]*\n\n" "" licence_text "${licence_text}")
string(REGEX REPLACE "\n+$" "" licence_text "${licence_text}")
string(REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
string(REPLACE "\n" "\n " licence_text "${licence_text}")
file(WRITE ${OUT_DIR}/copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: rowpatcher
Upstream-Contact: ${MAINTAINER}
Source: ${HOMEPAGE}

Files: *
Copyright: ${notice}
License: ${licence_name}

License: ${licence_name}
 ${licence_text}
")

if(DEBIAN_SOURCE)
    file(GLOB_RECURSE templates RELATIVE ${DEBIAN_SOURCE} ${DEBIAN_SOURCE}/*)
    # The description's lines indented by one space, blank lines as " .".
    string(REPLACE "\n\n" "\n.\n" DESCRIPTION "${DESCRIPTION}")
    string(REPLACE "\n" "\n " DESCRIPTION " ${DESCRIPTION}")
    foreach(template IN LISTS templates)
        configure_file(${DEBIAN_SOURCE}/${template} ${OUT_DIR}/${template} @ONLY)
    endforeach()
    return()
endif()

file(COPY ${MANUAL} DESTINATION ${OUT_DIR})
foreach(file changelog rowpatcher.1)
    execute_process(COMMAND gzip -9nf ${OUT_DIR}/${file} RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "gzip ${OUT_DIR}/${file} failed: ${status}")
    endif()
endforeach()
