# dezsign end to end (shell), in test mode.
if(TARGET dezsign AND NOT WIN32)
  add_test(NAME tools_cli_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/cli_test.sh $<TARGET_FILE:dezsign> ${CMAKE_SOURCE_DIR})
  # Where results go (special files, links, standard output) and what batches refuse.
  add_test(NAME tools_cli_files_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/cli_files_test.sh $<TARGET_FILE:dezsign> ${CMAKE_SOURCE_DIR})
  # A run ended by a signal leaves no temporary file.
  add_test(NAME tools_cli_signals_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/cli_signals_test.sh $<TARGET_FILE:dezsign> ${CMAKE_SOURCE_DIR})
endif()

# dezsign with real signatures from the reference provider, checked with the openssl command.
if(TARGET dezsign AND TARGET spki1 AND TARGET spki1-tool AND NOT WIN32)
  add_test(NAME tools_spki1_e2e_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/spki1_e2e_test.sh
            $<TARGET_FILE:dezsign> $<TARGET_FILE:spki1-tool> ${CMAKE_SOURCE_DIR})
  set_tests_properties(tools_spki1_e2e_test PROPERTIES TIMEOUT 600)
endif()
