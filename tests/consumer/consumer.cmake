# Included by tests/CMakeLists.txt: checks of what the build delivers to its
# users, the shared library's interface and the installed package.
set(_consumer_src ${CMAKE_CURRENT_LIST_DIR})
set(_consumer_bin ${CMAKE_CURRENT_BINARY_DIR}/consumer)

add_test(NAME exported_symbols
  COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:MySqlProcess> -DNM=${CMAKE_NM} -DOBJDUMP=${CMAKE_OBJDUMP}
          -P ${_consumer_src}/check_exports.cmake)
set_tests_properties(exported_symbols PROPERTIES LABELS integration)

# The consumer is an ordinary program: in a sanitizer build the installed
# libraries need the sanitizer runtime it would not link, so it runs only in
# the plain build.
if(MYSQLPROCESS_SANITIZER STREQUAL "")
  set(_consumer_args
    -DSTAGE=${_consumer_bin}/stage -DLIBDIR=${CMAKE_INSTALL_LIBDIR} -DBUILD_DIR=${PROJECT_BINARY_DIR}
    -DSOURCE=${_consumer_src} -DCXX=${CMAKE_CXX_COMPILER} -DGENERATOR=${CMAKE_GENERATOR}
    -DMAKE_PROGRAM=${CMAKE_MAKE_PROGRAM} -DVERSION=${PROJECT_VERSION})
  set(_consumer_steps ${_consumer_src}/steps.cmake)

  add_test(NAME consumer_install
    COMMAND ${CMAKE_COMMAND} -DSTEP=install -DWORK=${_consumer_bin}/stage ${_consumer_args} -P ${_consumer_steps})
  add_test(NAME consumer_build
    COMMAND ${CMAKE_COMMAND} -DSTEP=build -DWORK=${_consumer_bin}/build ${_consumer_args} -P ${_consumer_steps})
  add_test(NAME consumer_run
    COMMAND ${CMAKE_COMMAND} -DSTEP=run -DWORK=${_consumer_bin}/build ${_consumer_args} -P ${_consumer_steps})
  add_test(NAME consumer_pkgconfig
    COMMAND ${CMAKE_COMMAND} -DSTEP=pkgconfig -DWORK=${_consumer_bin}/pkgconfig ${_consumer_args} -P ${_consumer_steps})

  set_tests_properties(consumer_install PROPERTIES FIXTURES_SETUP mysqlprocess_stage)
  set_tests_properties(consumer_build PROPERTIES
    FIXTURES_REQUIRED mysqlprocess_stage FIXTURES_SETUP mysqlprocess_consumer TIMEOUT 600)
  set_tests_properties(consumer_run PROPERTIES FIXTURES_REQUIRED "mysqlprocess_stage;mysqlprocess_consumer")
  set_tests_properties(consumer_pkgconfig PROPERTIES FIXTURES_REQUIRED mysqlprocess_stage TIMEOUT 600)
  set_tests_properties(consumer_install consumer_build consumer_run consumer_pkgconfig PROPERTIES LABELS integration)
endif()
