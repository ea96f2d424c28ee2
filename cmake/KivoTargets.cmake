# Helpers that give every folder of the layout the same shape:
#   <folder>/*.cpp (and sub-folders without a CMakeLists.txt of their own) -> one library
#   <folder>/tests/*_test.cpp                                               -> <library>_tests
#   <folder>/tests/*_concurrency_test.cpp                -> <library>_concurrency_tests, label concurrency
#   <folder>/tests/*_slow_test.cpp       -> <library>_slow_tests, label slow (not in sanitizer builds)

# Collects the sources of the folder that belong to its own library: sub-folders with their own
# CMakeLists.txt are libraries of their own, tests/ holds tests, and a main.cpp at the top of the
# folder is the entry of the folder's program.
function(kivo_collect_sources out_var)
    file(GLOB_RECURSE candidates CONFIGURE_DEPENDS RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
         ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    set(kept "")
    foreach(candidate IN LISTS candidates)
        get_filename_component(dir ${candidate} DIRECTORY)
        set(owned TRUE)
        while(NOT dir STREQUAL "")
            get_filename_component(leaf ${dir} NAME)
            if(leaf STREQUAL "tests" OR EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
                set(owned FALSE)
                break()
            endif()
            get_filename_component(dir ${dir} DIRECTORY)
        endwhile()
        if(owned AND NOT candidate STREQUAL "main.cpp")
            list(APPEND kept ${CMAKE_CURRENT_SOURCE_DIR}/${candidate})
        endif()
    endforeach()
    set(${out_var} ${kept} PARENT_SCOPE)
endfunction()

# kivo_library(<name> [DEPS <targets>...])
function(kivo_library name)
    cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
    kivo_collect_sources(sources)
    if(sources)
        add_library(${name} STATIC ${sources})
        target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
        target_link_libraries(${name} PUBLIC ${ARG_DEPS})
    else()
        # A folder whose code is all in headers so far.
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
        target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    endif()
endfunction()

# kivo_tests(<library> [DEPS <extra targets>...]): the folder's tests/ as GoogleTest programs.
function(kivo_tests library)
    if(NOT KIVO_BUILD_TESTS)
        return()
    endif()
    cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
    file(GLOB all_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.cpp)
    file(GLOB concurrency_tests CONFIGURE_DEPENDS
         ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_concurrency_test.cpp)
    file(GLOB slow_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_slow_test.cpp)
    file(GLOB support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_support.cpp)
    set(plain_tests ${all_tests})
    foreach(special IN LISTS concurrency_tests slow_tests)
        list(REMOVE_ITEM plain_tests ${special})
    endforeach()
    if(plain_tests AND NOT KIVO_ONLY_CONCURRENCY_TESTS)
        kivo_test_program(${library}_tests "" ${library} "${ARG_DEPS}" ${plain_tests} ${support})
    endif()
    # Million-step tests prove bounds (stack depth, counts) that sanitizers would only slow down.
    if(slow_tests AND NOT KIVO_ONLY_CONCURRENCY_TESTS AND NOT KIVO_SANITIZED)
        kivo_test_program(${library}_slow_tests slow ${library} "${ARG_DEPS}" ${slow_tests}
                          ${support})
    endif()
    if(concurrency_tests)
        kivo_test_program(${library}_concurrency_tests concurrency ${library} "${ARG_DEPS}"
                          ${concurrency_tests} ${support})
    endif()
endfunction()

function(kivo_test_program name label library deps)
    add_executable(${name} ${ARGN})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_link_libraries(${name} PRIVATE ${library} ${deps} GTest::gmock GTest::gtest_main)
    if(TARGET kivo_test_locales)
        add_dependencies(${name} kivo_test_locales)
    endif()
    # LOCPATH: the locales that the build makes for the date and time tests.
    set(properties ENVIRONMENT "KIVO_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
        ENVIRONMENT_MODIFICATION "LOCPATH=set:${KIVO_TEST_LOCALE_DIR}")
    if(label)
        list(APPEND properties LABELS ${label})
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${properties})
endfunction()

# kivo_program(<name> [DEPS <targets>...] SOURCES <files>...)
function(kivo_program name)
    cmake_parse_arguments(ARG "" "" "DEPS;SOURCES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS})
endfunction()

# The date and time tests read de_DE.UTF-8 from the build's own locale folder, made here with
# localedef when the system has it and the locale's sources (Debian's package locales); without
# them those tests skip and say why.
function(kivo_test_locales)
    set(KIVO_TEST_LOCALE_DIR ${CMAKE_BINARY_DIR}/locale PARENT_SCOPE)
    find_program(KIVO_LOCALEDEF localedef)
    if(NOT KIVO_LOCALEDEF OR NOT EXISTS /usr/share/i18n/locales/de_DE)
        message(STATUS "localedef or the de_DE locale sources missing: German date tests will skip")
        return()
    endif()
    set(german ${CMAKE_BINARY_DIR}/locale/de_DE.UTF-8)
    add_custom_command(OUTPUT ${german}/LC_TIME
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/locale
                       COMMAND ${KIVO_LOCALEDEF} -i de_DE -f UTF-8 ${german}
                       COMMENT "Making the de_DE.UTF-8 locale for the tests" VERBATIM)
    add_custom_target(kivo_test_locales DEPENDS ${german}/LC_TIME)
endfunction()
