# The Windows server's test programs (included by automation/com/CMakeLists.txt in the
# mingw cross build only). automation/com/build.sh runs them under Wine in a fresh prefix,
# in the order that registration needs; the typelib test needs no registration and is
# also known to CTest (through the toolchain's emulator, wine).
set(com_test_dir ${CMAKE_SOURCE_DIR}/tests/automation/com)
foreach(t typelib_test registry_test client_test fault_test)
  if(EXISTS ${com_test_dir}/${t}.cpp)
    add_executable(com_${t} ${com_test_dir}/${t}.cpp ${CMAKE_BINARY_DIR}/automation/com/LumoDEZLib_i.c)
    add_dependencies(com_${t} lumo_typelib)
    target_include_directories(com_${t} PRIVATE ${CMAKE_BINARY_DIR}/automation/com ${com_test_dir})
    target_compile_definitions(com_${t} PRIVATE UNICODE _UNICODE)
    target_link_libraries(com_${t} PRIVATE oleaut32 ole32 uuid advapi32 user32)
    target_link_options(com_${t} PRIVATE -static -static-libgcc -static-libstdc++)
    set_target_properties(com_${t} PROPERTIES OUTPUT_NAME ${t}
                          RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/com_tests)
  endif()
endforeach()
add_custom_target(com_tests ALL DEPENDS LumoDEZLib LumoDEZLib_fault)
foreach(t typelib_test registry_test client_test fault_test)
  if(TARGET com_${t})
    add_dependencies(com_tests com_${t})
  endif()
endforeach()
enable_testing()
add_test(NAME com_typelib COMMAND com_typelib_test $<TARGET_FILE:LumoDEZLib>)

# The test provider of tests/provider (plain C, builds for Windows) as spki1.dll beside the
# server in the Wine prefix, so that the provider path (LoadLibrary "spki1.dll", __stdcall
# entry points) runs under Wine. Optional: skipped when the source is absent.
set(com_test_provider ${CMAKE_SOURCE_DIR}/tests/provider/test_provider.c)
if(EXISTS ${com_test_provider})
  add_library(com_spki1 SHARED ${com_test_provider})
  target_include_directories(com_spki1 PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests/provider)
  set_target_properties(com_spki1 PROPERTIES OUTPUT_NAME spki1 PREFIX "" C_STANDARD 99
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/com_tests)
  target_link_options(com_spki1 PRIVATE -static -static-libgcc -Wl,--kill-at)
  add_dependencies(com_tests com_spki1)
endif()
