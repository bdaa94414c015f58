# Target helpers. Each library is every .cpp file under its folder (new files
# join on the next configure), each test suite every .cpp file directly in one
# folder of tests/, so adding a module never means editing a list.

function(verbolin_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  # GCC 12 at -O3 reports overlapping copies inside std::string that cannot
  # happen (its bug 105651); the warning says nothing about our code there.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  if(VERBOLIN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
    # GCC 12 at -O3 also calls the members of std::string inside aggregates
    # "maybe uninitialized" where they are not; it stays a warning there, so a
    # Release build of the tests still builds.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      target_compile_options(${target} PRIVATE -Wno-error=maybe-uninitialized)
    endif()
  endif()
endfunction()

# verbolin_library(name dir [EXCLUDE regex] DEPS libs...)
function(verbolin_library name dir)
  cmake_parse_arguments(ARG "" "EXCLUDE" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${ARG_EXCLUDE}")
  endif()
  if(name STREQUAL "verbolin_ui")
    set(CMAKE_AUTOMOC ON)
  endif()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
    set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    verbolin_warnings(${name})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# The test doubles (fake audio backend, manual main executor, virtual clock)
# that suites and benchmarks share; kept out of the product libraries.
# The audio doubles sit in a library of their own, so that the suites below
# the audio layer link nothing of it.
function(verbolin_test_support dir)
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
  set(audio_sources ${sources})
  list(FILTER audio_sources INCLUDE REGEX "/FakeAudioBackend\\.cpp$")
  list(FILTER sources EXCLUDE REGEX "/FakeAudioBackend\\.cpp$")
  add_library(verbolin_test_support STATIC ${sources})
  target_include_directories(verbolin_test_support PUBLIC ${PROJECT_SOURCE_DIR}/${dir}/..)
  target_link_libraries(verbolin_test_support PUBLIC platform_system)
  verbolin_warnings(verbolin_test_support)
  add_library(verbolin_test_audio STATIC ${audio_sources})
  target_link_libraries(verbolin_test_audio PUBLIC verbolin_test_support platform_audio)
  verbolin_warnings(verbolin_test_audio)
endfunction()

# The suites whose tests run work on several threads (executors, streams,
# the compute pool, predictions through one model state, batch transcription,
# capture and listening sessions, the transcript's WAL copied beside its
# writes). Their tests carry the CTest label "concurrency", which
# scripts/test-tsan runs under ThreadSanitizer.
set(VERBOLIN_CONCURRENCY_SUITES
  test_platform_system test_platform_ml test_platform_audio test_vortilcore_core test_auralith_core
  test_auralith_pipeline test_verbolin_listening test_verbolin_session test_verbolin_storage
  test_verbolin_app)

# The library a suite under tests/<rel> tests, the highest it may link; the
# ones below come with it. scripts/check-layers holds the same map.
function(verbolin_suite_library rel out)
  if(rel MATCHES "^platform/(system|audio|ml)")
    set(library platform_${CMAKE_MATCH_1})
  elseif(rel MATCHES "^(vortilcore|auralith)(/|$)")
    set(library ${CMAKE_MATCH_1})
  elseif(rel MATCHES "^verbolin/(ui|shell)(/|$)")
    set(library verbolin_ui)
  elseif(rel MATCHES "^verbolin(/|$)")
    set(library verbolin_core)
  elseif(rel STREQUAL "tools")
    set(library platform_ml)
  else()
    message(FATAL_ERROR "tests/${rel}: no library for this suite in verbolin_suite_library")
  endif()
  set(${out} ${library} PARENT_SCOPE)
endfunction()

# Each test's own limit, which ctest's --timeout does not override. The
# longest checks take about two minutes with ThreadSanitizer on a machine
# busy with other builds, and several times their plain time under either
# sanitizer. The random window runs take a minute plain and eight to ten
# alone under AddressSanitizer, and twice that beside the other suites:
# those builds allow six times as long.
if(SANITIZE)
  set(VERBOLIN_TEST_TIMEOUT 1800)
else()
  set(VERBOLIN_TEST_TIMEOUT 300)
endif()

# One GoogleTest executable per folder of tests/ that holds .cpp files:
# tests/vortilcore/core becomes test_vortilcore_core.
function(verbolin_test_suites root)
  file(GLOB_RECURSE all CONFIGURE_DEPENDS ${root}/*.cpp)
  set(dirs "")
  foreach(f IN LISTS all)
    get_filename_component(d ${f} DIRECTORY)
    list(APPEND dirs ${d})
  endforeach()
  list(REMOVE_DUPLICATES dirs)
  # tests/support is the doubles and helpers every suite shares, not a suite.
  list(FILTER dirs EXCLUDE REGEX "/${root}/support$")
  foreach(d IN LISTS dirs)
    file(GLOB sources CONFIGURE_DEPENDS ${d}/*.cpp)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR}/${root} ${d})
    string(REPLACE "/" "_" suffix "${rel}")
    set(exe test_${suffix})
    add_executable(${exe} ${sources})
    verbolin_suite_library(${rel} library)
    target_link_libraries(${exe} PRIVATE ${library} verbolin_test_support
      GTest::gtest GTest::gmock GTest::gtest_main PkgConfig::HTTPLIB)
    if(NOT library MATCHES "^platform_(system|ml)$")
      target_link_libraries(${exe} PRIVATE verbolin_test_audio)
    endif()
    if(rel MATCHES "^verbolin/ui")
      target_link_libraries(${exe} PRIVATE Qt6::Test)
    endif()
    target_include_directories(${exe} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_compile_definitions(${exe} PRIVATE
      VERBOLIN_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data"
      VERBOLIN_BINARY_DIR="${PROJECT_BINARY_DIR}")
    verbolin_warnings(${exe})
    set(properties ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT ${VERBOLIN_TEST_TIMEOUT})
    if(exe IN_LIST VERBOLIN_CONCURRENCY_SUITES)
      list(APPEND properties LABELS concurrency)
    endif()
    gtest_discover_tests(${exe} DISCOVERY_MODE PRE_TEST PROPERTIES ${properties})
  endforeach()
endfunction()

function(verbolin_benchmarks root)
  file(GLOB sources CONFIGURE_DEPENDS ${root}/*.cpp)
  foreach(f IN LISTS sources)
    get_filename_component(n ${f} NAME_WE)
    add_executable(bench_${n} ${f})
    target_link_libraries(bench_${n} PRIVATE verbolin_ui verbolin_core auralith vortilcore
      platform_ml platform_audio platform_system benchmark::benchmark PkgConfig::HTTPLIB)
    target_link_libraries(bench_${n} PRIVATE verbolin_test_audio)
    target_compile_definitions(bench_${n} PRIVATE
      VERBOLIN_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
    verbolin_warnings(bench_${n})
  endforeach()
endfunction()
