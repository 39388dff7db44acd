# AddressSanitizer + UndefinedBehaviorSanitizer for the test build; applied globally so
# that every object (libraries, tests, helper programs) is instrumented alike.
if(TOLVAR_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

# ThreadSanitizer for the tests of the threaded code (timers, the fetch thread, HTTP, the
# bus, locks, cache writing); it cannot be combined with AddressSanitizer.
if(TOLVAR_TSAN)
    if(TOLVAR_SANITIZE OR TOLVAR_FUZZ)
        message(FATAL_ERROR "TOLVAR_TSAN cannot be combined with TOLVAR_SANITIZE or TOLVAR_FUZZ")
    endif()
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()

# libFuzzer targets: clang only. Library code gets coverage instrumentation, the
# fuzz executables link the fuzzer runtime.
if(TOLVAR_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "TOLVAR_FUZZ needs clang (CXX=clang++)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
