velquor_add_test(CryptoTest AESCipherTest.cpp AES256CBCTest.cpp)
