# The libcurl transport against loopback HTTPS servers; the reference service's certificate
# authority makes their throw-away certificates.
if(TARGET velquor_reference_service)
    velquor_add_test(velquor_platform_transport_tests linux/CurlHttpTransportTest.cpp)
    target_link_libraries(velquor_platform_transport_tests PRIVATE velquor_reference_service)
    add_dependencies(velquor_platform_transport_tests velquor_test_host)
    target_compile_definitions(velquor_platform_transport_tests PRIVATE
        VELQUOR_TEST_HOST="$<TARGET_FILE:velquor_test_host>")
endif()
