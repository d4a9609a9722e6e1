# Helpers shared by every folder's CMakeLists.txt.
#
# varnel_add_folders(<dir...>)
#   add_subdirectory() of each folder, relative to the current source dir.
#   A folder without a CMakeLists.txt is a configuration error: a folder that
#   goes missing must not quietly drop its library or its tests.
function(varnel_add_folders)
  foreach(dir ${ARGN})
    if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      message(FATAL_ERROR "${CMAKE_CURRENT_SOURCE_DIR}/${dir}: folder or its CMakeLists.txt missing")
    endif()
    add_subdirectory(${dir})
  endforeach()
endfunction()

# varnel_library(NAME [DIR <dir>] [QT] [GLOB <patterns...>] [DEPS <targets...>]
#                [PRIVATE_DEPS <targets...>])
#   One static library from every .cpp below <dir> (relative to the current
#   source dir; GLOB replaces the *.cpp pattern). Headers are included as
#   "platform/foundation/value.h", i.e. relative to src/, but a library
#   exposes only its own folder: its include root (in the build folder) holds
#   that one folder of src/, so whoever links it sees its headers and those of
#   its DEPS, and nothing else of the tree. DEPS are what its headers use
#   (public); PRIVATE_DEPS what only its sources use (linked, not exposed). A
#   folder without sources is a configuration error. QT: the sources and the
#   headers beside them go through Qt's meta-object compiler (AUTOMOC).
function(varnel_library name)
  cmake_parse_arguments(ARG "QT" "DIR" "DEPS;PRIVATE_DEPS;GLOB" ${ARGN})
  if(NOT ARG_DIR)
    set(ARG_DIR .)
  endif()
  if(NOT ARG_GLOB)
    set(ARG_GLOB *.cpp)
  endif()
  set(patterns "")
  foreach(p ${ARG_GLOB})
    list(APPEND patterns ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_DIR}/${p})
  endforeach()
  if(ARG_QT)
    file(GLOB srcs CONFIGURE_DEPENDS ${patterns})
  else()
    file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${patterns})
  endif()
  if(NOT srcs)
    message(FATAL_ERROR "${name}: no sources in ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_DIR}")
  endif()
  add_library(${name} STATIC ${srcs})
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_DIR} ABSOLUTE)
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR}/src ${folder})
  if(NOT rel MATCHES "^\\.\\.")
    set(root ${CMAKE_BINARY_DIR}/include/${name})
    get_filename_component(parent ${root}/${rel} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT IS_SYMLINK ${root}/${rel})
      file(CREATE_LINK ${folder} ${root}/${rel} SYMBOLIC)
    endif()
    target_include_directories(${name} PUBLIC ${root})
  endif()
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  if(ARG_QT)
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
  endif()
endfunction()

# varnel_program(NAME)
#   Marks NAME as one of the programs (or benchmarks, which measure them):
#   it allocates through jemalloc when the build has it (see the top-level
#   CMakeLists.txt).
function(varnel_program name)
  if(VARNEL_PROGRAM_ALLOCATOR)
    target_link_libraries(${name} PRIVATE ${VARNEL_PROGRAM_ALLOCATOR})
  endif()
endfunction()

