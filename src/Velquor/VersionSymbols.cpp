// The exported version symbols: plain data, so tools can read them without running the library.
#include <velquor/Velquor.hpp>

extern "C" {
// 40 bytes before the terminating NUL.
const char VelquorVersionString[] = "@(#)PROGRAM:Velquor  PROJECT:Velquor-92\n";
const double VelquorVersionNumber = 92.0;
}
