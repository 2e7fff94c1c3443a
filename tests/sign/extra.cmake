# The signing core's tests that go through a crypto provider use the test provider
# (tests/provider/test_provider_control.h): the test links it, and the binding's load of
# the same file returns the same instance, so the test reads its counters.
if(TARGET sign_provider_paths_test AND TARGET lumo_test_provider_control)
  target_link_libraries(sign_provider_paths_test PRIVATE lumo_test_provider_control)
endif()
if(TARGET sign_signature_check_test AND TARGET lumo_test_provider_control)
  target_link_libraries(sign_signature_check_test PRIVATE lumo_test_provider_control)
endif()
