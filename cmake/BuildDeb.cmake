# Runs CPack for the deb target (cmake/Packaging.cmake): the package is made
# in a staging folder and only the finished .deb goes to <build>/packages,
# which afterwards holds that one file.
#   cmake -DBUILD_DIR=<build> -DCPACK=<cpack> -DPACKAGE=<name> -P BuildDeb.cmake
set(staging ${BUILD_DIR}/packaging/cpack)
set(out ${BUILD_DIR}/packages)
file(REMOVE_RECURSE ${staging})
file(MAKE_DIRECTORY ${staging} ${out})
execute_process(
  COMMAND ${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -G DEB -B ${staging}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed (${rc})")
endif()
file(GLOB made ${staging}/${PACKAGE}_*.deb)
list(LENGTH made count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "cpack made ${count} packages: ${made}")
endif()
file(GLOB old ${out}/*)
if(old)
  file(REMOVE_RECURSE ${old})
endif()
get_filename_component(name ${made} NAME)
file(RENAME ${made} ${out}/${name})
file(REMOVE_RECURSE ${staging})
message(STATUS "Package: ${out}/${name}")
