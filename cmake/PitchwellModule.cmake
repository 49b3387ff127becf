# One static library per module folder, built from every .cpp in it.
function(pw_add_module target)
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  add_library(${target} STATIC ${_sources})
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
endfunction()

# One GoogleTest executable per test folder, from every *_test.cpp in it.
function(pw_add_tests target)
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(NOT _sources)
    return()
  endif()
  add_executable(${target} ${_sources})
  target_link_libraries(${target} PRIVATE pw_testsupport GTest::gtest GTest::gtest_main ${ARGN})
  gtest_discover_tests(${target}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;PITCHWELL_AUDIO=null-fast")
endfunction()
