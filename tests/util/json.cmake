velquor_add_test(BoundedJsonTest ${CMAKE_CURRENT_LIST_DIR}/BoundedJsonTest.cpp)
