# One static library per module folder, built from every .cpp in it.
function(pw_add_module target)
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  add_library(${target} STATIC ${_sources})
  # Includes are rooted at src/: #include "engine/session.h".
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
endfunction()

# One GoogleTest executable per test folder, from every *_test.cpp in it.
function(pw_add_tests target)
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(NOT _sources)
    return()
  endif()
  add_executable(${target} ${_sources})
  target_link_libraries(${target} PRIVATE pw_testsupport GTest::gtest GTest::gtest_main ${ARGN})
  # Every test runs offscreen and plays on the fast silent device. Through
  # `env` rather than the ENVIRONMENT property: test discovery splits that
  # property's list at its semicolons and would drop all but the first.
  set_property(TARGET ${target} PROPERTY CROSSCOMPILING_EMULATOR
    env QT_QPA_PLATFORM=offscreen PITCHWELL_AUDIO=null-fast)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60)
endfunction()
