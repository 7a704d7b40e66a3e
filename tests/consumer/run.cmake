# Installs the built library into a scratch prefix, then configures, builds and
# runs a consumer project that finds it with find_package. The consumer also
# compiles every installed header, and its link line must name the library
# alone: the library's own dependencies stay private.
file(REMOVE_RECURSE ${WORK_DIR})
function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGV}")
  endif()
endfunction()
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

file(GLOB_RECURSE headers RELATIVE ${prefix}/include ${prefix}/include/*.h ${prefix}/include/*.hpp)
list(SORT headers)
set(text "")
foreach(header IN LISTS headers)
  string(APPEND text "#include <${header}>\n")
endforeach()
file(WRITE ${WORK_DIR}/headers.cpp "${text}")

run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G Ninja -DCMAKE_PREFIX_PATH=${prefix}
    -DHEADERS_SOURCE=${WORK_DIR}/headers.cpp "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)

file(STRINGS ${WORK_DIR}/build/build.ninja link_lines REGEX "^ *LINK_LIBRARIES = ")
if(NOT link_lines MATCHES "libbackground")
  message(FATAL_ERROR "the consumer does not link the library: ${link_lines}")
endif()
if(link_lines MATCHES "yaml|fmt")
  message(FATAL_ERROR "a private dependency of the library is on the consumer's link line: ${link_lines}")
endif()

run(${WORK_DIR}/build/consumer ${WORK_DIR}/settings.yaml)
