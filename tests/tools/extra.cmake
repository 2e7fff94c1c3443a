# The shared option reader of the document commands, tested on its own.
target_sources(tools_options_test PRIVATE ${CMAKE_SOURCE_DIR}/tools/options.cpp)

# dezsign end to end (shell), in test mode.
if(TARGET dezsign AND NOT WIN32)
  add_test(NAME tools_cli_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/cli_test.sh $<TARGET_FILE:dezsign> ${CMAKE_SOURCE_DIR})
  # Where results go (special files, links, standard output) and what batches refuse.
  add_test(NAME tools_cli_files_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/cli_files_test.sh $<TARGET_FILE:dezsign> ${CMAKE_SOURCE_DIR})
  # The command line as users type it: per-command --help, GNU option forms, -q,
  # --parents, export-signature, progress on a dumb terminal.
  add_test(NAME tools_cli_options_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/cli_options_test.sh $<TARGET_FILE:dezsign> ${CMAKE_SOURCE_DIR})
  # check-signature's verdicts on edited signed documents: refused, or still OK.
  add_test(NAME tools_cli_verdict_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/cli_verdict_test.sh $<TARGET_FILE:dezsign> ${CMAKE_SOURCE_DIR})
  # A batch killed with SIGKILL leaves only complete results (on a disk folder: the build
  # tree); run again with --skip-existing it finishes.
  add_test(NAME tools_cli_crash_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/cli_crash_test.sh $<TARGET_FILE:dezsign> ${CMAKE_SOURCE_DIR}
            ${CMAKE_BINARY_DIR})
  set_tests_properties(tools_cli_crash_test PROPERTIES TIMEOUT 600)
  # A run ended by a signal leaves no temporary file.
  add_test(NAME tools_cli_signals_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/cli_signals_test.sh $<TARGET_FILE:dezsign> ${CMAKE_SOURCE_DIR})
  # The folder spool: crashes and restarts, two spools, producers, a full disk.
  add_test(NAME tools_spool_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/spool_test.sh $<TARGET_FILE:dezsign> ${CMAKE_SOURCE_DIR})
  set_tests_properties(tools_spool_test PROPERTIES TIMEOUT 300)
endif()

# What dezsign refuses: unknown action codes, test mode beside a key, provider results
# that do not name every signer good (the scripted test provider).
if(TARGET dezsign AND TARGET lumo_test_provider AND NOT WIN32)
  add_test(NAME tools_cli_refusals_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/cli_refusals_test.sh $<TARGET_FILE:dezsign>
            ${CMAKE_SOURCE_DIR} $<TARGET_FILE:lumo_test_provider>)
endif()

# dezsign with real signatures from the reference provider, checked with the openssl command.
if(TARGET dezsign AND TARGET spki1 AND TARGET spki1-tool AND NOT WIN32)
  add_test(NAME tools_spki1_e2e_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/spki1_e2e_test.sh
            $<TARGET_FILE:dezsign> $<TARGET_FILE:spki1-tool> ${CMAKE_SOURCE_DIR})
  set_tests_properties(tools_spki1_e2e_test PROPERTIES TIMEOUT 600)
  # Who may sign: signer policy, revocation and a verify-only receiver, each verdict the
  # one the openssl command gives on the same signature.
  add_test(NAME tools_spki1_signer_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/spki1_signer_test.sh
            $<TARGET_FILE:dezsign> $<TARGET_FILE:spki1-tool> ${CMAKE_SOURCE_DIR})
  set_tests_properties(tools_spki1_signer_test PROPERTIES TIMEOUT 600)
endif()

# The commands and actions of --help are those of the completion and the manual page.
if(TARGET dezsign AND NOT WIN32)
  add_test(NAME tools_commands_check
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/commands_check.sh $<TARGET_FILE:dezsign> ${CMAKE_SOURCE_DIR})
endif()

# The manual pages describe exactly the options that --help prints.
if(TARGET dezsign AND NOT WIN32)
  set(lumo_manpage_pairs $<TARGET_FILE:dezsign> ${CMAKE_SOURCE_DIR}/man/dezsign.1)
  if(TARGET spki1-tool)
    list(APPEND lumo_manpage_pairs $<TARGET_FILE:spki1-tool> ${CMAKE_SOURCE_DIR}/man/spki1-tool.1)
  endif()
  add_test(NAME tools_manpage_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/manpage_test.sh ${lumo_manpage_pairs})
endif()
