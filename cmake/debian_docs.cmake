# Writes the Debian package's changelog and copyright file from the
# repository's CHANGELOG.md and LICENSE, so that each is kept in one place.
#
#   cmake -DSOURCE_DIR=... -DOUTPUT_DIR=... -DMAINTAINER="Name <address>"
#         -P debian_docs.cmake
#
# CHANGELOG.md: one "## VERSION - YYYY-MM-DD" heading per version, newest
# first; under it, prose lines and "- " items, whose continuation lines are
# indented. Each paragraph or item becomes one "  * " entry.

# RFC 5322 date of a YYYY-MM-DD day at midnight UTC (Zeller's congruence).
function(debian_date iso result)
  string(REGEX MATCH "^([0-9]+)-([0-9]+)-([0-9]+)$" _ "${iso}")
  set(year ${CMAKE_MATCH_1})
  math(EXPR month "${CMAKE_MATCH_2}")
  math(EXPR day "${CMAKE_MATCH_3}")
  set(y ${year})
  set(m ${month})
  if(m LESS 3)
    math(EXPR m "${m} + 12")
    math(EXPR y "${y} - 1")
  endif()
  math(EXPR weekday "(${day} + (13 * (${m} + 1)) / 5 + ${y} + ${y} / 4 - ${y} / 100 + ${y} / 400) % 7")
  set(day_names Sat Sun Mon Tue Wed Thu Fri)
  set(month_names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET day_names ${weekday} day_name)
  math(EXPR month_index "${month} - 1")
  list(GET month_names ${month_index} month_name)
  if(day LESS 10)
    set(day "0${day}")
  endif()
  set(${result} "${day_name}, ${day} ${month_name} ${year} 00:00:00 +0000" PARENT_SCOPE)
endfunction()

# Appends the entry being gathered, wrapped to the changelog's layout.
macro(flush_entry)
  if(NOT entry STREQUAL "")
    string(APPEND body "  * ${entry}\n")
    set(entry "")
  endif()
endmacro()

macro(flush_version)
  flush_entry()
  if(DEFINED version)
    string(APPEND changelog "brmark (${version}) unstable; urgency=medium\n\n${body}\n"
                            " -- ${MAINTAINER}  ${date}\n\n")
  endif()
  set(body "")
endmacro()

file(STRINGS "${SOURCE_DIR}/CHANGELOG.md" lines ENCODING UTF-8)
set(changelog "")
set(body "")
set(entry "")
foreach(line IN LISTS lines)
  if(line MATCHES "^## ([^ ]+) - ([0-9-]+)$")
    flush_version()
    set(version "${CMAKE_MATCH_1}")
    debian_date("${CMAKE_MATCH_2}" date)
  elseif(NOT DEFINED version OR line MATCHES "^#")
    continue()
  elseif(line MATCHES "^- (.*)$")
    flush_entry()
    set(entry "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^ +(.*)$" AND NOT entry STREQUAL "")
    string(APPEND entry "\n    ${CMAKE_MATCH_1}")
  elseif(line STREQUAL "")
    flush_entry()
  elseif(entry STREQUAL "")
    set(entry "${line}")
  else()
    string(APPEND entry "\n    ${line}")
  endif()
endforeach()
flush_version()
string(REGEX REPLACE "\n\n$" "\n" changelog "${changelog}")
file(WRITE "${OUTPUT_DIR}/changelog" "${changelog}")

# The machine-readable copyright format, with the MIT licence under the name
# Debian gives it (Expat): its text after the copyright line, each line
# indented and blank lines written as " .".
file(STRINGS "${SOURCE_DIR}/LICENSE" license_lines ENCODING UTF-8)
set(license_text "")
set(past_copyright FALSE)
foreach(line IN LISTS license_lines)
  if(line MATCHES "^Copyright")
    set(past_copyright TRUE)
    continue()
  endif()
  if(NOT past_copyright)
    continue()
  endif()
  if(line STREQUAL "")
    string(APPEND license_text " .\n")
  else()
    string(APPEND license_text " ${line}\n")
  endif()
endforeach()
string(REGEX REPLACE "^ \\.\n" "" license_text "${license_text}")
file(WRITE "${OUTPUT_DIR}/copyright"
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: brmark\n"
  "Comment: The same terms are in the file LICENSE of the source.\n"
  "\n"
  "Files: *\n"
  "Copyright: 2026 the brmark developers\n"
  "License: Expat\n"
  "${license_text}")
