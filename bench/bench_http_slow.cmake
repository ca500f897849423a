# The web tool beside slow clients: runs the real vkto.
target_compile_definitions(bench_http_slow PRIVATE VKTO_EXE="$<TARGET_FILE:vkto>")
add_dependencies(bench_http_slow vkto)
