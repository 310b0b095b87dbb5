# Reference service throughput: signed "deviceInfo" round trips next to the RSA-2048 signing rate,
# and the service program's own CPU time per reply.
if(TARGET velquor_reference_service)
    velquor_add_benchmark(velquor_bench_service ServiceBenchmark.cpp)
    target_link_libraries(velquor_bench_service PRIVATE velquor_reference_service)
    # The service program also runs as a child, so its own CPU time per reply can be read.
    target_compile_definitions(velquor_bench_service PRIVATE
        VELQUOR_SERVICE_EXECUTABLE="$<TARGET_FILE:velquor-reference-service>")
    add_dependencies(velquor_bench_service velquor-reference-service)
endif()
