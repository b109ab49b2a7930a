# Target krt460_cli11: the header-only CLI11 argument parser from Debian's libcli11-dev.
if(CMAKE_CROSSCOMPILING)
    # CLI11 is header-only; reach Debian's copy without putting /usr/include on the cross
    # compiler's path, where it would shadow the target's own C library headers.
    find_path(KRT460_CLI11_DIR CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/cli11)
    file(CREATE_LINK ${KRT460_CLI11_DIR}/CLI ${CMAKE_BINARY_DIR}/cli11/CLI SYMBOLIC)
    add_library(krt460_cli11 INTERFACE)
    target_include_directories(krt460_cli11 SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/cli11)
else()
    find_package(CLI11 CONFIG REQUIRED)
    add_library(krt460_cli11 ALIAS CLI11::CLI11)
endif()
