# The platform layer's tests: queues, notification centre, key stores, preferences, bundle facts
# and the process-wide platform context (the latter partly in a child process of its own).
add_executable(velquor_platform_exit_child PlatformExitChild.cpp)
target_link_libraries(velquor_platform_exit_child PRIVATE velquor_internal velquor_memory_platform)

velquor_add_test(velquor_platform_tests
    linux/ThreadPoolDispatchQueuesTest.cpp
    linux/LinuxNotificationCenterTest.cpp
    linux/FileKeyStoreTest.cpp
    linux/OpenSSLKeyRefTest.cpp
    linux/FilePreferencesTest.cpp
    linux/ConfiguredBundleInfoTest.cpp
    KeyStoreContractTest.cpp
    PlatformContextTest.cpp)
add_dependencies(velquor_platform_tests velquor_platform_exit_child)
target_compile_definitions(velquor_platform_tests PRIVATE
    VELQUOR_PLATFORM_EXIT_CHILD="$<TARGET_FILE:velquor_platform_exit_child>")
