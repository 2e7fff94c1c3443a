# The C API used from a program written in C, linked against the shared library.
if(TARGET lumodez)
  add_executable(capi_c_test ${CMAKE_CURRENT_SOURCE_DIR}/capi/capi_c_test.c)
  set_target_properties(capi_c_test PROPERTIES C_STANDARD 99)
  target_link_libraries(capi_c_test PRIVATE lumodez)
  if(LUMO_SANITIZE AND CMAKE_C_COMPILER_ID STREQUAL "Clang")
    # The library inside is C++: link through the C++ driver so that the C++ parts of the
    # sanitizer runtimes come along (the program itself stays C).
    set_target_properties(capi_c_test PROPERTIES LINKER_LANGUAGE CXX)
  endif()
  add_test(NAME capi_c_test COMMAND capi_c_test)
endif()

if(TARGET lumodez AND NOT WIN32)
  set(lumo_consumer_flags "")
  if(LUMO_SANITIZE)
    set(lumo_consumer_flags "-fsanitize=address,undefined -fsanitize-link-c++-runtime")
    set(lumo_consumer_libs "-lstdc++")
  endif()
  add_test(NAME capi_install_test
    COMMAND ${CMAKE_COMMAND} -E env CC=${CMAKE_C_COMPILER} "LUMO_CONSUMER_FLAGS=${lumo_consumer_flags}" "LUMO_CONSUMER_LIBS=${lumo_consumer_libs}"
            bash ${CMAKE_CURRENT_SOURCE_DIR}/capi/install_test.sh ${CMAKE_BINARY_DIR})
endif()

if(TARGET lumodez AND TARGET dezsign AND NOT WIN32 AND NOT APPLE)
  add_test(NAME capi_runpath_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/capi/runpath_test.sh ${CMAKE_BINARY_DIR})
endif()