# varnel_test(NAME SOURCES <files...> DEPS <targets...> [LABELS <labels...>] [SERIAL]
#             [QT] [LAUNCHER <command...>] [ENVIRONMENT <VAR=value...>])
#   One test binary registered as one CTest test. SERIAL marks tests that use
#   a fixed port or other machine-wide resource. Without QT it is a
#   GoogleTest binary; with QT a QtTest binary (its own main, AUTOMOC).
#   LAUNCHER runs the binary through a command (e.g. xvfb-run ...).
function(varnel_test name)
  cmake_parse_arguments(ARG "SERIAL;QT" "TIMEOUT" "SOURCES;DEPS;LABELS;LAUNCHER;ENVIRONMENT"
                        ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  # A test sees the headers of what it links (DEPS) and tests/ (its fixtures).
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  if(ARG_QT)
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
    target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  else()
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  endif()
  if(ARG_LAUNCHER)
    add_test(NAME ${name} COMMAND ${ARG_LAUNCHER} $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
                       ENVIRONMENT "VARNEL_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  varnel_suite_test(${name})
  if(ARG_ENVIRONMENT)
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT ${ARG_ENVIRONMENT})
  endif()
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
  if(ARG_SERIAL)
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
endfunction()

# varnel_test_folder(DEPS <targets...> [SOURCES <files...>] [TSAN] [TSAN_PATTERN <regex>]
#                    [SERIAL_PATTERN <regex>] [EXCLUDE <regex>] [QT]
#                    [ENVIRONMENT <VAR=value...>])
#   Every *_test.cpp in the current folder becomes one test binary named
#   after the file (tests/net/http/pinning_test.cpp: net_http_pinning_test),
#   linked with DEPS and with the shared test support, and built with the
#   folder's extra SOURCES. A folder without tests is a configuration error.
#   TSAN gives every test of the folder the "tsan" label (they also run in the
#   ThreadSanitizer build); TSAN_PATTERN only the files whose names match.
#   SERIAL_PATTERN marks tests that must not run beside others (fixed ports).
#   EXCLUDE leaves out files whose names match (the folder adds them itself).
#   QT and ENVIRONMENT as for varnel_test.
function(varnel_test_folder)
  cmake_parse_arguments(ARG "TSAN;QT" "TSAN_PATTERN;SERIAL_PATTERN;EXCLUDE"
                        "DEPS;SOURCES;ENVIRONMENT" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(NOT tests)
    message(FATAL_ERROR "${CMAKE_CURRENT_SOURCE_DIR}: no *_test.cpp files")
  endif()
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
  string(REPLACE "/" "_" prefix "${rel}")
  set(qt "")
  if(ARG_QT)
    set(qt QT)
  endif()
  foreach(t ${tests})
    get_filename_component(base ${t} NAME_WE)
    if(ARG_EXCLUDE AND base MATCHES "${ARG_EXCLUDE}")
      continue()
    endif()
    set(labels ${prefix})
    if(ARG_TSAN OR (ARG_TSAN_PATTERN AND base MATCHES "${ARG_TSAN_PATTERN}"))
      list(APPEND labels tsan)
    endif()
    set(serial "")
    if(ARG_SERIAL_PATTERN AND base MATCHES "${ARG_SERIAL_PATTERN}")
      set(serial SERIAL)
    endif()
    set(deps ${ARG_DEPS})
    if(TARGET varnel_test_support)
      list(APPEND deps varnel_test_support)
    endif()
    varnel_test(${prefix}_${base} SOURCES ${t} ${ARG_SOURCES} DEPS ${deps} LABELS ${labels}
                ENVIRONMENT ${ARG_ENVIRONMENT} ${serial} ${qt})
  endforeach()
endfunction()

# varnel_suite_test(<test>)
#   What every test of the suite has (tests/CMakeLists.txt sets up the two
#   fixtures): TMPDIR is the build's own temporary folder, made empty before
#   the tests and checked empty after them (varnel_tmpdir); the host's system
#   folders are listed before the tests and compared after them, and no
#   process the tests started may outlive them (varnel_host, which finds
#   those processes by VARNEL_TEST_SUITE in their environment). Call it after
#   any set_tests_properties(... ENVIRONMENT ...) of the test, which would
#   replace the environment it adds.
function(varnel_suite_test name)
  set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT TMPDIR=${VARNEL_TEST_TMPDIR}
               VARNEL_TEST_SUITE=${VARNEL_TEST_SUITE})
  set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED varnel_tmpdir varnel_host)
endfunction()

# Every add_test() of the tree is checked at the end of its folder: a test
# without varnel_suite_test() stops the configuration, because it could run
# while the clean-up checks look and could leave the host changed unseen.
#
# Every test runs through tests/support/run_tagged.sh, which narrows the
# suite's tag in its environment to the ctest run that started it, so the
# clean-up of one run never ends the programs of another run of the same
# build.
get_filename_component(VARNEL_TEST_RUN_TAGGER ${CMAKE_CURRENT_LIST_DIR}/../tests/support/run_tagged.sh
                       ABSOLUTE)
function(add_test)
  set(args ${ARGV})
  list(FIND args COMMAND at)
  if(ARGV0 STREQUAL "NAME" AND at GREATER -1)
    math(EXPR program_at "${at} + 1")
    list(GET args ${program_at} program)
    # A target's name as the program stands for its file.
    if(TARGET ${program})
      list(REMOVE_AT args ${program_at})
      list(INSERT args ${program_at} "$<TARGET_FILE:${program}>")
    endif()
    list(INSERT args ${program_at} /bin/sh ${VARNEL_TEST_RUN_TAGGER})
  endif()
  _add_test(${args})
  get_property(checked DIRECTORY PROPERTY VARNEL_SUITE_TESTS_CHECKED SET)
  if(NOT checked)
    set_property(DIRECTORY PROPERTY VARNEL_SUITE_TESTS_CHECKED TRUE)
    cmake_language(DEFER CALL varnel_check_suite_tests)
  endif()
endfunction()

function(varnel_check_suite_tests)
  get_property(tests DIRECTORY PROPERTY TESTS)
  foreach(t ${tests})
    get_test_property(${t} FIXTURES_SETUP setup)
    get_test_property(${t} FIXTURES_CLEANUP cleanup)
    if("varnel_tmpdir" IN_LIST setup OR "varnel_host" IN_LIST setup
       OR "varnel_tmpdir" IN_LIST cleanup OR "varnel_host" IN_LIST cleanup)
      continue()
    endif()
    get_test_property(${t} FIXTURES_REQUIRED required)
    get_test_property(${t} ENVIRONMENT env)
    if(NOT "varnel_tmpdir" IN_LIST required OR NOT "varnel_host" IN_LIST required
       OR NOT "VARNEL_TEST_SUITE=${VARNEL_TEST_SUITE}" IN_LIST env
       OR NOT "TMPDIR=${VARNEL_TEST_TMPDIR}" IN_LIST env)
      message(FATAL_ERROR "${CMAKE_CURRENT_SOURCE_DIR}: test ${t} lacks the suite's fixtures "
                          "or their environment: call varnel_suite_test(${t}) after its "
                          "properties are set")
    endif()
  endforeach()
endfunction()
