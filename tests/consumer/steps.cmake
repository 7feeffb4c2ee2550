# The consumer test's steps, run by ctest as cmake -P scripts:
#   STEP=install    install the build tree into STAGE (a fresh folder)
#   STEP=build      configure and build the consumer project against STAGE
#   STEP=run        run the consumer program built by STEP=build
#   STEP=pkgconfig  build and run the same program from pkg-config's flags
cmake_minimum_required(VERSION 3.16)

foreach(var STEP STAGE LIBDIR WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

function(run_or_fail what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

# The host stand-in writes into a folder of this step's own.
function(point_host_at dir)
  file(REMOVE_RECURSE "${dir}")
  file(MAKE_DIRECTORY "${dir}")
  set(ENV{HX_DEBUG_LOG} "${dir}/debug.log")
  set(ENV{HX_DEBUG_LEVEL} "9")
  set(ENV{HX_JOB_RESULTS_DIR} "${dir}/results")
  set(ENV{HX_JOB_ID} "7")
  set(ENV{HX_CLIENT_NAME} "consumer")
  set(ENV{HX_BASE_HOME} "${dir}/basehome")
endfunction()

# The run's output and debug log must show a real child and the staged error file.
function(check_run dir output)
  if(NOT output MATCHES "child said: hello from the consumer")
    message(FATAL_ERROR "the consumer did not report the child's output:\n${output}")
  endif()
  file(READ "${dir}/debug.log" log)
  if(NOT log MATCHES " MySqlChildProcess::Initialize Error file \\[${dir}/results/HX_JobResults/2/0/7/MySqlErrors_[0-9]+\\.txt\\]")
    message(FATAL_ERROR "the debug log lacks the error file line:\n${log}")
  endif()
endfunction()

if(STEP STREQUAL "install")
  file(REMOVE_RECURSE "${STAGE}")
  run_or_fail("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${STAGE}")
  set(expected
    ${LIBDIR}/libMySqlProcess.so ${LIBDIR}/libHxLib.so ${LIBDIR}/libKoUtils.so
    ${LIBDIR}/cmake/MySqlProcess/MySqlProcessConfig.cmake
    ${LIBDIR}/cmake/MySqlProcess/MySqlProcessConfigVersion.cmake
    ${LIBDIR}/cmake/MySqlProcess/MySqlProcessTargets.cmake
    ${LIBDIR}/pkgconfig/mysqlprocess.pc
    libexec/mysqlprocess-helper
    include/mysqlprocess/child_process/MySqlChildProcess.h
    include/mysqlprocess/host/LogWriter.h)
  foreach(file IN LISTS expected)
    if(NOT EXISTS "${STAGE}/${file}")
      message(FATAL_ERROR "not installed: ${file}")
    endif()
  endforeach()
  # Installed headers may only include installed headers (or system ones).
  file(GLOB_RECURSE headers "${STAGE}/include/mysqlprocess/*.h")
  foreach(header IN LISTS headers)
    file(STRINGS "${header}" includes REGEX "^#include \"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
      if(NOT EXISTS "${STAGE}/include/mysqlprocess/${included}")
        message(FATAL_ERROR "${header} includes ${included}, which is not installed")
      endif()
    endforeach()
  endforeach()

elseif(STEP STREQUAL "build")
  file(REMOVE_RECURSE "${WORK}")
  run_or_fail("configuring the consumer" "${CMAKE_COMMAND}" -S "${SOURCE}" -B "${WORK}" -G "${GENERATOR}"
    "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}" "-DCMAKE_CXX_COMPILER=${CXX}" "-DCMAKE_BUILD_TYPE=RelWithDebInfo"
    "-DCMAKE_PREFIX_PATH=${STAGE}" "-DMYSQLPROCESS_EXPECTED_PREFIX=${STAGE}"
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
  run_or_fail("building the consumer" "${CMAKE_COMMAND}" --build "${WORK}")

elseif(STEP STREQUAL "run")
  set(app "${WORK}/app")
  # The program must load the staged libraries, not the build tree's.
  run_or_fail("ldd" ldd "${app}")
  file(REAL_PATH "${STAGE}/${LIBDIR}" staged_libdir)
  foreach(lib libMySqlProcess.so libHxLib.so libKoUtils.so)
    if(NOT step_output MATCHES "${lib}[.0-9]* => ([^ \n]+)")
      message(FATAL_ERROR "${app} does not load ${lib}:\n${step_output}")
    endif()
    get_filename_component(loaded_dir "${CMAKE_MATCH_1}" DIRECTORY)
    file(REAL_PATH "${loaded_dir}" loaded_dir)
    if(NOT loaded_dir STREQUAL staged_libdir)
      message(FATAL_ERROR "${lib} is loaded from ${loaded_dir}, not from the staged ${staged_libdir}")
    endif()
  endforeach()
  point_host_at("${WORK}-run")
  run_or_fail("running the consumer" "${app}")
  check_run("${WORK}-run" "${step_output}")

elseif(STEP STREQUAL "pkgconfig")
  find_program(PKG_CONFIG NAMES pkg-config pkgconf)
  if(NOT PKG_CONFIG)
    message(FATAL_ERROR "pkg-config is missing (Debian package pkg-config)")
  endif()
  file(REMOVE_RECURSE "${WORK}")
  file(MAKE_DIRECTORY "${WORK}")
  set(ENV{PKG_CONFIG_PATH} "${STAGE}/${LIBDIR}/pkgconfig")
  unset(ENV{PKG_CONFIG_LIBDIR})
  unset(ENV{PKG_CONFIG_SYSROOT_DIR})
  run_or_fail("pkg-config --modversion" "${PKG_CONFIG}" --modversion mysqlprocess)
  string(STRIP "${step_output}" version)
  if(NOT version STREQUAL VERSION)
    message(FATAL_ERROR "pkg-config reports version ${version}, the project is ${VERSION}")
  endif()
  run_or_fail("pkg-config --cflags --libs" "${PKG_CONFIG}" --cflags --libs mysqlprocess)
  string(STRIP "${step_output}" flags_text)
  separate_arguments(flags UNIX_COMMAND "${flags_text}")

  # The paths must lead into the staged install, wherever it was put.
  file(REAL_PATH "${STAGE}/include/mysqlprocess" staged_include)
  file(REAL_PATH "${STAGE}/${LIBDIR}" staged_libdir)
  set(include_ok FALSE)
  set(libdir_ok FALSE)
  foreach(flag IN LISTS flags)
    if(flag MATCHES "^-I(.+)")
      file(REAL_PATH "${CMAKE_MATCH_1}" dir)
      if(dir STREQUAL staged_include)
        set(include_ok TRUE)
      endif()
    elseif(flag MATCHES "^-L(.+)")
      file(REAL_PATH "${CMAKE_MATCH_1}" dir)
      if(dir STREQUAL staged_libdir)
        set(libdir_ok TRUE)
      endif()
    endif()
  endforeach()
  if(NOT include_ok OR NOT libdir_ok)
    message(FATAL_ERROR "pkg-config flags [${flags_text}] do not point into ${STAGE}")
  endif()
  foreach(lib -lMySqlProcess -lHxLib -lKoUtils)
    if(NOT lib IN_LIST flags)
      message(FATAL_ERROR "pkg-config flags [${flags_text}] lack ${lib}")
    endif()
  endforeach()

  run_or_fail("compiling with pkg-config's flags" "${CXX}" -std=c++17 -Wall -Wextra -Werror
    "${SOURCE}/main.cpp" -o "${WORK}/app" ${flags})
  set(ENV{LD_LIBRARY_PATH} "${staged_libdir}")
  point_host_at("${WORK}/run")
  run_or_fail("running the pkg-config build" "${WORK}/app")
  check_run("${WORK}/run" "${step_output}")

else()
  message(FATAL_ERROR "unknown STEP ${STEP}")
endif()
