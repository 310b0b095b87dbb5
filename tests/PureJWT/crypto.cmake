velquor_add_test(PureJWTTest Base64Test.cpp JSONWebTokenTest.cpp RSAPKCS1Test.cpp)
