# SPDX-License-Identifier: MIT
# Header-only and source-built dependencies for a cross build, where this
# machine's installed CMake packages are not usable: nlohmann-json's package
# adds -I/usr/include (glibc's headers would replace Windows'), and
# GoogleTest's are libraries built for this machine.

# nlohmann-json: its headers alone, copied into the build tree so that no
# include path of this machine's reaches the compiler.
find_path(GIFEXPORT_NLOHMANN_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
if(NOT GIFEXPORT_NLOHMANN_DIR)
  message(FATAL_ERROR "nlohmann/json.hpp not found (apt-get install nlohmann-json3-dev)")
endif()
file(COPY "${GIFEXPORT_NLOHMANN_DIR}/nlohmann" DESTINATION "${CMAKE_BINARY_DIR}/cross-include")
add_library(gifexport_nlohmann_json INTERFACE)
target_include_directories(gifexport_nlohmann_json SYSTEM INTERFACE "${CMAKE_BINARY_DIR}/cross-include")
add_library(nlohmann_json::nlohmann_json ALIAS gifexport_nlohmann_json)
set(nlohmann_json_FOUND TRUE)

# GoogleTest, built from the source Debian's googletest package installs.
if(BUILD_TESTING)
  set(GIFEXPORT_GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest source tree")
  if(NOT EXISTS "${GIFEXPORT_GTEST_SRC}/CMakeLists.txt")
    message(FATAL_ERROR "No GoogleTest source in ${GIFEXPORT_GTEST_SRC} (apt-get install googletest)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory("${GIFEXPORT_GTEST_SRC}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
  # GoogleTest's own CMake defines these names from 1.11 on.
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
  set(GTest_FOUND TRUE)
  # Test programs are listed when the tests run (under the emulator), not
  # while building.
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()
