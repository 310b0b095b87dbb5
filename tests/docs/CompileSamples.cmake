# Compiles every C++ sample of the documentation against the public headers, with the project's
# warnings as errors, and links them against the library built beside it.
#
# Samples are fenced blocks opened by a line "```cpp" and closed by "```": in README.md and
# docs/*.md as they stand, in include/velquor/*.hpp inside "///" or "//" comment lines (the
# prefix and one space are stripped). "```cpp nocompile" skips a block. A block with an
# "#include" line is a translation unit of its own; every other block becomes the body of a
# function in one shared unit that includes the public headers and common standard headers.
# #line directives make the compiler name the document and line; a failure also names the block.
#
# Arguments: SOURCE_DIR, WORK_DIR, CXX, CXX_FLAGS, LINKER_FLAGS, INCLUDE_DIRS and LIBRARIES (lists).
cmake_policy(VERSION 3.25)
# The lists arrive with their separators escaped, as a test's command line passes them.
string(REPLACE "\\;" ";" INCLUDE_DIRS "${INCLUDE_DIRS}")
string(REPLACE "\\;" ";" LIBRARIES "${LIBRARIES}")
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

set(fragment_prelude [=[
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

set(fragments "${fragment_prelude}")
set(fragment_count 0)
set(whole_units "")       # generated file names
set(fragment_blocks "")   # "document|first line|last line" of each fragment
set(failures "")

# Reads `document` and adds its blocks to `fragments` or as units of their own.
function(extract_samples document)
    file(RELATIVE_PATH name ${SOURCE_DIR} ${document})
    file(READ ${document} text)
    set(comment_prefixed OFF)
    if(document MATCHES "\\.hpp$")
        set(comment_prefixed ON)
    endif()
    set(line_number 0)
    set(in_block OFF)
    while(NOT text STREQUAL "")
        string(FIND "${text}" "\n" end)
        if(end EQUAL -1)
            set(line "${text}")
            set(text "")
        else()
            string(SUBSTRING "${text}" 0 ${end} line)
            math(EXPR next "${end} + 1")
            string(SUBSTRING "${text}" ${next} -1 text)
        endif()
        math(EXPR line_number "${line_number} + 1")
        set(content "${line}")
        if(comment_prefixed)
            if("${line}" MATCHES "^[ \t]*///? ?(.*)$")
                set(content "${CMAKE_MATCH_1}")
            elseif(in_block)
                string(APPEND failures "\n${name}:${block_line}: the sample is not closed by a \"```\" line")
                set(failures "${failures}" PARENT_SCOPE)
                return()
            else()
                continue()
            endif()
        endif()
        if(NOT in_block)
            if("${content}" STREQUAL "```cpp" OR "${content}" STREQUAL "```cpp nocompile")
                set(in_block ON)
                set(skip OFF)
                if("${content}" STREQUAL "```cpp nocompile")
                    set(skip ON)
                endif()
                set(block_line ${line_number})
                set(body "")
                set(whole OFF)
            endif()
            continue()
        endif()
        if(NOT "${content}" STREQUAL "```")
            string(APPEND body "${content}\n")
            if("${content}" MATCHES "^#include")
                set(whole ON)
            endif()
            continue()
        endif()
        set(in_block OFF)
        if(skip)
            continue()
        endif()
        math(EXPR first "${block_line} + 1")
        if(whole)
            string(MAKE_C_IDENTIFIER "${name}_${block_line}" unit)
            file(WRITE ${WORK_DIR}/${unit}.cpp "#line ${first} \"${name}\"\n${body}")
            list(APPEND whole_units "${unit}|${name}|${block_line}")
        else()
            math(EXPR fragment_count "${fragment_count} + 1")
            string(APPEND fragments "\nvoid sample${fragment_count}() {\n#line ${first} \"${name}\"\n${body}}\n")
            list(APPEND fragment_blocks "${name}|${block_line}|${line_number}")
        endif()
    endwhile()
    if(in_block)
        string(APPEND failures "\n${name}:${block_line}: the sample is not closed by a \"```\" line")
    endif()
    set(fragments "${fragments}" PARENT_SCOPE)
    set(fragment_count ${fragment_count} PARENT_SCOPE)
    set(whole_units "${whole_units}" PARENT_SCOPE)
    set(fragment_blocks "${fragment_blocks}" PARENT_SCOPE)
    set(failures "${failures}" PARENT_SCOPE)
endfunction()

file(GLOB documents ${SOURCE_DIR}/README.md ${SOURCE_DIR}/docs/*.md ${SOURCE_DIR}/include/velquor/*.hpp)
foreach(document IN LISTS documents)
    extract_samples(${document})
endforeach()
string(APPEND fragments "\nint main() {}\n")
file(WRITE ${WORK_DIR}/fragments.cpp "${fragments}")

separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")
separate_arguments(linker_flags UNIX_COMMAND "${LINKER_FLAGS}")
set(include_flags "")
foreach(directory IN LISTS INCLUDE_DIRS)
    list(APPEND include_flags -I${directory})
endforeach()

# Compiles (and, with a main function, links) one unit; on failure returns the compiler's output.
function(build unit link out_output)
    execute_process(COMMAND ${CXX} -std=c++20 -Wall -Wextra -Wpedantic -Werror ${cxx_flags} ${include_flags}
            -c ${WORK_DIR}/${unit}.cpp -o ${WORK_DIR}/${unit}.o
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(rc EQUAL 0 AND link)
        execute_process(COMMAND ${CXX} ${cxx_flags} ${linker_flags} ${WORK_DIR}/${unit}.o ${LIBRARIES}
                -pthread -o ${WORK_DIR}/${unit}
            RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    endif()
    if(rc EQUAL 0)
        set(out "")
    endif()
    set(${out_output} "${out}" PARENT_SCOPE)
endfunction()

build(fragments ON output)
if(NOT output STREQUAL "")
    # Name each fragment an error points into; the output itself follows.
    set(named "")
    foreach(block IN LISTS fragment_blocks)
        string(REPLACE "|" ";" block "${block}")
        list(GET block 0 name)
        list(GET block 1 first)
        list(GET block 2 last)
        string(REGEX MATCHALL "${name}:[0-9]+:" places "${output}")
        foreach(place IN LISTS places)
            string(REGEX REPLACE ".*:([0-9]+):$" "\\1" at "${place}")
            if(at GREATER first AND at LESS last AND NOT "${name}:${first}" IN_LIST named)
                list(APPEND named "${name}:${first}")
            endif()
        endforeach()
    endforeach()
    if(named STREQUAL "")
        set(named "the fragments (${WORK_DIR}/fragments.cpp)")
    endif()
    list(JOIN named ", " named)
    string(APPEND failures "\nthe sample at ${named} does not build:\n${output}")
endif()
foreach(entry IN LISTS whole_units)
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 unit)
    list(GET entry 1 name)
    list(GET entry 2 first)
    file(READ ${WORK_DIR}/${unit}.cpp source)
    set(link OFF)
    if(source MATCHES "int main\\(")
        set(link ON)
    endif()
    build(${unit} ${link} output)
    if(NOT output STREQUAL "")
        string(APPEND failures "\nthe sample at ${name}:${first} does not build:\n${output}")
    endif()
endforeach()

list(LENGTH whole_units whole_count)
if(NOT failures STREQUAL "")
    message(NOTICE "${failures}")
    message(FATAL_ERROR "documentation samples do not build")
endif()
message(STATUS "${fragment_count} fragments and ${whole_count} translation units build")
