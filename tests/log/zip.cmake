velquor_add_test(velquor_ziplog_tests ${CMAKE_CURRENT_LIST_DIR}/ZipLogTest.cpp)
