cmake_minimum_required(VERSION 3.20)
# Fails unless EXECUTABLE is a Windows console program in FORMAT (PE32 or
# PE32+) whose imports are all system DLLs, as read by OBJDUMP -p, and whose
# resources, as WINDRES decompiles them, hold a manifest that runs it as
# invoked on Vista to Windows 11 and a version resource of VERSION.
set(system_dlls kernel32.dll msvcrt.dll)

execute_process(COMMAND "${OBJDUMP}" -p "${EXECUTABLE}" OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} cannot read ${EXECUTABLE}")
endif()
string(REPLACE "+" "\\+" format_pattern "${FORMAT}")
if(NOT dump MATCHES "Magic[ \t]+[0-9a-f]+[ \t]+\\(${format_pattern}\\)")
  message(FATAL_ERROR "${EXECUTABLE} is not ${FORMAT}")
endif()
if(NOT dump MATCHES "Subsystem[ \t]+00000003[ \t]+\\(Windows CUI\\)")
  message(FATAL_ERROR "${EXECUTABLE} is not a console program")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
if(NOT imports)
  message(FATAL_ERROR "no imports found in ${EXECUTABLE}: cannot be a working program")
endif()
foreach(import IN LISTS imports)
  string(REGEX REPLACE "DLL Name: *" "" dll "${import}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST system_dlls)
    message(FATAL_ERROR "${EXECUTABLE} needs ${dll}, which Windows does not provide")
  endif()
  message(STATUS "imports ${dll}")
endforeach()

execute_process(COMMAND "${WINDRES}" -i "${EXECUTABLE}" -O rc OUTPUT_VARIABLE resources
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${WINDRES} cannot read the resources of ${EXECUTABLE}")
endif()
# In the decompiled script a quote inside a string is doubled.
set(manifest_parts
  "1 24 /\\* RT_MANIFEST \\*/"
  "requestedExecutionLevel level=\"\"asInvoker\"\" uiAccess=\"\"false\"\""
  "supportedOS Id=\"\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"\""
  "supportedOS Id=\"\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"\""
  "supportedOS Id=\"\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"\""
  "supportedOS Id=\"\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"\""
  "supportedOS Id=\"\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"\""
  "<ws2:longPathAware>true</ws2:longPathAware>")
string(REPLACE "." ", " comma_version "${VERSION}")
string(REPLACE "." "\\." version_pattern "${VERSION}")
set(version_parts
  "FILEVERSION ${comma_version}, 0"
  "PRODUCTVERSION ${comma_version}, 0"
  "VALUE \"FileDescription\", \"brmark: [^\"]+\""
  "VALUE \"FileVersion\", \"${version_pattern}\""
  "VALUE \"ProductVersion\", \"${version_pattern}\""
  "VALUE \"ProductName\", \"brmark\""
  "VALUE \"OriginalFilename\", \"brmark\\.exe\""
  "VALUE \"LegalCopyright\", \"Copyright \\(c\\) [0-9]+ the brmark developers[^\"]*\"")
foreach(part IN LISTS manifest_parts version_parts)
  if(NOT resources MATCHES "${part}")
    message(FATAL_ERROR "${EXECUTABLE} lacks this in its resources: ${part}")
  endif()
endforeach()
message(STATUS "${EXECUTABLE}: ${FORMAT} console program, manifest asInvoker and long-path aware for Vista to 11, "
               "version ${VERSION}")
