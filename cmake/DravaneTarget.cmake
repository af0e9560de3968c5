# Warning and sanitizer options, set per target rather than globally.
function(dravane_target_options target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual)
    dravane_sanitize(${target})
    dravane_harden(${target})
endfunction()

# Debian's hardening set (dpkg-buildflags) in an optimised build that is not
# instrumented: checked buffer functions need optimisation, and sanitizers
# and fuzzing bring checks of their own.
function(dravane_harden target)
    if(DRAVANE_SANITIZE STREQUAL "" AND NOT DRAVANE_FUZZ)
        set(release "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
        target_compile_options(${target} PRIVATE
            "$<${release}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2;-fstack-protector-strong>")
        target_link_options(${target} PRIVATE "$<${release}:LINKER:-z,relro,-z,now>")
    endif()
endfunction()

# Sanitizer flags only (for targets whose sources are not ours to warn about).
function(dravane_sanitize target)
    if(DRAVANE_SANITIZE STREQUAL "address")
        target_compile_options(${target} PRIVATE
            -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    elseif(DRAVANE_SANITIZE STREQUAL "thread")
        target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=thread)
    elseif(NOT DRAVANE_SANITIZE STREQUAL "")
        message(FATAL_ERROR "DRAVANE_SANITIZE must be empty, 'address' or 'thread'")
    endif()
endfunction()

# A layer's static library: its sources, warnings, and the src/ include root.
# QT_PCH: the library includes Qt widgets headers; precompile the common ones.
function(dravane_library target)
    cmake_parse_arguments(ARG "QT_PCH" "" "SOURCES;LIBS" ${ARGN})
    add_library(${target} STATIC ${ARG_SOURCES})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} PUBLIC ${ARG_LIBS})
    dravane_target_options(${target})
    if(ARG_QT_PCH)
        target_precompile_headers(${target} PRIVATE <QtCore/QObject> <QtCore/QString> <QtWidgets/QWidget>)
    endif()
endfunction()

# A GoogleTest executable registered with CTest, one CTest entry per test case.
# LABELS: ctest labels ("tsan" marks tests that the ThreadSanitizer build runs).
# SIM: the test spawns the controller simulator (tests/support/SimProcess.h).
# CORE: the test needs no display library (a QCoreApplication runs it).
function(dravane_test target)
    cmake_parse_arguments(ARG "SIM;CORE" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${target} ${ARG_SOURCES})
    if(ARG_CORE)
        set(support dravane_core_test_support)
    else()
        set(support dravane_test_support)
    endif()
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} ${support} GTest::gtest GTest::gmock)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    dravane_target_options(${target})
    if(ARG_SIM)
        target_compile_definitions(${target} PRIVATE DRAVANE_SIM_PATH="$<TARGET_FILE:dravane-sim>")
        add_dependencies(${target} dravane-sim)
    endif()
    if(NOT ARG_LABELS)
        set(ARG_LABELS plain)
    endif()
    gtest_discover_tests(${target}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 120
                   ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1;ASAN_OPTIONS=detect_leaks=1;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp;UBSAN_OPTIONS=print_stacktrace=1")
endfunction()
