# The test provider (tests/provider/test_provider.c; how to use it: test_provider_control.h)
# and the wiring of the provider binding's tests. Included from lumo_test_area(provider ...).

set(LUMO_TEST_PROVIDER_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/provider/test_provider.c)

# One build of the test provider: output name spki1 (libspki1.so / spki1.dll) in a folder of
# its own under <build>/tests/provider/, so that a loader pointed at that folder or at the
# full path finds it under the provider's real file name.
function(lumo_test_provider_build target kind folder)
  add_library(${target} ${kind} ${LUMO_TEST_PROVIDER_SOURCE})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/provider)
  target_compile_definitions(${target} PRIVATE ${ARGN})
  target_link_libraries(${target} PRIVATE Threads::Threads)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/provider/${folder})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME spki1
    C_STANDARD 99
    C_VISIBILITY_PRESET default
    LIBRARY_OUTPUT_DIRECTORY ${dir}
    RUNTIME_OUTPUT_DIRECTORY ${dir}
    ARCHIVE_OUTPUT_DIRECTORY ${dir})
  if(WIN32)
    # "spki1.dll", entry points exported under their plain (undecorated) names.
    set_target_properties(${target} PROPERTIES PREFIX "")
    if(MINGW)
      target_link_options(${target} PRIVATE -Wl,--kill-at)
    endif()
  endif()
endfunction()

lumo_test_provider_build(lumo_test_provider SHARED test_provider)
# Variants for the binding's missing-entry-point branches; loaded by path only (MODULE: no
# soname, so a load of the plain name "libspki1.so" never picks one of them).
lumo_test_provider_build(lumo_test_provider_no_errortext MODULE test_provider_no_errortext
  TP_OMIT_GETERRORTEXT)
lumo_test_provider_build(lumo_test_provider_no_free MODULE test_provider_no_free TP_OMIT_FREE)
lumo_test_provider_build(lumo_test_provider_only_errortext MODULE test_provider_only_errortext
  TP_ONLY_GETERRORTEXT)
lumo_test_provider_build(lumo_test_provider_slow MODULE test_provider_slow TP_LOAD_DELAY_MS=40)
# Whatever links the test provider gets the variants built too.
add_dependencies(lumo_test_provider lumo_test_provider_no_errortext lumo_test_provider_no_free
  lumo_test_provider_only_errortext lumo_test_provider_slow)

# What a test links to script the provider: the library, the control header and its paths.
add_library(lumo_test_provider_control INTERFACE)
target_link_libraries(lumo_test_provider_control INTERFACE lumo_test_provider)
target_include_directories(lumo_test_provider_control INTERFACE
  ${CMAKE_CURRENT_SOURCE_DIR}/provider ${CMAKE_SOURCE_DIR})
target_compile_definitions(lumo_test_provider_control INTERFACE
  LUMO_TEST_PROVIDER_PATH="$<TARGET_FILE:lumo_test_provider>"
  LUMO_TEST_PROVIDER_DIR="$<TARGET_FILE_DIR:lumo_test_provider>"
  LUMO_TEST_PROVIDER_NO_ERRORTEXT_PATH="$<TARGET_FILE:lumo_test_provider_no_errortext>"
  LUMO_TEST_PROVIDER_NO_FREE_PATH="$<TARGET_FILE:lumo_test_provider_no_free>"
  LUMO_TEST_PROVIDER_ONLY_ERRORTEXT_PATH="$<TARGET_FILE:lumo_test_provider_only_errortext>"
  LUMO_TEST_PROVIDER_SLOW_PATH="$<TARGET_FILE:lumo_test_provider_slow>")

# The binding's own tests.
if(TARGET provider_signatura_test)
  target_link_libraries(provider_signatura_test PRIVATE lumo_test_provider_control)
endif()
# Loads the default name "libspki1.so" through the loader's search, which finds the test
# provider through the executable's run path (as an installed core finds a provider beside
# it). Deliberately not linked with the provider.
if(TARGET provider_default_name_test)
  add_dependencies(provider_default_name_test lumo_test_provider)
  target_include_directories(provider_default_name_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/provider)
  set_property(TARGET provider_default_name_test APPEND PROPERTY
    BUILD_RPATH ${CMAKE_CURRENT_BINARY_DIR}/provider/test_provider)
endif()
# Which entry points each build of the test provider exports.
if(TARGET provider_entry_points_test)
  target_link_libraries(provider_entry_points_test PRIVATE lumo_test_provider_control)
endif()
