# Warning and sanitizer helpers shared by every target of ours.

function(olmarest_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow)
    if(OLMAREST_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

if(OLMAREST_SANITIZE)
    add_compile_options(-fsanitize=${OLMAREST_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${OLMAREST_SANITIZE})
endif()

# Fuzzing: every object gets libFuzzer's coverage hooks, so the engine is instrumented for the
# fuzz_* programs; tests and tools link the hooks' runtime without libFuzzer's main.
if(OLMAREST_BUILD_FUZZERS)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "OLMAREST_BUILD_FUZZERS needs Clang (cmake -DCMAKE_CXX_COMPILER=clang++)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
    add_link_options(-fsanitize=fuzzer-no-link)
endif()

# olmarest_fuzz(name): fuzz/<name>.cpp, an LLVMFuzzerTestOneInput entry point (and optionally
# LLVMFuzzerInitialize), becomes
#   replay_<name>  with the tests: runs every input of fuzz/corpus/<name>/ and of
#                  tests/regress/fuzz_<name>/ once, as the ctest entry Fuzz.<name>, on any compiler;
#   fuzz_<name>    with OLMAREST_BUILD_FUZZERS: the libFuzzer program.
# Both link olmarest_fuzz_util (fuzz/fuzz_util.cpp, the engine and olmarest-cli's commands).
function(olmarest_fuzz name)
    set(src ${CMAKE_SOURCE_DIR}/fuzz/${name}.cpp)
    if(OLMAREST_BUILD_TESTS)
        add_executable(replay_${name} ${src} ${CMAKE_SOURCE_DIR}/fuzz/replay.cpp)
        target_link_libraries(replay_${name} PRIVATE olmarest_fuzz_util)
        olmarest_warnings(replay_${name})
        set(inputs ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name})
        if(EXISTS ${CMAKE_SOURCE_DIR}/tests/regress/fuzz_${name})
            list(APPEND inputs ${CMAKE_SOURCE_DIR}/tests/regress/fuzz_${name})
        endif()
        add_test(NAME Fuzz.${name} COMMAND replay_${name} ${inputs})
        set_tests_properties(Fuzz.${name} PROPERTIES TIMEOUT 300 LABELS fuzz)
    endif()
    if(OLMAREST_BUILD_FUZZERS)
        add_executable(fuzz_${name} ${src})
        target_link_libraries(fuzz_${name} PRIVATE olmarest_fuzz_util)
        target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
        target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
        olmarest_warnings(fuzz_${name})
    endif()
endfunction()
