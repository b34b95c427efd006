# add_fish_updater(TARGET FISH_FOLDER [PAYLOAD DIR]): an updater exe that carries one fish.
# The fish kit checks the folder and converts it into the payload and fish.h under
# fish/TARGET in the build tree (or has done so into DIR already, as its catalogue builds
# do); the exe adds only the fish's identity, its resources and the link to the shared code
# (updater_core, updater_main).
function(add_fish_updater target folder)
    cmake_parse_arguments(ARG "" "PAYLOAD" "" ${ARGN})
    set(outputs fish.h picture.bmp fish.ico data.vmf data.bmp data.txt data.txt1)
    if(ARG_PAYLOAD)
        set(payload ${ARG_PAYLOAD})
        list(TRANSFORM outputs PREPEND ${payload}/)
        add_custom_target(${target}-payload)
    else()
        set(payload ${CMAKE_BINARY_DIR}/fish/${target})
        list(TRANSFORM outputs PREPEND ${payload}/)
        file(GLOB inputs CONFIGURE_DEPENDS ${folder}/*)
        file(GLOB kit CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/publisher/fish_kit/*.py)
        add_custom_command(OUTPUT ${outputs}
            COMMAND ${CMAKE_SOURCE_DIR}/publisher/fish-kit payload ${folder} ${payload}
            DEPENDS ${inputs} ${kit} ${CMAKE_SOURCE_DIR}/publisher/fish-kit
            COMMENT "Fish kit: ${folder}" VERBATIM)
        add_custom_target(${target}-payload DEPENDS ${outputs})
    endif()

    add_executable(${target} WIN32 ${CMAKE_SOURCE_DIR}/app/fish.cpp
        ${CMAKE_SOURCE_DIR}/resources/updater.rc)
    add_dependencies(${target} ${target}-payload)
    set_source_files_properties(${CMAKE_SOURCE_DIR}/resources/updater.rc TARGET_DIRECTORY ${target}
        PROPERTIES OBJECT_DEPENDS
        "${outputs};${CMAKE_SOURCE_DIR}/resources/resource_ids.h;${CMAKE_SOURCE_DIR}/resources/updater.manifest")
    target_include_directories(${target} PRIVATE ${payload})
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${PRODUCT_FLAGS}>)
    target_link_libraries(${target} PRIVATE updater_main updater_core)
    # No time stamp: the same fish folder gives the same bytes on any day.
    target_link_options(${target} PRIVATE ${STATIC_LINK} ${UPDATER_LINK} -s -Wl,--gc-sections
        -Wl,--no-insert-timestamp)
endfunction()
