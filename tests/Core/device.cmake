velquor_add_test(velquor_core_device_tests
    RequestBuilderTest.cpp
    DataManagerTest.cpp
    RequestTokenTest.cpp
    PayloadTest.cpp)
target_include_directories(velquor_core_device_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)

# Uses the process's platform, so it runs in a process of its own.
velquor_add_test(velquor_core_payload_process_tests GenerateMobilePayloadTest.cpp)
target_include_directories(velquor_core_payload_process_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
