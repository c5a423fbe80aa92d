# torvik_add_test(<name> SOURCES <files...> LIBS <targets...> [ENV <VAR=value...>])
# Builds one GoogleTest program and registers its tests with CTest.
find_package(GTest REQUIRED)
include(GoogleTest)

function(torvik_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES ENVIRONMENT "${T_ENV}"
    DISCOVERY_TIMEOUT 60)
endfunction()
