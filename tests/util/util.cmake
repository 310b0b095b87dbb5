velquor_add_test(UtilTests ${CMAKE_CURRENT_LIST_DIR}/Utf8Test.cpp ${CMAKE_CURRENT_LIST_DIR}/BaseAddressTest.cpp)
