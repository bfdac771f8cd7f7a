# GoogleTest, cross-built from Debian's sources with the same compiler as the code.
# The starter-only configuration builds no tests: the 64-bit build runs them.
if(TOLVA_STARTER_ONLY)
  set(TOLVA_BUILD_TESTS OFF)
else()
  set(TOLVA_BUILD_TESTS ON)
  enable_testing()
  set(TOLVA_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${TOLVA_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()

# tolva_add_gtest(NAME sources... LIBS libs... [LABELS labels...] [TIMEOUT seconds]
#                 [WRAPPER command...])
# One executable is one ctest test: starting a Windows process under Wine is slow, so
# each executable holds a whole group of cases.
function(tolva_add_gtest name)
  # WRAPPER: a command that runs the test program (given with the emulator) for it.
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;WRAPPER" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_UNPARSED_ARGUMENTS})
  # tolva_testing: the helpers every test may use (testing/Testing.h).
  target_link_libraries(${name} PRIVATE ${T_LIBS} tolva_testing GTest::gtest_main)
  # scripts/wine-test starts it under Wine, once more if Wine failed to start it at all.
  add_test(NAME ${name} COMMAND ${T_WRAPPER} bash ${PROJECT_SOURCE_DIR}/scripts/wine-test
                                ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}>
                                --gtest_color=no)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
                       ENVIRONMENT "TOLVA_BUILD_DIR=${CMAKE_BINARY_DIR}")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# tolva_folder_library(<name> LIBS <deps...>)
# A static library from every *.cpp of the calling folder, and one test executable per
# *_test.cpp beside it (named <name>_<file>), so that files can be added without
# touching the folder's CMakeLists.txt.
function(tolva_folder_library name)
  cmake_parse_arguments(F "" "" "LIBS;TEST_LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  set(tests ${sources})
  list(FILTER sources EXCLUDE REGEX "_test\\.cpp$")
  list(FILTER tests INCLUDE REGEX "_test\\.cpp$")
  if(NOT sources)
    return()  # a folder still being started
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${F_LIBS})
  if(NOT TOLVA_BUILD_TESTS)
    return()
  endif()
  foreach(t ${tests})
    get_filename_component(n ${t} NAME_WE)
    tolva_add_gtest(${name}_${n} SOURCES ${t} LIBS ${name} ${F_TEST_LIBS})
  endforeach()
endfunction()
