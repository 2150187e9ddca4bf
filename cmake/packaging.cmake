# Installing and packaging: the .deb on POSIX systems, the .zip for Windows.
# Both are reproducible (see reproducible.cmake).

set(BRMARK_PACKAGE_CONTACT "brmark packager <packager@brmark.invalid>" CACHE STRING
    "Maintainer of the packages, as Name <address>; a packager sets their own")

# The values reach cpack as written, quotes included.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME brmark)
set(CPACK_PACKAGE_VENDOR "the brmark developers")
set(CPACK_PACKAGE_CONTACT "${BRMARK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copy a text file with <br> before every line end")
set(CPACK_PACKAGE_DESCRIPTION
    "brmark asks for a file name and writes a copy of that text file under the same
name with the prefix \"br付き \" in front. In the copy the HTML line-break
marker <br> stands in front of every line end, and every line end is CR LF.
It reports the outcome in one line of Japanese and waits for Enter.

The copy is byte-transparent: the encoding is never interpreted, so
Shift-JIS or UTF-8 text passes through intact. A CR LF pair and a lone LF
each count as one line end, and a SUB byte (0x1A) ends the input. Nothing
standing at the output name is ever overwritten, and an unfinished copy is
removed when reading or writing fails or the program is interrupted.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
# The archives' file times, for a cpack run that is not given its own.
configure_file("${PROJECT_SOURCE_DIR}/cmake/cpack_options.cmake.in"
               "${PROJECT_BINARY_DIR}/cpack_options.cmake" @ONLY)
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/cpack_options.cmake")

include(GNUInstallDirs)
if(WIN32)
  # The .zip unpacks to the program and its documents side by side. It is
  # made here rather than by cpack, which adds files in the order the file
  # system lists them, and that differs from machine to machine: here the
  # order is fixed, every file's time is the build's one moment, and no
  # extra attributes (owner, access times) are stored.
  install(TARGETS brmark RUNTIME DESTINATION .)
  find_program(BRMARK_ZIP zip REQUIRED)
  find_program(BRMARK_TOUCH touch REQUIRED)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(brmark_zip "${PROJECT_BINARY_DIR}/brmark-${PROJECT_VERSION}-win64.zip")
  else()
    set(brmark_zip "${PROJECT_BINARY_DIR}/brmark-${PROJECT_VERSION}-win32.zip")
  endif()
  set(brmark_stage "${PROJECT_BINARY_DIR}/zip-stage")
  file(MAKE_DIRECTORY "${brmark_stage}")
  # The texts as Notepad opens them on every Windows (windows_text.cmake),
  # with a .txt extension and ASCII names, as archive tools disagree on the
  # encoding of others. UTF-8 with its mark rather than Shift-JIS, which
  # would show as garbage outside code page 932.
  configure_file(doc/readme-ja.txt.in readme-ja.txt @ONLY)
  set(brmark_texts
      "${PROJECT_BINARY_DIR}/readme-ja.txt=readme-ja.txt"
      "${PROJECT_SOURCE_DIR}/README.md=readme-en.txt"
      "${PROJECT_SOURCE_DIR}/LICENSE=LICENSE.txt"
      "${PROJECT_SOURCE_DIR}/CHANGELOG.md=CHANGELOG.txt")
  set(brmark_zipped brmark.exe)
  set(brmark_converts "")
  foreach(text IN LISTS brmark_texts)
    string(REPLACE "=" ";" pair "${text}")
    list(GET pair 0 from)
    list(GET pair 1 name)
    list(APPEND brmark_zipped "${name}")
    list(APPEND brmark_converts COMMAND "${CMAKE_COMMAND}" "-DINPUT=${from}"
         "-DOUTPUT=${brmark_stage}/${name}" -P "${PROJECT_SOURCE_DIR}/cmake/windows_text.cmake")
    install(FILES "${brmark_stage}/${name}" DESTINATION . OPTIONAL)
  endforeach()
  add_custom_command(
    OUTPUT "${brmark_zip}"
    COMMAND "${CMAKE_COMMAND}" -E rm -f "${brmark_zip}"
    COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:brmark>" "${brmark_stage}"
    ${brmark_converts}
    COMMAND "${BRMARK_TOUCH}" -d "@${BRMARK_SOURCE_DATE_EPOCH}" ${brmark_zipped}
    COMMAND "${CMAKE_COMMAND}" -E env TZ=UTC "${BRMARK_ZIP}" -X -D -9 -q "${brmark_zip}"
            ${brmark_zipped}
    WORKING_DIRECTORY "${brmark_stage}"
    DEPENDS brmark README.md LICENSE CHANGELOG.md "${PROJECT_BINARY_DIR}/readme-ja.txt"
            cmake/windows_text.cmake
    COMMENT "Packing ${brmark_zip}"
    VERBATIM)
  # A build folder that cpack once made the package in still holds its
  # configuration, which would keep the name "package" reserved.
  file(REMOVE "${PROJECT_BINARY_DIR}/CPackConfig.cmake" "${PROJECT_BINARY_DIR}/CPackSourceConfig.cmake")
  add_custom_target(package DEPENDS "${brmark_zip}")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  install(TARGETS brmark RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # The manual pages (English, and Japanese where the locale asks for it, as
  # man-db finds them), the READMEs, the changelog and the copyright file as
  # Debian policy wants them: compressed without a name or time stamp, and
  # in the machine-readable copyright format.
  find_program(BRMARK_GZIP gzip REQUIRED)
  configure_file(doc/brmark.1.in brmark.1 @ONLY)
  configure_file(doc/brmark.ja.1.in brmark.ja.1 @ONLY)
  set(brmark_docs "${PROJECT_BINARY_DIR}/docs")
  add_custom_command(
    OUTPUT "${brmark_docs}/brmark.1.gz" "${brmark_docs}/ja/brmark.1.gz"
           "${brmark_docs}/README.md.gz" "${brmark_docs}/README.ja.md.gz"
           "${brmark_docs}/changelog.gz" "${brmark_docs}/copyright"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${brmark_docs}/ja"
    COMMAND "${CMAKE_COMMAND}" "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}" "-DOUTPUT_DIR=${brmark_docs}"
            "-DMAINTAINER=${BRMARK_PACKAGE_CONTACT}" -P "${PROJECT_SOURCE_DIR}/cmake/debian_docs.cmake"
    COMMAND "${CMAKE_COMMAND}" -E copy "${PROJECT_BINARY_DIR}/brmark.1" "${brmark_docs}/brmark.1"
    COMMAND "${CMAKE_COMMAND}" -E copy "${PROJECT_BINARY_DIR}/brmark.ja.1" "${brmark_docs}/ja/brmark.1"
    COMMAND "${CMAKE_COMMAND}" -E copy "${PROJECT_SOURCE_DIR}/README.md"
            "${PROJECT_SOURCE_DIR}/README.ja.md" "${brmark_docs}"
    COMMAND "${BRMARK_GZIP}" -9nf "${brmark_docs}/changelog" "${brmark_docs}/brmark.1"
            "${brmark_docs}/ja/brmark.1" "${brmark_docs}/README.md" "${brmark_docs}/README.ja.md"
    DEPENDS CHANGELOG.md LICENSE README.md README.ja.md cmake/debian_docs.cmake
            "${PROJECT_BINARY_DIR}/brmark.1"
            "${PROJECT_BINARY_DIR}/brmark.ja.1"
    COMMENT "Compressing the manual pages, the README and the changelog"
    VERBATIM)
  add_custom_target(brmark_docs ALL DEPENDS "${brmark_docs}/brmark.1.gz")
  install(FILES "${brmark_docs}/brmark.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES "${brmark_docs}/ja/brmark.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/ja/man1)
  install(FILES "${brmark_docs}/README.md.gz" "${brmark_docs}/README.ja.md.gz"
                "${brmark_docs}/changelog.gz" "${brmark_docs}/copyright"
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  include(CPack)
endif()
