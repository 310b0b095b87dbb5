velquor_add_test(velquor_core_foundation_tests
    ErrorBuilderTest.cpp
    KeychainTest.cpp
    DefaultsTest.cpp
    PushManagerTest.cpp
    LogicLayerTest.cpp
    LogicLayerFlowsTest.cpp
    IdTokenPairingTest.cpp)
