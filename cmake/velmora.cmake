# Warnings are errors in our own code only.
set(VELMORA_WARNINGS -Wall -Wextra -Werror)

# velmora_library(<folder> [deps...]): one static library per src folder, built from
# every .cpp in it, so adding a source file needs no edit here.
function(velmora_library folder)
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${folder}/*.cpp)
    if(NOT sources)
        add_library(velmora_${folder} INTERFACE)
        target_include_directories(velmora_${folder} INTERFACE ${CMAKE_SOURCE_DIR}/src)
        foreach(dep ${ARGN})
            target_link_libraries(velmora_${folder} INTERFACE velmora_${dep})
        endforeach()
        return()
    endif()
    add_library(velmora_${folder} STATIC ${sources})
    target_include_directories(velmora_${folder} PUBLIC ${CMAKE_SOURCE_DIR}/src)
    target_compile_options(velmora_${folder} PRIVATE ${VELMORA_WARNINGS})
    target_link_libraries(velmora_${folder} PUBLIC Threads::Threads)
    foreach(dep ${ARGN})
        target_link_libraries(velmora_${folder} PUBLIC velmora_${dep})
    endforeach()
endfunction()

# Test folders whose tests open raw ICMP sockets.
set(VELMORA_RAW_SOCKET_TEST_FOLDERS engine app)

# velmora_folder_tests(<folder> [libs...]): one GoogleTest executable per tests/ folder.
function(velmora_folder_tests folder)
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${folder}/*.cpp)
    if(NOT sources)
        return()
    endif()
    add_executable(${folder}_tests ${sources})
    target_compile_options(${folder}_tests PRIVATE ${VELMORA_WARNINGS})
    target_include_directories(${folder}_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    target_link_libraries(${folder}_tests PRIVATE velmora_test_common ${ARGN}
                          GTest::gtest GTest::gmock GTest::gtest_main)
    # Every raw ICMP socket on the machine sees every ICMP datagram, so two test processes
    # pinging loopback at once could take each other's replies: folders that open raw
    # sockets run their tests one at a time against each other.
    set(lock "")
    if(folder IN_LIST VELMORA_RAW_SOCKET_TEST_FOLDERS)
        set(lock RESOURCE_LOCK raw_icmp)
    endif()
    # Each test is labelled with its folder, so a run can pick folders (ctest -L).
    gtest_discover_tests(${folder}_tests
        DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT 300 LABELS ${folder}
                   ENVIRONMENT "VELMORA_SOURCE_DIR=${CMAKE_SOURCE_DIR}" ${lock})
endfunction()
