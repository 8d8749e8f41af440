# One INTERFACE target carries the warning flags; every target of the project links it
# PRIVATE, so the flags apply to our own sources and never leak to consumers.
add_library(zelvator_warnings INTERFACE)
if(MSVC)
    target_compile_options(zelvator_warnings INTERFACE /W4 $<$<BOOL:${ZELVATOR_WERROR}>:/WX>)
else()
    target_compile_options(zelvator_warnings INTERFACE
        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wnon-virtual-dtor -Wold-style-cast
        -Woverloaded-virtual -Wimplicit-fallthrough
        $<$<BOOL:${ZELVATOR_WERROR}>:-Werror>)
endif()
