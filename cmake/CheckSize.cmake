# cmake -DFILE=path -DLIMIT=bytes -P CheckSize.cmake
# Fails when FILE is larger than LIMIT bytes; prints the size either way.
file(SIZE "${FILE}" _size)
# Named by its path in the build tree (the debug and the production image
# share a file name).
file(RELATIVE_PATH _name "${CMAKE_BINARY_DIR}" "${FILE}")
math(EXPR _limit_kib "${LIMIT} / 1024")
message(STATUS "${_name}: ${_size} bytes (budget ${LIMIT} bytes, ${_limit_kib} KiB)")
if(_size GREATER LIMIT)
  file(REMOVE "${FILE}")
  message(FATAL_ERROR "${_name} is ${_size} bytes, over its budget of ${LIMIT} bytes")
endif()
