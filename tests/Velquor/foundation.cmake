# A host program the process tests run as a child process.
add_executable(velquor_test_host VelquorTestHost.cpp)
target_link_libraries(velquor_test_host PRIVATE velquor_internal velquor_memory_platform)

velquor_add_test(velquor_public_interface_tests VelquorTest.cpp VelquorProcessTest.cpp)
add_dependencies(velquor_public_interface_tests velquor_test_host)
target_compile_definitions(velquor_public_interface_tests PRIVATE VELQUOR_TEST_HOST="$<TARGET_FILE:velquor_test_host>")
