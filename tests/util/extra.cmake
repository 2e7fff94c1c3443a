# Extra tests of the util area (included from lumo_test_area in tests/CMakeLists.txt, so this
# runs in that function's scope): the W3C XML conformance suite, the differential test
# against expat, the loader's fuzz target and its regression inputs.
set(_xt_dir ${CMAKE_CURRENT_LIST_DIR})

# --- W3C XML conformance suite -------------------------------------------------------
# The archive stays zipped next to the repository; it is unpacked into the build tree at
# configure time (again when the archive changes). Without it the test skips and says why.
get_filename_component(_xt_zip_dir "${LUMO_XMLCONF_ZIP}" DIRECTORY)
set(_xt_subset "${_xt_zip_dir}/SUBSET-xml10-5e-nonvalidating.tsv")
set(_xt_unpacked "${CMAKE_BINARY_DIR}/xmlconf-suite")
if(EXISTS "${LUMO_XMLCONF_ZIP}")
  file(SHA256 "${LUMO_XMLCONF_ZIP}" _xt_hash)
  set(_xt_stamp "${_xt_unpacked}/.unpacked-${_xt_hash}")
  if(NOT EXISTS "${_xt_stamp}")
    message(STATUS "Unpacking the XML conformance suite into ${_xt_unpacked}")
    file(REMOVE_RECURSE "${_xt_unpacked}")
    file(MAKE_DIRECTORY "${_xt_unpacked}")
    file(ARCHIVE_EXTRACT INPUT "${LUMO_XMLCONF_ZIP}" DESTINATION "${_xt_unpacked}")
    file(TOUCH "${_xt_stamp}")
  endif()
else()
  message(STATUS "XML conformance suite archive not found (${LUMO_XMLCONF_ZIP}): "
                 "its test will be skipped")
endif()
if(TARGET util_xml_conformance_test)
  target_compile_definitions(util_xml_conformance_test PRIVATE
    LUMO_XMLCONF_DIR="${_xt_unpacked}/xmlconf"
    LUMO_XMLCONF_SUBSET="${_xt_subset}"
    LUMO_XMLCONF_ZIP="${LUMO_XMLCONF_ZIP}")
endif()

# --- Differential test against expat (test-only dependency) -----------------------------
if(TARGET util_xml_differential_test)
  find_package(EXPAT)
  if(EXPAT_FOUND)
    target_link_libraries(util_xml_differential_test PRIVATE EXPAT::EXPAT)
    target_compile_definitions(util_xml_differential_test PRIVATE LUMO_HAVE_EXPAT=1)
  else()
    message(STATUS "expat not found: the differential XML test will be skipped")
  endif()
endif()

# --- Fuzzing ----------------------------------------------------------------------------
# The fuzz target's body also builds as an ordinary program that runs given inputs once:
# it replays the regression inputs and the seed corpus in every build.
add_executable(util_xml_fuzz_replay ${_xt_dir}/fuzz_loader.cpp)
target_compile_definitions(util_xml_fuzz_replay PRIVATE LUMO_FUZZ_REPLAY_MAIN=1)
target_link_libraries(util_xml_fuzz_replay PRIVATE lumo_dom)
add_test(NAME util_xml_fuzz_regressions
  COMMAND util_xml_fuzz_replay ${_xt_dir}/fuzz_regressions ${_xt_dir}/fuzz_corpus)

if(LUMO_FUZZ AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # libFuzzer is guided by coverage of the code under test, so the fuzz target links its own
  # copy of the document layer compiled with coverage instrumentation (-fsanitize=
  # fuzzer-no-link); lumo_dom itself stays as it is for every other test.
  get_target_property(_xt_dom_sources lumo_dom SOURCES)
  add_library(lumo_dom_fuzz STATIC ${_xt_dom_sources})
  target_include_directories(lumo_dom_fuzz PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(lumo_dom_fuzz PUBLIC lumo_util)
  target_compile_options(lumo_dom_fuzz PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
  add_executable(fuzz_loader ${_xt_dir}/fuzz_loader.cpp)
  target_compile_options(fuzz_loader PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(fuzz_loader PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(fuzz_loader PRIVATE lumo_dom_fuzz)
  # A short fixed-time run in every `make test`; `make fuzz` runs longer and keeps crashes.
  add_test(NAME util_xml_fuzz_short
    COMMAND bash ${_xt_dir}/run_fuzz.sh ${CMAKE_BINARY_DIR} 20 --ctest)
  set_tests_properties(util_xml_fuzz_short PROPERTIES TIMEOUT 300)
endif()
