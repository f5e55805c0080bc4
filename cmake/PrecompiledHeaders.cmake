# Precompiled third-party headers. nlohmann JSON, Boost.Asio/Beast and GoogleTest make up most of
# the compile time of a translation unit here; compiling them once per set instead of once per
# file cuts about a third off a full build (and so off every CI run).
#
# Three sets, each compiled once by a small target of its own and reused by the others:
#   core: the standard library headers used everywhere and nlohmann JSON;
#   net:  core plus Boost.Asio and Boost.Beast (the device, API and simulator libraries);
#   test: core plus GoogleTest and GoogleMock (every test executable and test support library).
# A reused header must be compiled with the same flags as its users, so the owners get the
# project's compile options like every other target, and only GCC builds use them (the fuzz
# targets build with clang on their own).
option(OTA_PRECOMPILED_HEADERS "Precompile the heavy third-party headers" ON)

set(OTA_PCH_CORE <algorithm> <chrono> <cstdint> <filesystem> <functional> <map> <memory> <mutex>
    <optional> <string> <string_view> <vector> <nlohmann/json.hpp>)
set(OTA_PCH_NET ${OTA_PCH_CORE} <boost/asio.hpp> <boost/beast.hpp>)
set(OTA_PCH_TEST ${OTA_PCH_CORE} <gtest/gtest.h> <gmock/gmock.h>)

function(ota_pch_enabled result)
    if(OTA_PRECOMPILED_HEADERS AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        set(${result} TRUE PARENT_SCOPE)
    else()
        set(${result} FALSE PARENT_SCOPE)
    endif()
endfunction()

# The owner of one set: a library of one empty source that compiles the header.
function(ota_pch_owner set)
    set(owner ota_pch_${set})
    if(TARGET ${owner})
        return()
    endif()
    set(source ${CMAKE_BINARY_DIR}/pch/${set}.cpp)
    if(NOT EXISTS ${source})
        file(WRITE ${source} "// Compiles the precompiled header of the ${set} set.\n")
    endif()
    add_library(${owner} STATIC ${source})
    target_link_libraries(${owner} PRIVATE nlohmann_json::nlohmann_json)
    if(set STREQUAL "net")
        target_link_libraries(${owner} PRIVATE Boost::headers)
        target_precompile_headers(${owner} PRIVATE ${OTA_PCH_NET})
    elseif(set STREQUAL "test")
        target_link_libraries(${owner} PRIVATE GTest::gmock GTest::gtest)
        target_precompile_headers(${owner} PRIVATE ${OTA_PCH_TEST})
        # The options the test targets add (tests/CMakeLists.txt), so their users match it.
        if(CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
            target_compile_options(${owner} PRIVATE -Wno-array-bounds -Wno-restrict -Wno-stringop-overread
                -Wno-stringop-overflow)
        endif()
    else()
        target_precompile_headers(${owner} PRIVATE ${OTA_PCH_CORE})
    endif()
endfunction()

# ota_use_precompiled_headers(<set> <targets...>): the targets that exist reuse the set's header.
function(ota_use_precompiled_headers set)
    ota_pch_enabled(enabled)
    if(NOT enabled)
        return()
    endif()
    ota_pch_owner(${set})
    foreach(target ${ARGN})
        if(TARGET ${target})
            target_precompile_headers(${target} REUSE_FROM ota_pch_${set})
            if(set STREQUAL "test")
                # The header was compiled with GoogleTest's options (its GTEST_HAS_PTHREAD
                # definition); users that do not link GoogleTest must see the same, or GCC
                # refuses the header.
                target_compile_options(${target} PRIVATE
                    $<TARGET_PROPERTY:GTest::gtest,INTERFACE_COMPILE_OPTIONS>)
            endif()
        endif()
    endforeach()
endfunction()
