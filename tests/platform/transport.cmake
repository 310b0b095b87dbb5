# The libcurl transport against loopback HTTPS servers; the reference service's certificate
# authority makes their throw-away certificates.
if(TARGET velquor_reference_service)
    velquor_add_test(velquor_platform_transport_tests linux/CurlHttpTransportTest.cpp)
    target_link_libraries(velquor_platform_transport_tests PRIVATE velquor_reference_service)
    target_include_directories(velquor_platform_transport_tests SYSTEM PRIVATE ${HTTPLIB_INCLUDE_DIR})
    add_dependencies(velquor_platform_transport_tests velquor_platform_exit_child)
    target_compile_definitions(velquor_platform_transport_tests PRIVATE
        VELQUOR_PLATFORM_EXIT_CHILD="$<TARGET_FILE:velquor_platform_exit_child>")
endif()
