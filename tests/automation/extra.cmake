# Tests of the objects against a crypto provider use the scriptable test provider.
if(TARGET automation_provider_objects_test AND TARGET lumo_test_provider_control)
  target_link_libraries(automation_provider_objects_test PRIVATE lumo_test_provider_control)
endif()
