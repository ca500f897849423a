target_compile_definitions(bench_tcp_shell PRIVATE VKTO_EXE="$<TARGET_FILE:vkto>")
add_dependencies(bench_tcp_shell vkto)
