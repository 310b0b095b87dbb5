# Builds every C++ sample of the documentation against the public headers, with the project's
# warnings as errors, and links it against the library built beside it.
#
# A sample is a block opened by a line "```cpp" and closed by "```": in README.md and docs/*.md as
# it stands, in include/velquor/*.hpp on "///" or "//" comment lines (the prefix and one space
# stripped). "```cpp nocompile" skips a block. A block with an "#include" line is a translation
# unit of its own; any other becomes the body of a function in one shared unit that includes the
# public headers and common standard headers. #line directives make the compiler name the
# document and line, and a failure names the block.
#
# Arguments: SOURCE_DIR, WORK_DIR, CXX, CXX_FLAGS, LINKER_FLAGS, INCLUDE_DIRS and LIBRARIES (lists,
# their separators escaped as a test's command line passes them).
cmake_policy(VERSION 3.25)
string(REPLACE "\\;" ";" INCLUDE_DIRS "${INCLUDE_DIRS}")
string(REPLACE "\\;" ";" LIBRARIES "${LIBRARIES}")
list(TRANSFORM INCLUDE_DIRS PREPEND -I OUTPUT_VARIABLE include_flags)
separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")
separate_arguments(linker_flags UNIX_COMMAND "${LINKER_FLAGS}")
file(REMOVE_RECURSE ${WORK_DIR})

set(fragments [=[
#include <velquor/DeviceFacts.hpp>
#include <velquor/Platform.hpp>
#include <velquor/Velquor.hpp>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>
]=])
set(fragment_blocks "") # "document|opening line|closing line" per fragment
set(units "")           # "unit|document|opening line" per translation unit
set(failures "")

file(GLOB documents ${SOURCE_DIR}/README.md ${SOURCE_DIR}/docs/*.md ${SOURCE_DIR}/include/velquor/*.hpp)
foreach(document IN LISTS documents)
    file(RELATIVE_PATH name ${SOURCE_DIR} ${document})
    file(READ ${document} text)
    set(number 0)
    set(open OFF)
    # Line by line without CMake lists, which would split the code at its semicolons.
    while(NOT text STREQUAL "")
        string(FIND "${text}" "\n" end)
        if(end EQUAL -1)
            set(line "${text}")
            set(text "")
        else()
            string(SUBSTRING "${text}" 0 ${end} line)
            math(EXPR end "${end} + 1")
            string(SUBSTRING "${text}" ${end} -1 text)
        endif()
        math(EXPR number "${number} + 1")
        if(name MATCHES "\\.hpp$")
            if(NOT line MATCHES "^[ \t]*///? ?(.*)$")
                if(open)
                    string(APPEND failures "\n${name}:${opening}: the sample is not closed")
                    set(open OFF)
                endif()
                continue()
            endif()
            set(line "${CMAKE_MATCH_1}")
        endif()
        if(NOT open)
            if(line STREQUAL "```cpp" OR line STREQUAL "```cpp nocompile")
                set(open ON)
                set(skip OFF)
                if(line STREQUAL "```cpp nocompile")
                    set(skip ON)
                endif()
                set(opening ${number})
                math(EXPR first "${number} + 1")
                set(body "#line ${first} \"${name}\"\n")
            endif()
        elseif(NOT line STREQUAL "```")
            string(APPEND body "${line}\n")
        else()
            set(open OFF)
            string(MAKE_C_IDENTIFIER "${name}_${opening}" unit)
            if(skip)
            elseif(body MATCHES "\n#include")
                file(WRITE ${WORK_DIR}/${unit}.cpp "${body}")
                list(APPEND units "${unit}|${name}|${opening}")
            else()
                string(APPEND fragments "\nvoid ${unit}() {\n${body}}\n")
                list(APPEND fragment_blocks "${name}|${opening}|${number}")
            endif()
        endif()
    endwhile()
    if(open)
        string(APPEND failures "\n${name}:${opening}: the sample is not closed")
    endif()
endforeach()
file(WRITE ${WORK_DIR}/fragments.cpp "${fragments}\nint main() {}\n")

# Compiles a unit, links it when it has a main function, and returns what the tools said on failure.
function(build unit out_output)
    execute_process(COMMAND ${CXX} -std=c++20 -Wall -Wextra -Wpedantic -Werror ${cxx_flags} ${include_flags}
            -c ${WORK_DIR}/${unit}.cpp -o ${WORK_DIR}/${unit}.o
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    file(READ ${WORK_DIR}/${unit}.cpp source)
    if(rc EQUAL 0 AND source MATCHES "int main\\(")
        execute_process(COMMAND ${CXX} ${cxx_flags} ${linker_flags} ${WORK_DIR}/${unit}.o ${LIBRARIES}
                -pthread -o ${WORK_DIR}/${unit}
            RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    endif()
    if(rc EQUAL 0)
        set(out "")
    endif()
    set(${out_output} "${out}" PARENT_SCOPE)
endfunction()

build(fragments output)
if(NOT output STREQUAL "")
    set(named "")
    foreach(block IN LISTS fragment_blocks)
        string(REPLACE "|" ";" block "${block}")
        list(GET block 0 name)
        list(GET block 1 opening)
        list(GET block 2 closing)
        string(REGEX MATCHALL "${name}:[0-9]+:" places "${output}")
        foreach(place IN LISTS places)
            string(REGEX REPLACE ".*:([0-9]+):$" "\\1" at "${place}")
            if(at GREATER opening AND at LESS closing AND NOT "${name}:${opening}" IN_LIST named)
                list(APPEND named "${name}:${opening}")
            endif()
        endforeach()
    endforeach()
    if(named STREQUAL "")
        set(named "${WORK_DIR}/fragments.cpp") # not in any block: the shared headers themselves
    endif()
    list(JOIN named ", " named)
    string(APPEND failures "\nthe sample at ${named} does not build:\n${output}")
endif()
foreach(entry IN LISTS units)
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 unit)
    list(GET entry 1 name)
    list(GET entry 2 opening)
    build(${unit} output)
    if(NOT output STREQUAL "")
        string(APPEND failures "\nthe sample at ${name}:${opening} does not build:\n${output}")
    endif()
endforeach()

if(NOT failures STREQUAL "")
    message(NOTICE "${failures}")
    message(FATAL_ERROR "documentation samples do not build")
endif()
