# Configures the library with another build number, then compiles the version symbols with a
# small program printing them, the "sdkVersion" text (which the start-up line and the device
# data use) and the public version macro, and checks that all four follow the build number.
file(REMOVE_RECURSE ${WORK_DIR})
function(run step)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${step} failed (${rc}):\n${out}\n${err}")
    endif()
    set(out "${out}" PARENT_SCOPE)
endfunction()

run(configure ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR} -G Ninja -DVELQUOR_BUILD_NUMBER=4711
    -DVELQUOR_BUILD_TESTS=OFF -DVELQUOR_BUILD_BENCHMARKS=OFF -DVELQUOR_BUILD_SERVICE=OFF)
file(WRITE ${WORK_DIR}/print.cpp [=[
#include <velquor/Velquor.hpp>
#include "velquor_build/BuildConstants.hpp"
#include <iostream>
int main() {
    std::cout << VelquorVersionString << "number " << VelquorVersionNumber << "\nsdk "
              << velquor::build::kSdkVersion << "\nmacro " << VELQUOR_SDK_VERSION << "\n";
}
]=])
run(compile ${CXX} -std=c++20 -I${SOURCE_DIR}/include -I${WORK_DIR}/generated -I${WORK_DIR}/generated/include
    ${WORK_DIR}/print.cpp ${SOURCE_DIR}/src/api/VersionSymbols.cpp -o ${WORK_DIR}/print)
run(print ${WORK_DIR}/print)
foreach(expected IN ITEMS "PROJECT:Velquor-4711\n" "number 4711\n" "sdk [0-9]+\\.[0-9]+\\.[0-9]+\\(4711\\)"
                         "macro [0-9]+\\.[0-9]+\\.[0-9]+\\(4711\\)")
    if(NOT out MATCHES "${expected}")
        message(FATAL_ERROR "the build number does not reach \"${expected}\":\n${out}")
    endif()
endforeach()
