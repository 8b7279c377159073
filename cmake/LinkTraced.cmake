# cmake -DTRACE=FILE -P LinkTraced.cmake -- LINKER ARGUMENT...
#   runs the linker with what it prints in TRACE (lld-link /VERBOSE's account
#   of the archive members it takes is the SBOM's source); when it fails,
#   what it printed but the trace lines is shown and the step fails.
set(_command)
set(_take OFF)
math(EXPR _last "${CMAKE_ARGC} - 1")
foreach(_index RANGE ${_last})
  if(_take)
    list(APPEND _command "${CMAKE_ARGV${_index}}")
  elseif("${CMAKE_ARGV${_index}}" STREQUAL "--")
    set(_take ON)
  endif()
endforeach()
execute_process(COMMAND ${_command} OUTPUT_FILE "${TRACE}" ERROR_FILE "${TRACE}" RESULT_VARIABLE _status)
if(NOT _status EQUAL 0)
  file(STRINGS "${TRACE}" _lines)
  list(FILTER _lines EXCLUDE REGEX "^lld-link: (Loaded|Reading|Parsing|Invoking|ICF|Creating|Processed|Writing)")
  string(REPLACE ";" "\n" _lines "${_lines}")
  message(FATAL_ERROR "the link failed (${_status}):\n${_lines}")
endif()
