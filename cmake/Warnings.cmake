# Warnings for the project's own targets (not for third-party code).
add_library(tolvar_warnings INTERFACE)
target_compile_options(tolvar_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
    -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough)
