# Settings shared by every Korvex target.

add_library(korvex_options INTERFACE)
target_compile_options(korvex_options INTERFACE -Wall -Wextra -Wno-unused-parameter)
# Boost 1.74's Asio needs <utility> before it under GCC 12 in C++20 mode.
target_compile_options(korvex_options INTERFACE "SHELL:-include utility")
target_include_directories(korvex_options INTERFACE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR})
target_compile_definitions(korvex_options INTERFACE BOOST_ASIO_NO_DEPRECATED
                           KORVEX_VERSION="${PROJECT_VERSION}")

if(KORVEX_SANITIZE)
  add_compile_options(-fsanitize=${KORVEX_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${KORVEX_SANITIZE})
endif()
# Fuzz builds instrument every library for coverage; the fuzz targets add libFuzzer's driver.
if(KORVEX_BUILD_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# korvex_add_library(name SOURCES ... [LIBS ...]): one static library per subsystem folder.
function(korvex_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_compile_definitions(${name} PRIVATE KORVEXAPI_BUILD)
  target_link_libraries(${name} PUBLIC korvex_options PkgConfig::BSON Boost::system Boost::date_time
                        Threads::Threads ${ARG_LIBS})
endfunction()

# korvex_add_test(name SOURCES ... [LIBS ...] [TIMEOUT s] [LABELS ...]): one GoogleTest
# executable; each test case becomes its own ctest entry.
function(korvex_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  find_package(GTest REQUIRED)
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE korvex_options GTest::gtest GTest::gmock GTest::gtest_main
                        ${ARG_LIBS})
  include(GoogleTest)
  # Tests never touch the user's documents folder or the user's port registry; a test that
  # starts a simulated kit or the library should still use folders of its own.
  set(props TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT
      "KORVEX_BUILD_BIN=${CMAKE_BINARY_DIR}/bin;KORVEX_DOCUMENTS_DIR=${CMAKE_BINARY_DIR}/test-documents;KORVEX_RUNTIME_DIR=${CMAKE_BINARY_DIR}/test-runtime")
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# korvex_folder_library(name [EXCLUDE files...] [LIBS ...]): a static library of every .cpp in
# the calling folder (not its sub-folders), so adding a source file needs no CMake edit.
function(korvex_folder_library name)
  cmake_parse_arguments(ARG "" "" "EXCLUDE;LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(ex ${ARG_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${ex})
  endforeach()
  korvex_add_library(${name} SOURCES ${sources} LIBS ${ARG_LIBS})
endfunction()
