# The signing core's tests that go through a crypto provider use the test provider
# (tests/provider/test_provider_control.h): the test links it, and the binding's load of
# the same file returns the same instance, so the test reads its counters.
if(TARGET sign_provider_paths_test AND TARGET lumo_test_provider_control)
  target_link_libraries(sign_provider_paths_test PRIVATE lumo_test_provider_control)
endif()
if(TARGET sign_signature_check_test AND TARGET lumo_test_provider_control)
  target_link_libraries(sign_signature_check_test PRIVATE lumo_test_provider_control)
endif()

# The order of the system calls that put a result file in place (write, flush, rename,
# folder flush), seen by wrapping them at link time in this one binary (GNU ld, Linux).
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_executable(sign_output_order_test ${CMAKE_CURRENT_SOURCE_DIR}/sign/output_order.cpp)
  target_link_libraries(sign_output_order_test PRIVATE lumo_sign GTest::gtest GTest::gtest_main)
  target_link_options(sign_output_order_test PRIVATE
    -Wl,--wrap=write,--wrap=fsync,--wrap=syncfs,--wrap=rename)
  gtest_discover_tests(sign_output_order_test DISCOVERY_TIMEOUT 120)
endif()
