# The spki1 tests run the provider library and spki1-tool from the build's tools folder.
file(GLOB spki1_test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/spki1/*_test.cpp)
foreach(src ${spki1_test_sources})
  get_filename_component(name ${src} NAME_WE)
  if(TARGET spki1_${name})
    add_dependencies(spki1_${name} spki1 spki1-tool)
    target_link_libraries(spki1_${name} PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
  endif()
endforeach()
# The signer checks are tested on certificates and CMS made in the test with OpenSSL.
if(TARGET spki1_checks_test)
  target_link_libraries(spki1_checks_test PRIVATE spki1_core)
endif()
