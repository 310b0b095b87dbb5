// Links against an installed Velquor and checks the exported version symbols and error codes.
#include <velquor/Velquor.hpp>

#include <cstdio>
#include <cstring>

int main() {
    if (std::strlen(VelquorVersionString) != 40 || VelquorVersionNumber != 92.0)
        return 1;
    auto code = velquor::errorCodeFromRawValue(10008);
    if (!code || *code != velquor::ErrorCode::deviceNotPaired)
        return 2;
    std::printf("%s", VelquorVersionString);
    return 0;
}
