velquor_add_test(velquor_core_device_tests
    RequestBuilderTest.cpp
    DataManagerTest.cpp
    RequestTokenTest.cpp
    PayloadTest.cpp)
target_include_directories(velquor_core_device_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
