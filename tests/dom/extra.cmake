# Extra tests of the dom area (included from lumo_test_area in tests/CMakeLists.txt, so this
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
                 "its tests will be skipped, or fail where CI is set")
endif()
if(TARGET dom_xml_conformance_test)
  target_compile_definitions(dom_xml_conformance_test PRIVATE
    LUMO_XMLCONF_DIR="${_xt_unpacked}/xmlconf"
    LUMO_XMLCONF_SUBSET="${_xt_subset}"
    LUMO_XMLCONF_ZIP="${LUMO_XMLCONF_ZIP}")
endif()

# --- Differential test against expat (test-only dependency) -----------------------------
if(TARGET dom_xml_differential_test)
  find_package(EXPAT)
  if(EXPAT_FOUND)
    target_link_libraries(dom_xml_differential_test PRIVATE EXPAT::EXPAT)
    target_compile_definitions(dom_xml_differential_test PRIVATE LUMO_HAVE_EXPAT=1)
  else()
    message(STATUS "expat not found: the differential XML test will be skipped")
  endif()
endif()

# --- Fuzzing ----------------------------------------------------------------------------
# The fuzz target's body also builds as an ordinary program that runs given inputs once:
# it replays the regression inputs and the seed corpus in every build.
add_executable(dom_xml_fuzz_replay ${_xt_dir}/fuzz_loader.cpp)
target_compile_definitions(dom_xml_fuzz_replay PRIVATE LUMO_FUZZ_REPLAY_MAIN=1)
target_link_libraries(dom_xml_fuzz_replay PRIVATE lumo_dom)
add_test(NAME dom_xml_fuzz_regressions
  COMMAND dom_xml_fuzz_replay ${_xt_dir}/fuzz_regressions ${_xt_dir}/fuzz_corpus)

if(LUMO_FUZZ AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  lumo_fuzz_copy(lumo_dom_fuzz lumo_dom lumo_base)
  lumo_fuzz_target(fuzz_loader ${_xt_dir}/fuzz_loader.cpp lumo_dom_fuzz dom_xml_fuzz_short)
endif()
