velquor_add_test(velquor_logfile_tests ${CMAKE_CURRENT_LIST_DIR}/LogFileTest.cpp)
