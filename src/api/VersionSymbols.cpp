// The exported version symbols: plain data, so tools can read them without running the library.
#include <velquor/Velquor.hpp>

#include "velquor_build/BuildConstants.hpp"

extern "C" {
const char VelquorVersionString[] = VELQUOR_BUILD_VERSION_STRING;
const double VelquorVersionNumber = VELQUOR_BUILD_VERSION_NUMBER;
}
