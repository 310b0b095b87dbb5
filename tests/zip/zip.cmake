velquor_add_test(velquor_zip_tests ${CMAKE_CURRENT_LIST_DIR}/ArchiveTest.cpp)
