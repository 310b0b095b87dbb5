# The platform layer's tests: queues, notification centre, key stores, preferences, bundle facts
# and the process-wide platform context (the latter partly in a child process of its own).
velquor_add_test(velquor_platform_tests
    linux/ThreadPoolDispatchQueuesTest.cpp
    linux/LinuxNotificationCenterTest.cpp
    linux/FileKeyStoreTest.cpp
    linux/OpenSSLKeyRefTest.cpp
    linux/FilePreferencesTest.cpp
    linux/ConfiguredBundleInfoTest.cpp
    KeyStoreContractTest.cpp
    PlatformContextTest.cpp)
# The process-wide scenarios run in the one scenario host, velquor_test_host (tests/Velquor).
add_dependencies(velquor_platform_tests velquor_test_host)
target_compile_definitions(velquor_platform_tests PRIVATE VELQUOR_TEST_HOST="$<TARGET_FILE:velquor_test_host>")
