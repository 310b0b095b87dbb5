# Reference service throughput: signed "deviceInfo" round trips next to the RSA-2048 signing rate.
if(TARGET velquor_reference_service)
    velquor_add_benchmark(velquor_bench_service ServiceBenchmark.cpp)
    target_link_libraries(velquor_bench_service PRIVATE velquor_reference_service)
endif()
