# Shared build helpers.

# Warnings for our own code only; third-party headers are included as SYSTEM.
add_library(zb_warnings INTERFACE)
target_compile_options(zb_warnings INTERFACE -Wall -Wextra -Werror)
# GCC 12 reports a false -Wrestrict overlap inside libstdc++'s std::string
# code at -O2/-O3 (GCC bug 105651); it fires on plain string concatenation.
target_compile_options(zb_warnings INTERFACE $<$<AND:$<CXX_COMPILER_ID:GNU>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,13>>:-Wno-restrict>)
# With the sanitizers GCC's flow analysis reports -Wmaybe-uninitialized inside
# libstdc++ (std::regex, std::function) that the plain build does not; the
# plain build keeps the warning as an error.
if(ZB_SANITIZE)
  target_compile_options(zb_warnings INTERFACE $<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>)
endif()

# zb_add_library(<name> [LIBS ...] [QT]): one library per subsystem folder,
# built from every .cc beside the calling CMakeLists.txt. Globbing keeps the
# folders independent: adding a module never means editing a shared list.
function(zb_add_library name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_LIBS} PRIVATE zb_warnings)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_LIBS})
  endif()
endfunction()

# zb_add_test(<file> LIBS ... [ENV ...]): one GoogleTest program per test
# file, registered with CTest under the file's stem.
function(zb_add_test file)
  cmake_parse_arguments(ARG "" "" "LIBS;ENV" ${ARGN})
  get_filename_component(stem ${file} NAME_WE)
  add_executable(${stem} ${file})
  target_include_directories(${stem} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${stem} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main zb_warnings)
  add_test(NAME ${stem} COMMAND ${stem})
  set_tests_properties(${stem} PROPERTIES
    ENVIRONMENT "ZB_SOURCE_DIR=${PROJECT_SOURCE_DIR};ZB_BINARY_DIR=${CMAKE_BINARY_DIR};ZB_PROGRAM_DIR=${ZB_PROGRAM_DIR};${ARG_ENV}")
endfunction()

# zb_add_tests_in_folder(LIBS ...): every *_test.cc beside the calling file.
function(zb_add_tests_in_folder)
  cmake_parse_arguments(ARG "" "" "LIBS;ENV" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  foreach(t ${tests})
    zb_add_test(${t} LIBS ${ARG_LIBS} ENV ${ARG_ENV})
  endforeach()
endfunction()
