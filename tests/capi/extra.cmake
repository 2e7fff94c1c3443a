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
  # Who signed, with real signatures of the reference provider.
  if(TARGET spki1 AND TARGET spki1-tool AND NOT WIN32)
    add_test(NAME capi_c_spki1_signer_test
      COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/capi/capi_spki1_signer.sh
              $<TARGET_FILE:capi_c_test> $<TARGET_FILE:spki1-tool>)
  endif()
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

# The Python module over the library (unittest). The sanitizer build's library needs the
# sanitizer runtime loaded into the interpreter first. Real signatures are checked here and
# against the package build (tests/package/package_test.sh).
# Debian's python3 (the one python3-lumodez serves and `make wheel` builds with), not
# whichever python3 comes first on PATH; -DLUMO_PYTHON3=... chooses another.
find_program(LUMO_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(LUMO_PYTHON3 python3)
if(TARGET lumodez AND LUMO_PYTHON3 AND NOT WIN32)
  set(lumo_python_env LUMODEZ_LIBRARY=$<TARGET_FILE:lumodez> PYTHONPATH=${CMAKE_SOURCE_DIR}/python
    PYTHONDONTWRITEBYTECODE=1)
  if(LUMO_SANITIZE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libclang_rt.asan-x86_64.so
      OUTPUT_VARIABLE lumo_asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND lumo_python_env LD_PRELOAD=${lumo_asan_runtime} ASAN_OPTIONS=detect_leaks=0)
  endif()
  add_test(NAME capi_python_test
    COMMAND ${CMAKE_COMMAND} -E env ${lumo_python_env}
            ${LUMO_PYTHON3} -m unittest discover -s ${CMAKE_SOURCE_DIR}/python/tests)
  # The real signatures of the reference provider, in this build too.
  if(TARGET spki1 AND TARGET spki1-tool)
    add_test(NAME capi_python_spki1_test
      COMMAND ${CMAKE_COMMAND} -E env ${lumo_python_env} LUMODEZ_PROVIDER=$<TARGET_FILE:spki1>
              SPKI1_TOOL=$<TARGET_FILE:spki1-tool>
              ${LUMO_PYTHON3} -m unittest discover -s ${CMAKE_SOURCE_DIR}/python/tests
              -k ReferenceProvider)
  endif()
endif()
