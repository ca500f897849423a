# The web tool against CivetWeb: the peer is a small program of its own,
# built only when the library is there; vkto itself never links it.
target_compile_definitions(bench_http PRIVATE VKTO_EXE="$<TARGET_FILE:vkto>")
add_dependencies(bench_http vkto)
find_library(CIVETWEB_LIB civetweb)
find_path(CIVETWEB_INC civetweb.h)
if(CIVETWEB_LIB AND CIVETWEB_INC)
  add_executable(bench_http_peer ${CMAKE_CURRENT_SOURCE_DIR}/bench_http_peer.c)
  target_include_directories(bench_http_peer PRIVATE ${CIVETWEB_INC})
  target_link_libraries(bench_http_peer PRIVATE ${CIVETWEB_LIB} Threads::Threads)
  target_compile_definitions(bench_http PRIVATE PEER_EXE="$<TARGET_FILE:bench_http_peer>")
  add_dependencies(bench_http bench_http_peer)
endif()
