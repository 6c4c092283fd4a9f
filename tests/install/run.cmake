# Run by ctest: installs the build in BUILD_DIR into WORK_DIR/prefix, then
# builds the consumer in CONSUMER_DIR against it twice, with find_package and
# with pkg-config, and runs each build on a fresh registry.
#
# Variables: BUILD_DIR WORK_DIR CONSUMER_DIR CXX CXX_FLAGS (space separated,
# may be empty) BUILD_TYPE PKG_CONFIG.

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${ARGN}\n${out}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(installed bin/cr bin/nctool include/lib/system/nconfig.h)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

# find_package(nconfig), nothing else pointing at the prefix.
run("configure with find_package" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX}
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
run("build with find_package" ${CMAKE_COMMAND} --build ${WORK_DIR}/cmake)
run("consumer built with find_package" ${WORK_DIR}/cmake/consumer ${WORK_DIR}/cmake.reg)
if(NOT run_output STREQUAL "port 8001\n")
  message(FATAL_ERROR "consumer built with find_package printed: ${run_output}")
endif()

# pkg-config, from the installed .pc file alone.
set(ENV{PKG_CONFIG_PATH} "")
file(GLOB_RECURSE pc_files ${prefix}/nconfig.pc)
list(LENGTH pc_files n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "expected one nconfig.pc under ${prefix}, found: ${pc_files}")
endif()
get_filename_component(pc_dir ${pc_files} DIRECTORY)
set(ENV{PKG_CONFIG_LIBDIR} ${pc_dir})
run("pkg-config" ${PKG_CONFIG} --cflags --libs nconfig)
string(STRIP "${run_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(flags UNIX_COMMAND "${CXX_FLAGS}")
run("build with pkg-config" ${CXX} -std=c++17 ${flags} ${CONSUMER_DIR}/consumer.cpp
    ${pc_flags} -o ${WORK_DIR}/consumer-pc)
run("consumer built with pkg-config" ${WORK_DIR}/consumer-pc ${WORK_DIR}/pc.reg)
if(NOT run_output STREQUAL "port 8001\n")
  message(FATAL_ERROR "consumer built with pkg-config printed: ${run_output}")
endif()
