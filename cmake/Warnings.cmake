# Warnings for the project's own targets (not for third-party code).
add_library(tolvar_warnings INTERFACE)
target_compile_options(tolvar_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
    -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough)
# Warnings as errors: on in tools/test.sh (CI) for both of its builds, so the tree stays at
# zero warnings; off by default, so a newer compiler's new warnings do not break a user's
# build of a release.
if(TOLVAR_WERROR)
    target_compile_options(tolvar_warnings INTERFACE -Werror)
endif()
