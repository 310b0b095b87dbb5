velquor_add_test(KeysTest CertificateHandlerTest.cpp KeychainKeysTest.cpp)
target_include_directories(KeysTest PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
