# The same commit gives the same programs and packages, byte for byte,
# wherever and whenever it is built.

# One moment stands for every time stamp the build writes (the manual page's
# date, the archives' file times): SOURCE_DATE_EPOCH when the packager gives
# it, else the last commit's time.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(BRMARK_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND "${GIT_EXECUTABLE}" log -1 --format=%ct
                    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                    OUTPUT_VARIABLE BRMARK_SOURCE_DATE_EPOCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT BRMARK_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    message(STATUS "No git history and no SOURCE_DATE_EPOCH: packages carry today's date")
    string(TIMESTAMP BRMARK_SOURCE_DATE_EPOCH "%s" UTC)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} "${BRMARK_SOURCE_DATE_EPOCH}")
endif()
string(TIMESTAMP BRMARK_DATE "%Y-%m-%d" UTC)

# No build folder or source folder inside the programs: debugging
# information names them "." and "build". The build folder's mapping comes
# last, which takes precedence when the build folder lies in the source.
if(NOT MSVC)
  add_compile_options("-ffile-prefix-map=${PROJECT_SOURCE_DIR}=."
                      "-ffile-prefix-map=${PROJECT_BINARY_DIR}=build")
endif()
