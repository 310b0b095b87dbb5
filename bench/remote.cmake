# Signing through the key store's handle, and a device-information round trip through
# Communication against the reference service, each beside its raw baseline.
if(TARGET velquor_reference_service)
    velquor_add_benchmark(velquor_bench_remote RemoteBenchmark.cpp)
    target_link_libraries(velquor_bench_remote PRIVATE velquor_reference_service)
endif()
