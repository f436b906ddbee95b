# Tests that read daemon's syslog records.  They run in a process of their
# own, which builds a private /dev with a syslog socket (syslog_capture.h).
file(GLOB daemon_syslog_test_sources CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*_nstest.cc)
add_executable(daemon_syslog_test syslog_main.cc syslog_capture.cc
    ${daemon_syslog_test_sources})
target_link_libraries(daemon_syslog_test PRIVATE daemon_harness GTest::gtest)
gtest_discover_tests(daemon_syslog_test DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 60)

# Tests that need many restart cycles, and so more time than the others.
file(GLOB daemon_long_test_sources CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*_longtest.cc)
add_executable(daemon_long_test main.cc ${daemon_long_test_sources})
target_link_libraries(daemon_long_test PRIVATE daemon_harness GTest::gtest)
gtest_discover_tests(daemon_long_test DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120)
