# vt_layer(<folder> [DEPENDS <libraries>...] [SOURCES ...] [POSIX_SOURCES ...] [WIN32_SOURCES ...])
# makes the library vt_<folder>. Its include root is a directory in the build tree that holds
# one link named after the folder, so `#include "<folder>/X.h"` resolves only for targets that
# link vt_<folder>, directly or through a library above it: an include that points up does not
# compile. The source tree itself is never an include root.
function(vt_layer folder)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "DEPENDS;SOURCES;POSIX_SOURCES;WIN32_SOURCES")
    set(root ${CMAKE_BINARY_DIR}/layers/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
    set(sources ${arg_SOURCES})
    if(WIN32)
        list(APPEND sources ${arg_WIN32_SOURCES})
    else()
        list(APPEND sources ${arg_POSIX_SOURCES})
    endif()
    if(sources)
        add_library(vt_${folder} STATIC ${sources})
        target_include_directories(vt_${folder} PUBLIC ${root})
        target_compile_options(vt_${folder} PRIVATE ${VT_WARNINGS})
        target_link_libraries(vt_${folder} PUBLIC ${arg_DEPENDS})
    else()
        # Headers only on this platform.
        add_library(vt_${folder} INTERFACE)
        target_include_directories(vt_${folder} INTERFACE ${root})
        target_link_libraries(vt_${folder} INTERFACE ${arg_DEPENDS})
    endif()
endfunction()
