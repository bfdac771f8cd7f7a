# The 32-bit tolvastarter.dll, for 32-bit script hosts (32-bit Office, SysWOW64's
# cscript): the same sources configured a second time with the i686 compiler, building
# only the starter. TOLVA_STARTER32_DLL is its full path, or empty without that compiler.
set(TOLVA_STARTER32_DLL "")
find_program(TOLVA_I686_CXX NAMES i686-w64-mingw32-g++-posix)
if(NOT TOLVA_I686_CXX)
  message(STATUS "No i686-w64-mingw32-g++-posix: the 32-bit tolvastarter.dll is not built")
  return()
endif()

include(ExternalProject)
set(starter32_dir ${CMAKE_BINARY_DIR}/x86)
set(TOLVA_STARTER32_DLL ${starter32_dir}/starter/tolvastarter.dll)
# The sub-build holds one of the outer build's job slots: by default it compiles one file
# at a time beside the others rather than doubling the load on the machine.
set(TOLVA_STARTER32_JOBS 1 CACHE STRING "Parallel jobs of the 32-bit starter build")
ExternalProject_Add(starter32
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${starter32_dir}
  # Its step stamps inside its own folder: removing build/x86 starts it afresh.
  PREFIX ${starter32_dir}/external
  CMAKE_GENERATOR ${CMAKE_GENERATOR}
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-i686.cmake
             -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
             -DCMAKE_CXX_FLAGS=${CMAKE_CXX_FLAGS}
             -DTOLVA_STARTER_ONLY=ON
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${starter32_dir} --target tolvastarter
                -j ${TOLVA_STARTER32_JOBS}
  BUILD_BYPRODUCTS ${TOLVA_STARTER32_DLL}
  INSTALL_COMMAND ""
  # The sub-build's own build files know what changed; asking them costs little.
  BUILD_ALWAYS ON)
message(STATUS "32-bit tolvastarter.dll: ${TOLVA_STARTER32_DLL}")
