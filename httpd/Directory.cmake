# Virtual directories, built into the server engine's library.
target_sources(orbiscope_httpd PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/HttpDirectory.cpp)
