# dezsign canon on a worked example whose canonical bytes were derived by hand, byte for byte, and its
# error and usage exits. (Included from lumo_test_area; CMAKE_CURRENT_SOURCE_DIR is tests/.)
if(TARGET dezsign)
  set(_canon_dir ${CMAKE_CURRENT_SOURCE_DIR}/canon)
  set(_canon_out ${CMAKE_CURRENT_BINARY_DIR}/canon_cli)
  file(MAKE_DIRECTORY ${_canon_out})
  function(lumo_canon_cli name)
    add_test(NAME canon_cli_${name} COMMAND ${CMAKE_COMMAND}
      -DDEZSIGN=$<TARGET_FILE:dezsign> -DOUT=${_canon_out}/${name} ${ARGN}
      -P ${_canon_dir}/canon_cli.cmake)
  endfunction()
  set(_example ${_canon_dir}/data/worked_example.xml)
  lumo_canon_cli(fixed "-DARGS=canon|${_example}" -DEXIT=0
    -DEXPECTED=${_canon_dir}/data/worked_example.fixed)
  lumo_canon_cli(numbered "-DARGS=canon|--numbered|${_example}" -DEXIT=0
    -DEXPECTED=${_canon_dir}/data/worked_example.numbered)
  lumo_canon_cli(stdin "-DARGS=canon|-" -DSTDIN=${_example} -DEXIT=0
    -DEXPECTED=${_canon_dir}/data/worked_example.fixed)
  lumo_canon_cli(stdin_numbered "-DARGS=canon|--numbered|-" -DSTDIN=${_example} -DEXIT=0
    -DEXPECTED=${_canon_dir}/data/worked_example.numbered)
  lumo_canon_cli(malformed "-DARGS=canon|-" -DSTDIN=${_canon_dir}/data/malformed.xml -DEXIT=1
    -DSTDOUT_EMPTY=1 "-DSTDERR_HAS=Position: ")
  lumo_canon_cli(missing_file "-DARGS=canon|${_canon_dir}/data/no-such-file.xml" -DEXIT=1
    -DSTDOUT_EMPTY=1 "-DSTDERR_HAS=no-such-file.xml")
  lumo_canon_cli(usage_no_file "-DARGS=canon" -DEXIT=2 -DSTDOUT_EMPTY=1 "-DSTDERR_HAS=usage")
  lumo_canon_cli(usage_bad_option "-DARGS=canon|--fixed|${_example}" -DEXIT=2
    -DSTDOUT_EMPTY=1 "-DSTDERR_HAS=usage")
  lumo_canon_cli(usage_two_files "-DARGS=canon|${_example}|${_example}" -DEXIT=2
    -DSTDOUT_EMPTY=1 "-DSTDERR_HAS=usage")
  if(NOT WIN32)
    add_test(NAME canon_cli_numbered_is_what_root_signs
      COMMAND bash ${_canon_dir}/canon_numbered_test.sh $<TARGET_FILE:dezsign>)
  endif()
endif()

# The canonical text taken straight from the tree against the markup parsed again: a replay
# over the seeds in every build, and a short fuzzing run where libFuzzer is available.
set(_xf_dir ${CMAKE_CURRENT_SOURCE_DIR}/canon)
add_executable(canon_fuzz_replay ${_xf_dir}/fuzz_canonical.cpp)
target_compile_definitions(canon_fuzz_replay PRIVATE LUMO_FUZZ_REPLAY_MAIN=1)
target_link_libraries(canon_fuzz_replay PRIVATE lumo_canon)
add_test(NAME canon_fuzz_seeds
  COMMAND canon_fuzz_replay ${_xf_dir}/fuzz_corpus ${CMAKE_CURRENT_SOURCE_DIR}/dom/fuzz_corpus)
# Every document of the W3C conformance suite.
lumo_w3c_test(canon_w3c_documents canon_fuzz_replay)

if(TARGET lumo_dom_fuzz)
  lumo_fuzz_copy(lumo_canon_fuzz lumo_canon lumo_dom_fuzz)
  lumo_fuzz_target(fuzz_canonical ${_xf_dir}/fuzz_canonical.cpp lumo_canon_fuzz canon_fuzz_short)
endif()
