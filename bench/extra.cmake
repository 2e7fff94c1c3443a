# Extras of the benchmarks (included from bench/CMakeLists.txt).
# bench_packet_gen: writes the bank-message packets of bench/packet.h for shell benchmarks.
add_executable(bench_packet_gen ${CMAKE_CURRENT_SOURCE_DIR}/packet.cpp)
target_include_directories(bench_packet_gen PRIVATE ${CMAKE_SOURCE_DIR})

# expat is the reference parser of xml_bench (bench only, never linked into the library).
if(TARGET xml_bench)
  find_package(EXPAT)
  if(EXPAT_FOUND)
    target_link_libraries(xml_bench PRIVATE EXPAT::EXPAT)
    target_compile_definitions(xml_bench PRIVATE LUMO_HAVE_EXPAT=1)
  else()
    message(STATUS "expat not found: xml_bench runs without its reference rows")
  endif()
endif()

# proc_time: CPU time, wall time and peak memory of one process, to the microsecond.
# file_floor: the file work of a batch alone, or with the provider's signature between
# (bench/batch_sign.sh).
if(UNIX)
  add_executable(proc_time ${CMAKE_CURRENT_SOURCE_DIR}/proc_time.c)
  add_executable(file_floor ${CMAKE_CURRENT_SOURCE_DIR}/file_floor.c)
  target_include_directories(file_floor PRIVATE ${CMAKE_SOURCE_DIR})
  find_package(Threads REQUIRED)
  target_link_libraries(file_floor PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
  # verify_floor: the provider's verification of a Childs packet's pairs alone (table.sh).
  add_executable(verify_floor ${CMAKE_CURRENT_SOURCE_DIR}/verify_floor.c)
  target_include_directories(verify_floor PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(verify_floor PRIVATE ${CMAKE_DL_LIBS})
endif()
# flush_ways: ways to make a group of result files durable, side by side (bench/README.md).
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  find_package(Threads REQUIRED)
  add_executable(flush_ways ${CMAKE_CURRENT_SOURCE_DIR}/flush_ways.c)
  target_link_libraries(flush_ways PRIVATE Threads::Threads)
endif()

# capi_run: one action through the C API in a process of its own (bench/table.sh).
if(TARGET lumodez)
  add_executable(capi_run ${CMAKE_CURRENT_SOURCE_DIR}/capi_run.c)
  target_link_libraries(capi_run PRIVATE lumodez)
endif()

# provider_timer: a provider that passes every call on to another and times the signatures
# (bench/batch_sign.sh: the provider's share of a batch).
if(UNIX)
  add_library(provider_timer MODULE ${CMAKE_CURRENT_SOURCE_DIR}/provider_timer.c)
  target_include_directories(provider_timer PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(provider_timer PRIVATE ${CMAKE_DL_LIBS})
  set_target_properties(provider_timer PROPERTIES C_VISIBILITY_PRESET hidden)
  # Every entry point of the list has its forwarder (see the end of provider_timer.c).
  # (A sanitizer build leaves its runtime's names to the program: no such check there.)
  if(NOT LUMO_SANITIZE)
    target_link_options(provider_timer PRIVATE -Wl,-z,defs)
  endif()
endif()
