# dezsign end to end (shell), in test mode.
if(TARGET dezsign AND NOT WIN32)
  add_test(NAME tools_cli_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/cli_test.sh $<TARGET_FILE:dezsign> ${CMAKE_SOURCE_DIR})
endif()
