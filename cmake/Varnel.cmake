# Helpers shared by every folder's CMakeLists.txt.
#
# varnel_library(NAME DIR <dir> [DEPS <targets...>])
#   One static library from every .cpp below <dir> (relative to the current
#   source dir). Headers are included as "platform/foundation/value.h", i.e.
#   relative to src/.
function(varnel_library name)
  cmake_parse_arguments(ARG "" "DIR" "DEPS" ${ARGN})
  if(NOT ARG_DIR)
    set(ARG_DIR .)
  endif()
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_DIR}/*.cpp)
  if(NOT srcs)
    # A folder whose sources are still to come: its dependents link nothing.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
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

# varnel_test(NAME SOURCES <files...> DEPS <targets...> [LABELS <labels...>] [SERIAL])
#   One GoogleTest binary registered as one CTest test. SERIAL marks tests
#   that use a fixed port or other machine-wide resource.
function(varnel_test name)
  cmake_parse_arguments(ARG "SERIAL" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
                       ENVIRONMENT "VARNEL_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
  if(ARG_SERIAL)
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
endfunction()

# varnel_test_folder(DEPS <targets...> [TSAN_PATTERN <regex>] [SERIAL_PATTERN <regex>])
#   Every *_test.cpp in the current folder becomes one test binary named
#   after the file, linked with DEPS and with the shared test support. Files
#   whose names match TSAN_PATTERN carry the "tsan" label (they also run in
#   the ThreadSanitizer build); SERIAL_PATTERN marks tests that must not run
#   beside others (fixed ports).
function(varnel_test_folder)
  cmake_parse_arguments(ARG "" "TSAN_PATTERN;SERIAL_PATTERN" "DEPS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
  string(REPLACE "/" "_" prefix "${rel}")
  foreach(t ${tests})
    get_filename_component(base ${t} NAME_WE)
    set(labels ${prefix})
    if(ARG_TSAN_PATTERN AND base MATCHES "${ARG_TSAN_PATTERN}")
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
    varnel_test(${prefix}_${base} SOURCES ${t} DEPS ${deps} LABELS ${labels} ${serial})
  endforeach()
endfunction()
